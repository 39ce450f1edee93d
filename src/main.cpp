// Process entry of the native-messaging host. The browser passes arguments (its extension's
// origin, a parent window); the host has no options and ignores them.
#include "host/message_loop.hpp"
#include "host/standard_streams.hpp"

namespace {

class EmptyState final : public vantrel::MessageState {};

// Until the durable state lands every message works on an empty state.
class SpineHandlers final : public vantrel::MessageHandlers {
 public:
  vantrel::Result<std::unique_ptr<vantrel::MessageState>> open_state() override {
    return std::make_unique<EmptyState>();
  }
  void write_bridge_status(vantrel::MessageState&) override {}
};

}  // namespace

int main() {
  vantrel::StandardStreams streams = vantrel::take_standard_streams();
  SpineHandlers handlers;
  return vantrel::run_host(*streams.input, *streams.output, handlers);
}
