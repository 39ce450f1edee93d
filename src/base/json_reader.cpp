#include "base/json_reader.hpp"

#include <cstring>

#include "base/utf.hpp"

namespace vantrel {
namespace {

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

}  // namespace

void JsonReader::skip_whitespace() {
  while (pos_ < text_.size()) {
    const char c = text_[pos_];
    if (c != ' ' && c != '\t' && c != '\n' && c != '\r') return;
    ++pos_;
  }
}

bool JsonReader::consume(char expected) {
  if (pos_ < text_.size() && text_[pos_] == expected) {
    ++pos_;
    return true;
  }
  return false;
}

bool JsonReader::consume_word(std::string_view word) {
  if (text_.substr(pos_, word.size()) != word) return false;
  pos_ += word.size();
  return true;
}

// The text points into the document when it holds no escapes, else into scratch.
bool JsonReader::read_string(std::string_view& text, std::string& scratch) {
  if (!consume('"')) return false;
  const std::size_t start = pos_;
  skip_plain_text();
  while (pos_ < text_.size()) {
    const auto c = static_cast<unsigned char>(text_[pos_]);
    if (c == '"') {
      text = text_.substr(start, pos_ - start);
      ++pos_;
      return true;
    }
    if (c == '\\') {
      scratch.assign(text_.substr(start, pos_ - start));
      if (!read_escaped_rest(scratch)) return false;
      text = scratch;
      return true;
    }
    if (c < 0x20) return false;
    if (c < 0x80) {
      ++pos_;
    } else if (next_code_point(text_, pos_) == INVALID_CODE_POINT) {
      return false;
    }
  }
  return false;
}

// Skips whole 8-byte blocks of printable ASCII other than '"' and '\\': most of a ledger's
// text, and the bulk of its decoding time when scanned byte by byte.
void JsonReader::skip_plain_text() {
  constexpr std::uint64_t ONES = 0x0101010101010101;
  constexpr std::uint64_t HIGHS = 0x8080808080808080;
  const auto any_zero_byte = [](std::uint64_t v) { return (v - ONES) & ~v & HIGHS; };
  while (text_.size() - pos_ >= 8) {
    std::uint64_t block;
    std::memcpy(&block, text_.data() + pos_, 8);
    const std::uint64_t special = any_zero_byte(block ^ (ONES * '"')) |
                                  any_zero_byte(block ^ (ONES * '\\')) |
                                  ((block - ONES * 0x20) & ~block & HIGHS) | (block & HIGHS);
    if (special != 0) return;
    pos_ += 8;
  }
}

bool JsonReader::read_escaped_rest(std::string& out) {
  while (pos_ < text_.size()) {
    const auto c = static_cast<unsigned char>(text_[pos_]);
    if (c == '"') {
      ++pos_;
      return true;
    }
    if (c < 0x20) return false;
    if (c == '\\') {
      ++pos_;
      if (!read_escape(out)) return false;
    } else if (c < 0x80) {
      out.push_back(static_cast<char>(c));
      ++pos_;
    } else {
      const std::size_t from = pos_;
      if (next_code_point(text_, pos_) == INVALID_CODE_POINT) return false;
      out.append(text_.substr(from, pos_ - from));
    }
  }
  return false;
}

bool JsonReader::read_escape(std::string& out) {
  if (pos_ >= text_.size()) return false;
  // The one-letter escapes and what they stand for, in the same order.
  constexpr std::string_view LETTERS = "\"\\/bfnrt";
  constexpr std::string_view MEANINGS = "\"\\/\b\f\n\r\t";
  const char letter = text_[pos_++];
  if (const std::size_t at = LETTERS.find(letter); at != std::string_view::npos) {
    out.push_back(MEANINGS[at]);
    return true;
  }
  if (letter != 'u') return false;
  char32_t unit = 0;
  if (!read_hex4(unit)) return false;
  if (unit >= 0xDC00 && unit <= 0xDFFF) return false;  // a low surrogate without its pair
  if (unit >= 0xD800 && unit <= 0xDBFF) {
    char32_t low = 0;
    if (!consume('\\') || !consume('u') || !read_hex4(low)) return false;
    if (low < 0xDC00 || low > 0xDFFF) return false;
    unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
  }
  append_utf8(out, unit);
  return true;
}

bool JsonReader::read_hex4(char32_t& value) {
  if (text_.size() - pos_ < 4) return false;
  value = 0;
  for (int i = 0; i < 4; ++i) {
    const char c = text_[pos_++];
    value <<= 4;
    if (is_digit(c)) {
      value |= static_cast<char32_t>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      value |= static_cast<char32_t>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      value |= static_cast<char32_t>(c - 'A' + 10);
    } else {
      return false;
    }
  }
  return true;
}

bool JsonReader::read_text(std::string& field) {
  std::string_view text;
  if (!read_string(text, value_scratch_)) return false;
  field.assign(text);
  return true;
}

// Counts are plain non-negative integers: a sign, a fraction or an exponent is out of range,
// and so is a value past 64 bits.
bool JsonReader::read_count(std::uint64_t& value, std::uint64_t max) {
  if (pos_ >= text_.size() || !is_digit(text_[pos_])) return false;
  value = 0;
  if (text_[pos_] == '0') {
    ++pos_;
  } else {
    while (pos_ < text_.size() && is_digit(text_[pos_])) {
      const auto digit = static_cast<std::uint64_t>(text_[pos_] - '0');
      if (value > (max - digit) / 10) return false;
      value = value * 10 + digit;
      ++pos_;
    }
  }
  if (pos_ < text_.size()) {
    const char next = text_[pos_];
    if (is_digit(next) || next == '.' || next == 'e' || next == 'E') return false;
  }
  return true;
}

bool JsonReader::skip_number() {
  (void)consume('-');  // optional
  if (pos_ >= text_.size()) return false;
  if (text_[pos_] == '0') {
    ++pos_;
  } else if (is_digit(text_[pos_])) {
    while (pos_ < text_.size() && is_digit(text_[pos_])) ++pos_;
  } else {
    return false;
  }
  const auto skip_digits = [&] {
    const std::size_t from = pos_;
    while (pos_ < text_.size() && is_digit(text_[pos_])) ++pos_;
    return pos_ > from;
  };
  if (consume('.') && !skip_digits()) return false;
  if (consume('e') || consume('E')) {
    if (!consume('+')) (void)consume('-');
    if (!skip_digits()) return false;
  }
  return true;
}

// A value of any type, checked as strictly as the known ones and then forgotten.
bool JsonReader::skip_value(int depth) {
  if (pos_ >= text_.size()) return false;
  switch (text_[pos_]) {
    case '"': {
      std::string_view ignored;
      return read_string(ignored, value_scratch_);
    }
    case '{':
      if (depth >= MAX_SKIPPED_NESTING) return false;
      return read_object([&](std::string_view) { return skip_value(depth + 1); });
    case '[':
      if (depth >= MAX_SKIPPED_NESTING) return false;
      ++pos_;
      skip_whitespace();
      if (consume(']')) return true;
      for (;;) {
        if (!skip_value(depth + 1)) return false;
        skip_whitespace();
        if (consume(']')) return true;
        if (!consume(',')) return false;
        skip_whitespace();
      }
    case 't':
      return consume_word("true");
    case 'f':
      return consume_word("false");
    case 'n':
      return consume_word("null");
    default:
      return skip_number();
  }
}

}  // namespace vantrel
