#pragma once

#include <string>
#include <string_view>

namespace vantrel {

// UTF-8 inside the host, UTF-16 at Windows calls. char16_t has the width of WCHAR on every
// Windows toolchain, so a *_win32.cpp file may reinterpret one as the other.

// Appends one code point as UTF-8.
void append_utf8(std::string& out, char32_t code_point);

// Unpaired surrogates become U+FFFD.
[[nodiscard]] std::string utf16_to_utf8(std::u16string_view text);

// Malformed UTF-8 sequences become U+FFFD (host text is validated before it gets here).
[[nodiscard]] std::u16string utf8_to_utf16(std::string_view text);

// Paths of the system, losslessly: WTF-8 is UTF-8 in which a lone surrogate is kept as its
// 3-byte encoded form, so that a Windows path that is not valid UTF-16 round-trips. For valid
// text both equal the functions above.
[[nodiscard]] std::string utf16_to_wtf8(std::u16string_view text);
[[nodiscard]] std::u16string wtf8_to_utf16(std::string_view text);

// Decodes one code point starting at text[pos]; returns it and advances pos, or returns
// std::u32string::npos-like 0xFFFFFFFF and advances one byte for a malformed sequence.
inline constexpr char32_t INVALID_CODE_POINT = 0xFFFFFFFF;
[[nodiscard]] char32_t next_code_point(std::string_view text, std::size_t& pos) noexcept;

[[nodiscard]] bool is_valid_utf8(std::string_view text) noexcept;

// Text from a system that promises UTF-8 but may hold other bytes: each byte of a malformed
// sequence becomes U+FFFD, as in utf8_to_utf16.
[[nodiscard]] std::string valid_utf8(std::string_view text);

}  // namespace vantrel
