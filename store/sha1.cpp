#include "store/sha1.h"

#include <cstring>

namespace quillmap {
namespace {

inline uint32_t rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

void compress(uint32_t state[5], const uint8_t block[64]) {
  uint32_t w[80];
  for (int i = 0; i < 16; ++i) {
    w[i] = (uint32_t{block[4 * i]} << 24) | (uint32_t{block[4 * i + 1]} << 16) | (uint32_t{block[4 * i + 2]} << 8) |
           uint32_t{block[4 * i + 3]};
  }
  for (int i = 16; i < 80; ++i) w[i] = rotl(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
  for (int i = 0; i < 80; ++i) {
    uint32_t f, k;
    if (i < 20) {
      f = (b & c) | (~b & d);
      k = 0x5a827999;
    } else if (i < 40) {
      f = b ^ c ^ d;
      k = 0x6ed9eba1;
    } else if (i < 60) {
      f = (b & c) | (b & d) | (c & d);
      k = 0x8f1bbcdc;
    } else {
      f = b ^ c ^ d;
      k = 0xca62c1d6;
    }
    const uint32_t t = rotl(a, 5) + f + e + k + w[i];
    e = d;
    d = c;
    c = rotl(b, 30);
    b = a;
    a = t;
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
  state[4] += e;
}

}  // namespace

void shm_sha1_init(Sha1Context* ctx) {
  ctx->bytes = 0;
  ctx->state[0] = 0x67452301;
  ctx->state[1] = 0xefcdab89;
  ctx->state[2] = 0x98badcfe;
  ctx->state[3] = 0x10325476;
  ctx->state[4] = 0xc3d2e1f0;
  std::memset(ctx->block, 0, sizeof ctx->block);
}

void shm_sha1_update(Sha1Context* ctx, const void* data, uint64_t len) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  uint64_t used = ctx->bytes % 64;
  ctx->bytes += len;
  if (used != 0) {
    const uint64_t take = len < 64 - used ? len : 64 - used;
    std::memcpy(ctx->block + used, p, take);
    p += take;
    len -= take;
    if (used + take < 64) return;
    compress(ctx->state, ctx->block);
  }
  for (; len >= 64; p += 64, len -= 64) compress(ctx->state, p);
  if (len != 0) std::memcpy(ctx->block, p, len);
}

void shm_sha1_final(uint8_t digest[kSha1DigestSize], Sha1Context* ctx) {
  const uint64_t bits = ctx->bytes * 8;
  uint64_t used = ctx->bytes % 64;
  ctx->block[used++] = 0x80;
  if (used > 56) {
    std::memset(ctx->block + used, 0, 64 - used);
    compress(ctx->state, ctx->block);
    used = 0;
  }
  std::memset(ctx->block + used, 0, 56 - used);
  for (int i = 0; i < 8; ++i) ctx->block[56 + i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
  compress(ctx->state, ctx->block);
  for (int i = 0; i < 5; ++i) {
    digest[4 * i] = static_cast<uint8_t>(ctx->state[i] >> 24);
    digest[4 * i + 1] = static_cast<uint8_t>(ctx->state[i] >> 16);
    digest[4 * i + 2] = static_cast<uint8_t>(ctx->state[i] >> 8);
    digest[4 * i + 3] = static_cast<uint8_t>(ctx->state[i]);
  }
  std::memset(ctx, 0, sizeof *ctx);
}

}  // namespace quillmap
