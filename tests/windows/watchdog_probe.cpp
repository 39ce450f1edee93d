// A Windows program that drives the host's Windows watchdog directly (tests only, never
// shipped), for what the host itself cannot show on demand.
//   hang MS              arm "probe_hang" with an MS deadline, then block forever
//   disarm MS            arm, disarm at once, outlive the deadline twice over, print "survived"
//   drop MS              arm, give the signal up without disarming, outlive it, print "survived"
//   many N               arm and disarm N watchdogs, then print the threads left over
#include <windows.h>
// After windows.h, which it needs.
#include <tlhelp32.h>

#include <string>

#include "domain/watchdog.hpp"

namespace {

void write_out(const std::string& text) {
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()), &written,
            nullptr);
}

int thread_count() {
  const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return -1;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  int count = 0;
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++count;
  }
  CloseHandle(snapshot);
  return count;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  const std::string mode = argv[1];
  const std::chrono::milliseconds timeout{std::stoi(argv[2])};

  if (mode == "hang") {
    vantrel::ProcessWatchdogs watchdogs(timeout);
    auto signal = watchdogs.arm("probe_hang");
    if (!signal) return 3;
    Sleep(INFINITE);
  }
  if (mode == "disarm" || mode == "drop") {
    vantrel::ProcessWatchdogs watchdogs(timeout);
    {
      auto signal = watchdogs.arm("probe_disarm");
      if (!signal) return 3;
      if (mode == "disarm") signal->disarm();
    }
    Sleep(static_cast<DWORD>(2 * timeout.count()));
    write_out("survived\n");
    return 0;
  }
  if (mode == "many") {
    const int before = thread_count();
    {
      vantrel::ProcessWatchdogs watchdogs;
      for (int i = 0; i < timeout.count(); ++i) {
        auto signal = watchdogs.arm("probe_many");
        if (!signal) return 3;
      }
    }
    int after = thread_count();
    for (int wait = 0; wait < 500 && after > before; ++wait) {
      Sleep(10);
      after = thread_count();
    }
    write_out("left " + std::to_string(after - before) + "\n");
    return 0;
  }
  return 2;
}
