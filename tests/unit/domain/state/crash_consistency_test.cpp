// Crash consistency, deterministically: each scenario runs once to count its calls across the
// state files and the print system (the fakes share one fault plan), then once per crash point with
// the process ending right after that call. What a crash leaves on disk (bytes as last flushed,
// moves as done) is then served by a fresh host with the real rules, and the ledger must load, no
// attempt may print twice, no attempt that reached the print system may be lost, and no DISPATCHING
// record may outlive the next message.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "base/json.hpp"
#include "domain/state/ledger.hpp"
#include "domain/state/state_store.hpp"
#include "fake_print_system.hpp"
#include "fake_state_files.hpp"
#include "fake_streams.hpp"
#include "fake_watchdogs.hpp"
#include "fault_plan.hpp"
#include "protocol/message_loop.hpp"
#include "test_png.hpp"

namespace vantrel {
namespace {

using fakes::FakeStateFiles;
using fakes::FaultPlan;
using fakes::Flavour;

constexpr std::uint64_t DAY_MS = 24ull * 3600 * 1000;

// One host process over files that hold `disk`, sharing one fault plan.
struct Host {
  Host(Flavour flavour, const std::map<std::string, std::string>& disk) : files(flavour, &plan) {
    files.folders.insert(files.state_folder());
    for (const auto& [path, bytes] : disk) files.put_file(path, bytes);
  }
  void serve(const std::vector<std::string>& bodies) {
    std::string input;
    for (const std::string& body : bodies) input += fakes::frame(body);
    fakes::MemorySource source(input);
    fakes::MemorySink sink;
    (void)serve_messages(source, sink, host);
    answers = sink.bodies();
  }

  FaultPlan plan;
  FakeStateFiles files;
  StateStore store{files};
  fakes::FakePrintSystem print_system{&plan};
  fakes::FakeWatchdogs watchdogs;
  vantrel::Host host{store, print_system, watchdogs};
  std::vector<std::string> answers;
};

std::string submit(const std::string& intent_id) {
  static const std::string png = test_png::encode_base64(
      test_png::write_flat_png(test_png::png_layout(16, 16, 8, PNG_COLOR_TYPE_RGB)));
  return R"({"protocol":1,"request_id":"s","type":"submit","payload":{"intent_id":")" + intent_id +
         R"(","printer":"Label","title":")" + intent_id +
         R"(","copies":1,"dpi":203,"payload":{"format":"png","base64":")" + png +
         R"(","width_px":16,"height_px":16}}})";
}

std::string get_job(const std::string& intent_id) {
  return R"({"protocol":1,"request_id":"g","type":"get_job","payload":{"intent_id":")" + intent_id +
         R"("}})";
}

// A wave of two chunks (25 and 5 labels); label n is 16 + n pixels wide, so that each page tells
// which label it is.
std::string wave() {
  static const std::string body = [] {
    std::string labels;
    for (int n = 0; n < 30; ++n) {
      const std::string png = test_png::encode_base64(
          test_png::write_flat_png(test_png::png_layout(16 + n, 16, 8, PNG_COLOR_TYPE_GRAY)));
      labels += std::string(n == 0 ? "" : ",") + R"({"intent_id":"wave-)" + std::to_string(n) +
                R"(","copies":1,"payload":{"format":"png","base64":")" + png + R"(","width_px":)" +
                std::to_string(16 + n) + R"(,"height_px":16}})";
    }
    return R"({"protocol":1,"request_id":"w","type":"submit_batch","payload":{"printer":"Label",)"
           R"("title":"Wave","dpi":203,"labels":[)" +
           labels + "]}}";
  }();
  return body;
}

// What each intent got printed: a wave's pages by their width, any other document by its title.
std::map<std::string, int> printed_labels(const fakes::FakePrintSystem& print_system) {
  std::map<std::string, int> printed;
  for (const auto& document : print_system.documents) {
    if (!document.ended) continue;
    if (document.title != "Wave") {
      ++printed[document.title];
      continue;
    }
    for (const LabelPlacement& page : document.pages) {
      ++printed["wave-" + std::to_string(page.width - 16)];
    }
  }
  return printed;
}

// Each label's answer to a wave must be true of what printed: ok only when it printed once,
// UNKNOWN_OUTCOME when it may have, any other error only when it did not.
void expect_true_outcomes(const std::string& answer, const std::map<std::string, int>& printed) {
  const JsonValue body = JsonValue::parse(answer);
  if (body.value("request_id", "") != "w") return;
  ASSERT_TRUE(body.at("ok").get<bool>()) << answer;
  const JsonValue& results = body.at("result").at("results");
  ASSERT_EQ(results.size(), 30u);
  int unknown = 0;
  for (int n = 0; n < 30; ++n) {
    const std::string intent_id = "wave-" + std::to_string(n);
    const auto found = printed.find(intent_id);
    const int count = found == printed.end() ? 0 : found->second;
    const JsonValue& result = results[static_cast<std::size_t>(n)];
    const std::string code =
        result.at("ok").get<bool>() ? "" : result.at("error").value("code", "");
    if (code.empty()) {
      EXPECT_EQ(count, 1) << intent_id << " answered printed";
    } else if (code == "UNKNOWN_OUTCOME") {
      ++unknown;
    } else {
      EXPECT_EQ(count, 0) << intent_id << " answered " << code;
    }
  }
  EXPECT_LE(unknown, 25) << "more than one chunk UNKNOWN";
}

const std::string HELLO = R"({"protocol":1,"request_id":"h","type":"hello"})";

// A ledger file written at `now_ms` with records of the given states; "old-*" records are past
// the 30-day retention.
std::map<std::string, std::string> disk_with(const std::string& ledger_path, std::uint64_t now_ms,
                                             const std::map<std::string, std::string>& states) {
  HostLedger ledger;
  ledger.updated_at_ms = now_ms;
  for (const auto& [intent_id, state] : states) {
    JobRecord record;
    record.intent_id = intent_id;
    record.payload_sha256 = std::string(64, 'a');
    store_state(record, state);
    record.printer = "Label";
    record.os_job_id = state == "DISPATCHING" ? "" : "7";
    record.created_at_ms = intent_id.starts_with("old-") ? now_ms - 40 * DAY_MS : now_ms;
    record.updated_at_ms = record.created_at_ms;
    ledger.jobs[intent_id] = record;
  }
  return {{ledger_path, encode_ledger(ledger).value()}};
}

struct Scenario {
  const char* name;
  std::map<std::string, std::string> stored;  // intent_id -> state before the crash run
  std::vector<std::string> messages;          // the crash run; served again after the restart
};

void PrintTo(const Scenario& scenario, std::ostream* out) {
  *out << scenario.name;
}

// Each scenario over the Windows order (creations and moves written through) and the POSIX
// order (a move survives a crash only once its folder is flushed).
class CrashConsistency : public ::testing::TestWithParam<std::tuple<Flavour, Scenario>> {};

TEST_P(CrashConsistency, EveryCrashPointLeavesALedgerThatNeverPrintsTwice) {
  const auto& [flavour, scenario] = GetParam();
  const std::string ledger_path = FakeStateFiles(flavour).path("ledger.json");
  const auto disk = disk_with(ledger_path, FakeStateFiles(flavour).now_ms, scenario.stored);

  std::size_t calls = 0;
  {
    Host clean(flavour, disk);
    clean.serve(scenario.messages);
    calls = clean.plan.calls();
  }
  ASSERT_GT(calls, 0u);

  for (std::size_t crash_point = 0; crash_point <= calls; ++crash_point) {
    SCOPED_TRACE("crash after call " + std::to_string(crash_point));
    Host crashed(flavour, disk);
    crashed.plan.crash_after(crash_point);
    crashed.serve(scenario.messages);

    Host restarted(flavour, crashed.files.surviving_files());
    restarted.serve(scenario.messages);
    ASSERT_EQ(restarted.answers.size(), scenario.messages.size());
    for (const std::string& answer : restarted.answers) {
      EXPECT_EQ(answer.find("STATE_CORRUPT"), std::string::npos) << answer;
      EXPECT_EQ(answer.find("STATE_VERSION"), std::string::npos) << answer;
    }

    const auto bytes = restarted.files.file(ledger_path);
    ASSERT_TRUE(bytes.has_value());
    const Result<HostLedger> ledger = decode_ledger(*bytes);
    ASSERT_TRUE(ledger.has_value()) << ledger.error().message;
    for (const auto& [intent_id, record] : ledger->jobs) {
      EXPECT_NE(record.state, AttemptState::DISPATCHING) << intent_id;
    }
    // Stored attempts within the retention, and any printed since, are still recorded.
    for (const auto& [intent_id, state] : scenario.stored) {
      if (!intent_id.starts_with("old-")) {
        EXPECT_TRUE(ledger->jobs.contains(intent_id)) << intent_id;
      }
    }
    std::map<std::string, int> printed = printed_labels(crashed.print_system);
    for (const auto& [title, count] : printed_labels(restarted.print_system)) {
      printed[title] += count;
    }
    for (const std::string& answer : restarted.answers) expect_true_outcomes(answer, printed);
    for (const auto& [intent_id, count] : printed) {
      EXPECT_LE(count, 1) << intent_id << " printed twice";
      EXPECT_TRUE(ledger->jobs.contains(intent_id)) << intent_id << " printed and lost";
    }
    if (HasFailure()) return;
  }
  std::printf("%s, %s order: %zu crash points visited\n", scenario.name,
              flavour == Flavour::windows ? "Windows" : "POSIX", calls + 1);
  RecordProperty("crash_points", static_cast<int>(calls + 1));
}

INSTANTIATE_TEST_SUITE_P(
    Scenarios, CrashConsistency,
    ::testing::Combine(
        ::testing::Values(Flavour::windows, Flavour::posix),
        ::testing::Values(
            Scenario{"new_submit", {}, {submit("order-1")}},
            Scenario{"repeated_submit", {{"order-1", "SUBMITTED"}}, {submit("order-1")}},
            Scenario{
                "get_job_that_moves_the_record", {{"order-1", "SUBMITTED"}}, {get_job("order-1")}},
            Scenario{"recovery_rewrite", {{"order-1", "DISPATCHING"}}, {HELLO}},
            Scenario{"wave_of_two_chunks", {}, {wave()}},
            Scenario{"save_that_prunes",
                     {{"old-1", "COMPLETED"}, {"old-2", "FAILED"}},
                     {submit("order-2")}})),
    [](const auto& info) {
      return std::string(std::get<0>(info.param) == Flavour::windows ? "Windows_" : "Posix_") +
             std::get<1>(info.param).name;
    });

}  // namespace
}  // namespace vantrel
