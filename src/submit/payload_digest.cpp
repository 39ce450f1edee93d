#include "submit/payload_digest.hpp"

#include <openssl/evp.h>

#include <array>
#include <memory>
#include <new>

namespace vantrel {
namespace {

struct DigestContextFree {
  void operator()(EVP_MD_CTX* context) const noexcept { EVP_MD_CTX_free(context); }
};
using DigestContext = std::unique_ptr<EVP_MD_CTX, DigestContextFree>;

}  // namespace

std::string compute_payload_sha256(std::span<const std::uint8_t> png, std::string_view printer,
                                   const std::optional<std::string>& media, std::uint32_t dpi,
                                   std::uint16_t copies) {
  const std::array<std::uint8_t, 6> numbers{
      static_cast<std::uint8_t>(dpi),       static_cast<std::uint8_t>(dpi >> 8),
      static_cast<std::uint8_t>(dpi >> 16), static_cast<std::uint8_t>(dpi >> 24),
      static_cast<std::uint8_t>(copies),    static_cast<std::uint8_t>(copies >> 8)};

  std::array<unsigned char, 32> hash{};
  unsigned int hash_size = 0;
  const DigestContext context(EVP_MD_CTX_new());
  const bool hashed =
      context != nullptr && EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) == 1 &&
      EVP_DigestUpdate(context.get(), png.data(), png.size()) == 1 &&
      EVP_DigestUpdate(context.get(), printer.data(), printer.size()) == 1 &&
      (!media || EVP_DigestUpdate(context.get(), media->data(), media->size()) == 1) &&
      EVP_DigestUpdate(context.get(), numbers.data(), numbers.size()) == 1 &&
      EVP_DigestFinal_ex(context.get(), hash.data(), &hash_size) == 1 && hash_size == hash.size();
  // SHA-256 from the built-in provider fails only when OpenSSL cannot allocate its context,
  // which is the same condition as any other allocation failure.
  if (!hashed) throw std::bad_alloc();

  static constexpr char HEX[] = "0123456789abcdef";
  std::string digest(64, '0');
  for (std::size_t i = 0; i < hash.size(); ++i) {
    digest[2 * i] = HEX[hash[i] >> 4];
    digest[2 * i + 1] = HEX[hash[i] & 0xF];
  }
  return digest;
}

}  // namespace vantrel
