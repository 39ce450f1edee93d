#include "domain/state/host_log.hpp"

#include <algorithm>
#include <cstdio>

#include "base/json_string.hpp"
#include "base/within.hpp"

namespace vantrel {
namespace {

bool is_plain(std::string_view text) {
  return !text.empty() && std::ranges::all_of(text, [](unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == ':' || c == '_' || c == '/';
  });
}

// Days since 1970-01-01 as a civil date (proleptic Gregorian).
void civil_from_days(std::int64_t days, int& year, unsigned& month, unsigned& day) {
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const auto day_of_era = static_cast<unsigned>(days - era * 146097);
  const unsigned year_of_era =
      (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const unsigned day_of_year =
      day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const unsigned shifted_month = (5 * day_of_year + 2) / 153;
  day = day_of_year - (153 * shifted_month + 2) / 5 + 1;
  month = shifted_month < 10 ? shifted_month + 3 : shifted_month - 9;
  year = static_cast<int>(static_cast<std::int64_t>(year_of_era) + era * 400 + (month <= 2));
}

}  // namespace

std::string utc_time_text(std::uint64_t unix_ms) {
  const auto days = static_cast<std::int64_t>(unix_ms / 86'400'000);
  const std::uint64_t in_day = unix_ms % 86'400'000;
  int year = 0;
  unsigned month = 0;
  unsigned day = 0;
  civil_from_days(days, year, month, day);
  char text[48];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02u:%02u:%02u.%03uZ", year, month, day,
                static_cast<unsigned>(in_day / 3'600'000),
                static_cast<unsigned>(in_day / 60'000 % 60),
                static_cast<unsigned>(in_day / 1000 % 60), static_cast<unsigned>(in_day % 1000));
  return text;
}

std::string format_log_line(std::uint64_t unix_ms, std::uint32_t pid, std::string_view event,
                            const std::vector<LogField>& fields) {
  std::string line = utc_time_text(unix_ms);
  line += ' ';
  line += std::to_string(pid);
  line += ' ';
  line += event;
  for (const auto& [key, value] : fields) {
    line += ' ';
    line += key;
    line += '=';
    std::string_view shown = value.substr(0, LOG_FIELD_LIMIT_BYTES);
    // The cut falls before a UTF-8 character, never inside one: readers of the log (the
    // doctor's JSON) need whole characters.
    if (shown.size() < value.size()) {
      while (!shown.empty() && (static_cast<unsigned char>(value[shown.size()]) & 0xC0) == 0x80) {
        shown.remove_suffix(1);
      }
    }
    if (is_plain(shown)) {
      line += shown;
    } else {
      std::string quoted;
      append_json_string(quoted, shown);
      for (const char c : quoted) {
        if (c == '$') {
          line += "\\u0024";
        } else if (c == '`') {
          line += "\\u0060";
        } else if (c == '!') {
          line += "\\u0021";
        } else {
          line += c;
        }
      }
    }
    if (value.size() > LOG_FIELD_LIMIT_BYTES) line += "...";
  }
  return line;
}

std::optional<std::string> HostLog::path() {
  if (!folder_) {
    if (!store_.make_folder()) return std::nullopt;
    std::string folder = join_path(files_.path_syntax(), store_.folder(), LOG_FOLDER_NAME);
    const FileStatus made = files_.make_folder(folder);
    if (!made && !(made.error().kind == FileErrorKind::exists && files_.is_real_folder(folder))) {
      return std::nullopt;
    }
    folder_ = std::move(folder);
  }
  return join_path(files_.path_syntax(), *folder_, LOG_FILE_NAME);
}

void HostLog::append(std::string_view event, const std::vector<LogField>& fields) noexcept {
  try {
    append_line(format_log_line(files_.now_unix_ms(), files_.process_id(), event, fields) + "\n");
  } catch (...) {
    // Out of memory for a line: the line is what it costs.
  }
}

void HostLog::append_line(const std::string& line) {
  const std::optional<std::string> log_path = path();
  if (!log_path) return;
  rotate_if_full(*folder_);
  const FileResult<std::uint64_t> size = files_.file_size(*log_path);
  const std::uint64_t before = size ? *size : 0;
  // A log that cannot be rotated (its folder read-only) stays within its bound.
  if (before + line.size() > LOG_FILE_LIMIT_BYTES) return;
  FileResult<StateFile> file = files_.open_for_append(*log_path);
  if (!file) {
    folder_.reset();  // made again next time, in case the folder went
    return;
  }
  std::size_t written = 0;
  while (written < line.size()) {
    const FileResult<std::size_t> taken =
        files_.write(*file, std::string_view(line).substr(written));
    if (!taken || *taken == 0) break;
    written += *taken;
  }
  if (written == 0 || written == line.size()) return;
  // A full disk (or a file-size limit) took part of the line: cut it off again, unless another
  // process appended after it meanwhile.
  const FileResult<std::uint64_t> after = files_.file_size(*log_path);
  if (after && *after == before + written) (void)files_.cut_to(*file, before);
}

// Only the process that holds the rotation lock rotates; the others append to whichever file
// is "host.log" at that moment, so a line is never lost to a rotation.
void HostLog::rotate_if_full(const std::string& log_folder) {
  const PathSyntax syntax = files_.path_syntax();
  const std::string current = join_path(syntax, log_folder, LOG_FILE_NAME);
  const FileResult<std::uint64_t> size = files_.file_size(current);
  if (!size || *size < LOG_ROTATE_BYTES) return;
  FileResult<StateFile> lock = files_.open_lock_file(join_path(syntax, log_folder, "rotate.lock"));
  if (!lock || !files_.try_lock(*lock)) return;
  // Another process may have rotated between the size and the lock.
  const FileResult<std::uint64_t> again = files_.file_size(current);
  if (!again || *again < LOG_ROTATE_BYTES) return;
  const auto numbered = [&](int n) { return current + "." + std::to_string(n); };
  for (int n = LOG_OLD_FILES; n > 1; --n) (void)files_.rename_over(numbered(n - 1), numbered(n));
  (void)files_.rename_over(current, numbered(1));
}

void HostLog::append_within(std::chrono::milliseconds limit, std::string_view event,
                            const std::vector<LogField>& fields) noexcept {
  std::string line;
  try {
    line = format_log_line(files_.now_unix_ms(), files_.process_id(), event, fields) + "\n";
  } catch (...) {
    return;  // out of memory for a line: the line is what it costs
  }
  // The writer may outlive this call when the disk hangs; the process ends without it. Without
  // a thread the line is what it costs.
  (void)run_within(limit, [this, line = std::move(line)] { append_line(line); });
}

}  // namespace vantrel
