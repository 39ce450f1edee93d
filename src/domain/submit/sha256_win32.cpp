#include <windows.h>
// After windows.h, which it builds on.
#include <bcrypt.h>

#include <algorithm>
#include <memory>
#include <new>
#include <type_traits>

#include "domain/submit/sha256.hpp"

namespace vantrel {
namespace {

struct AlgorithmClose {
  void operator()(BCRYPT_ALG_HANDLE algorithm) const noexcept {
    BCryptCloseAlgorithmProvider(algorithm, 0);
  }
};
struct HashDestroy {
  void operator()(BCRYPT_HASH_HANDLE hash) const noexcept { BCryptDestroyHash(hash); }
};
using Algorithm = std::unique_ptr<std::remove_pointer_t<BCRYPT_ALG_HANDLE>, AlgorithmClose>;
using Hash = std::unique_ptr<std::remove_pointer_t<BCRYPT_HASH_HANDLE>, HashDestroy>;

bool succeeded(NTSTATUS status) {
  return status >= 0;
}

}  // namespace

Sha256Digest compute_sha256(std::initializer_list<std::span<const std::uint8_t>> parts) {
  Sha256Digest digest{};
  BCRYPT_ALG_HANDLE algorithm_handle = nullptr;
  if (!succeeded(
          BCryptOpenAlgorithmProvider(&algorithm_handle, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
    throw std::bad_alloc();
  }
  const Algorithm algorithm(algorithm_handle);
  BCRYPT_HASH_HANDLE hash_handle = nullptr;
  // No hash object buffer: CNG allocates it (Windows 7 and later).
  if (!succeeded(BCryptCreateHash(algorithm.get(), &hash_handle, nullptr, 0, nullptr, 0, 0))) {
    throw std::bad_alloc();
  }
  const Hash hash(hash_handle);
  for (auto part : parts) {
    // BCryptHashData takes a ULONG count.
    while (!part.empty()) {
      const std::size_t chunk = std::min<std::size_t>(part.size(), 1u << 30);
      if (!succeeded(BCryptHashData(hash.get(), const_cast<PUCHAR>(part.data()),
                                    static_cast<ULONG>(chunk), 0))) {
        throw std::bad_alloc();
      }
      part = part.subspan(chunk);
    }
  }
  if (!succeeded(
          BCryptFinishHash(hash.get(), digest.data(), static_cast<ULONG>(digest.size()), 0))) {
    throw std::bad_alloc();
  }
  return digest;
}

}  // namespace vantrel
