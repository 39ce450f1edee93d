#include "doctor/doctor_report.hpp"

#include <algorithm>
#include <utility>

#include "base/json_string.hpp"
#include "base/utf.hpp"

namespace vantrel {

bool DoctorReport::passed() const {
  return std::ranges::all_of(checks, &DoctorCheck::ok);
}

std::string duration_text(std::chrono::milliseconds duration) {
  if (duration.count() % 1000 == 0) return std::to_string(duration.count() / 1000) + " s";
  return std::to_string(duration.count()) + " ms";
}

int doctor_exit_status(const DoctorReport& report) {
  return report.passed() ? 0 : 1;
}

std::string doctor_text(const DoctorReport& report) {
  std::string text = "vantrel-print-host " + report.version + " doctor (" + report.platform + ")\n";
  std::size_t failed = 0;
  for (const DoctorCheck& check : report.checks) {
    text += check.ok ? "ok   " : "FAIL ";
    text += check.name + ": " + check.detail;
    if (!check.ok) {
      ++failed;
      if (!check.advice.empty()) text += "; to fix: " + check.advice;
    }
    text += '\n';
    for (const std::string& note : check.notes) text += "     " + note + '\n';
  }
  for (const std::string& hint : report.hints) text += hint + '\n';
  if (failed == 0) {
    text += "all " + std::to_string(report.checks.size()) + " checks passed\n";
  } else {
    text +=
        std::to_string(failed) + " of " + std::to_string(report.checks.size()) + " checks failed\n";
  }
  return text;
}

namespace {

void append_text(std::string& out, std::string_view text) {
  append_json_string(out, is_valid_utf8(text) ? std::string(text) : valid_utf8(text));
}

void append_list(std::string& out, const std::vector<std::string>& list) {
  out += '[';
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (i > 0) out += ',';
    append_text(out, list[i]);
  }
  out += ']';
}

}  // namespace

std::string doctor_json(const DoctorReport& report) {
  std::string out = "{\"checks\":[";
  bool first = true;
  for (const DoctorCheck& check : report.checks) {
    if (!std::exchange(first, false)) out += ',';
    out += "{\"advice\":";
    append_text(out, check.ok ? std::string_view() : std::string_view(check.advice));
    out += ",\"detail\":";
    append_text(out, check.detail);
    out += ",\"name\":";
    append_text(out, check.name);
    out += ",\"notes\":";
    append_list(out, check.notes);
    out += ",\"ok\":";
    out += check.ok ? "true" : "false";
    out += '}';
  }
  out += "],\"hints\":";
  append_list(out, report.hints);
  out += ",\"ok\":";
  out += report.passed() ? "true" : "false";
  out += ",\"platform\":";
  append_json_string(out, report.platform);
  out += ",\"version\":";
  append_json_string(out, report.version);
  out += "}\n";
  return out;
}

}  // namespace vantrel
