#pragma once

#include <memory>

#include "domain/printing/print_system.hpp"
#include "domain/state/host_state.hpp"
#include "domain/state/state_files.hpp"
#include "domain/watchdog.hpp"
#include "protocol/message_loop.hpp"

namespace vantrel {

// The seams one host process works through: the real Windows ones in the executable, fakes in
// tests.
struct HostPlatform {
  StateFileSystem& files;
  PrintSystem& print_system;
  Watchdogs& watchdogs;
};

// The durable state of one message, as the loop holds it.
class OpenHostState final : public MessageState {
 public:
  explicit OpenHostState(HostState opened) : state(std::move(opened)) {}
  HostState state;
};

// Every message type wired to its subsystem.
class HostHandlers final : public MessageHandlers {
 public:
  explicit HostHandlers(HostPlatform platform) : platform_(platform) {}

  Result<std::unique_ptr<MessageState>> open_state() override;
  void write_bridge_status(MessageState& state) override;
  Result<JsonValue> list_printers(MessageState& state) override;
  Result<JsonValue> submit(const JsonValue& payload, MessageState& state) override;
  Result<JsonValue> get_job(const JsonValue& payload, MessageState& state) override;

 private:
  HostPlatform platform_;
};

}  // namespace vantrel
