#include "velk/dep_stack.h"

#include "test_support.h"

using velk::DepRead;
using velk::FrameGuard;
using velk::SharedDepStack;

TEST(SharedDepStack, ReadsGoToTheTopFrameAndNowhereOutsideAFrame) {
  SharedDepStack stack;
  EXPECT_FAILURE(stack.pop_frame(), "SharedDepStack::pop_frame on empty stack");
  stack.record(1, 0);
  EXPECT_FALSE(stack.in_compute());
  stack.push_frame(10);
  stack.record(2, 0);
  stack.push_frame(20);
  stack.record(3, 5);
  EXPECT_TRUE(stack.in_compute() && stack.contains(10) && stack.contains(20));
  EXPECT_FALSE(stack.contains(2));
  EXPECT_EQ(stack.pop_frame().deps, (std::vector<DepRead>{{3, 5}}));
  EXPECT_EQ(stack.pop_frame().deps, (std::vector<DepRead>{{2, 0}}));
  EXPECT_FALSE(stack.in_compute());
}

TEST(SharedDepStack, EachThreadHasItsOwnStack) {
  FrameGuard guard(SharedDepStack::current(), 7);
  std::thread([] {
    EXPECT_FALSE(SharedDepStack::current().in_compute());
    FrameGuard inner(SharedDepStack::current(), 8);
    SharedDepStack::current().record(9, 0);
  }).join();
  EXPECT_FALSE(SharedDepStack::current().contains(8));
  EXPECT_TRUE(guard.take().deps.empty());
}
