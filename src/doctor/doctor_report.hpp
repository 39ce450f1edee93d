#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

namespace vantrel {

// One conclusion of the doctor: what it looked at, whether that is as a browser needs it, what
// it found, and, when not, what to do about it.
struct DoctorCheck {
  std::string name;
  bool ok = false;
  std::string detail;
  std::string advice;              // only when not ok
  std::vector<std::string> notes;  // lines shown under it: unknown outcomes, the log's end
};

struct DoctorReport {
  std::string version;   // of the program that ran the doctor
  std::string platform;  // "windows" or "linux"
  std::vector<DoctorCheck> checks;
  std::vector<std::string> hints;  // lines after the checks, whatever they concluded

  [[nodiscard]] bool passed() const;
};

// "5 s", "250 ms": a limit as the lines state it.
[[nodiscard]] std::string duration_text(std::chrono::milliseconds duration);

// 0 when every check passed, 1 otherwise.
[[nodiscard]] int doctor_exit_status(const DoctorReport& report);

// One line per check, "ok   <name>: <detail>" or "FAIL <name>: <detail>; to fix: <advice>",
// its notes indented below, then a closing count.
[[nodiscard]] std::string doctor_text(const DoctorReport& report);

// {"checks":[{"advice","detail","name","notes","ok"}...],"hints","ok","platform","version"},
// keys in byte order as every answer of the host; text that is not UTF-8 (a log line, an
// argument) has U+FFFD for each bad byte, so that the report always parses.
[[nodiscard]] std::string doctor_json(const DoctorReport& report);

}  // namespace vantrel
