#include "protocol/message_loop.hpp"

#include <gtest/gtest.h>

#include <functional>

#include "fake_print_system.hpp"
#include "fake_state_files.hpp"
#include "fake_streams.hpp"
#include "fake_watchdogs.hpp"
#include "test_png.hpp"

namespace vantrel {
namespace {

using fakes::FakeStateFiles;
using fakes::frame;
using fakes::MemorySink;
using fakes::MemorySource;

// The host as the executables compose it, over in-memory files and print system. Records when
// the lock was released, against the answers written by then.
struct Session {
  FakeStateFiles files;
  fakes::FakePrintSystem printing;
  fakes::FakeWatchdogs watchdogs;
  Host host{files.store(), printing, watchdogs};
  MemorySink sink;
  Status status;

  std::vector<std::string> run(const std::string& input) {
    MemorySource source(input, 3);
    status = serve_messages(source, sink, host);
    return sink.bodies();
  }
  // Whether this run wrote the bridge status: the contact is recorded.
  bool contact() const { return !files.calls_of("rename_over " + files.path(".bridge")).empty(); }
};

constexpr const char* HELLO = R"({"protocol":1,"request_id":"h1","type":"hello"})";

TEST(MessageLoop, EmptyInputEndsCleanlyWithNothingWritten) {
  Session session;
  EXPECT_TRUE(session.run("").empty());
  EXPECT_TRUE(session.status);
  EXPECT_TRUE(session.files.calls_of("open_lock_file").empty());
}

TEST(MessageLoop, AnswersInOrderAndReleasesTheLockBeforeEachAnswer) {
  Session session;
  std::vector<std::size_t> answers_when_taken;
  session.files.plan().hook = [&](std::string_view call) {
    if (call == "try_lock") answers_when_taken.push_back(session.sink.bodies().size());
    if (call == "open_lock_file") {
      EXPECT_FALSE(session.files.lock_held());
    }
  };
  const auto answers = session.run(
      frame(HELLO) + frame(R"({"protocol":1,"request_id":"s","type":"submit","payload":[1]})") +
      frame(HELLO));
  ASSERT_TRUE(session.status);
  ASSERT_EQ(answers.size(), 3u);
  EXPECT_TRUE(answers[0].starts_with(R"({"protocol":1,"request_id":"h1","ok":true,)"));
  EXPECT_EQ(
      answers[1],
      R"({"protocol":1,"request_id":"s","ok":false,"error":{"code":"BAD_REQUEST","message":"The print job does not match protocol 1."}})");
  EXPECT_EQ(answers_when_taken, (std::vector<std::size_t>{0, 1, 2}));
  EXPECT_FALSE(session.files.lock_held());
  EXPECT_EQ(session.sink.flushes, 3u);
}

// One line a message after its answer, with a submit's names; never the label. A log that
// cannot be written changes no answer.
TEST(MessageLoop, LogsALineAMessageAndAnUnwritableLogChangesNoAnswer) {
  const std::string input =
      frame(HELLO) +
      frame(
          R"({"protocol":1,"request_id":"s","type":"submit","payload":{"intent_id":"o-1","printer":"Label","title":"t","copies":1,"dpi":203,"payload":{"format":"png","base64":"QUJD","width_px":16,"height_px":16}}})");
  Session logged;
  HostLog log(logged.files);
  logged.host.log = &log;
  const auto answers = logged.run(input);
  const std::string lines = logged.files.file(*log.path()).value();
  EXPECT_NE(lines.find(" message type=hello request_id=h1 outcome=ok duration_ms="),
            std::string::npos);
  EXPECT_NE(lines.find(" message type=submit request_id=s outcome=BAD_REQUEST duration_ms="),
            std::string::npos);
  EXPECT_NE(lines.find(" intent_id=o-1 queue=Label\n"), std::string::npos);
  EXPECT_EQ(lines.find("QUJD"), std::string::npos);

  Session unwritable;
  HostLog broken(unwritable.files);
  unwritable.host.log = &broken;
  unwritable.files.fail("open_for_append", unwritable.files.is_a_folder_code(), -1);
  EXPECT_EQ(unwritable.run(input), answers);
}

// Fault 8 of the field report: a label printed for a browser that has gone leaves its line,
// with its intent and job; the repetition answered from the ledger says so.
TEST(MessageLoop, APrintedLabelIsLoggedAlsoWhenItsAnswerCannotBeWritten) {
  const std::string png = test_png::encode_base64(
      test_png::write_flat_png(test_png::png_layout(16, 16, 8, PNG_COLOR_TYPE_RGB)));
  const std::string submit = frame(
      R"({"protocol":1,"request_id":"s","type":"submit","payload":{"intent_id":"o-1","printer":"Label","title":"t","copies":1,"dpi":203,"payload":{"format":"png","base64":")" +
      png + R"(","width_px":16,"height_px":16}}})");
  Session session;
  HostLog log(session.files);
  session.host.log = &log;
  session.sink.fail_after = 0;  // the output is closed
  EXPECT_TRUE(session.run(submit).empty());
  ASSERT_FALSE(session.status);
  session.sink.fail_after = SIZE_MAX;
  ASSERT_EQ(session.run(submit).size(), 1u);
  const std::string lines = session.files.file(*log.path()).value();
  EXPECT_NE(lines.find(" intent_id=o-1 queue=Label state=SUBMITTED job=7 answer=unwritten\n"),
            std::string::npos)
      << lines;
  EXPECT_NE(lines.find(" intent_id=o-1 queue=Label duplicate=true state=SUBMITTED job=7\n"),
            std::string::npos)
      << lines;

  // A batch gives each label a line of its own: the one from the ledger, and the new one's job.
  const std::string label =
      R"({"format":"png","base64":")" + png + R"(","width_px":16,"height_px":16})";
  const std::string batch = frame(
      R"({"protocol":1,"request_id":"b","type":"submit_batch","payload":{"printer":"Label","title":"t","dpi":203,"labels":[{"intent_id":"o-1","copies":1,"payload":)" +
      label + R"(},{"intent_id":"o-2","copies":1,"payload":)" + label + "}]}}");
  ASSERT_EQ(session.run(batch).size(), 2u);  // the answers so far
  const std::string batch_lines = session.files.file(*log.path()).value();
  EXPECT_NE(batch_lines.find(" label request_id=b intent_id=o-1 duplicate=true state=SUBMITTED "
                             "job=7\n"),
            std::string::npos)
      << batch_lines;
  EXPECT_NE(batch_lines.find(" label request_id=b intent_id=o-2 state=SUBMITTED job=8\n"),
            std::string::npos)
      << batch_lines;
}

TEST(MessageLoop, FramingErrorEndsTheLoopWithoutAnAnswer) {
  Session session;
  const auto answers = session.run(frame(HELLO) + std::string("\x07\x00", 2));
  EXPECT_EQ(answers.size(), 1u);
  ASSERT_FALSE(session.status);
  EXPECT_EQ(session.status.error().code, ErrorCode::IO_ERROR);
}

TEST(MessageLoop, RunHostExitStatuses) {
  Session session;
  MemorySource empty("");
  EXPECT_EQ(run_host(empty, session.sink, session.host), 0);
  MemorySource cut(std::string("\x01\x00", 2));
  EXPECT_EQ(run_host(cut, session.sink, session.host), 1);
  EXPECT_TRUE(session.sink.bytes.empty());
}

struct Answered {
  const char* name;
  std::string body;
  std::string answer;
  bool contact;
};

class MessageLoopAnswers : public ::testing::TestWithParam<Answered> {};

TEST_P(MessageLoopAnswers, OneAnswerAndTheLoopGoesOn) {
  Session session;
  const auto answers = session.run(frame(GetParam().body) + frame(HELLO));
  ASSERT_TRUE(session.status);
  ASSERT_EQ(answers.size(), 2u);
  EXPECT_EQ(answers[0], GetParam().answer);
  // The hello after it always records the contact: one write of the status file, or two.
  EXPECT_EQ(session.files.calls_of("rename_over " + session.files.path(".bridge")).size(),
            GetParam().contact ? 2u : 1u);
}

const std::string ID129(129, 'i');

INSTANTIATE_TEST_SUITE_P(
    Bodies, MessageLoopAnswers,
    ::testing::Values(
        Answered{
            "Undecodable", R"({"protocol":1,"request_id":"x"})",
            R"({"protocol":1,"request_id":"","ok":false,"error":{"code":"BAD_REQUEST","message":"The native message is not valid protocol JSON."}})",
            false},
        Answered{
            "WrongProtocolEchoesEvenABadId", R"({"protocol":2,"request_id":"a b","type":"hello"})",
            R"({"protocol":1,"request_id":"a b","ok":false,"error":{"code":"PROTOCOL_MISMATCH","message":"Expected protocol 1."}})",
            false},
        Answered{
            "LongRequestIdCountsAsContact",
            R"({"protocol":1,"request_id":")" + ID129 + R"(","type":"hello"})",
            R"({"protocol":1,"request_id":")" + ID129 +
                R"(","ok":false,"error":{"code":"BAD_REQUEST","message":"request_id contains unsupported characters."}})",
            true},
        Answered{
            "TypeDiffersInCase", R"({"protocol":1,"request_id":"a","type":"Hello"})",
            R"({"protocol":1,"request_id":"a","ok":false,"error":{"code":"UNKNOWN_MESSAGE","message":"The print helper does not support that message type."}})",
            true},
        Answered{
            "OldTypeName", R"({"protocol":1,"request_id":"a","type":"observe_job"})",
            R"({"protocol":1,"request_id":"a","ok":false,"error":{"code":"UNKNOWN_MESSAGE","message":"The print helper does not support that message type."}})",
            true}),
    [](const auto& info) { return info.param.name; });

struct EarlyFailure {
  const char* name;
  std::function<void(FakeStateFiles&)> arrange;
  std::string body;
  std::string answer;
};

void PrintTo(const EarlyFailure& failure, std::ostream* out) {
  *out << failure.name;
}

class MessageLoopStateFailure : public ::testing::TestWithParam<EarlyFailure> {};

TEST_P(MessageLoopStateFailure, IsTheAnswerBeforeAnyCheckOrContact) {
  Session session;
  GetParam().arrange(session.files);
  const auto answers = session.run(frame(GetParam().body));
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(answers[0], GetParam().answer);
  EXPECT_FALSE(session.contact());
  EXPECT_FALSE(session.files.lock_held());
}

const std::string CORRUPT =
    R"("code":"STATE_CORRUPT","message":"The print-helper ledger is unreadable.")";
const std::string VERSION =
    R"("message":"The print-helper state was created by an incompatible version.")";
const std::string BUSY =
    R"("code":"BRIDGE_BUSY","message":"Another print-helper request is still finishing. Check status again shortly.")";

void corrupt_ledger(FakeStateFiles& files) {
  files.folders.insert(files.state_folder());
  files.put_file(files.path("ledger.json"), "{");
}

INSTANTIATE_TEST_SUITE_P(
    Rules, MessageLoopStateFailure,
    ::testing::Values(
        EarlyFailure{"HelloKeepsCode", corrupt_ledger, HELLO,
                     R"({"protocol":1,"request_id":"h1","ok":false,"error":{)" + CORRUPT + "}}"},
        EarlyFailure{
            "SubmitBecomesPreSubmit",
            [](FakeStateFiles& files) {
              files.folders.insert(files.state_folder());
              files.put_file(files.path("ledger.json"),
                             R"({"schema":2,"updated_at_ms":1,"jobs":{}})");
            },
            R"({"protocol":1,"request_id":"s","type":"submit"})",
            R"({"protocol":1,"request_id":"s","ok":false,"error":{"code":"PRE_SUBMIT_UNAVAILABLE",)" +
                VERSION + "}}"},
        EarlyFailure{
            "SubmitKeepsBridgeBusy",
            [](FakeStateFiles& files) { files.other_lock_holder_until = std::chrono::hours(1); },
            R"({"protocol":1,"request_id":"s","type":"submit"})",
            R"({"protocol":1,"request_id":"s","ok":false,"error":{)" + BUSY + "}}"},
        EarlyFailure{
            "BatchBecomesPreSubmit", corrupt_ledger,
            R"({"protocol":1,"request_id":"b","type":"submit_batch"})",
            R"({"protocol":1,"request_id":"b","ok":false,"error":{"code":"PRE_SUBMIT_UNAVAILABLE","message":"The print-helper ledger is unreadable."}})"},
        EarlyFailure{
            "SubmitWithWrongProtocolStillPreSubmit", corrupt_ledger,
            R"({"protocol":9,"request_id":"bad id","type":"submit"})",
            R"({"protocol":1,"request_id":"bad id","ok":false,"error":{"code":"PRE_SUBMIT_UNAVAILABLE","message":"The print-helper ledger is unreadable."}})"},
        // What stands at a state file and is no regular file is refused, never followed nor
        // waited on (a FIFO), and the lock is released with the answer.
        EarlyFailure{
            "LedgerThatIsNoFile",
            [](FakeStateFiles& files) {
              files.folders.insert(files.state_folder());
              files.not_regular.insert(files.path("ledger.json"));
            },
            HELLO,
            R"({"protocol":1,"request_id":"h1","ok":false,"error":{"code":"STATE_UNAVAILABLE","message":"Cannot read print-helper state: /home/tester/.local/state/com.vantrel.print/ledger.json is a link, a folder or a special file, not a file"}})"},
        EarlyFailure{
            "LockThatIsNoFileBeforeASubmit",
            [](FakeStateFiles& files) {
              files.folders.insert(files.state_folder());
              files.not_regular.insert(files.path("ledger.lock"));
            },
            R"({"protocol":1,"request_id":"s","type":"submit"})",
            R"({"protocol":1,"request_id":"s","ok":false,"error":{"code":"PRE_SUBMIT_UNAVAILABLE","message":"Cannot open print-helper lock: /home/tester/.local/state/com.vantrel.print/ledger.lock is a link, a folder or a special file, not a file"}})"},
        EarlyFailure{"UndecodableHasEmptyId", corrupt_ledger, "not json",
                     R"({"protocol":1,"request_id":"","ok":false,"error":{)" + CORRUPT + "}}"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vantrel
