// Carry-less multiplication folding for the CRC on x86-64 processors with PCLMULQDQ (checked at
// run time). The data is read as 128-bit big-endian blocks, first bit highest, as the CRC reads
// it. A block B followed by d more bits of message counts as B * x^d; since only the remainder
// modulo P matters, B * x^d is replaced by H * (x^(d+64) mod P) + L * (x^d mod P), with H and L
// the block's two 64-bit halves: a 128-bit value again, which the next block is added to. At
// the end the 128-bit remainder is run through the byte table like 16 message bytes.
#include <immintrin.h>

#include "format/file_format.h"
#include "patch/crc32.h"
#include "patch/crc32_fold.h"

namespace vt {
namespace {

// x^n mod P, bit i the coefficient of x^i.
uint64_t XPowerMod(unsigned n) {
  uint32_t r = 1;
  for (unsigned i = 0; i < n; ++i) r = (r & 0x80000000u) ? (r << 1) ^ kCrcPolynomial : r << 1;
  return r;
}

bool g_canFold;
bool g_canFoldWide;  // VPCLMULQDQ on 512-bit registers: four blocks per multiplication
// x^(d+64) and x^d for d = 128 * (i + 1): how far one of the wide fold's 16 blocks lies before
// the last one.
uint64_t g_tail[15][2];
uint64_t g_wide[2];  // x^(2048+64), x^2048
// Multipliers for a fold over 512, 384, 256 and 128 bits: high lane x^(d+64), low lane x^d.
uint64_t g_fold[4][2];

__attribute__((target("pclmul,ssse3"))) inline __m128i Load(const uint8_t* p) {
  const __m128i reverse = _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), reverse);
}

__attribute__((target("pclmul,ssse3"))) inline __m128i Fold(__m128i x, __m128i k) {
  return _mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x11), _mm_clmulepi64_si128(x, k, 0x00));
}

// Sixteen 128-bit blocks at once in four 512-bit registers, each folded over 2048 bits; the 16
// are then folded into one by their distance from the end. Needs at least 256 bytes.
__attribute__((target("pclmul,ssse3,avx512f,avx512bw,vpclmulqdq"))) size_t FoldWide(
    uint32_t* reg, const uint8_t* data, size_t size, __m128i* remainder) {
  const __m512i reverse = _mm512_broadcast_i32x4(
      _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15));
  const __m512i k2048 = _mm512_broadcast_i32x4(
      _mm_set_epi64x(int64_t(g_wide[0]), int64_t(g_wide[1])));
  __m512i z[4];
  for (int i = 0; i < 4; ++i)
    z[i] = _mm512_shuffle_epi8(_mm512_loadu_si512(data + 64 * i), reverse);
  z[0] = _mm512_xor_si512(z[0], _mm512_zextsi128_si512(_mm_set_epi32(int(*reg), 0, 0, 0)));
  size_t at = 256;
  for (; size - at >= 256; at += 256)
    for (int i = 0; i < 4; ++i) {
      __m512i next = _mm512_shuffle_epi8(_mm512_loadu_si512(data + at + 64 * i), reverse);
      z[i] = _mm512_ternarylogic_epi64(_mm512_clmulepi64_epi128(z[i], k2048, 0x11),
                                       _mm512_clmulepi64_epi128(z[i], k2048, 0x00), next, 0x96);
    }
  alignas(64) __m128i blocks[16];
  for (int i = 0; i < 4; ++i) _mm512_store_si512(&blocks[4 * i], z[i]);
  __m128i x = blocks[15];
  for (int i = 0; i < 15; ++i) {
    const __m128i k = _mm_set_epi64x(int64_t(g_tail[14 - i][0]), int64_t(g_tail[14 - i][1]));
    x = _mm_xor_si128(x, Fold(blocks[i], k));
  }
  *remainder = x;
  return at;
}

__attribute__((target("pclmul,ssse3"))) size_t FoldBlocks(uint32_t* reg, const uint8_t* data,
                                                           size_t size) {
  const __m128i k512 = _mm_set_epi64x(int64_t(g_fold[0][0]), int64_t(g_fold[0][1]));
  const __m128i k384 = _mm_set_epi64x(int64_t(g_fold[1][0]), int64_t(g_fold[1][1]));
  const __m128i k256 = _mm_set_epi64x(int64_t(g_fold[2][0]), int64_t(g_fold[2][1]));
  const __m128i k128 = _mm_set_epi64x(int64_t(g_fold[3][0]), int64_t(g_fold[3][1]));
  __m128i x;
  size_t at;
  if (g_canFoldWide) {
    at = FoldWide(reg, data, size, &x);
  } else {
    // The register so far goes into the first four message bytes.
    __m128i x0 = _mm_xor_si128(Load(data), _mm_set_epi32(int(*reg), 0, 0, 0));
    __m128i x1 = Load(data + 16), x2 = Load(data + 32), x3 = Load(data + 48);
    at = 64;
    for (; size - at >= 64; at += 64) {
      x0 = _mm_xor_si128(Fold(x0, k512), Load(data + at));
      x1 = _mm_xor_si128(Fold(x1, k512), Load(data + at + 16));
      x2 = _mm_xor_si128(Fold(x2, k512), Load(data + at + 32));
      x3 = _mm_xor_si128(Fold(x3, k512), Load(data + at + 48));
    }
    x = _mm_xor_si128(_mm_xor_si128(Fold(x0, k384), Fold(x1, k256)),
                      _mm_xor_si128(Fold(x2, k128), x3));
  }
  for (; size - at >= 16; at += 16) x = _mm_xor_si128(Fold(x, k128), Load(data + at));
  alignas(16) uint8_t bytes[16];
  const __m128i reverse = _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  _mm_store_si128(reinterpret_cast<__m128i*>(bytes), _mm_shuffle_epi8(x, reverse));
  const uint32_t* table = CrcTable();
  uint32_t r = 0;
  for (uint8_t b : bytes) r = (r << 8) ^ table[(r >> 24) ^ b];
  *reg = r;
  return at;
}

}  // namespace

void BuildCrcFold() {
  g_canFold = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("ssse3");
  g_canFoldWide = g_canFold && __builtin_cpu_supports("avx512f") &&
                  __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("vpclmulqdq");
  g_wide[0] = XPowerMod(2048 + 64);
  g_wide[1] = XPowerMod(2048);
  for (int i = 0; i < 15; ++i) {
    g_tail[i][0] = XPowerMod(128 * (i + 1) + 64);
    g_tail[i][1] = XPowerMod(128 * (i + 1));
  }
  const unsigned distances[4] = {512, 384, 256, 128};
  for (int i = 0; i < 4; ++i) {
    g_fold[i][0] = XPowerMod(distances[i] + 64);
    g_fold[i][1] = XPowerMod(distances[i]);
  }
}

size_t CrcFold(uint32_t* reg, const uint8_t* data, size_t size) {
  // Short stretches are quicker by the tables.
  if (!g_canFold || size < 256) return 0;
  return FoldBlocks(reg, data, size);
}

void LimitCrcFoldWidth() { g_canFoldWide = false; }

}  // namespace vt
