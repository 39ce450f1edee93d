#include "domain/submit/payload_digest.hpp"

#include <array>

#include "domain/submit/sha256.hpp"

namespace vantrel {

namespace {

std::span<const std::uint8_t> bytes_of(std::string_view text) {
  return std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

std::array<std::uint8_t, 6> numbers_of(std::uint32_t dpi, std::uint16_t copies) {
  return {static_cast<std::uint8_t>(dpi),       static_cast<std::uint8_t>(dpi >> 8),
          static_cast<std::uint8_t>(dpi >> 16), static_cast<std::uint8_t>(dpi >> 24),
          static_cast<std::uint8_t>(copies),    static_cast<std::uint8_t>(copies >> 8)};
}

std::string hex_of(const Sha256Digest& hash) {
  static constexpr char HEX[] = "0123456789abcdef";
  std::string digest(64, '0');
  for (std::size_t i = 0; i < hash.size(); ++i) {
    digest[2 * i] = HEX[hash[i] >> 4];
    digest[2 * i + 1] = HEX[hash[i] & 0xF];
  }
  return digest;
}

}  // namespace

std::string compute_payload_sha256(std::span<const std::uint8_t> png, std::string_view printer,
                                   const std::optional<std::string>& media, std::uint32_t dpi,
                                   std::uint16_t copies) {
  const auto numbers = numbers_of(dpi, copies);
  return hex_of(
      compute_sha256({png, bytes_of(printer),
                      media ? bytes_of(*media) : std::span<const std::uint8_t>{}, numbers}));
}

std::string compute_raw_payload_sha256(std::string_view format, std::span<const std::uint8_t> label,
                                       std::string_view printer,
                                       const std::optional<std::string>& media, std::uint32_t dpi,
                                       std::uint16_t copies, bool printer_settings_allowed) {
  std::array<std::uint8_t, 8> length{};
  for (std::size_t i = 0; i < length.size(); ++i) {
    length[i] = static_cast<std::uint8_t>(static_cast<std::uint64_t>(label.size()) >> (8 * i));
  }
  const auto numbers = numbers_of(dpi, copies);
  const std::array<std::uint8_t, 1> settings{printer_settings_allowed ? std::uint8_t{1}
                                                                      : std::uint8_t{0}};
  return hex_of(compute_sha256(
      {bytes_of("raw:"), bytes_of(format), bytes_of(":"), length, label, bytes_of(printer),
       media ? bytes_of(*media) : std::span<const std::uint8_t>{}, numbers, settings}));
}

}  // namespace vantrel
