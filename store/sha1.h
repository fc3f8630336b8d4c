// SHA-1 (FIPS 180-4) for the dictionary digest: 64-byte blocks, big-endian length and digest.
#pragma once

#include <cstdint>

namespace quillmap {

struct Sha1Context {
  uint64_t bytes;      // bytes hashed so far
  uint32_t state[5];   // chaining values
  uint8_t block[64];   // bytes of the current block not yet compressed
};

inline constexpr int kSha1DigestSize = 20;

void shm_sha1_init(Sha1Context* ctx);
void shm_sha1_update(Sha1Context* ctx, const void* data, uint64_t len);
// Writes the 20-byte digest and clears the context.
void shm_sha1_final(uint8_t digest[kSha1DigestSize], Sha1Context* ctx);

}  // namespace quillmap
