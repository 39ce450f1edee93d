#include "domain/submit/base64.hpp"

#include <array>
#include <cstring>

namespace vantrel {
namespace {

constexpr std::uint32_t INVALID_SYMBOL = 0x80000000u;

constexpr std::uint32_t symbol_value(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return INVALID_SYMBOL;
}

// One table per position in a group, each holding the symbol's six bits already shifted to
// their place in the 24-bit group, so a group decodes with four loads and three ORs. An invalid
// symbol (including "=") sets the top bit, which survives the ORs and is tested once at the end.
constexpr std::array<std::uint32_t, 256> shifted_table(int shift) {
  std::array<std::uint32_t, 256> table{};
  for (int c = 0; c < 256; ++c) {
    const std::uint32_t v = symbol_value(static_cast<unsigned char>(c));
    table[c] = v == INVALID_SYMBOL ? INVALID_SYMBOL : v << shift;
  }
  return table;
}

constexpr auto D0 = shifted_table(18);
constexpr auto D1 = shifted_table(12);
constexpr auto D2 = shifted_table(6);
constexpr auto D3 = shifted_table(0);

inline std::uint32_t decode_group(const unsigned char* s) {
  return D0[s[0]] | D1[s[1]] | D2[s[2]] | D3[s[3]];
}

}  // namespace

std::optional<std::vector<std::uint8_t>> decode_base64_strict(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  if (text.empty()) return std::vector<std::uint8_t>{};

  const auto* in = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t groups = text.size() / 4;
  std::size_t padding = 0;
  if (in[text.size() - 1] == '=') padding = in[text.size() - 2] == '=' ? 2 : 1;

  std::vector<std::uint8_t> out(groups * 3 - padding);
  std::uint8_t* dst = out.data();
  std::uint32_t seen = 0;

  // Full groups except the last; two groups per step write six bytes through one 8-byte store
  // while at least two further bytes of room remain behind them.
  std::size_t g = 0;
  const std::size_t full = groups - 1;
  for (; g + 2 <= full && (g + 2) * 3 + 2 <= out.size(); g += 2) {
    const std::uint32_t a = decode_group(in + g * 4);
    const std::uint32_t b = decode_group(in + g * 4 + 4);
    seen |= a | b;
    const std::uint64_t word =
        (std::uint64_t{a >> 16 & 0xFF}) | (std::uint64_t{a >> 8 & 0xFF} << 8) |
        (std::uint64_t{a & 0xFF} << 16) | (std::uint64_t{b >> 16 & 0xFF} << 24) |
        (std::uint64_t{b >> 8 & 0xFF} << 32) | (std::uint64_t{b & 0xFF} << 40);
    std::memcpy(dst + g * 3, &word, sizeof word);  // little-endian hosts only (x86, ARM)
  }
  for (; g < full; ++g) {
    const std::uint32_t v = decode_group(in + g * 4);
    seen |= v;
    dst[g * 3] = static_cast<std::uint8_t>(v >> 16);
    dst[g * 3 + 1] = static_cast<std::uint8_t>(v >> 8);
    dst[g * 3 + 2] = static_cast<std::uint8_t>(v);
  }
  if (seen & INVALID_SYMBOL) return std::nullopt;

  // The last group carries the padding and the unused-bits rule.
  const unsigned char* last = in + full * 4;
  std::uint8_t* tail = dst + full * 3;
  if (padding == 0) {
    const std::uint32_t v = decode_group(last);
    if (v & INVALID_SYMBOL) return std::nullopt;
    tail[0] = static_cast<std::uint8_t>(v >> 16);
    tail[1] = static_cast<std::uint8_t>(v >> 8);
    tail[2] = static_cast<std::uint8_t>(v);
  } else if (padding == 1) {
    const std::uint32_t v = D0[last[0]] | D1[last[1]] | D2[last[2]];
    if ((v & INVALID_SYMBOL) || (v & 0xFF) != 0) return std::nullopt;
    tail[0] = static_cast<std::uint8_t>(v >> 16);
    tail[1] = static_cast<std::uint8_t>(v >> 8);
  } else {
    const std::uint32_t v = D0[last[0]] | D1[last[1]];
    if ((v & INVALID_SYMBOL) || (v & 0xFFFF) != 0) return std::nullopt;
    tail[0] = static_cast<std::uint8_t>(v >> 16);
  }
  return out;
}

}  // namespace vantrel
