#include "velk/graph/dep_stack.h"

#include "test_support.h"

using velk::DepRead;
using velk::FrameGuard;
using velk::SharedDepStack;

TEST(SharedDepStack, ReadsGoToTheTopFrameAndNowhereOutsideAFrame) {
  SharedDepStack stack;
  EXPECT_FAILURE(stack.pop_frame(), "SharedDepStack::pop_frame on empty stack");
  stack.record(&stack, 1, 0);
  EXPECT_FALSE(stack.in_compute());
  stack.push_frame(&stack, 10);
  stack.record(&stack, 2, 0);
  stack.push_frame(&stack, 20);
  stack.record(&stack, 3, 5);
  EXPECT_TRUE(stack.in_compute() && stack.contains(&stack, 10) && stack.contains(&stack, 20));
  EXPECT_FALSE(stack.contains(&stack, 2));
  int other_runtime;
  stack.record(&other_runtime, 4, 0);  // not this frame's runtime: not a dependency
  EXPECT_FALSE(stack.contains(&other_runtime, 20));
  EXPECT_EQ(stack.pop_frame().deps, (std::vector<DepRead>{{3, 5}}));
  EXPECT_EQ(stack.pop_frame().deps, (std::vector<DepRead>{{2, 0}}));
  EXPECT_FALSE(stack.in_compute());
  // A frame reused at the same depth starts empty and untainted.
  stack.push_frame(&stack, 30);
  stack.record(&stack, 6, 1);
  stack.taint_top(&stack);
  stack.pop_frame();
  stack.push_frame(&stack, 40);
  EXPECT_FALSE(stack.contains(&stack, 30));
  const velk::DepFrame& reused = stack.pop_frame();
  EXPECT_TRUE(reused.deps.empty() && !reused.tainted && reused.node == 40);
}

TEST(SharedDepStack, EachThreadHasItsOwnStack) {
  FrameGuard guard(SharedDepStack::current(), nullptr, 7);
  std::thread([] {
    EXPECT_FALSE(SharedDepStack::current().in_compute());
    FrameGuard inner(SharedDepStack::current(), nullptr, 8);
    SharedDepStack::current().record(nullptr, 9, 0);
  }).join();
  EXPECT_FALSE(SharedDepStack::current().contains(nullptr, 8));
  EXPECT_TRUE(guard.take().deps.empty());
}

TEST(SharedDepStack, AContinuingStackSeesTheReadersFramesAndHandsBackItsTaint) {
  FrameGuard reader(SharedDepStack::current(), nullptr, 7);
  const SharedDepStack& reader_stack = SharedDepStack::current();
  std::thread([&] {
    SharedDepStack& helper = SharedDepStack::current();
    velk::ContinuationGuard continuation(reader_stack);
    EXPECT_TRUE(helper.in_compute() && helper.contains(nullptr, 7));
    {
      FrameGuard inner(helper, nullptr, 8);
      helper.taint_top(nullptr);  // its own frame takes it
      EXPECT_TRUE(inner.take().tainted);
    }
    EXPECT_FALSE(reader_stack.contains(nullptr, 8));
    helper.taint_top(nullptr);  // reaches the bottom: the reader's
    EXPECT_TRUE(continuation.end());
    EXPECT_FALSE(helper.in_compute() || helper.contains(nullptr, 7));
  }).join();
  EXPECT_FALSE(reader.take().tainted);  // handed back to the caller, not written across threads
}
