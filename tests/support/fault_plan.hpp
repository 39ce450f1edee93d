#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vantrel::fakes {

// The one way every fake injects faults: a call fails on its Nth use with a chosen error, a
// hook runs at every call, and the process "crashes" after the Nth call. Fakes that share a plan
// share its call count, so a crash point can fall on any call of any seam. After the crash
// every call of every fake sharing the plan is dead: it does nothing and fails. A planned fault
// must fire: a plan that ends with one unfired (or a crash never reached) is reported, so that
// no test passes on a fault that never happened.
class FaultPlan {
 public:
  FaultPlan() = default;
  // A copy would report its faults twice; a move leaves nothing planned behind.
  FaultPlan(const FaultPlan&) = delete;
  FaultPlan& operator=(const FaultPlan&) = delete;
  FaultPlan(FaultPlan&& other) noexcept
      : hook(std::move(other.hook)),
        faults_(std::exchange(other.faults_, {})),
        calls_(other.calls_),
        crash_after_(std::exchange(other.crash_after_, std::nullopt)) {}
  FaultPlan& operator=(FaultPlan&&) = delete;
  ~FaultPlan() {
    if (report_unfired == nullptr) return;
    for (const std::string& fault : unfired()) report_unfired(fault);
  }

  // Where unfired faults are reported: the unit tests fail the running test
  // (tests/unit/fault_plan_test.cpp); nothing elsewhere (the benchmarks).
  static inline void (*report_unfired)(const std::string& fault) = nullptr;
  struct Fault {
    std::uint32_t error = 0;
    int value = 0;  // what a call that returns a number answers instead (GDI's 0, -1, ...)
  };

  // The `occurrence`-th use of `call` from now fails, and the `times - 1` uses after it too
  // (times < 0: every use from then on).
  void fail(std::string_view call, std::uint32_t error, int occurrence = 1, int times = 1,
            int value = 0) {
    // Uses are counted from the first fault planned for the call: "from now" needs no more.
    Tracked& tracked = faults_[std::string(call)];
    tracked.planned.push_back(Planned{tracked.uses + occurrence, times, Fault{error, value}});
  }

  // Runs at the start of every call, before any fault is decided.
  std::function<void(std::string_view call)> hook;

  // The process ends right after the `calls`-th call, counted over every fake of the plan.
  void crash_after(std::size_t calls) { crash_after_ = calls; }

  // Called by a fake at the start of each call. nullopt: the call goes ahead.
  [[nodiscard]] std::optional<Fault> enter(std::string_view call) {
    if (crashed()) return Fault{DEAD_ERROR, 0};
    ++calls_;
    if (hook) hook(call);
    if (faults_.empty()) return std::nullopt;
    const auto tracked = faults_.find(call);
    if (tracked == faults_.end()) return std::nullopt;
    const int use = ++tracked->second.uses;
    for (Planned& fault : tracked->second.planned) {
      if (use >= fault.first && (fault.times < 0 || use < fault.first + fault.times)) {
        fault.fired = true;
        return fault.fault;
      }
    }
    return std::nullopt;
  }

  // The planned faults that have not fired yet, and a crash not reached.
  [[nodiscard]] std::vector<std::string> unfired() const {
    std::vector<std::string> faults;
    for (const auto& [call, tracked] : faults_) {
      for (const Planned& fault : tracked.planned) {
        if (!fault.fired) {
          faults.push_back("planned fault of " + call + " (use " + std::to_string(fault.first) +
                           ", error " + std::to_string(fault.fault.error) + ") never fired");
        }
      }
    }
    if (crash_after_ && !crashed()) {
      faults.push_back("planned crash after call " + std::to_string(*crash_after_) +
                       " never reached (" + std::to_string(calls_) + " calls)");
    }
    return faults;
  }

  // Whether the crash has happened: every call from now on is dead.
  [[nodiscard]] bool crashed() const { return crash_after_ && calls_ >= *crash_after_; }
  [[nodiscard]] bool crash_planned() const { return crash_after_.has_value(); }
  [[nodiscard]] std::size_t calls() const { return calls_; }

  // What a dead call fails with (ERROR_NOT_READY): the process is gone.
  static constexpr std::uint32_t DEAD_ERROR = 21;

 private:
  struct Planned {
    int first;
    int times;
    Fault fault;
    bool fired = false;
  };
  struct Tracked {
    int uses = 0;
    std::vector<Planned> planned;
  };
  // Found by string_view, so that a call allocates nothing.
  std::map<std::string, Tracked, std::less<>> faults_;
  std::size_t calls_ = 0;
  std::optional<std::size_t> crash_after_;
};

}  // namespace vantrel::fakes
