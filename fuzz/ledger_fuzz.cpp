// The ledger reader on arbitrary file contents: it answers STATE_CORRUPT or STATE_VERSION or a
// ledger that the writer reproduces exactly, and recovery keeps its invariants on it.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "domain/state/ledger.hpp"
#include "domain/state/recovery.hpp"
#include "fuzz_check.hpp"

using namespace vantrel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  Result<HostLedger> ledger = decode_ledger(bytes);
  if (!ledger) {
    FUZZ_CHECK(ledger.error().code == ErrorCode::STATE_CORRUPT ||
               ledger.error().code == ErrorCode::STATE_VERSION);
    return 0;
  }
  // The writer never puts a raw NUL byte in a ledger, so a reader that accepts one stopped early.
  FUZZ_CHECK(bytes.find('\0') == std::string_view::npos);
  const Result<std::string> written = encode_ledger(*ledger);
  if (written) {
    const Result<HostLedger> reread = decode_ledger(*written);
    FUZZ_CHECK(reread.has_value());
    FUZZ_CHECK(*reread == *ledger);
    FUZZ_CHECK(encode_ledger(*reread).value() == *written);
  }

  // A clock inside the recorded times, so that age retention both keeps and drops records.
  const std::uint64_t now_ms = ledger->updated_at_ms;
  const std::size_t before = ledger->jobs.size();
  (void)apply_recovery(*ledger, now_ms);
  FUZZ_CHECK(ledger->jobs.size() <= before);
  FUZZ_CHECK(ledger->jobs.size() <= LEDGER_MAX_RECORDS);
  for (const auto& [key, record] : ledger->jobs) {
    FUZZ_CHECK(record.state != AttemptState::DISPATCHING);
  }
  return 0;
}
