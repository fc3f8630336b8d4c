// Seeded model checks of the agent's own pieces (QUILLMAP_SEED, default 1): the key journal
// against a std::set across appends, re-opens (as after a killed agent) and rewrites; then the texts
// between etcd and the daemon: base64 round trips and the key mapping's canonical address texts.
#include <gtest/gtest.h>

#include <random>
#include <set>

#include "sync/agent_files.h"
#include "sync/base64.h"
#include "sync/key_mapping.h"
#include "util/testing/files.h"
#include "util/testing/seed.h"

namespace quillmap::sync {
namespace {

using quillmap::testing::seed_trace;
using quillmap::testing::test_seed;

std::string random_bytes(std::mt19937_64& rng, size_t max) {
  std::string s(rng() % (max + 1), '\0');
  for (char& c : s) c = static_cast<char>(rng() % 4 == 0 ? "\\\n+-"[rng() % 4] : rng() % 256);
  return s;
}

TEST(KeyJournal, HoldsWhatWasAddedAndNotRemovedAcrossReopens) {
  const uint32_t s = test_seed(1);
  SCOPED_TRACE(seed_trace(s));
  std::mt19937_64 rng(s);
  const quillmap::testing::ScratchDir dir("quillmap-journal");
  std::set<LocalKey> model;
  std::unique_ptr<KeyJournal> journal;
  std::string error;
  std::vector<LocalKey> pool;
  for (int i = 0; i < 300; ++i) pool.push_back({random_bytes(rng, 12), rng() % 3 == 0});
  for (int step = 0; step < 2000; ++step) {
    std::vector<LocalKey> batch;
    for (int n = static_cast<int>(rng() % 6); n > 0; --n) batch.push_back(pool[rng() % pool.size()]);
    const unsigned op = rng() % 10;
    if (op == 0 || !journal) {  // the first open, and re-opens as after a killed agent
      journal = std::make_unique<KeyJournal>();
      ASSERT_TRUE(journal->open(dir.file("state.keys"), &error)) << error;
    } else if (op == 1) {
      model = std::set<LocalKey>(batch.begin(), batch.end());
      ASSERT_TRUE(journal->rewrite(model));
    } else if (op < 5) {
      for (const LocalKey& k : batch) model.erase(k);
      ASSERT_TRUE(journal->remove(batch));
    } else {
      model.insert(batch.begin(), batch.end());
      ASSERT_TRUE(journal->add(batch));
    }
    ASSERT_EQ(journal->keys(), model) << "step " << step;
  }
}

TEST(AgentTexts, Base64RoundTripsAndAddressKeysAreHeldOnlyInCanonicalText) {
  const uint32_t seed = test_seed(1);
  SCOPED_TRACE(seed_trace(seed));
  std::mt19937_64 rng(seed);
  std::string why;
  for (int i = 0; i < 2000; ++i) {
    const std::string bytes = random_bytes(rng, 40), encoded = base64_encode(bytes);
    ASSERT_EQ(encoded.size() % 4, 0u);
    ASSERT_EQ(base64_decode(encoded), bytes);
    char text[64];
    const unsigned a = rng() % 65536, b = rng() % 65536, c = rng() % 65536, d = rng() % 65536;
    if (rng() % 2) snprintf(text, sizeof text, "%u.%u.%u.%u/%u", a % 256, b % 256, c % 256, d % 256, unsigned(rng() % 33));
    else snprintf(text, sizeof text, "%x:%x::%x:%x/%u", a, b, c, d, unsigned(rng() % 129));
    std::optional<std::string> canonical = canonical_address(text);
    ASSERT_TRUE(canonical) << text;
    ASSERT_EQ(canonical_address(*canonical), canonical) << text;  // canonical text is a fixed point
    std::optional<LocalKey> held = map_etcd_key(std::string(kAddressesDir) + text, &why);
    ASSERT_EQ(held.has_value(), *canonical == text) << text << ": " << why;  // only the canonical text is held
    ASSERT_FALSE(map_etcd_key(std::string(kStringsDir) + *canonical, &why)) << *canonical;
  }
  EXPECT_EQ(base64_encode("foo"), "Zm9v");
  EXPECT_EQ(*base64_decode("YmFyYg=="), "barb");
  EXPECT_FALSE(base64_decode("abc"));
  EXPECT_FALSE(base64_decode("a*c="));
  EXPECT_EQ(*canonical_address("10.1.2.3/8"), "10.0.0.0/8");
  EXPECT_EQ(*canonical_address("10.1.2.3/32"), "10.1.2.3");
  EXPECT_EQ(*canonical_address("2001:0DB8:0:0::1/128"), "2001:db8::1");
  EXPECT_FALSE(map_etcd_key("elsewhere/x", &why));
  EXPECT_EQ(map_etcd_key("strings/a b", &why), (LocalKey{"a b", false}));
  EXPECT_NE(entry_refusal({"k", false}, "\xc3"), "");
  EXPECT_NE(entry_refusal({"k", false}, std::string(2100, 'v')), "");
  EXPECT_EQ(entry_refusal({"k", false}, std::string(2000, 'v')), "");
}

}  // namespace
}  // namespace quillmap::sync
