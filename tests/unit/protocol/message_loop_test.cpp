#include "protocol/message_loop.hpp"

#include <gtest/gtest.h>

#include "fake_streams.hpp"

namespace vantrel {
namespace {

using fakes::frame;
using fakes::MemorySink;
using fakes::MemorySource;

struct Journal {
  std::vector<std::string> events;
  const MemorySink* sink = nullptr;
};

// Journals what the loop asks of it, and its release with the answers written by then.
class RecordingSession final : public MessageSession {
 public:
  explicit RecordingSession(Journal& journal) : journal_(journal) {}
  ~RecordingSession() override {
    journal_.events.push_back("release after " + std::to_string(journal_.sink->bodies().size()) +
                              " answers");
  }
  void write_bridge_status() override { journal_.events.push_back("contact"); }
  Result<JsonValue> list_printers() override {
    journal_.events.push_back("list_printers");
    return JsonValue::object();
  }
  Result<JsonValue> submit(const JsonValue& payload) override {
    journal_.events.push_back("submit " + payload.dump());
    return JsonValue{{"state", "SUBMITTED"}};
  }
  Result<JsonValue> get_job(const JsonValue& payload) override {
    journal_.events.push_back("get_job " + payload.dump());
    return JsonValue::object();
  }

 private:
  Journal& journal_;
};

class RecordingHandlers final : public MessageHandlers {
 public:
  explicit RecordingHandlers(Journal& journal) : journal_(journal) {}
  std::optional<HostError> open_failure;

  Result<std::unique_ptr<MessageSession>> open_session() override {
    journal_.events.push_back("open");
    if (open_failure) return std::unexpected(*open_failure);
    return std::make_unique<RecordingSession>(journal_);
  }

 private:
  Journal& journal_;
};

struct Session {
  Journal journal;
  MemorySink sink;
  RecordingHandlers handlers{journal};
  Status status;

  explicit Session(std::optional<HostError> open_failure = std::nullopt) {
    journal.sink = &sink;
    handlers.open_failure = std::move(open_failure);
  }
  std::vector<std::string> run(const std::string& input) {
    MemorySource source(input, 3);
    status = serve_messages(source, sink, handlers);
    return sink.bodies();
  }
};

constexpr const char* HELLO = R"({"protocol":1,"request_id":"h1","type":"hello"})";

TEST(MessageLoop, EmptyInputEndsCleanlyWithNothingWritten) {
  Session session;
  EXPECT_TRUE(session.run("").empty());
  EXPECT_TRUE(session.status);
  EXPECT_TRUE(session.journal.events.empty());
}

TEST(MessageLoop, AnswersInOrderAndReleasesTheStateBeforeEachAnswer) {
  Session session;
  const auto answers = session.run(
      frame(HELLO) + frame(R"({"protocol":1,"request_id":"s","type":"submit","payload":[1]})"));
  ASSERT_TRUE(session.status);
  ASSERT_EQ(answers.size(), 2u);
  EXPECT_TRUE(answers[0].starts_with(R"({"protocol":1,"request_id":"h1","ok":true,)"));
  EXPECT_EQ(answers[1],
            R"({"protocol":1,"request_id":"s","ok":true,"result":{"state":"SUBMITTED"}})");
  EXPECT_EQ(session.journal.events,
            (std::vector<std::string>{"open", "contact", "release after 0 answers", "open",
                                      "contact", "submit [1]", "release after 1 answers"}));
  EXPECT_EQ(session.sink.flushes, 2u);
}

TEST(MessageLoop, FramingErrorEndsTheLoopWithoutAnAnswer) {
  Session session;
  const auto answers = session.run(frame(HELLO) + std::string("\x07\x00", 2));
  EXPECT_EQ(answers.size(), 1u);
  ASSERT_FALSE(session.status);
  EXPECT_EQ(session.status.error().code, ErrorCode::IO_ERROR);
}

TEST(MessageLoop, RunHostExitStatuses) {
  Journal journal;
  MemorySink sink;
  journal.sink = &sink;
  RecordingHandlers handlers(journal);
  MemorySource empty("");
  EXPECT_EQ(run_host(empty, sink, handlers), 0);
  MemorySource cut(std::string("\x01\x00", 2));
  EXPECT_EQ(run_host(cut, sink, handlers), 1);
  EXPECT_TRUE(sink.bytes.empty());
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
  const auto& events = session.journal.events;
  const bool contact =
      std::find(events.begin(), events.begin() + 2, "contact") != events.begin() + 2;
  EXPECT_EQ(contact, GetParam().contact);
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
  ErrorCode error_code;
  std::string body;
  std::string answered_id;
  std::string answered_code;
};

class MessageLoopStateFailure : public ::testing::TestWithParam<EarlyFailure> {};

TEST_P(MessageLoopStateFailure, AnsweredWithTheStateError) {
  const auto& p = GetParam();
  Session session(HostError{p.error_code, "Cannot create print-helper state: x"});
  const auto answers = session.run(frame(p.body));
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(answers[0], R"({"protocol":1,"request_id":")" + p.answered_id +
                            R"(","ok":false,"error":{"code":")" + p.answered_code +
                            R"(","message":"Cannot create print-helper state: x"}})");
  EXPECT_EQ(session.journal.events, std::vector<std::string>{"open"});
}

INSTANTIATE_TEST_SUITE_P(
    Rules, MessageLoopStateFailure,
    ::testing::Values(
        EarlyFailure{"HelloKeepsCode", ErrorCode::STATE_CORRUPT, HELLO, "h1", "STATE_CORRUPT"},
        EarlyFailure{"SubmitBecomesPreSubmit", ErrorCode::STATE_UNAVAILABLE,
                     R"({"protocol":1,"request_id":"s","type":"submit"})", "s",
                     "PRE_SUBMIT_UNAVAILABLE"},
        EarlyFailure{"SubmitKeepsBridgeBusy", ErrorCode::BRIDGE_BUSY,
                     R"({"protocol":1,"request_id":"s","type":"submit"})", "s", "BRIDGE_BUSY"},
        EarlyFailure{"SubmitWithWrongProtocolStillPreSubmit", ErrorCode::STATE_VERSION,
                     R"({"protocol":9,"request_id":"bad id","type":"submit"})", "bad id",
                     "PRE_SUBMIT_UNAVAILABLE"},
        EarlyFailure{"GetJobKeepsCode", ErrorCode::STATE_UNAVAILABLE,
                     R"({"protocol":1,"request_id":"g","type":"get_job"})", "g",
                     "STATE_UNAVAILABLE"},
        EarlyFailure{"UndecodableHasEmptyId", ErrorCode::STATE_UNAVAILABLE, "not json", "",
                     "STATE_UNAVAILABLE"}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace vantrel
