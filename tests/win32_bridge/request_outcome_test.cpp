// How a bounded request to a device ends.
#include <gtest/gtest.h>

#include "RequestOutcome.h"

namespace vyhid::win32 {
namespace {

TEST(RequestOutcome, ACompletedRequestSucceedsEvenWhenItsTimeRanOut) {
  EXPECT_EQ(RequestError(true, true, 0), 0u);
  EXPECT_EQ(RequestError(false, true, 0), 0u) << "completed before the cancel took hold";
  EXPECT_EQ(RequestError(false, false, kErrorOperationAborted), kErrorTimeout);
  // Aborted in time: a close cancelled it, not the bound.
  EXPECT_EQ(RequestError(true, false, kErrorOperationAborted), kErrorOperationAborted);
  EXPECT_EQ(RequestError(false, false, 1167), 1167u) << "the device went away meanwhile";
  EXPECT_EQ(RequestError(true, false, 0), kErrorGenFailure) << "never a failure without a reason";
}

}  // namespace
}  // namespace vyhid::win32
