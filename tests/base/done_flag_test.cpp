#include "base/done_flag.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace kestrio {
namespace {

using std::chrono::milliseconds;

TEST(DoneFlag, AWaiterWakesWhenTheFlagIsRaisedNotWhenItsTimeoutEnds) {
  DoneFlag flag;
  EXPECT_FALSE(flag.IsSet());
  EXPECT_FALSE(flag.WaitFor(milliseconds(1)));  // nobody raises it: the wait times out
  // Raised from another thread while the wait is on: a wait that missed the notice would
  // only end after ten minutes, which the suite's timeout turns into a failure.
  std::thread worker([&] {
    std::this_thread::sleep_for(milliseconds(20));
    flag.Set();
  });
  EXPECT_TRUE(flag.WaitFor(milliseconds(10 * 60 * 1000)));
  worker.join();
  EXPECT_TRUE(flag.IsSet());
  EXPECT_TRUE(flag.WaitFor(milliseconds(0)));
  flag.Clear();  // a run started again
  EXPECT_FALSE(flag.WaitFor(milliseconds(0)));
  EXPECT_TRUE(DoneFlag(true).IsSet());
}

}  // namespace
}  // namespace kestrio
