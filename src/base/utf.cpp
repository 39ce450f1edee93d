#include "base/utf.hpp"

namespace vantrel {
namespace {

constexpr char32_t REPLACEMENT = 0xFFFD;

}  // namespace

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

char32_t next_code_point(std::string_view text, std::size_t& pos) noexcept {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(pos);
  if (lead < 0x80) {
    ++pos;
    return lead;
  }
  std::size_t length = 0;
  char32_t cp = 0;
  char32_t minimum = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, cp = lead & 0x1F, minimum = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, cp = lead & 0x0F, minimum = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, cp = lead & 0x07, minimum = 0x10000;
  } else {
    ++pos;
    return INVALID_CODE_POINT;
  }
  if (pos + length > text.size()) {
    ++pos;
    return INVALID_CODE_POINT;
  }
  for (std::size_t i = 1; i < length; ++i) {
    const unsigned char c = byte(pos + i);
    if ((c & 0xC0) != 0x80) {
      ++pos;
      return INVALID_CODE_POINT;
    }
    cp = (cp << 6) | (c & 0x3F);
  }
  if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    ++pos;
    return INVALID_CODE_POINT;
  }
  pos += length;
  return cp;
}

bool is_valid_utf8(std::string_view text) noexcept {
  std::size_t pos = 0;
  while (pos < text.size()) {
    if (static_cast<unsigned char>(text[pos]) < 0x80) {
      ++pos;
      continue;
    }
    if (next_code_point(text, pos) == INVALID_CODE_POINT) return false;
  }
  return true;
}

std::string valid_utf8(std::string_view text) {
  if (is_valid_utf8(text)) return std::string(text);
  std::string out;
  out.reserve(text.size() + 8);
  std::size_t pos = 0;
  while (pos < text.size()) {
    const char32_t cp = next_code_point(text, pos);
    append_utf8(out, cp == INVALID_CODE_POINT ? REPLACEMENT : cp);
  }
  return out;
}

namespace {

// The shared walk of both UTF-16 readers: a lone surrogate goes to `lone`.
template <class Lone>
std::string utf16_walk(std::u16string_view text, Lone lone) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t unit = text[i];
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      append_utf8(out,
                  0x10000 + ((char32_t(unit) - 0xD800) << 10) + (char32_t(text[i + 1]) - 0xDC00));
      ++i;
    } else if (unit >= 0xD800 && unit <= 0xDFFF) {
      append_utf8(out, lone(unit));
    } else {
      append_utf8(out, unit);
    }
  }
  return out;
}

}  // namespace

std::string utf16_to_utf8(std::u16string_view text) {
  return utf16_walk(text, [](char16_t) { return REPLACEMENT; });
}

std::string utf16_to_wtf8(std::u16string_view text) {
  return utf16_walk(text, [](char16_t unit) { return char32_t{unit}; });
}

namespace {

// A lone surrogate's 3-byte form at text[pos], as utf16_to_wtf8 writes it.
char32_t next_lone_surrogate(std::string_view text, std::size_t& pos) noexcept {
  if (text.size() - pos < 3) return INVALID_CODE_POINT;
  const auto b = [&](std::size_t i) { return static_cast<unsigned char>(text[pos + i]); };
  if (b(0) != 0xED || b(1) < 0xA0 || b(1) > 0xBF || (b(2) & 0xC0) != 0x80) {
    return INVALID_CODE_POINT;
  }
  const char32_t unit = 0xD000 | ((b(1) & 0x3Fu) << 6) | (b(2) & 0x3Fu);
  pos += 3;
  return unit;
}

template <class Invalid>
std::u16string utf16_from(std::string_view text, Invalid invalid) {
  std::u16string out;
  out.reserve(text.size());
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t at = pos;
    char32_t cp = next_code_point(text, pos);
    if (cp == INVALID_CODE_POINT) {
      pos = at;
      cp = invalid(text, pos);
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

}  // namespace

std::u16string utf8_to_utf16(std::string_view text) {
  return utf16_from(text, [](std::string_view, std::size_t& pos) {
    ++pos;
    return REPLACEMENT;
  });
}

std::u16string wtf8_to_utf16(std::string_view text) {
  return utf16_from(text, [](std::string_view bytes, std::size_t& pos) {
    const char32_t lone = next_lone_surrogate(bytes, pos);
    if (lone != INVALID_CODE_POINT) return lone;
    ++pos;
    return REPLACEMENT;
  });
}

}  // namespace vantrel
