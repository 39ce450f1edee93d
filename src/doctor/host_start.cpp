#include "doctor/host_start.hpp"

#include <algorithm>
#include <optional>

#include "base/json.hpp"
#include "base/os_error.hpp"
#include "base/text.hpp"
#include "protocol/channel.hpp"
#include "protocol/envelope.hpp"

namespace vantrel {
namespace {

// What a hello answer says: the result's version, or the error's code and message.
struct HelloAnswer {
  std::optional<std::string> version;
  std::optional<std::string> code;
  std::string message;
};

std::optional<HelloAnswer> read_hello_answer(const std::vector<std::uint8_t>& body) {
  const JsonValue answer = JsonValue::parse(body.begin(), body.end(), nullptr, false);
  if (!answer.is_object()) return std::nullopt;
  HelloAnswer hello;
  const auto text = [](const JsonValue& object, const char* key) -> std::optional<std::string> {
    if (!object.is_object()) return std::nullopt;
    const auto member = object.find(key);
    if (member == object.end() || !member->is_string()) return std::nullopt;
    return member->get<std::string>();
  };
  if (const auto result = answer.find("result"); result != answer.end()) {
    hello.version = text(*result, "version");
  }
  if (const auto error = answer.find("error"); error != answer.end()) {
    hello.code = text(*error, "code");
    hello.message = text(*error, "message").value_or("");
  }
  if (!hello.version && !hello.code) return std::nullopt;
  return hello;
}

std::string command_text(const HostStart& start) {
  std::string text = start.program;
  for (const std::string& argument : start.arguments) {
    text += ' ';
    text += argument.find(' ') == std::string::npos ? argument : "\"" + argument + "\"";
  }
  return text;
}

// The bytes of a frame, gathered as write_native_message writes them.
class TextSink final : public ByteSink {
 public:
  std::expected<std::size_t, StreamFailure> write(std::span<const std::uint8_t> bytes) override {
    text.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    return bytes.size();
  }
  std::expected<void, StreamFailure> flush() override { return {}; }
  std::string text;
};

// A started program's output as read_native_message reads its input, until the deadline;
// why it stopped is kept, since the channel's error names only the os code.
class ProgramSource final : public ByteSource {
 public:
  ProgramSource(StartedProgram& program, std::chrono::steady_clock::time_point deadline)
      : program_(program), deadline_(deadline) {}

  std::expected<std::size_t, StreamFailure> read(std::span<std::uint8_t> buffer) override {
    const ProgramRead got =
        program_.read({reinterpret_cast<char*>(buffer.data()), buffer.size()}, deadline_);
    last = got.kind;
    if (got.kind == ProgramRead::Kind::data) {
      received += got.bytes;
      return got.bytes;
    }
    if (got.kind == ProgramRead::Kind::ended) return 0;
    return std::unexpected(StreamFailure{got.os_code});
  }

  ProgramRead::Kind last = ProgramRead::Kind::data;
  std::size_t received = 0;

 private:
  StartedProgram& program_;
  std::chrono::steady_clock::time_point deadline_;
};

// The answer's body, or what went wrong on the way to it.
std::expected<std::vector<std::uint8_t>, std::string> read_framed_answer(
    StartedProgram& program, std::chrono::steady_clock::time_point deadline,
    std::chrono::milliseconds limit) {
  ProgramSource source(program, deadline);
  auto body = read_native_message(source);
  if (body && *body) return std::move(**body);
  switch (source.last) {
    case ProgramRead::Kind::timed_out:
      return std::unexpected("gave no answer within " + duration_text(limit) + ", so it was ended");
    case ProgramRead::Kind::ended: {
      std::string text = source.received == 0 ? "ended without answering" : "ended in mid-answer";
      if (const auto status = program.exit_status(std::chrono::milliseconds(500))) {
        text += " (exit status " + std::to_string(*status) + ")";
      }
      return std::unexpected(std::move(text));
    }
    default:
      return std::unexpected("its answer could not be read: " +
                             (body ? std::string("no frame") : body.error().message));
  }
}

}  // namespace

std::vector<HostStart> host_starts(const std::vector<Registration>& registrations) {
  std::vector<HostStart> starts;
  for (const Registration& registration : registrations) {
    const auto same = std::ranges::find_if(starts, [&](const HostStart& start) {
      return start.program == registration.program && start.arguments == registration.arguments;
    });
    if (same != starts.end()) {
      same->browsers.push_back(registration.browser);
    } else {
      starts.push_back(HostStart{registration.program,
                                 registration.arguments,
                                 {registration.browser},
                                 registration.per_user});
    }
  }
  return starts;
}

std::string framed_hello_request() {
  const std::string hello =
      JsonValue{{"protocol", PROTOCOL_VERSION}, {"request_id", "doctor"}, {"type", "hello"}}.dump();
  TextSink sink;
  (void)write_native_message(sink, {reinterpret_cast<const std::uint8_t*>(hello.data()),
                                    hello.size()});  // a sink in memory takes every byte
  return std::move(sink.text);
}

DoctorCheck check_host_start(DoctorSystem& system, const HostStart& start, std::string_view version,
                             std::chrono::milliseconds limit) {
  DoctorCheck check{
      "program for " + joined(start.browsers, ", "), false, command_text(start) + ": ", "", {}};
  const auto deadline = std::chrono::steady_clock::now() + limit;
  auto program = system.start_program(start.program, start.arguments);
  if (!program) {
    const bool missing = program.error().kind == FileErrorKind::not_found;
    check.detail +=
        missing ? "not found" : "cannot be started: " + os_error_text(program.error().os_code);
    check.advice = install_advice(system.platform(), start.per_user);
    return check;
  }
  // A program that never reads may refuse the request; whatever it answers still counts.
  const auto sent = (*program)->send_and_close(framed_hello_request());
  auto body = read_framed_answer(**program, deadline, limit);
  if (!body) {
    check.detail += body.error();
    if (!sent) check.detail += "; it took no request: " + os_error_text(sent.error());
    check.advice = "start the host as a browser does and see what it writes on standard error: " +
                   command_text(start) + ", then " +
                   install_advice(system.platform(), start.per_user);
    return check;
  }
  // A host that has answered ends when its input ends: its last log line is written then.
  (void)(*program)->exit_status(std::max(std::chrono::duration_cast<std::chrono::milliseconds>(
                                             deadline - std::chrono::steady_clock::now()),
                                         std::chrono::milliseconds(0)));
  const std::optional<HelloAnswer> answer = read_hello_answer(*body);
  if (!answer) {
    check.detail += "answered something that is not a hello answer";
    check.advice =
        "the manifest names another program: " + install_advice(system.platform(), start.per_user);
  } else if (answer->code) {
    check.detail += "answered hello with " + *answer->code + ": " + answer->message;
    check.advice = "see the state and log lines below for why";
  } else if (answer->version != version) {
    check.detail += "answered hello as version " + *answer->version + ", this doctor is " +
                    std::string(version);
    check.advice = "another version is installed where this browser looks: " +
                   install_advice(system.platform(), start.per_user);
  } else {
    check.ok = true;
    check.detail += "answered hello as version " + std::string(version);
  }
  return check;
}

}  // namespace vantrel
