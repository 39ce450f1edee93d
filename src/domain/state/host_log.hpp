#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "domain/state/state_files.hpp"
#include "domain/state/state_store.hpp"

namespace vantrel {

// The diagnostics log, "logs/host.log" in the state folder: one line per event, for support
// staff. Appending is best effort: it never changes an answer, never takes the ledger lock,
// and a log that cannot be written costs nothing but the line. At 1 MiB the file is rotated
// ("host.log" -> "host.log.1" -> "host.log.2"), so at most three files are kept. A log that
// cannot be rotated stops taking lines at LOG_FILE_LIMIT_BYTES; a line the disk cut short is
// cut off again, so that the next line never continues it. Neither the folder nor the file is
// ever a link.
inline constexpr std::string_view LOG_FOLDER_NAME = "logs";
inline constexpr std::string_view LOG_FILE_NAME = "host.log";
inline constexpr std::uint64_t LOG_ROTATE_BYTES = 1u << 20;
inline constexpr int LOG_OLD_FILES = 2;
// Room past the rotation size for the lines appended while another process rotates.
inline constexpr std::uint64_t LOG_SPARE_BYTES = 64u << 10;
inline constexpr std::uint64_t LOG_FILE_LIMIT_BYTES = LOG_ROTATE_BYTES + LOG_SPARE_BYTES;
// Past this the file has missed its rotation for many lines: lines are being lost, or soon.
inline constexpr std::uint64_t LOG_LOSING_LINES_BYTES = LOG_ROTATE_BYTES + LOG_SPARE_BYTES / 2;
// Text fields are cut here: a log line carries names, never content.
inline constexpr std::size_t LOG_FIELD_LIMIT_BYTES = 160;

// One field of a line: "key=value", the value quoted as a JSON string unless it is plain
// (letters, digits, "-", ".", ":", "_", "/"), and cut at LOG_FIELD_LIMIT_BYTES. In a quoted
// value "$", "`" and "!" are escaped (\u0024, \u0060, \u0021): a line pasted into a shell
// runs nothing.
using LogField = std::pair<std::string_view, std::string_view>;

// "<UTC time> <pid> <event> key=value ...", without the line feed.
[[nodiscard]] std::string format_log_line(std::uint64_t unix_ms, std::uint32_t pid,
                                          std::string_view event,
                                          const std::vector<LogField>& fields);

// "2026-12-07T15:25:24.123Z"
[[nodiscard]] std::string utc_time_text(std::uint64_t unix_ms);

class HostLog {
 public:
  explicit HostLog(StateFiles& files) : files_(files), store_(files) {}

  // Appends one event line now.
  void append(std::string_view event, const std::vector<LogField>& fields) noexcept;
  // The same, for a process about to end: gives up after `limit` whatever the file system does,
  // so that no frozen disk holds up the end.
  void append_within(std::chrono::milliseconds limit, std::string_view event,
                     const std::vector<LogField>& fields) noexcept;

  // The log file's path; nullopt when the state folder cannot be made.
  [[nodiscard]] std::optional<std::string> path();

 private:
  void append_line(const std::string& line);
  void rotate_if_full(const std::string& log_folder);

  StateFiles& files_;
  StateStore store_;
  std::optional<std::string> folder_;  // the log folder, once made
};

}  // namespace vantrel
