#include "base/json_string.hpp"

namespace vantrel {

void append_json_string(std::string& out, std::string_view text) {
  static constexpr char HEX[] = "0123456789abcdef";
  out.push_back('"');
  std::size_t run_start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(text.data() + run_start, i - run_start);
    run_start = i + 1;
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        out += "\\u00";
        out.push_back(HEX[c >> 4]);
        out.push_back(HEX[c & 0xF]);
    }
  }
  out.append(text.data() + run_start, text.size() - run_start);
  out.push_back('"');
}

}  // namespace vantrel
