// Deleting nodes, alone or with everything downstream, and the ownership that deletes an owner's
// inputs with it.
#include <set>

#include "test_support.h"
#include "velk/runtime/engine_steps.h"
#include "velk/runtime/runtime.h"
#include "velk/runtime/test_seams.h"

using velk::ErasedVelk;
using velk::Runtime;
using U = velk::Velk<uint64_t>;
using Slots = std::vector<uint32_t>;

namespace {

bool has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class Deletion : public ::testing::Test {
 protected:
  bool alive(U h) const { return rt.is_alive(ErasedVelk(h)); }
  template <class F>
  U query(F f) {
    return rt.create_query<uint64_t>([f](Runtime& r, uint32_t) { return f(r); });
  }

  Runtime rt;
  const U a = rt.create_input<uint64_t>(1);
};

using Ownership = Deletion;

}  // namespace

TEST_F(Deletion, NodeWithDependentsIsRefusedAndLeftAsItWas) {
  const U q = query([&](Runtime& r) { return r.get(a) + 1; });
  EXPECT_EQ(rt.get(q), 2u);
  EXPECT_FAILURE(rt.delete_node(a),
                 "velk-core: delete_node on node 0 which still has dependents; "
                 "delete downstream nodes first");
  EXPECT_EQ(velk::EngineSteps::dependents_of(rt, a.slot), Slots{q.slot});
  rt.set(a, uint64_t(5));
  EXPECT_EQ(rt.get(q), 6u);
  rt.delete_node(q);
  rt.delete_node(a);
  EXPECT_EQ(rt.node_count(), 0u);
}

TEST_F(Deletion, AComputeMayDeleteOnlyOtherNodesAndOnlyOneAtATime) {
  const U x = rt.create_input<uint64_t>(7);
  U self;
  self = query([&](Runtime& r) {
    r.delete_node(self);
    return uint64_t(0);
  });
  const U deletes_x = query([&](Runtime& r) {
    r.delete_node(x);
    return r.get(a);
  });
  const U sweeps = query([&](Runtime& r) { return r.delete_with_dependents(ErasedVelk(a)); });
  EXPECT_FAILURE(rt.get(self), "velk-core: delete_node called from inside node 2's own compute");
  EXPECT_TRUE(alive(self));
  EXPECT_EQ(rt.get(deletes_x), 1u);
  EXPECT_FALSE(alive(x));
  EXPECT_FAILURE(rt.get(sweeps),
                 "velk-core: delete_with_dependents called during compute; not permitted");
  EXPECT_TRUE(alive(a));
}

TEST_F(Deletion, WithDependentsDeletesTheWholeChainAndNothingForAStaleRoot) {
  const U q1 = query([&](Runtime& r) { return r.get(a) + 1; });
  const U q2 = query([&](Runtime& r) { return r.get(q1) * 2; });
  const U unrelated = rt.create_input<uint64_t>(3);
  EXPECT_EQ(rt.get(q2), 4u);
  EXPECT_EQ(rt.delete_with_dependents(ErasedVelk(a)), 3u);
  EXPECT_FALSE(alive(a) || alive(q1) || alive(q2));
  EXPECT_FAILURE(rt.get(q2),
                 "velk-core: stale Velk<u64> handle: the node at slot 2 was deleted "
                 "(handle generation 0, slot generation 1)");
  EXPECT_EQ(rt.delete_with_dependents(ErasedVelk(a)), 0u);
  EXPECT_EQ(rt.node_count(), 1u);
  Runtime other;
  EXPECT_FAILURE(other.delete_with_dependents(ErasedVelk(unrelated)),
                 "velk-core: delete_with_dependents with a handle from a foreign runtime (handle "
                 "was minted by runtime " +
                     std::to_string(rt.id().value) + ", used on runtime " +
                     std::to_string(other.id().value) + ")");
}

// A self-read records no edge, but two queries reading each other, read first one way and then
// the other, each keep the other among their reads. A set upstream walks that cycle once, a read
// meets it as one, and delete_with_dependents removes it without looping.
TEST_F(Deletion, WithDependentsRemovesNodesLeftInACycleByFailedReads) {
  velk_test::DeadlockGuard guard;
  U self, ping, pong;
  self = query([&](Runtime& r) { return r.get(a) + r.get(self); });
  ping = query([&](Runtime& r) { return r.get(a) + r.get(pong); });
  pong = query([&](Runtime& r) { return r.get(a) + r.get(ping); });
  EXPECT_THROW(rt.get(self), velk::Failure);
  EXPECT_THROW(rt.get(ping), velk::Failure);
  EXPECT_THROW(rt.get(pong), velk::Failure);
  EXPECT_EQ(velk::EngineSteps::dependents_of(rt, self.slot), Slots{});
  EXPECT_EQ(velk::EngineSteps::dependents_of(rt, ping.slot), Slots{pong.slot});
  EXPECT_EQ(velk::EngineSteps::dependents_of(rt, pong.slot), Slots{ping.slot});
  rt.set(a, uint64_t(2));
  EXPECT_FAILURE(rt.get(ping),
                 "velk-core: dependency cycle detected: node 2 was read while its own compute was "
                 "in progress");
  EXPECT_EQ(rt.delete_with_dependents(ErasedVelk(self)), 1u);
  EXPECT_EQ(rt.delete_with_dependents(ErasedVelk(ping)), 2u);
  EXPECT_EQ(rt.node_count(), 1u);
}

// Readers sharing two inputs, some reading one twice, go in mixed order and then with their
// inputs: the dependents lists, long enough to be indexed, stay the exact reverse of the
// dependency lists.
TEST_F(Deletion, DependentsStayTheReverseOfDependencyListsAsSharedReadersGo) {
  const U b = rt.create_input<uint64_t>(2);
  std::vector<U> readers;
  for (uint64_t i = 0; i < 40; ++i) {
    readers.push_back(query([&, i](Runtime& r) { return r.get(a) + r.get(i % 2 ? a : b); }));
    rt.get(readers.back());
  }
  auto expect_reverse = [&] {
    for (const U in : {a, b}) {
      std::multiset<uint32_t> want;
      for (const U q : readers) {
        if (!alive(q)) continue;
        for (uint32_t d : velk::EngineSteps::record(rt, q.slot).deps()) {
          if (d == in.slot) want.insert(q.slot);
        }
      }
      const Slots got = velk::EngineSteps::dependents_of(rt, in.slot);
      EXPECT_EQ(std::multiset<uint32_t>(got.begin(), got.end()), want);
    }
  };
  for (size_t i : {0, 39, 17, 18, 1, 2, 3, 30}) rt.delete_node(readers[i]);
  expect_reverse();
  rt.set(a, uint64_t(5));
  EXPECT_EQ(rt.get(readers[5]), 10u);
  EXPECT_EQ(rt.delete_with_dependents(ErasedVelk(b)), 17u);  // b and the 16 even readers left
  expect_reverse();
  EXPECT_EQ(rt.delete_with_dependents(ErasedVelk(a)), 17u);
  EXPECT_EQ(rt.node_count(), 0u);
}

TEST_F(Ownership, DeletingTheOwnerDeletesItsInputsUnlessOneHasDependents) {
  const U owner = rt.create_input<uint64_t>(0);
  const U owned = rt.create_input<uint64_t>(2);
  rt.adopt(ErasedVelk(owner), ErasedVelk(owned));
  const U reader = query([&](Runtime& r) { return r.get(owned); });
  EXPECT_EQ(rt.get(reader), 2u);
  EXPECT_FAILURE(rt.delete_node(owner),
                 "velk-core: delete_node on node 1 whose owned node 2 still "
                 "has dependents; delete downstream nodes first");
  EXPECT_TRUE(alive(owner) && alive(owned));
  rt.delete_node(reader);
  rt.delete_node(owner);
  EXPECT_FALSE(alive(owner) || alive(owned));
  EXPECT_EQ(rt.node_count(), 1u);
}

TEST_F(Ownership, WithDependentsReachesOwnedNodesAndWhatReadsThem) {
  const U owner = query([](Runtime&) { return uint64_t(0); });
  const U owned = rt.create_input<uint64_t>(2);
  rt.adopt(ErasedVelk(owner), ErasedVelk(owned));
  const U reader = query([&](Runtime& r) { return r.get(owned); });
  rt.get(reader);
  EXPECT_EQ(rt.delete_with_dependents(ErasedVelk(owner)), 3u);
  EXPECT_FALSE(alive(owner) || alive(owned) || alive(reader));
}

// Owned nodes two deep go with their owner, or alone when deleted directly, and leave no
// ownership on their slots: new nodes reusing them are deleted alone.
TEST_F(Ownership, NestedOwnedNodesGoWithTheOwnerAndLeaveNoOwnershipBehind) {
  const U owner = rt.create_input<uint64_t>(0);
  std::vector<U> owned;
  for (uint64_t i = 0; i < 6; ++i) {
    owned.push_back(rt.create_input<uint64_t>(i));
    rt.adopt(ErasedVelk(i < 3 ? owner : owned[i - 3]), ErasedVelk(owned.back()));
  }
  rt.delete_node(owned[1]);  // from the middle of its owner's list, with its own node
  EXPECT_EQ(rt.node_count(), 6u);
  rt.delete_node(owner);
  EXPECT_EQ(rt.node_count(), 1u);
  std::vector<U> reused;
  for (int i = 0; i < 7; ++i) reused.push_back(rt.create_input<uint64_t>(0));
  for (const U r : reused) rt.delete_node(r);
  EXPECT_EQ(rt.node_count(), 1u);
}

TEST_F(Ownership, AdoptRefusesQueriesSecondOwnersAndDeadHandles) {
  const U q = query([](Runtime&) { return uint64_t(0); });
  const U x = rt.create_input<uint64_t>(0);
  const U gone = rt.create_input<uint64_t>(0);
  rt.delete_node(gone);
  Runtime other;
  const U foreign = other.create_input<uint64_t>(0);
  EXPECT_FAILURE(rt.adopt(ErasedVelk(a), ErasedVelk(q)),
                 "velk-core: adopt of node 1, which is not an input");
  rt.adopt(ErasedVelk(a), ErasedVelk(x));
  EXPECT_FAILURE(rt.adopt(ErasedVelk(q), ErasedVelk(x)), "velk-core: node 2 adopted twice");
  EXPECT_FAILURE(rt.adopt(ErasedVelk(gone), ErasedVelk(a)), "velk-core: adopt of deleted node 3");
  EXPECT_FAILURE(rt.adopt(ErasedVelk(a), ErasedVelk(foreign)),
                 "velk-core: adopt of deleted node 0");
}

// Threads delete one owner at once, and on odd rounds a third deletes its owned input directly.
// Each node is deleted exactly once: a loser that got past the handle check sees the deletion in
// progress, a later one finds its handle stale.
TEST(ConcurrentDeletion, EachNodeIsDeletedExactlyOnce) {
  velk_test::DeadlockGuard guard;
  Runtime rt;
  for (int round = 0; round < 40 * velk_test::kScale; ++round) {
    const U owner = rt.create_input<uint64_t>(1);
    const U owned = rt.create_input<uint64_t>(2);
    rt.adopt(ErasedVelk(owner), ErasedVelk(owned));
    const bool direct = round % 2;
    std::atomic<int> successes{0};
    velk_test::run_threads(3, [&](int t) {
      const U target = direct && t == 2 ? owned : owner;
      try {
        rt.delete_node(target);
        ++successes;
      } catch (const velk::Failure& f) {
        const std::string slot = std::to_string(target.slot);
        EXPECT_TRUE(f.what() == "velk-core: node " + slot + " deleted twice concurrently" ||
                    has(f.what(), "stale Velk<u64> handle: the node at slot " + slot + " "))
            << f.what();
      }
    });
    EXPECT_FALSE(rt.is_alive(ErasedVelk(owner)) || rt.is_alive(ErasedVelk(owned)));
    EXPECT_TRUE(successes == 1 || (direct && successes == 2)) << successes.load();
    ASSERT_EQ(rt.node_count(), 0u) << "round " << round;
  }
}

// Readers pull the end of a chain while it is set and then deleted with everything downstream.
// Every read returns a value the chain had or fails because the node was deleted.
TEST(ConcurrentDeletion, ReadersRacingDeleteWithDependentsSeeValuesOrDeletion) {
  velk_test::DeadlockGuard guard;
  Runtime rt;
  for (int round = 0; round < 4 * velk_test::kScale; ++round) {
    const U a = rt.create_input<uint64_t>(1);
    const U q1 = rt.create_query<uint64_t>([&](Runtime& r, uint32_t) { return r.get(a) + 1; });
    const U q2 = rt.create_query<uint64_t>([&](Runtime& r, uint32_t) { return r.get(q1) * 2; });
    ASSERT_EQ(rt.get(q2), 4u);
    for (int i = 0; i < 20; ++i) {  // enough readers of `a` for an indexed dependents list
      rt.get(rt.create_query<uint64_t>([&](Runtime& r, uint32_t) { return r.get(a); }));
    }
    velk_test::run_threads(3, [&](int t) {
      if (t == 0) {
        for (uint64_t v = 2; v <= 20; ++v) rt.set(a, v);
        EXPECT_EQ(rt.delete_with_dependents(ErasedVelk(a)), 23u);
        return;
      }
      for (uint64_t last = 4; rt.is_alive(ErasedVelk(q2));) {
        try {
          const uint64_t v = rt.get(q2);
          EXPECT_TRUE(v % 2 == 0 && v >= last && v <= 42) << v;
          last = v;
        } catch (const velk::Failure& f) {
          EXPECT_TRUE(has(f.what(), "stale Velk<u64> handle") ||
                      has(f.what(), "was deleted while a read was reaching it"))
              << f.what();
        }
      }
    });
    ASSERT_EQ(rt.node_count(), 0u) << "round " << round;
  }
}

// A reader that reached a node's slot before the node was deleted (an observer pass that found
// it alive) claims the node that reuses the slot as soon as it reads New: it must compute it with
// its own function, not take it for an input and leave it Clean with no value.
TEST(ConcurrentDeletion, AReaderOfAReusedSlotComputesTheNewNodeThere) {
  velk_test::DeadlockGuard guard;
  static Runtime* runtime;
  static uint32_t reused;
  static velk_test::Signal* made;
  Runtime rt;
  velk_test::Signal made_here;
  runtime = &rt;
  made = &made_here;
  const U a = rt.create_input<uint64_t>(2);
  const U old = rt.create_query<uint64_t>([a](Runtime& r, uint32_t) { return r.get(a); });
  ASSERT_EQ(rt.get(old), 2u);
  reused = old.slot;
  rt.delete_node(old);
  std::thread reader([] {
    made->wait();
    velk::EngineSteps::ensure_clean(*runtime, reused);
  });
  velk::test_seams::after_slot_reuse = [] {
    made->open();
    // The reader's claim; its compute then waits for this creation to end before it commits.
    const velk::NodeRecord& record = velk::EngineSteps::record(*runtime, reused);
    while (record.load_state() == velk::NodeState::New) std::this_thread::yield();
  };
  const U fresh = rt.create_query<uint64_t>([a](Runtime& r, uint32_t) { return r.get(a) * 10; });
  velk::test_seams::after_slot_reuse = nullptr;
  reader.join();
  ASSERT_EQ(fresh.slot, old.slot);
  EXPECT_EQ(rt.get(fresh), 20u);
}
