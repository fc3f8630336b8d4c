// The longest-prefix tables against a brute-force longest match under random changes of both
// families; running out of pool memory; and the read side over arbitrary bytes.
#include "index/prefix_table.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <vector>

#include "index/bounded_view.h"
#include "lpctrie/cidr.h"
#include "store/segment_view.h"
#include "store/slab.h"
#include "store/testing/pool_fixture.h"
#include "store/testing/slab_check.h"
#include "util/testing/seed.h"

namespace quillmap {
namespace {

using Key = unsigned __int128;  // left-aligned address, as the writer keys its shadow

Key mask(unsigned len) { return len == 0 ? 0 : ~Key{0} << (128 - len); }
void bytes_of(Key k, uint8_t* out) {
  for (unsigned i = 0; i < 16; ++i) out[i] = static_cast<uint8_t>(k >> (120 - 8 * i));
}

struct Family {
  unsigned bits;
  PrefixTableWriter writer;
  PrefixRoot root{};
  std::map<std::pair<Key, unsigned>, uint64_t> model;

  uint64_t brute(Key addr) const {
    for (unsigned l = bits + 1; l-- > 0;) {
      if (auto it = model.find({addr & mask(l), l}); it != model.end()) return it->second;
    }
    return 0;
  }
};

class PrefixTableModel : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(v4_.writer.init(ipool_.pool(), &v4_.root, static_cast<int>(kFamilyInet)), kDone);
    ASSERT_EQ(v6_.writer.init(ipool_.pool(), &v6_.root, static_cast<int>(kFamilyInet6)), kDone);
    free_pages_ = ipool_.pool()->free_pages;
  }
  Key random_key() { return (Key{rng_()} << 64) | rng_(); }
  auto random_stored(Family& f) { return std::next(f.model.begin(), static_cast<long>(rng_() % f.model.size())); }

  // The trusted and the checked read side both answer as the brute force does.
  void expect_match(const Family& f, Key addr) {
    uint8_t bytes[16];
    bytes_of(addr &= mask(f.bits), bytes);
    TrustedView trusted(ipool_.base());
    BoundedView checked(ipool_.base(), static_cast<uint64_t>(ipool_.size()));
    const uint64_t want = f.brute(addr);
    ASSERT_EQ(prefix_match(trusted, f.root, bytes), want) << "family /" << f.bits;
    ASSERT_TRUE(prefix_match(checked, f.root, bytes) == want && !checked.failed());
  }
  // The first and last address of a prefix and their outside neighbours (wrapping at the ends).
  void expect_bounds(const Family& f, Key k, unsigned len) {
    const Key last = (k | ~mask(len)) & mask(f.bits), unit = Key{1} << (128 - f.bits);
    for (Key addr : {k, last, k - unit, last + unit}) ASSERT_NO_FATAL_FAILURE(expect_match(f, addr));
  }

  // Lengths biased to the level boundaries; keys nested in or around stored prefixes, IPv4-mapped, or
  // in a few crowded /16s.
  std::pair<Key, unsigned> random_prefix(Family& f) {
    static const unsigned kEdges4[] = {0, 1, 8, 15, 16, 17, 23, 24, 25, 31, 32};
    static const unsigned kEdges6[] = {0, 1, 15, 16, 17, 24, 32, 40, 48, 64, 96, 104, 112, 120, 127, 128};
    unsigned len = rng_() % 3 != 0       ? static_cast<unsigned>(rng_() % (f.bits + 1))
                   : f.bits == 32 ? kEdges4[rng_() % std::size(kEdges4)]
                                  : kEdges6[rng_() % std::size(kEdges6)];
    Key k = random_key();
    const unsigned pick = rng_() % 10;
    if (pick < 4 && !f.model.empty()) {
      auto it = random_stored(f);
      k = it->first.first | (k & ~mask(it->first.second));
    } else if (pick < 6 && f.bits == 128) {
      k = (Key{0xffff} << 32) | (k & 0xffffffff);
      len = 96 + static_cast<unsigned>(rng_() % 33);
    } else if (pick < 8) {
      k = (Key{rng_() % 3 + 0x0a00} << 112) | (k & ~mask(16));
    }
    return {k & mask(len) & mask(f.bits), len};
  }

  // One random change of `f`, in the table and the model; returns the prefix it touched.
  std::pair<Key, unsigned> step(Family& f) {
    uint8_t bytes[16];
    const unsigned op = rng_() % 100;
    const uint64_t value = (rng_() % (uint64_t{1} << 40) + 1) * 8;
    if (op < 2) {
      EXPECT_EQ(f.writer.clear(), kDone);
      f.model.clear();
      return {0, 0};
    }
    if (op < 4) {  // rebuild from the model, with a stale duplicate before each real one
      std::vector<PrefixTableWriter::Prefix> all;
      for (const auto& [p, v] : f.model) {
        PrefixTableWriter::Prefix x{.addr = {}, .len = p.second, .entry_off = v + 8};
        bytes_of(p.first, x.addr);
        all.push_back(x);
        all.push_back(x);
        all.back().entry_off = v;
      }
      EXPECT_EQ(f.writer.rebuild(all), kDone);
      return {0, 0};
    }
    if (!f.model.empty() && (op < 30 || (f.model.size() > 300 && op < 60))) {  // remove or set a stored prefix
      auto it = random_stored(f);
      const auto p = it->first;
      bytes_of(p.first, bytes);
      EXPECT_EQ(op % 2 == 0 ? f.writer.remove(bytes, p.second) : f.writer.put(bytes, p.second, value), kDone);
      if (op % 2 == 0) {
        f.model.erase(it);
      } else {
        it->second = value;
      }
      return p;
    }
    const auto p = random_prefix(f);
    bytes_of(p.first, bytes);
    if (op < 36 && f.model.count(p) == 0) {
      EXPECT_EQ(f.writer.remove(bytes, p.second), kNothingToDo);
    } else {
      EXPECT_EQ(f.writer.put(bytes, p.second, value), kDone);
      f.model[p] = value;
    }
    return p;
  }

  testing::PoolFixture ipool_{24 << 20};
  Family v4_{32}, v6_{128};
  std::mt19937_64 rng_;
  uint64_t free_pages_ = 0;  // with the first levels only; every class page is then free again
};

TEST_F(PrefixTableModel, AgreesWithBruteForceUnderRandomChanges) {
  const uint32_t seed = testing::test_seed(13013);
  SCOPED_TRACE(testing::seed_trace(seed));
  rng_.seed(seed);
  for (int i = 0; i < 2500; ++i) {
    SCOPED_TRACE("step " + std::to_string(i));
    Family& f = rng_() % 2 == 0 ? v4_ : v6_;
    auto [k, len] = step(f);
    ASSERT_FALSE(HasFailure());
    ASSERT_NO_FATAL_FAILURE(expect_bounds(f, k, len));
    for (int j = 0; j < 16 && !f.model.empty(); ++j) {
      auto it = random_stored(f);
      ASSERT_NO_FATAL_FAILURE(expect_bounds(f, it->first.first, it->first.second));
      ASSERT_NO_FATAL_FAILURE(expect_match(f, it->first.first | (random_key() & ~mask(it->first.second))));
      ASSERT_NO_FATAL_FAILURE(expect_match(f, random_key()));
    }
    if (i % 100 != 0 && i != 2499) continue;
    ASSERT_EQ(testing::slab_check(ipool_.pool()), "");
    for (const Family* all : {&v4_, &v6_}) ASSERT_EQ(all->root.prefixes, all->model.size());
  }
  // Emptied, the tables hold exactly their first levels again.
  ASSERT_TRUE(v4_.writer.clear() == kDone && v6_.writer.clear() == kDone);
  EXPECT_EQ(testing::slab_check(ipool_.pool()), "");
  EXPECT_EQ(ipool_.pool()->free_pages, free_pages_);
  EXPECT_TRUE(v4_.root.nodes + v6_.root.nodes == 0 && prefix_bytes(v4_.root) == kPrefixTopSlots * sizeof(uint64_t));
}

// Out of pool memory: kFailed, the pool sound, and clear(), which walks every node left, gives every
// byte back. Then a reader over bytes that are not a table (a racing writer's, or any) stays
// inside the pool (AddressSanitizer watches) and ends: words that look like offsets into the pool, with
// and without the node flag, and plain noise.
TEST(PrefixTable, OutOfMemoryAndArbitraryBytesStayInsideThePool) {
  testing::PoolFixture ipool(2 << 20);
  PrefixRoot root{};
  PrefixTableWriter w;
  ASSERT_EQ(w.init(ipool.pool(), &root, static_cast<int>(kFamilyInet6)), kDone);
  const uint64_t after_init = ipool.pool()->free_pages;
  const uint32_t seed = testing::test_seed(7);
  SCOPED_TRACE(testing::seed_trace(seed));
  std::mt19937_64 rng(seed);
  uint8_t a[16];
  int64_t r = kDone;
  for (int i = 0; i < 200000 && r == kDone; ++i) {
    for (auto& b : a) b = static_cast<uint8_t>(rng());
    r = w.put(a, 64 + static_cast<unsigned>(rng() % 65), (rng() % 1000 + 1) * 8);
  }
  ASSERT_EQ(r, kFailed);
  ASSERT_EQ(testing::slab_check(ipool.pool()), "");
  ASSERT_EQ(w.clear(), kDone);
  EXPECT_EQ(ipool.pool()->free_pages, after_init);

  constexpr uint64_t kBytes = 1 << 20;
  std::vector<uint64_t> pool(kBytes / 8);
  for (int round = 0; round < 40; ++round) {
    for (auto& word : pool) {
      const uint64_t offset = (rng() % kBytes) & ~uint64_t{7}, kind = rng() % 4;
      word = kind == 0 ? rng() : kind == 1 ? offset : kind == 2 ? offset | kPrefixNodeFlag : rng() % 2 ? ~0ull : 0;
    }
    PrefixRoot garbage{};
    garbage.top_off = round % 4 == 0 ? rng() : (rng() % kBytes) & ~uint64_t{7};
    garbage.key_bits = round % 3 == 0 ? 32 : round % 3 == 1 ? 128 : static_cast<uint32_t>(rng());
    for (int i = 0; i < 5000; ++i) {
      for (auto& b : a) b = static_cast<uint8_t>(rng());
      BoundedView bounded(pool.data(), kBytes);
      prefix_prefetch(bounded, garbage, a);
      prefix_match(bounded, garbage, a);
    }
  }
}

}  // namespace
}  // namespace quillmap
