#pragma once

#include <memory>

#include "domain/printing/print_system.hpp"
#include "domain/state/state_store.hpp"
#include "domain/watchdog.hpp"
#include "protocol/message_loop.hpp"

namespace vantrel {

// The seams one host process works through: the real Windows ones in the executable, fakes in
// tests.
struct HostPlatform {
  StateStore& state_store;
  PrintSystem& print_system;
  Watchdogs& watchdogs;
};

// The composition of the host: every message type wired to its subsystem, each message over
// its own durable state.
class HostHandlers final : public MessageHandlers {
 public:
  explicit HostHandlers(HostPlatform platform) : platform_(platform) {}

  Result<std::unique_ptr<MessageSession>> open_session() override;

 private:
  HostPlatform platform_;
};

}  // namespace vantrel
