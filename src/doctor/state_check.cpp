#include "doctor/state_check.hpp"

#include <algorithm>
#include <map>
#include <optional>
#include <string>

#include "base/os_error.hpp"
#include "base/text.hpp"
#include "domain/state/host_log.hpp"
#include "domain/state/ledger.hpp"
#include "domain/state/state_store.hpp"

namespace vantrel {
namespace {

bool windows(StateFiles& files) {
  return files.path_syntax() == PathSyntax::windows;
}

DoctorCheck folder_not_located(StateFiles& files) {
  return DoctorCheck{"state folder",
                     false,
                     "the user's folder for application state cannot be located",
                     windows(files) ? "run as a user with a profile (%LOCALAPPDATA%)"
                                    : "set HOME (or XDG_STATE_HOME) to an absolute path",
                     {}};
}

DoctorCheck lock_check(StateStore& store) {
  DoctorCheck check{"ledger lock", false, store.path_of(LOCK_FILE_NAME) + ": ", "", {}};
  StateResult<StateLockFile> file = store.open_lock_file();
  if (!file) {
    check.detail += "cannot be opened: " + file.error().text;
    check.advice = "the state folder must be writable by you";
    return check;
  }
  // Tried once and released at once with the file: never the host's 750 ms wait.
  const StateResult<bool> taken = file->try_lock();
  if (!taken) {
    check.detail += "cannot be locked: " + taken.error().text;
    check.advice = "the state folder must be on a local disk that supports locks";
  } else if (!*taken) {
    check.detail +=
        "held by another process now (a host in the middle of a message, or one "
        "that hangs); every other host answers BRIDGE_BUSY meanwhile";
    check.advice =
        "run the doctor again; if the lock stays held, close the browsers, then end "
        "any vantrel-print-host process left";
  } else {
    check.ok = true;
    check.detail += "free";
  }
  return check;
}

// The outcome of these is not known: the label may have printed. DISPATCHING is what a host
// that ended in the middle of a print leaves; the next message makes it UNKNOWN.
bool outcome_unknown(const JobRecord& record) {
  return record.state == AttemptState::UNKNOWN || record.state == AttemptState::DISPATCHING;
}

std::string unknown_note(const JobRecord& record) {
  std::string note = "outcome unknown: intent " + record.intent_id + ", " +
                     std::string(stored_state(record)) + ", queue " + record.printer;
  if (!record.os_job_id.empty()) note += ", job " + record.os_job_id;
  note += ", recorded " + utc_time_text(record.created_at_ms) + ", last changed " +
          utc_time_text(record.updated_at_ms);
  if (!record.error_code.empty()) note += ", " + record.error_code;
  return note;
}

DoctorCheck ledger_check(StateStore& store) {
  DoctorCheck check{"ledger", false, store.path_of(LEDGER_FILE_NAME) + ": ", "", {}};
  const Result<HostLedger> ledger = load_ledger(store);
  if (!ledger) {
    check.detail +=
        std::string(error_code_name(ledger.error().code)) + ", " + ledger.error().message;
    switch (ledger.error().code) {
      case ErrorCode::STATE_VERSION:
        check.advice = "a later version wrote it: install that version again";
        break;
      case ErrorCode::STATE_CORRUPT:
        check.advice =
            "every message is refused until it is readable: send the file to support "
            "and keep it, since it is what keeps labels from printing twice";
        break;
      default:
        check.advice = "the state folder and the ledger must be readable by you";
    }
    return check;
  }
  check.ok = true;
  // Counted by the state as stored, in the ledger's order of states, unrecognised ones last.
  std::map<std::string, std::size_t, std::less<>> counts;
  std::size_t unknown = 0;
  for (const auto& [intent_id, record] : ledger->jobs) {
    ++counts[std::string(stored_state(record))];
    if (outcome_unknown(record)) {
      ++unknown;
      check.notes.push_back(unknown_note(record));
    }
  }
  check.detail += std::to_string(ledger->jobs.size()) + " attempts";
  std::vector<std::string> by_state;
  for (const AttemptState state :
       {AttemptState::DISPATCHING, AttemptState::SUBMITTED, AttemptState::FAILED,
        AttemptState::UNKNOWN, AttemptState::OBSERVED, AttemptState::COMPLETED}) {
    if (auto it = counts.find(attempt_state_name(state)); it != counts.end()) {
      by_state.push_back(it->first + " " + std::to_string(it->second));
      counts.erase(it);
    }
  }
  for (const auto& [state, count] : counts) by_state.push_back(state + " " + std::to_string(count));
  if (!by_state.empty()) check.detail += " (" + joined(by_state, ", ") + ")";
  check.detail += unknown == 0 ? ", none with an unknown outcome"
                               : ", " + std::to_string(unknown) +
                                     " whose label may or may not have printed (listed below)";
  return check;
}

}  // namespace

std::vector<DoctorCheck> check_state(StateFiles& files) {
  const std::optional<std::string> folder = files.locate_state_folder();
  if (!folder) return {folder_not_located(files)};
  if (!files.is_folder(*folder)) {
    return {DoctorCheck{"state folder",
                        true,
                        *folder + " (not made yet: the host makes it at its first message, so "
                                  "there are no attempts yet)",
                        "",
                        {}}};
  }
  StateStore store(files);
  // What every message does first; for a folder that exists, no more than keeping it the
  // owner's, as any host does.
  if (auto made = store.make_folder(); !made) {
    if (!made.error()) return {folder_not_located(files)};
    return {DoctorCheck{"state folder",
                        false,
                        *folder + ": " + made.error()->text,
                        windows(files) ? "the folder must be yours and writable"
                                       : "the folder must be yours: remove it, or give it back "
                                         "to your user (chown)",
                        {}}};
  }
  std::vector<DoctorCheck> checks;
  checks.push_back(DoctorCheck{
      "state folder",
      true,
      *folder +
          (windows(files) ? " (its access is that of the user's profile)" : " (yours, owner-only)"),
      "",
      {}});
  checks.push_back(lock_check(store));
  checks.push_back(ledger_check(store));
  return checks;
}

DoctorCheck check_log(StateFiles& files) {
  DoctorCheck check{"log", false, "", "", {}};
  const std::optional<std::string> folder = files.locate_state_folder();
  if (!folder || !files.is_folder(*folder)) {
    check.ok = true;
    check.detail =
        "none yet (it is in the state folder, which the host makes at its first message)";
    return check;
  }
  const std::optional<std::string> path = HostLog(files).path();
  if (!path) {
    check.detail = "its folder in " + *folder + " cannot be made";
    check.advice = "the state folder must be writable by you";
    return check;
  }
  check.detail = *path;
  FileResult<std::string> text = files.read_file(*path);
  if (!text) {
    if (text.error().kind == FileErrorKind::not_regular) {
      check.detail += " is a link, a folder or a special file: lines are being lost";
      check.advice = "remove it; the host makes the log again";
      return check;
    }
    if (text.error().kind != FileErrorKind::not_found) {
      check.detail += " cannot be read: " + os_error_text(text.error().os_code);
      check.advice = "the log must be readable by you";
      return check;
    }
    text = std::string();
  }
  // A log that missed its rotation for many lines cannot be rotated: lines are being lost.
  if (text->size() > LOG_LOSING_LINES_BYTES) {
    check.detail += " is past its bound and cannot be rotated: lines are being lost";
    check.advice = "the log's folder must be writable by you";
    return check;
  }
  check.ok = true;
  std::vector<std::string_view> lines;
  std::string_view rest = *text;
  while (!rest.empty()) {
    const std::size_t end = rest.find('\n');
    if (const std::string_view line = rest.substr(0, end); !line.empty()) lines.push_back(line);
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
  }
  if (lines.empty()) {
    check.detail += " (empty)";
    return check;
  }
  const std::size_t shown = std::min(lines.size(), LOG_LINES_SHOWN);
  check.detail += ", its last " + std::to_string(shown) + " lines:";
  for (std::size_t i = lines.size() - shown; i < lines.size(); ++i)
    check.notes.emplace_back(lines[i]);
  return check;
}

}  // namespace vantrel
