#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vantrel {

// A strict, streaming JSON reader for documents read straight into records: one pass, no
// generic tree, strings handed out without copies where they hold no escapes. Any fault ends
// the read (every call returns false); the caller decides what an unreadable document means.
class JsonReader {
 public:
  explicit JsonReader(std::string_view text) : text_(text) {}

  void skip_whitespace();
  [[nodiscard]] bool consume(char expected);
  [[nodiscard]] bool at_end() const noexcept { return pos_ == text_.size(); }

  // Calls read_member(name) at each member's value. name may point into key_scratch_, so it is
  // only valid until the value is read.
  template <class ReadMember>
  [[nodiscard]] bool read_object(ReadMember&& read_member) {
    if (!consume('{')) return false;
    skip_whitespace();
    if (consume('}')) return true;
    for (;;) {
      std::string_view name;
      if (!read_string(name, key_scratch_)) return false;
      skip_whitespace();
      if (!consume(':')) return false;
      skip_whitespace();
      if (!read_member(name)) return false;
      skip_whitespace();
      if (consume('}')) return true;
      if (!consume(',')) return false;
      skip_whitespace();
    }
  }

  // A string; `text` points into the document when it holds no escapes, else into `scratch`.
  [[nodiscard]] bool read_string(std::string_view& text, std::string& scratch);
  [[nodiscard]] bool read_text(std::string& field);
  // A plain non-negative integer up to max: a sign, a fraction or an exponent is out of range.
  [[nodiscard]] bool read_count(std::uint64_t& value, std::uint64_t max);
  // A value of any type, checked as strictly as the known ones and then forgotten; nesting
  // deeper than MAX_SKIPPED_NESTING is refused rather than risking the stack.
  [[nodiscard]] bool skip_value(int depth = 0);

  static constexpr int MAX_SKIPPED_NESTING = 128;

 private:
  [[nodiscard]] bool consume_word(std::string_view word);
  void skip_plain_text();
  [[nodiscard]] bool read_escaped_rest(std::string& out);
  [[nodiscard]] bool read_escape(std::string& out);
  [[nodiscard]] bool read_hex4(char32_t& value);
  [[nodiscard]] bool skip_number();

  std::string_view text_;
  std::size_t pos_ = 0;
  std::string key_scratch_;    // a member name that held escapes
  std::string value_scratch_;  // a text value that held escapes
};

}  // namespace vantrel
