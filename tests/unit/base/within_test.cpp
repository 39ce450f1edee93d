#include "base/within.hpp"

#include <gtest/gtest.h>

#include <memory>

namespace vantrel {
namespace {

using namespace std::chrono_literals;

TEST(RunWithin, GivesTheValueInTimeAndLetsWorkThatOverrunsGoOnAlone) {
  EXPECT_EQ(run_within(10s, [] { return 7; }), 7);

  // As the watchdog's last log line on a hung disk: the caller goes on, the work finishes later.
  auto gate = std::make_shared<std::promise<void>>();
  auto finished = std::make_shared<std::promise<void>>();
  const std::shared_future<void> released = gate->get_future().share();
  std::future<void> done = finished->get_future();
  const std::expected<void, Overrun> late = run_within(20ms, [released, finished] {
    released.wait();
    finished->set_value();
  });
  ASSERT_FALSE(late.has_value());
  EXPECT_EQ(late.error(), Overrun::still_running);
  gate->set_value();
  done.wait();
}

}  // namespace
}  // namespace vantrel
