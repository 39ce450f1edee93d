#include "domain/state/recovery.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "fake_state_files.hpp"

namespace vantrel {
namespace {

using fakes::FakeStateFiles;

constexpr std::uint64_t DAY_MS = 86'400'000;
constexpr std::uint64_t NOW = 1'700'000'000'000;

JobRecord record(std::string id, std::string_view state, std::uint64_t updated_at_ms) {
  JobRecord made{id, std::string(64, 'a'), {}, "Label", "12", 5, updated_at_ms, "", "", ""};
  store_state(made, state);
  return made;
}

TEST(ApplyRecovery, DispatchingBecomesUnknownHostRestarted) {
  HostLedger ledger{1, 1, {}};
  ledger.jobs["a"] = record("a", "DISPATCHING", NOW - 40 * DAY_MS);
  ledger.jobs["b"] = record("b", "dispatching", NOW);  // the state word is case-sensitive
  EXPECT_TRUE(apply_recovery(ledger, NOW));
  EXPECT_EQ(
      ledger.jobs.at("a"),
      (JobRecord{"a", std::string(64, 'a'), AttemptState::UNKNOWN, "Label", "12", 5, NOW,
                 "HOST_RESTARTED",
                 "The helper restarted before the operating system acknowledged this job.", ""}));
  EXPECT_EQ(stored_state(ledger.jobs.at("b")), "dispatching");
  EXPECT_EQ(ledger.updated_at_ms, NOW);
}

TEST(ApplyRecovery, NothingToDoChangesOnlyTheLedgerTime) {
  HostLedger ledger{1, 1, {}};
  for (const char* state : {"SUBMITTED", "FAILED", "UNKNOWN", "OBSERVED", "COMPLETED"}) {
    ledger.jobs[state] = record(state, state, NOW - DAY_MS);
  }
  const auto jobs = ledger.jobs;
  EXPECT_FALSE(apply_recovery(ledger, NOW));
  EXPECT_EQ(ledger.jobs, jobs);
  EXPECT_EQ(ledger.updated_at_ms, NOW);
}

TEST(ApplyRecovery, ThirtyDaysStayThirtyDaysAndOneMillisecondGo) {
  HostLedger ledger{1, 1, {}};
  ledger.jobs["exact"] = record("exact", "COMPLETED", NOW - 30 * DAY_MS);
  ledger.jobs["older"] = record("older", "COMPLETED", NOW - 30 * DAY_MS - 1);
  EXPECT_TRUE(apply_recovery(ledger, NOW));
  EXPECT_TRUE(ledger.jobs.contains("exact"));
  EXPECT_FALSE(ledger.jobs.contains("older"));
}

TEST(ApplyRecovery, ClockBeforeThirtyDaysAfterEpochRemovesNothingForAge) {
  HostLedger ledger{1, 1, {}};
  ledger.jobs["zero"] = record("zero", "FAILED", 0);
  EXPECT_FALSE(apply_recovery(ledger, 30 * DAY_MS - 1));
  EXPECT_FALSE(apply_recovery(ledger, 30 * DAY_MS));
  EXPECT_TRUE(ledger.jobs.contains("zero"));
}

// `count` completed records "<prefix>0000"..., updated at NOW - age(i).
template <class Age>
HostLedger completed_records(int count, char prefix, Age age) {
  HostLedger ledger{1, 1, {}};
  char key[16];
  for (int i = 0; i < count; ++i) {
    std::snprintf(key, sizeof key, "%c%04d", prefix, i);
    ledger.jobs[key] = record(key, "COMPLETED", NOW - age(i));
  }
  return ledger;
}

TEST(ApplyRecovery, CapDropsTheOldestWithTiesInKeyOrder) {
  HostLedger ledger =
      completed_records(4999, 'm', [](int i) { return 1000 - static_cast<std::uint64_t>(i % 7); });
  // Four records share the oldest time; the three with the smallest keys go.
  for (const char* tied : {"z", "b", "y", "a"})
    ledger.jobs[tied] = record(tied, "FAILED", NOW - 5000);
  ASSERT_EQ(ledger.jobs.size(), 5003u);
  EXPECT_TRUE(apply_recovery(ledger, NOW));
  EXPECT_EQ(ledger.jobs.size(), 5000u);
  EXPECT_FALSE(ledger.jobs.contains("a"));
  EXPECT_FALSE(ledger.jobs.contains("b"));
  EXPECT_FALSE(ledger.jobs.contains("y"));
  EXPECT_TRUE(ledger.jobs.contains("z"));
}

TEST(ApplyRecovery, RewrittenRecordsAreNotRemovedByTheCapForAge) {
  HostLedger ledger = completed_records(5000, 'k', [](int) { return std::uint64_t{10}; });
  ledger.jobs["dead"] = record("dead", "DISPATCHING", NOW - 20);
  EXPECT_TRUE(apply_recovery(ledger, NOW));
  EXPECT_TRUE(ledger.jobs.contains("dead"));
  EXPECT_FALSE(ledger.jobs.contains("k0000"));
}

class RecoverLedger : public ::testing::Test {
 protected:
  FakeStateFiles files;
  const std::string ledger_path = files.path("ledger.json");
};

TEST_F(RecoverLedger, SavesOnlyWhenSomethingChanged) {
  const std::uint64_t now = files.store().now_unix_ms();
  HostLedger ledger{1, 1, {}};
  ledger.jobs["a"] = record("a", "SUBMITTED", now);
  ASSERT_TRUE(recover_ledger(files.store(), ledger).has_value());
  EXPECT_FALSE(files.file(ledger_path).has_value());
  EXPECT_EQ(ledger.updated_at_ms, now);

  ledger.jobs["b"] = record("b", "DISPATCHING", now - 1);
  ASSERT_TRUE(recover_ledger(files.store(), ledger).has_value());
  const HostLedger saved = load_ledger(files.store()).value();
  EXPECT_EQ(saved, ledger);
  EXPECT_EQ(stored_state(saved.jobs.at("b")), "UNKNOWN");
  EXPECT_EQ(saved.jobs.at("b").created_at_ms, 5u);
  EXPECT_EQ(saved.jobs.at("b").os_job_id, "12");
}

TEST_F(RecoverLedger, FailedSaveIsReported) {
  HostLedger ledger{1, 1, {}};
  ledger.jobs["a"] = record("a", "DISPATCHING", 1);
  files.fail("rename_over", 5);
  const Status recovered = recover_ledger(files.store(), ledger);
  ASSERT_FALSE(recovered.has_value());
  EXPECT_EQ(recovered.error().code, ErrorCode::STATE_UNAVAILABLE);
  EXPECT_FALSE(files.file(ledger_path).has_value());
}

TEST_F(RecoverLedger, BridgeStatusHoldsFourMembersInOrder) {
  files.now_ms = 1'700'000'000'123;
  write_bridge_status(files.store());
  EXPECT_EQ(files.file(files.path("bridge-status.json")),
            "{\n  \"schema\": 1,\n  \"version\": \"1.3.0\",\n  \"protocol\": 1,\n"
            "  \"last_contact_ms\": 1700000000123\n}");
}

TEST_F(RecoverLedger, BridgeStatusFailureIsSwallowed) {
  files.put_file(files.path("bridge-status.json"), "old");
  files.fail("rename_over", 5);
  write_bridge_status(files.store());
  EXPECT_EQ(files.file(files.path("bridge-status.json")), "old");
  EXPECT_EQ(files.open_handle_count(), 0u);
}

}  // namespace
}  // namespace vantrel
