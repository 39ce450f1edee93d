// Strict Base64 on arbitrary text: whatever it accepts is the canonical encoding of what it
// returns, so no two texts decode to the same bytes.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "domain/submit/base64.hpp"
#include "fuzz_check.hpp"
#include "test_png.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto bytes = vantrel::decode_base64_strict(text);
  if (!bytes) return 0;
  FUZZ_CHECK(bytes->size() == size / 4 * 3 - (text.ends_with("==")  ? 2
                                              : text.ends_with("=") ? 1
                                                                    : 0));
  FUZZ_CHECK(vantrel::test_png::encode_base64(*bytes) == text);
  return 0;
}
