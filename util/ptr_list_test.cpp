#include "util/ptr_list.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace quillmap {
namespace {

TEST(PtrList, EmptyListFetchesZeroAndClearsHarmlessly) {
  PtrList list;
  EXPECT_EQ(shm_llist_fetch(&list), 0u);
  shm_llist_clear(&list);
  EXPECT_EQ(list.head, nullptr);
  EXPECT_EQ(list.cursor, nullptr);
}

TEST(PtrList, OneBlockBoundaryUsesTwoBlocksNewestFirst) {
  ScopedPtrList owner;
  PtrList* list = owner.get();
  for (uintptr_t v = 1; v <= 1025; ++v) shm_llist_push(list, v);
  ASSERT_NE(list->head, nullptr);
  ASSERT_NE(list->head->older, nullptr);
  EXPECT_EQ(list->head->older->older, nullptr);
  EXPECT_EQ(list->head->count, 1u);
  EXPECT_EQ(list->head->older->count, 1024u);
  for (uintptr_t v = 1025; v >= 1; --v) ASSERT_EQ(shm_llist_fetch(list), v);
  EXPECT_EQ(shm_llist_fetch(list), 0u);
  EXPECT_EQ(shm_llist_fetch(list), 0u);
}

// Random batches against a vector: every pushed value comes back once, newest first, then 0; the
// list is reusable after a clear.
TEST(PtrList, MatchesStackModel) {
  const unsigned seed = 7331;
  std::mt19937 rng(seed);
  ScopedPtrList owner;
  PtrList* list = owner.get();
  for (int round = 0; round < 20; ++round) {
    std::vector<uintptr_t> model;
    size_t n = rng() % 5000;
    for (size_t i = 0; i < n; ++i) {
      uintptr_t v = 1 + rng();
      model.push_back(v);
      shm_llist_push(list, v);
    }
    for (auto it = model.rbegin(); it != model.rend(); ++it) {
      ASSERT_EQ(shm_llist_fetch(list), *it) << "seed " << seed << " round " << round;
    }
    ASSERT_EQ(shm_llist_fetch(list), 0u) << "seed " << seed << " round " << round;
    shm_llist_clear(list);
    ASSERT_EQ(list->head, nullptr);
  }
}

}  // namespace
}  // namespace quillmap
