// BLAKE2b (RFC 7693) with an 8-byte digest. A compression is a fixed
// sequence of 64-bit additions, xors and rotations, so the same code run on
// vectors of words hashes one message per lane; with AVX-512 eight short
// messages cost about as much as two hashed one at a time.
#include "varnhold/blake2b.h"

#include <cstring>

namespace varnhold {

namespace {

constexpr uint64_t kIV[8] = {0x6a09e667f3bcc908ULL, 0xbb67ae8584caa73bULL, 0x3c6ef372fe94f82bULL,
                             0xa54ff53a5f1d36f1ULL, 0x510e527fade682d1ULL, 0x9b05688c2b3e6c1fULL,
                             0x1f83d9abfb41bd6bULL, 0x5be0cd19137e2179ULL};

// Parameter block word 0: digest length 8, no key, fanout 1, depth 1.
constexpr uint64_t kParam0 = 0x01010000ULL ^ 8;

constexpr uint8_t kSigma[12][16] = {
    {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15},
    {14, 10, 4, 8, 9, 15, 13, 6, 1, 12, 0, 2, 11, 7, 5, 3},
    {11, 8, 12, 0, 5, 2, 15, 13, 10, 14, 3, 6, 7, 1, 9, 4},
    {7, 9, 3, 1, 13, 12, 11, 14, 2, 6, 5, 10, 4, 0, 15, 8},
    {9, 0, 5, 7, 2, 4, 10, 15, 14, 1, 11, 12, 6, 8, 3, 13},
    {2, 12, 6, 10, 0, 11, 8, 3, 4, 13, 7, 5, 15, 14, 1, 9},
    {12, 5, 1, 15, 14, 13, 4, 10, 0, 7, 6, 3, 9, 2, 8, 11},
    {13, 11, 7, 14, 12, 1, 3, 9, 5, 0, 15, 4, 8, 6, 2, 10},
    {6, 15, 14, 9, 11, 3, 0, 8, 12, 2, 13, 7, 1, 4, 10, 5},
    {10, 2, 8, 4, 7, 6, 1, 5, 15, 11, 9, 14, 3, 12, 13, 0},
    {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15},
    {14, 10, 4, 8, 9, 15, 13, 6, 1, 12, 0, 2, 11, 7, 5, 3},
};

#define B2_ROTR(x, n) (((x) >> (n)) | ((x) << (64 - (n))))
#define B2_G(a, b, c, d, x, y) \
  a = a + b + (x);             \
  d = B2_ROTR(d ^ a, 32);      \
  c = c + d;                   \
  b = B2_ROTR(b ^ c, 24);      \
  a = a + b + (y);             \
  d = B2_ROTR(d ^ a, 16);      \
  c = c + d;                   \
  b = B2_ROTR(b ^ c, 63);
// The twelve rounds over v[16] with message words m[16]; V is the word type.
#define B2_ROUNDS(v, m)                                              \
  for (int r = 0; r < 12; ++r) {                                     \
    const uint8_t* s = kSigma[r];                                    \
    B2_G(v[0], v[4], v[8], v[12], m[s[0]], m[s[1]])                  \
    B2_G(v[1], v[5], v[9], v[13], m[s[2]], m[s[3]])                  \
    B2_G(v[2], v[6], v[10], v[14], m[s[4]], m[s[5]])                 \
    B2_G(v[3], v[7], v[11], v[15], m[s[6]], m[s[7]])                 \
    B2_G(v[0], v[5], v[10], v[15], m[s[8]], m[s[9]])                 \
    B2_G(v[1], v[6], v[11], v[12], m[s[10]], m[s[11]])               \
    B2_G(v[2], v[7], v[8], v[13], m[s[12]], m[s[13]])                \
    B2_G(v[3], v[4], v[9], v[14], m[s[14]], m[s[15]])                \
  }

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "message words are read little-endian");

uint64_t load64(const uint8_t* p) {
  uint64_t w;
  std::memcpy(&w, p, 8);
  return w;
}

void compress(uint64_t h[8], const uint8_t block[128], uint64_t counter, bool last) {
  uint64_t m[16];
  for (int i = 0; i < 16; ++i) m[i] = load64(block + 8 * i);
  uint64_t v[16];
  for (int i = 0; i < 8; ++i) {
    v[i] = h[i];
    v[i + 8] = kIV[i];
  }
  v[12] ^= counter;  // messages here are far below 2^64 bytes
  if (last) v[14] = ~v[14];
  B2_ROUNDS(v, m)
  for (int i = 0; i < 8; ++i) h[i] ^= v[i] ^ v[i + 8];
}

// Lanes of one-block messages: block[l] zero-padded, lens[l] its length.
#define B2_DEFINE_LANES(name, V, L, attr)                                        \
  attr void name(const uint8_t (*block)[128], const uint64_t* lens, uint64_t* out) { \
    V m[16];                                                                     \
    for (int i = 0; i < 16; ++i) {                                               \
      uint64_t w[L];                                                             \
      for (int l = 0; l < L; ++l) std::memcpy(&w[l], block[l] + 8 * i, 8);       \
      std::memcpy(&m[i], w, sizeof(V));                                          \
    }                                                                            \
    V v[16];                                                                     \
    for (int i = 0; i < 8; ++i) {                                                \
      v[i] = V{} + (i == 0 ? kIV[0] ^ kParam0 : kIV[i]);                         \
      v[i + 8] = V{} + kIV[i];                                                   \
    }                                                                            \
    V h0 = v[0];                                                                 \
    V t;                                                                         \
    std::memcpy(&t, lens, sizeof(V));                                            \
    v[12] ^= t;                                                                  \
    v[14] = ~v[14];                                                              \
    B2_ROUNDS(v, m)                                                              \
    V h = h0 ^ v[0] ^ v[8];                                                      \
    std::memcpy(out, &h, sizeof(V));                                             \
  }

typedef uint64_t u64x8 __attribute__((vector_size(64)));
typedef uint64_t u64x4 __attribute__((vector_size(32)));

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"
B2_DEFINE_LANES(lanes8, u64x8, 8, __attribute__((target("avx512f"))))
B2_DEFINE_LANES(lanes4, u64x4, 4, __attribute__((target("avx2"))))
#pragma GCC diagnostic pop

int lane_width() {
  static const int width = __builtin_cpu_supports("avx512f") ? 8
                           : __builtin_cpu_supports("avx2")  ? 4
                                                             : 1;
  return width;
}

}  // namespace

uint64_t blake2b64(const uint8_t* data, size_t len) {
  uint64_t h[8];
  for (int i = 0; i < 8; ++i) h[i] = kIV[i];
  h[0] ^= kParam0;
  uint64_t counter = 0;
  while (len > 128) {
    counter += 128;
    compress(h, data, counter, false);
    data += 128;
    len -= 128;
  }
  uint8_t block[128] = {};
  if (len) std::memcpy(block, data, len);
  counter += len;
  compress(h, block, counter, true);
  return __builtin_bswap64(h[0]);  // digest bytes read big-endian
}

void blake2b64_many(const uint8_t* const* data, const size_t* lens, size_t count, uint64_t* out) {
  const int width = lane_width();
  alignas(64) uint8_t block[8][128];
  alignas(64) uint64_t len8[8];
  uint64_t h8[8];
  size_t idx[8];
  int filled = 0;
  auto flush = [&] {
    for (int l = filled; l < width; ++l) {  // idle lanes hash an empty message
      std::memset(block[l], 0, 128);
      len8[l] = 0;
    }
    if (width == 8) {
      lanes8(block, len8, h8);
    } else {
      lanes4(block, len8, h8);
    }
    for (int l = 0; l < filled; ++l) out[idx[l]] = __builtin_bswap64(h8[l]);
    filled = 0;
  };
  for (size_t i = 0; i < count; ++i) {
    if (width == 1 || lens[i] > 128) {
      out[i] = blake2b64(data[i], lens[i]);
      continue;
    }
    std::memset(block[filled], 0, 128);
    if (lens[i]) std::memcpy(block[filled], data[i], lens[i]);
    len8[filled] = lens[i];
    idx[filled] = i;
    if (++filled == width) flush();
  }
  if (filled) {
    if (filled == 1) {
      out[idx[0]] = blake2b64(block[0], len8[0]);
      filled = 0;
    } else {
      flush();
    }
  }
}

}  // namespace varnhold
