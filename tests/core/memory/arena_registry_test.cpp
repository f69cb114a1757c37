#include "velk/memory/arena_registry.h"

#include "test_support.h"
#include "velk/runtime/engine_steps.h"
#include "velk/runtime/runtime.h"

namespace {
struct Label {
  uint32_t id = 0;
};
}  // namespace

template <>
struct velk::ValueTraits<Label> {
  static constexpr std::string_view name = "Label";
  static bool equal(const Label& a, const Label& b) noexcept { return a.id == b.id; }
};

TEST(ArenaRegistry, TagsFollowFirstUseAndEachRegistryStartsAtZero) {
  velk::ArenaRegistry first;
  const auto [number_tag, numbers] = first.ensure_tagged<uint64_t>();
  EXPECT_EQ(number_tag, 0);
  EXPECT_EQ(first.ensure_tagged<Label>().first, 1);
  EXPECT_EQ(first.ensure_tagged<uint64_t>(), std::make_pair(uint16_t(0), numbers));
  EXPECT_EQ(first.get<Label>(0), nullptr);  // the wrong type for tag 0
  EXPECT_EQ(first.get<uint64_t>(1), nullptr);
  EXPECT_EQ(first.get<uint64_t>(2), nullptr);
  velk::ArenaRegistry second;
  EXPECT_EQ(second.ensure_tagged<Label>().first, 0);
}

// Threads create nodes of two value types at once and read them back: each type gets one tag
// for the whole runtime and every node keeps its own value.
TEST(ArenaRegistry, ConcurrentCreationsOfTwoTypesShareOneTagPerType) {
  velk_test::DeadlockGuard guard;
  const uint32_t per_thread = 500 * velk_test::kScale;
  velk::Runtime rt;
  std::vector<std::vector<velk::Velk<uint64_t>>> numbers(4);
  std::vector<std::vector<velk::Velk<Label>>> labels(4);
  velk_test::run_threads(4, [&](uint32_t t) {
    for (uint32_t i = 0; i < per_thread; ++i) {
      const uint32_t v = t * per_thread + i;
      if ((i + t) % 2) {
        numbers[t].push_back(rt.create_input<uint64_t>(v));
        EXPECT_EQ(rt.get(numbers[t][i / 4 % numbers[t].size()]) / per_thread, t);
      } else {
        labels[t].push_back(rt.create_input<Label>(Label{v}));
        EXPECT_EQ(rt.get(labels[t][i / 4 % labels[t].size()]).id / per_thread, t);
      }
    }
  });
  const uint16_t number_tag = velk::EngineSteps::record(rt, numbers[0][0].slot).load_arena_tag();
  const uint16_t label_tag = velk::EngineSteps::record(rt, labels[0][0].slot).load_arena_tag();
  EXPECT_EQ(number_tag + label_tag, 1);  // 0 and 1, whichever type came first
  for (uint32_t t = 0; t < 4; ++t) {
    for (auto h : numbers[t])
      EXPECT_EQ(velk::EngineSteps::record(rt, h.slot).load_arena_tag(), number_tag);
    for (auto h : labels[t])
      EXPECT_EQ(velk::EngineSteps::record(rt, h.slot).load_arena_tag(), label_tag);
  }
}
