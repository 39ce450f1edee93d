#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <span>

namespace vantrel {

using Sha256Digest = std::array<std::uint8_t, 32>;

// SHA-256 of the parts one after another, from the platform's own implementation: the
// system's CNG on Windows (sha256_win32.cpp), OpenSSL elsewhere (sha256_posix.cpp). Neither
// fails but for want of memory, which is reported as std::bad_alloc like any allocation.
[[nodiscard]] Sha256Digest compute_sha256(
    std::initializer_list<std::span<const std::uint8_t>> parts);

}  // namespace vantrel
