#include "domain/submit/payload_digest.hpp"

#include <array>

#include "domain/submit/sha256.hpp"

namespace vantrel {

std::string compute_payload_sha256(std::span<const std::uint8_t> png, std::string_view printer,
                                   const std::optional<std::string>& media, std::uint32_t dpi,
                                   std::uint16_t copies) {
  const std::array<std::uint8_t, 6> numbers{
      static_cast<std::uint8_t>(dpi),       static_cast<std::uint8_t>(dpi >> 8),
      static_cast<std::uint8_t>(dpi >> 16), static_cast<std::uint8_t>(dpi >> 24),
      static_cast<std::uint8_t>(copies),    static_cast<std::uint8_t>(copies >> 8)};

  const auto bytes = [](std::string_view text) {
    return std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
  };
  const Sha256Digest hash = compute_sha256(
      {png, bytes(printer), media ? bytes(*media) : std::span<const std::uint8_t>{}, numbers});

  static constexpr char HEX[] = "0123456789abcdef";
  std::string digest(64, '0');
  for (std::size_t i = 0; i < hash.size(); ++i) {
    digest[2 * i] = HEX[hash[i] >> 4];
    digest[2 * i + 1] = HEX[hash[i] & 0xF];
  }
  return digest;
}

}  // namespace vantrel
