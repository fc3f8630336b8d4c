#include "util/ptr_list.h"
#include "util/testing/seed.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace quillmap {
namespace {

// Batches of 0, 1024, 1025 and random lengths against a vector: the values sit in blocks of 1024,
// every pushed value comes back once, newest first, then 0 for good; the list is reusable after a clear.
TEST(PtrList, MatchesStackModel) {
  const uint32_t seed = testing::test_seed(7331);
  std::mt19937 rng(seed);
  ScopedPtrList owner;
  PtrList* list = owner.get();
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE(testing::seed_trace(seed) + " round " + std::to_string(round));
    const size_t n = round == 0 ? 0 : round == 1 ? 1024 : round == 2 ? 1025 : rng() % 5000;
    std::vector<uintptr_t> model;
    for (size_t i = 0; i < n; ++i) shm_llist_push(list, model.emplace_back(round == 2 ? i + 1 : 1 + rng()));
    size_t blocks = 0;
    for (const PtrListBlock* b = list->head; b != nullptr; b = b->older, ++blocks)
      ASSERT_EQ(b->count, b == list->head ? n - 1024 * ((n - 1) / 1024) : 1024u);
    ASSERT_EQ(blocks, (n + 1023) / 1024);
    for (auto it = model.rbegin(); it != model.rend(); ++it) ASSERT_EQ(shm_llist_fetch(list), *it);
    ASSERT_EQ(shm_llist_fetch(list), 0u);
    ASSERT_EQ(shm_llist_fetch(list), 0u);
    shm_llist_clear(list);
    ASSERT_EQ(list->head, nullptr);
    ASSERT_EQ(list->cursor, nullptr);
  }
}

}  // namespace
}  // namespace quillmap
