#include <openssl/evp.h>

#include <memory>
#include <new>

#include "domain/submit/sha256.hpp"

namespace vantrel {
namespace {

struct DigestContextFree {
  void operator()(EVP_MD_CTX* context) const noexcept { EVP_MD_CTX_free(context); }
};
using DigestContext = std::unique_ptr<EVP_MD_CTX, DigestContextFree>;

}  // namespace

Sha256Digest compute_sha256(std::initializer_list<std::span<const std::uint8_t>> parts) {
  Sha256Digest hash{};
  unsigned int hash_size = 0;
  const DigestContext context(EVP_MD_CTX_new());
  bool hashed = context != nullptr && EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) == 1;
  for (const auto part : parts) {
    hashed = hashed && EVP_DigestUpdate(context.get(), part.data(), part.size()) == 1;
  }
  hashed = hashed && EVP_DigestFinal_ex(context.get(), hash.data(), &hash_size) == 1 &&
           hash_size == hash.size();
  // SHA-256 from the built-in provider fails only when OpenSSL cannot allocate its context.
  if (!hashed) throw std::bad_alloc();
  return hash;
}

}  // namespace vantrel
