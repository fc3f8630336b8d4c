// The longest-prefix search over a checked view, as an outside reader runs it, on a damaged trie
// (random bytes overwritten, cycles): no read outside the segment and no endless walk. (On sound tries
// every lookup of the model tests compares it with the daemon's search.)
#include "lpctrie/lpctrie_find.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "lpctrie/testing/trie_fixture.h"
#include "util/testing/seed.h"

namespace quillmap {
namespace {

using testing::BoundedView;

template <class Traits>
using TrieFindTest = testing::TrieFixture<Traits, (4 << 20)>;
TYPED_TEST_SUITE(TrieFindTest, testing::TrieWidths);

// Overwrites random bytes of the segment's pages (where the nodes and aliases live), then searches:
// every search ends, within the step limit, reading only what the view allowed.
TYPED_TEST(TrieFindTest, DamagedTrieNeverLeadsOutside) {
  using Key = typename TypeParam::Key;
  constexpr unsigned K = TypeParam::kKeyLength;
  const uint32_t seed = testing::test_seed(23);
  SCOPED_TRACE(testing::seed_trace(seed));
  std::mt19937_64 rng(seed);
  std::vector<Key> stored;  // 2000 prefixes in four /8-like regions, so that nodes are wide and deep
  for (int i = 0; i < 2000; ++i) {
    unsigned len = 8 + rng() % (K - 7);
    Key k = testing::random_key<TypeParam>(rng) & ~testing::prefix_mask<TypeParam>(8);
    stored.push_back((k | this->key(rng() % 4)) & testing::prefix_mask<TypeParam>(len));
    ASSERT_NO_FATAL_FAILURE(this->put(stored.back(), len, i));
  }
  ASSERT_NO_FATAL_FAILURE(this->expect_model());
  SlabPool* pool = this->pool();
  const uint64_t root_off = offset_of_record(pool, this->root_), pages = pool->pool_end - pool->data_start;

  // The view's refusals end the search: no step allowed, or a misaligned root.
  BoundedView no_steps(pool, 0), refused(pool, 100);
  EXPECT_EQ(lpctrie_find_in<TypeParam>(no_steps, root_off, stored[0]), kLpcNotFound);
  EXPECT_EQ(lpctrie_find_in<TypeParam>(refused, 1, stored[0]), kLpcNotFound);
  EXPECT_TRUE(no_steps.failed_ && refused.failed_);

  auto* bytes = reinterpret_cast<uint8_t*>(pool);
  for (int round = 0; round < 200; ++round) {
    for (int i = 0; i < 20; ++i) {
      uint64_t off = pool->data_start + rng() % pages;
      if (off >= root_off && off < root_off + sizeof(LpcNode<TypeParam>) && rng() % 4 != 0) continue;
      unsigned kind = rng() % 3;
      if (kind == 0) bytes[off] = static_cast<uint8_t>(rng());
      if (kind == 1 && off % 8 == 0 && off + 8 <= pool->pool_end) std::memcpy(bytes + off, &root_off, 8);  // cycle
      if (kind == 2) bytes[off] ^= static_cast<uint8_t>(1u << (rng() % 8));
    }
    for (int i = 0; i < 50; ++i) {
      Key addr = stored[rng() % stored.size()];
      if (rng() % 2) addr ^= testing::random_key<TypeParam>(rng) & ~testing::prefix_mask<TypeParam>(rng() % K);
      BoundedView view(pool, 4096);
      (void)lpctrie_find_in<TypeParam>(view, root_off, addr);
    }
  }
}

}  // namespace
}  // namespace quillmap
