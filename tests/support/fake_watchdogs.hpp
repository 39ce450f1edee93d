#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "domain/watchdog.hpp"
#include "fault_plan.hpp"

namespace vantrel::fakes {

// Records every arming and disarming; never fires. Arming can be made to fail, and a hook runs at
// each arming, before the guarded stretch begins. A planned arming failure must fire.
class FakeWatchdogs final : public Watchdogs {
 public:
  FakeWatchdogs() = default;
  FakeWatchdogs(const FakeWatchdogs&) = delete;
  FakeWatchdogs& operator=(const FakeWatchdogs&) = delete;
  ~FakeWatchdogs() override {
    if (arm_failure && !arm_failed_ && FaultPlan::report_unfired != nullptr) {
      FaultPlan::report_unfired("planned arming failure never fired");
    }
  }

  Result<WatchdogSignal> arm(const char* label) override {
    if (on_arm) on_arm();
    if (arm_failure) {
      arm_failed_ = true;
      return std::unexpected(*arm_failure);
    }
    labels.emplace_back(label);
    ++armed_now;
    return WatchdogSignal(std::make_unique<Channel>(*this));
  }

  std::optional<HostError> arm_failure;
  std::function<void()> on_arm;
  std::vector<std::string> labels;  // one entry per successful arming
  int armed_now = 0;                // armed and not yet disarmed
  int disarmed = 0;

 private:
  bool arm_failed_ = false;

  class Channel final : public WatchdogChannel {
   public:
    explicit Channel(FakeWatchdogs& owner) : owner_(owner) {}
    ~Channel() override { complete(); }
    void complete() noexcept override {
      if (done_) return;
      done_ = true;
      --owner_.armed_now;
      ++owner_.disarmed;
    }

   private:
    FakeWatchdogs& owner_;
    bool done_ = false;
  };
};

}  // namespace vantrel::fakes
