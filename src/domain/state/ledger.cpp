#include "domain/state/ledger.hpp"

#include <array>
#include <charconv>
#include <cstring>
#include <limits>
#include <optional>

#include "base/json_string.hpp"
#include "base/utf.hpp"

namespace vantrel {
namespace {

// Members skipped as unknown may nest; deeper documents are refused rather than risking the stack.
constexpr int MAX_SKIPPED_NESTING = 128;

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

// A strict JSON reader that decodes straight into the ledger's records: one pass, no generic
// tree. Any fault ends the read; the caller reports the document as unreadable without details.
class LedgerReader {
 public:
  explicit LedgerReader(std::string_view text) : text_(text) {}

  bool read_document(HostLedger& ledger) {
    skip_whitespace();
    if (!read_ledger(ledger)) return false;
    skip_whitespace();
    return pos_ == text_.size();
  }

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
  std::string key_scratch_;    // a member name that held escapes
  std::string value_scratch_;  // a text value that held escapes

  void skip_whitespace() {
    while (pos_ < text_.size()) {
      const char c = text_[pos_];
      if (c != ' ' && c != '\t' && c != '\n' && c != '\r') return;
      ++pos_;
    }
  }

  bool consume(char expected) {
    if (pos_ < text_.size() && text_[pos_] == expected) {
      ++pos_;
      return true;
    }
    return false;
  }

  bool consume_word(std::string_view word) {
    if (text_.substr(pos_, word.size()) != word) return false;
    pos_ += word.size();
    return true;
  }

  // Calls read_member(name) at each member's value. name may point into key_scratch_, so it is
  // only valid until the value is read.
  template <class ReadMember>
  bool read_object(ReadMember&& read_member) {
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

  // The text points into the document when it holds no escapes, else into scratch.
  bool read_string(std::string_view& text, std::string& scratch) {
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
  void skip_plain_text() {
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

  bool read_escaped_rest(std::string& out) {
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

  bool read_escape(std::string& out) {
    if (pos_ >= text_.size()) return false;
    switch (text_[pos_++]) {
      case '"':
        out.push_back('"');
        return true;
      case '\\':
        out.push_back('\\');
        return true;
      case '/':
        out.push_back('/');
        return true;
      case 'b':
        out.push_back('\b');
        return true;
      case 'f':
        out.push_back('\f');
        return true;
      case 'n':
        out.push_back('\n');
        return true;
      case 'r':
        out.push_back('\r');
        return true;
      case 't':
        out.push_back('\t');
        return true;
      case 'u':
        break;
      default:
        return false;
    }
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

  bool read_hex4(char32_t& value) {
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

  bool read_text(std::string& field) {
    std::string_view text;
    if (!read_string(text, value_scratch_)) return false;
    field.assign(text);
    return true;
  }

  // Counts are plain non-negative integers: a sign, a fraction or an exponent is out of range,
  // and so is a value past 64 bits.
  bool read_count(std::uint64_t& value, std::uint64_t max) {
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

  bool skip_number() {
    consume('-');
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
      if (!consume('+')) consume('-');
      if (!skip_digits()) return false;
    }
    return true;
  }

  // A value of any type, checked as strictly as the known ones and then forgotten.
  bool skip_value(int depth) {
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
    const bool read = read_object([&](std::string_view name) {
      if (name == "intent_id") return first_sight(seen, INTENT_ID) && read_text(record.intent_id);
      if (name == "payload_sha256") {
        return first_sight(seen, PAYLOAD_SHA256) && read_text(record.payload_sha256);
      }
      if (name == "state") {
        std::string text;
        if (!first_sight(seen, STATE) || !read_text(text)) return false;
        store_state(record, text);
        return true;
      }
      if (name == "printer") return first_sight(seen, PRINTER) && read_text(record.printer);
      if (name == "os_job_id") return first_sight(seen, OS_JOB_ID) && read_text(record.os_job_id);
      if (name == "created_at_ms") {
        return first_sight(seen, CREATED_AT_MS) && read_count(record.created_at_ms, MAX_U64);
      }
      if (name == "updated_at_ms") {
        return first_sight(seen, UPDATED_AT_MS) && read_count(record.updated_at_ms, MAX_U64);
      }
      if (name == "error_code")
        return first_sight(seen, ERROR_CODE) && read_text(record.error_code);
      if (name == "error_message") {
        return first_sight(seen, ERROR_MESSAGE) && read_text(record.error_message);
      }
      return skip_value(0);
    });
    return read && (seen & REQUIRED) == REQUIRED;
  }

  bool read_jobs(std::map<std::string, JobRecord, std::less<>>& jobs) {
    return read_object([&](std::string_view name) {
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
    const bool read = read_object([&](std::string_view name) {
      if (name == "schema") {
        std::uint64_t schema = 0;
        if (!first_sight(seen, SCHEMA) ||
            !read_count(schema, std::numeric_limits<std::uint32_t>::max())) {
          return false;
        }
        ledger.schema = static_cast<std::uint32_t>(schema);
        return true;
      }
      if (name == "updated_at_ms") {
        return first_sight(seen, UPDATED_AT_MS) &&
               read_count(ledger.updated_at_ms, std::numeric_limits<std::uint64_t>::max());
      }
      if (name == "jobs") return first_sight(seen, JOBS) && read_jobs(ledger.jobs);
      return skip_value(0);
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

constexpr std::array<std::pair<AttemptState, std::string_view>, 7> ATTEMPT_STATE_NAMES{{
    {AttemptState::DISPATCHING, "DISPATCHING"},
    {AttemptState::SUBMITTED, "SUBMITTED"},
    {AttemptState::FAILED, "FAILED"},
    {AttemptState::UNKNOWN, "UNKNOWN"},
    {AttemptState::OBSERVED, "OBSERVED"},
    {AttemptState::COMPLETED, "COMPLETED"},
    {AttemptState::UNRECOGNISED, ""},
}};

// The table is in the enum's order, so a state's name is found by its value.
constexpr bool names_follow_enum() {
  for (std::size_t i = 0; i < ATTEMPT_STATE_NAMES.size(); ++i) {
    if (static_cast<std::size_t>(ATTEMPT_STATE_NAMES[i].first) != i) return false;
  }
  return true;
}
static_assert(names_follow_enum());

}  // namespace

std::string_view attempt_state_name(AttemptState state) noexcept {
  return ATTEMPT_STATE_NAMES[static_cast<std::size_t>(state)].second;
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
