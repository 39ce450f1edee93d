#include "domain/state/ledger.hpp"

#include <array>
#include <charconv>
#include <limits>
#include <optional>

#include "base/json_reader.hpp"
#include "base/json_string.hpp"
#include "base/name_table.hpp"
#include "base/utf.hpp"

namespace vantrel {
namespace {

// The ledger's records read straight from the document's text.
class LedgerReader {
 public:
  explicit LedgerReader(std::string_view text) : json_(text) {}

  bool read_document(HostLedger& ledger) {
    json_.skip_whitespace();
    if (!read_ledger(ledger)) return false;
    json_.skip_whitespace();
    return json_.at_end();
  }

 private:
  JsonReader json_;

  // Marks a known member as seen; false when it was seen before.
  static bool first_sight(unsigned& seen, unsigned bit) {
    if (seen & bit) return false;
    seen |= bit;
    return true;
  }

  bool read_record(JobRecord& record) {
    enum : unsigned {
      INTENT_ID = 1u << 0,
      PAYLOAD_SHA256 = 1u << 1,
      STATE = 1u << 2,
      PRINTER = 1u << 3,
      OS_JOB_ID = 1u << 4,
      CREATED_AT_MS = 1u << 5,
      UPDATED_AT_MS = 1u << 6,
      ERROR_CODE = 1u << 7,
      ERROR_MESSAGE = 1u << 8,
    };
    constexpr unsigned REQUIRED =
        INTENT_ID | PAYLOAD_SHA256 | STATE | PRINTER | CREATED_AT_MS | UPDATED_AT_MS;
    constexpr std::uint64_t MAX_U64 = std::numeric_limits<std::uint64_t>::max();
    unsigned seen = 0;
    const bool read = json_.read_object([&](std::string_view name) {
      if (name == "intent_id")
        return first_sight(seen, INTENT_ID) && json_.read_text(record.intent_id);
      if (name == "payload_sha256") {
        return first_sight(seen, PAYLOAD_SHA256) && json_.read_text(record.payload_sha256);
      }
      if (name == "state") {
        std::string text;
        if (!first_sight(seen, STATE) || !json_.read_text(text)) return false;
        store_state(record, text);
        return true;
      }
      if (name == "printer") return first_sight(seen, PRINTER) && json_.read_text(record.printer);
      if (name == "os_job_id")
        return first_sight(seen, OS_JOB_ID) && json_.read_text(record.os_job_id);
      if (name == "created_at_ms") {
        return first_sight(seen, CREATED_AT_MS) && json_.read_count(record.created_at_ms, MAX_U64);
      }
      if (name == "updated_at_ms") {
        return first_sight(seen, UPDATED_AT_MS) && json_.read_count(record.updated_at_ms, MAX_U64);
      }
      if (name == "error_code")
        return first_sight(seen, ERROR_CODE) && json_.read_text(record.error_code);
      if (name == "error_message") {
        return first_sight(seen, ERROR_MESSAGE) && json_.read_text(record.error_message);
      }
      return json_.skip_value(0);
    });
    return read && (seen & REQUIRED) == REQUIRED;
  }

  bool read_jobs(std::map<std::string, JobRecord, std::less<>>& jobs) {
    return json_.read_object([&](std::string_view name) {
      std::string key(name);
      JobRecord record;
      if (!read_record(record)) return false;
      // Host-written files list keys in ascending order, so the end is the right place; a
      // repeated key takes the later record.
      jobs.insert_or_assign(jobs.end(), std::move(key), std::move(record));
      return true;
    });
  }

  bool read_ledger(HostLedger& ledger) {
    enum : unsigned { SCHEMA = 1u << 0, UPDATED_AT_MS = 1u << 1, JOBS = 1u << 2 };
    unsigned seen = 0;
    const bool read = json_.read_object([&](std::string_view name) {
      if (name == "schema") {
        std::uint64_t schema = 0;
        if (!first_sight(seen, SCHEMA) ||
            !json_.read_count(schema, std::numeric_limits<std::uint32_t>::max())) {
          return false;
        }
        ledger.schema = static_cast<std::uint32_t>(schema);
        return true;
      }
      if (name == "updated_at_ms") {
        return first_sight(seen, UPDATED_AT_MS) &&
               json_.read_count(ledger.updated_at_ms, std::numeric_limits<std::uint64_t>::max());
      }
      if (name == "jobs") return first_sight(seen, JOBS) && read_jobs(ledger.jobs);
      return json_.skip_value(0);
    });
    return read && seen == (SCHEMA | UPDATED_AT_MS | JOBS);
  }
};

void append_count(std::string& out, std::uint64_t value) {
  char digits[20];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  out.append(digits, end);
}

// Text that is not UTF-8 could be written but never read back: refuse to encode it.
bool append_text(std::string& out, std::string_view text) {
  if (!is_valid_utf8(text)) return false;
  append_json_string(out, text);
  return true;
}

bool append_record(std::string& out, std::string_view key, const JobRecord& record) {
  out += "    ";
  if (!append_text(out, key)) return false;
  out += ": {\n      \"intent_id\": ";
  if (!append_text(out, record.intent_id)) return false;
  out += ",\n      \"payload_sha256\": ";
  if (!append_text(out, record.payload_sha256)) return false;
  out += ",\n      \"state\": ";
  if (!append_text(out, stored_state(record))) return false;
  out += ",\n      \"printer\": ";
  if (!append_text(out, record.printer)) return false;
  out += ",\n      \"os_job_id\": ";
  if (!append_text(out, record.os_job_id)) return false;
  out += ",\n      \"created_at_ms\": ";
  append_count(out, record.created_at_ms);
  out += ",\n      \"updated_at_ms\": ";
  append_count(out, record.updated_at_ms);
  out += ",\n      \"error_code\": ";
  if (!append_text(out, record.error_code)) return false;
  out += ",\n      \"error_message\": ";
  if (!append_text(out, record.error_message)) return false;
  out += "\n    }";
  return true;
}

constexpr NameTable<AttemptState, 7> ATTEMPT_STATE_NAMES{{
    {AttemptState::DISPATCHING, "DISPATCHING"},
    {AttemptState::SUBMITTED, "SUBMITTED"},
    {AttemptState::FAILED, "FAILED"},
    {AttemptState::UNKNOWN, "UNKNOWN"},
    {AttemptState::OBSERVED, "OBSERVED"},
    {AttemptState::COMPLETED, "COMPLETED"},
    {AttemptState::UNRECOGNISED, ""},
}};

}  // namespace

std::string_view attempt_state_name(AttemptState state) noexcept {
  return ATTEMPT_STATE_NAMES.name_of(state);
}

std::string_view stored_state(const JobRecord& record) noexcept {
  return record.state == AttemptState::UNRECOGNISED ? record.unrecognised_state
                                                    : attempt_state_name(record.state);
}

void store_state(JobRecord& record, std::string_view text) {
  record.unrecognised_state.clear();
  for (const auto& [state, name] : ATTEMPT_STATE_NAMES) {
    if (state != AttemptState::UNRECOGNISED && name == text) {
      record.state = state;
      return;
    }
  }
  record.state = AttemptState::UNRECOGNISED;
  record.unrecognised_state = text;
}

Result<HostLedger> decode_ledger(std::string_view bytes) {
  HostLedger ledger;
  LedgerReader reader(bytes);
  if (!reader.read_document(ledger)) {
    return fail(ErrorCode::STATE_CORRUPT, "The print-helper ledger is unreadable.");
  }
  // Checked only after a full decode: another version's document that does not decode is
  // reported as unreadable.
  if (ledger.schema != LEDGER_SCHEMA) {
    return fail(ErrorCode::STATE_VERSION,
                "The print-helper state was created by an incompatible version.");
  }
  return ledger;
}

Result<std::string> encode_ledger(const HostLedger& ledger) {
  constexpr std::size_t TYPICAL_RECORD_BYTES = 480;
  std::string out;
  out.reserve(128 + ledger.jobs.size() * TYPICAL_RECORD_BYTES);
  out += "{\n  \"schema\": ";
  append_count(out, ledger.schema);
  out += ",\n  \"updated_at_ms\": ";
  append_count(out, ledger.updated_at_ms);
  out += ",\n  \"jobs\": {";
  bool first = true;
  for (const auto& [key, record] : ledger.jobs) {
    out += first ? "\n" : ",\n";
    first = false;
    if (!append_record(out, key, record)) {
      return fail(ErrorCode::STATE_UNAVAILABLE, "Cannot encode print-helper state.");
    }
  }
  out += first ? "}\n}" : "\n  }\n}";
  return out;
}

Result<HostLedger> load_ledger(StateStore& store) {
  StateResult<std::optional<std::string>> bytes = store.read_file(LEDGER_FILE_NAME);
  if (!bytes) {
    return fail(ErrorCode::STATE_UNAVAILABLE,
                "Cannot read print-helper state: " + bytes.error().text);
  }
  if (!*bytes) return HostLedger{LEDGER_SCHEMA, store.now_unix_ms(), {}};
  return decode_ledger(**bytes);
}

Status save_ledger(StateStore& store, const HostLedger& ledger) {
  const Result<std::string> encoded = encode_ledger(ledger);
  if (!encoded) return std::unexpected(encoded.error());
  if (auto written = store.replace_file(LEDGER_FILE_NAME, *encoded); !written) {
    return fail(ErrorCode::STATE_UNAVAILABLE,
                "Cannot save print-helper state: " + written.error().text);
  }
  return {};
}

}  // namespace vantrel
