#include "base/owned.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace vantrel {
namespace {

// Records what it closes; -1 is no handle, as a failed call would answer.
struct RecordingClose {
  std::vector<int>* closed = nullptr;
  static bool is_none(int handle) noexcept { return handle == -1; }
  void operator()(int handle) const noexcept { closed->push_back(handle); }
};
using OwnedInt = Owned<int, RecordingClose>;

TEST(Owned, ClosesEachHandleOnceWhereverItWasMovedAndNeverClosesNone) {
  std::vector<int> closed;
  {
    OwnedInt failed(-1, RecordingClose{&closed});
    EXPECT_FALSE(failed);
    OwnedInt first(3, RecordingClose{&closed});
    OwnedInt moved(std::move(first));
    OwnedInt assigned(4, RecordingClose{&closed});
    assigned = std::move(moved);  // 4 is closed here, 3 changes hands
    EXPECT_EQ(closed, std::vector<int>{4});
    EXPECT_FALSE(first);
    assigned.reset();
    assigned.reset();
  }
  EXPECT_EQ(closed, (std::vector<int>{4, 3}));
}

}  // namespace
}  // namespace vantrel
