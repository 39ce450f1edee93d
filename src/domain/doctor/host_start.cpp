#include "domain/doctor/host_start.hpp"

#include <algorithm>
#include <array>
#include <optional>

#include "base/json_reader.hpp"
#include "base/os_error.hpp"
#include "base/text.hpp"

namespace vantrel {
namespace {

// The protocol of hello; the bridge status names the same number for the same reason.
constexpr std::string_view HELLO_REQUEST = R"({"protocol":1,"request_id":"doctor","type":"hello"})";

// What a hello answer says: the result's version, or the error's code and message.
struct HelloAnswer {
  std::optional<std::string> version;
  std::optional<std::string> code;
  std::string message;
};

std::optional<HelloAnswer> read_hello_answer(std::string_view body) {
  HelloAnswer answer;
  JsonReader reader(body);
  reader.skip_whitespace();
  const bool read = reader.read_object([&](std::string_view key) {
    if (key == "result") {
      return reader.read_object([&](std::string_view member) {
        if (member != "version") return reader.skip_value();
        return reader.read_text(answer.version.emplace());
      });
    }
    if (key == "error") {
      return reader.read_object([&](std::string_view member) {
        if (member == "code") return reader.read_text(answer.code.emplace());
        if (member == "message") return reader.read_text(answer.message);
        return reader.skip_value();
      });
    }
    return reader.skip_value();
  });
  reader.skip_whitespace();
  if (!read || !reader.at_end() || (!answer.version && !answer.code)) return std::nullopt;
  return answer;
}

std::string command_text(const HostStart& start) {
  std::string text = start.program;
  for (const std::string& argument : start.arguments) {
    text += ' ';
    text += argument.find(' ') == std::string::npos ? argument : "\"" + argument + "\"";
  }
  return text;
}

// The answer's body, or what went wrong on the way to it.
std::expected<std::string, std::string> read_framed_answer(
    StartedProgram& program, std::chrono::steady_clock::time_point deadline,
    std::chrono::milliseconds limit) {
  std::string received;
  std::array<char, 4096> buffer{};
  std::optional<std::size_t> body_size;
  for (;;) {
    if (!body_size && received.size() >= 4) {
      const auto byte = [&](std::size_t i) {
        return static_cast<std::size_t>(static_cast<unsigned char>(received[i]));
      };
      body_size = byte(0) | byte(1) << 8 | byte(2) << 16 | byte(3) << 24;
      if (*body_size > HELLO_ANSWER_MAX_BYTES) {
        return std::unexpected("answered with a frame of " + std::to_string(*body_size) +
                               " bytes, which is no hello answer");
      }
    }
    if (body_size && received.size() >= 4 + *body_size) return received.substr(4, *body_size);
    const ProgramRead got = program.read(buffer, deadline);
    switch (got.kind) {
      case ProgramRead::Kind::data:
        received.append(buffer.data(), got.bytes);
        break;
      case ProgramRead::Kind::ended: {
        std::string text = received.empty() ? "ended without answering" : "ended in mid-answer";
        if (const auto status = program.exit_status(std::chrono::milliseconds(500))) {
          text += " (exit status " + std::to_string(*status) + ")";
        }
        return std::unexpected(std::move(text));
      }
      case ProgramRead::Kind::timed_out:
        return std::unexpected("gave no answer within " + duration_text(limit) +
                               ", so it was ended");
      case ProgramRead::Kind::failed:
        return std::unexpected("its answer could not be read: " + os_error_text(got.os_code));
    }
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
  const auto size = static_cast<std::uint32_t>(HELLO_REQUEST.size());
  std::string frame;
  for (int shift = 0; shift < 32; shift += 8)
    frame.push_back(static_cast<char>(size >> shift & 0xFF));
  frame.append(HELLO_REQUEST);
  return frame;
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
