// Test support: the seed of every seeded test. A fixed default makes every run repeat the last one;
// QUILLMAP_SEED=<n> replays another. Put seed_trace() in the test's trace so that a failure names it.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>

namespace quillmap::testing {

inline uint32_t test_seed(uint32_t default_seed) {
  const char* env = std::getenv("QUILLMAP_SEED");
  return env != nullptr && *env != '\0' ? static_cast<uint32_t>(std::strtoul(env, nullptr, 10)) : default_seed;
}

inline std::string seed_trace(uint32_t seed) {
  return "seed " + std::to_string(seed) + " (replay with QUILLMAP_SEED=" + std::to_string(seed) + ")";
}

}  // namespace quillmap::testing
