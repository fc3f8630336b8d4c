// The longest-prefix search over a checked view, as an outside reader runs it: the same answers as the
// daemon's on a sound trie, and on a damaged one (random bytes overwritten, cycles) no read outside
// the segment and no endless walk.
#include "lpctrie/lpctrie_find.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "lpctrie/lpctrie.h"
#include "lpctrie/testing/trie_api.h"
#include "lpctrie/testing/trie_check.h"
#include "store/segment_view.h"
#include "store/testing/pool_fixture.h"

namespace quillmap {
namespace {

using testing::prefix_mask;
using testing::TrieApi;

// Refuses records that do not lie wholly within the pages or are misaligned, and stops after
// max_steps records.
class BoundedView {
 public:
  BoundedView(const SlabPool* pool, uint64_t max_steps) : pool_(pool), steps_left_(max_steps) {}
  template <class T>
  const T* at(uint64_t off, uint64_t bytes = sizeof(T)) {
    if (off < pool_->data_start || off > pool_->pool_end || bytes > pool_->pool_end - off ||
        off % alignof(T) != 0) {
      failed_ = true;
      return nullptr;
    }
    return _lfof_<const T>(pool_, off);
  }
  bool step() {
    if (steps_left_ == 0) {
      failed_ = true;
      return false;
    }
    --steps_left_;
    return true;
  }
  const void* base() const { return pool_; }
  bool failed() const { return failed_; }

 private:
  const SlabPool* pool_;
  uint64_t steps_left_;
  bool failed_ = false;
};

template <class Traits>
typename Traits::Key random_key(std::mt19937_64& rng) {
  if constexpr (Traits::kKeyLength == 32) {
    return static_cast<uint32_t>(rng());
  } else {
    return Trie128Traits::make(rng(), rng());
  }
}

template <class Traits>
class TrieFindTest : public ::testing::Test {
 protected:
  using Api = TrieApi<Traits>;
  using Key = typename Traits::Key;
  static constexpr unsigned K = Traits::kKeyLength;

  void SetUp() override {
    root_ = Api::create(pool());
    ASSERT_NE(root_, nullptr);
  }
  SlabPool* pool() { return fixture_.pool(); }
  uint64_t root_off() { return offset_of_record(pool(), root_); }

  // Random prefixes within a few /8-like regions, so that nodes are wide and deep.
  void fill(std::mt19937_64& rng, int count) {
    for (int i = 0; i < count; ++i) {
      unsigned len = 8 + rng() % (K - 7);
      Key k = random_key<Traits>(rng);
      k = (k & ~prefix_mask<Traits>(8)) | (Key{static_cast<uint8_t>(rng() % 4)} << (K - 8));
      k &= prefix_mask<Traits>(len);
      ASSERT_EQ(Api::insert(pool(), root_, k, prefix_mask<Traits>(len), 1000 + i), kDone);
      addresses_.push_back(k);
    }
    ASSERT_EQ(testing::trie_verify<Traits>(pool(), root_), "");
  }
  Key some_address(std::mt19937_64& rng) {
    Key a = addresses_[rng() % addresses_.size()];
    return rng() % 2 ? a : a ^ (random_key<Traits>(rng) & ~prefix_mask<Traits>(rng() % K));
  }

  testing::PoolFixture fixture_{4 << 20};
  LpcNode<Traits>* root_ = nullptr;
  std::vector<Key> addresses_;
};

using Widths = ::testing::Types<Trie32Traits, Trie128Traits>;
TYPED_TEST_SUITE(TrieFindTest, Widths);

TYPED_TEST(TrieFindTest, CheckedViewAgreesWithTheTrustedOne) {
  std::mt19937_64 rng(21);
  ASSERT_NO_FATAL_FAILURE(this->fill(rng, 3000));
  for (int i = 0; i < 20000; ++i) {
    auto addr = this->some_address(rng);
    TrustedView trusted(this->pool());
    BoundedView checked(this->pool(), 1 << 20);
    uint64_t expected = lpctrie_find_in<TypeParam>(trusted, this->root_off(), addr);
    ASSERT_EQ(lpctrie_find_in<TypeParam>(checked, this->root_off(), addr), expected);
    ASSERT_FALSE(checked.failed());
  }
}

TYPED_TEST(TrieFindTest, StepLimitEndsTheSearch) {
  std::mt19937_64 rng(22);
  ASSERT_NO_FATAL_FAILURE(this->fill(rng, 500));
  BoundedView none(this->pool(), 0);
  EXPECT_EQ(lpctrie_find_in<TypeParam>(none, this->root_off(), this->addresses_[0]), kLpcNotFound);
  EXPECT_TRUE(none.failed());
  BoundedView refused(this->pool(), 100);
  EXPECT_EQ(lpctrie_find_in<TypeParam>(refused, 1, this->addresses_[0]), kLpcNotFound);  // misaligned root
  EXPECT_TRUE(refused.failed());
}

// Overwrites random bytes of the segment's pages (where the nodes and aliases live), then searches:
// every search ends, within the step limit, reading only what the view allowed.
TYPED_TEST(TrieFindTest, DamagedTrieNeverLeadsOutside) {
  std::mt19937_64 rng(23);
  ASSERT_NO_FATAL_FAILURE(this->fill(rng, 2000));
  SlabPool* pool = this->pool();
  auto* bytes = reinterpret_cast<uint8_t*>(pool);
  uint64_t root_off = this->root_off();
  for (int round = 0; round < 200; ++round) {
    for (int i = 0; i < 20; ++i) {
      uint64_t off = pool->data_start + rng() % (pool->pool_end - pool->data_start);
      if (off >= root_off && off < root_off + sizeof(LpcNode<TypeParam>) && rng() % 4 != 0) continue;
      switch (rng() % 3) {
        case 0:
          bytes[off] = static_cast<uint8_t>(rng());
          break;
        case 1:  // an offset that points back at the root: a cycle
          if (off % 8 == 0 && off + 8 <= pool->pool_end) std::memcpy(bytes + off, &root_off, 8);
          break;
        default:
          bytes[off] ^= static_cast<uint8_t>(1u << (rng() % 8));
          break;
      }
    }
    for (int i = 0; i < 50; ++i) {
      BoundedView view(pool, 4096);
      (void)lpctrie_find_in<TypeParam>(view, root_off, this->some_address(rng));
    }
  }
}

}  // namespace
}  // namespace quillmap
