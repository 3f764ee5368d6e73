// Slicing by eight, in long runs three interleaved streams: the CRC's table steps for the tool.
#include "patch/crc32_slices.h"

#include "format/file_format.h"

namespace vt {
namespace {

// Slicing by eight: table k holds the register after byte i followed by k zero bytes, so eight
// bytes cost eight independent lookups. Table 0 is the plain one-byte table.
uint32_t g_crcTables[8][256];

// Long runs go as three interleaved streams over adjacent blocks, whose registers are joined
// afterwards: one stream waits on its lookups' latency, three keep the loads busy.
const size_t kStreamBlock = 16 * 1024;
// x^(8 * kStreamBlock) mod P: appending a block of zero bytes multiplies a register by it.
uint32_t g_blockShift;

inline uint32_t BigEndian32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

// The register after eight more bytes, with whole-word loads split by shifts.
inline uint32_t Step8(const uint32_t (*t)[256], uint32_t r, const uint8_t* p) {
  uint32_t a = r ^ BigEndian32(p), b = BigEndian32(p + 4);
  return t[7][a >> 24] ^ t[6][(a >> 16) & 0xFF] ^ t[5][(a >> 8) & 0xFF] ^ t[4][a & 0xFF] ^
         t[3][b >> 24] ^ t[2][(b >> 16) & 0xFF] ^ t[1][(b >> 8) & 0xFF] ^ t[0][b & 0xFF];
}

// a * b mod P for registers read as polynomials, highest bit first.
uint32_t MultiplyMod(uint32_t a, uint32_t b) {
  uint32_t product = 0;
  for (uint32_t bit = 0x80000000u; bit != 0; bit >>= 1) {
    product = (product & 0x80000000u) ? (product << 1) ^ kCrcPolynomial : product << 1;
    if (b & bit) product ^= a;
  }
  return product;
}

}  // namespace

void BuildCrcSlices(const uint32_t* table) {
  for (int i = 0; i < 256; ++i) g_crcTables[0][i] = table[i];
  for (int k = 1; k < 8; ++k)
    for (int i = 0; i < 256; ++i) {
      uint32_t r = g_crcTables[k - 1][i];
      g_crcTables[k][i] = (r << 8) ^ g_crcTables[0][r >> 24];
    }
  uint32_t shift = 0x100;  // x^8: one zero byte
  for (size_t bits = 8; bits < 8 * kStreamBlock; bits *= 2) shift = MultiplyMod(shift, shift);
  g_blockShift = shift;
}

size_t CrcSlices(uint32_t* reg, const uint8_t* data, size_t size) {
  const uint32_t(*t)[256] = g_crcTables;
  uint32_t r = *reg;
  const uint8_t* start = data;
  // The register is linear in its start value and the bytes: the register after blocks A B C
  // is ((r(A) * shift) ^ r0(B)) * shift ^ r0(C), where r0 starts from zero.
  for (; size >= 3 * kStreamBlock; data += 3 * kStreamBlock, size -= 3 * kStreamBlock) {
    uint32_t r1 = 0, r2 = 0;
    for (size_t at = 0; at < kStreamBlock; at += 8) {
      r = Step8(t, r, data + at);
      r1 = Step8(t, r1, data + kStreamBlock + at);
      r2 = Step8(t, r2, data + 2 * kStreamBlock + at);
    }
    r = MultiplyMod(MultiplyMod(r, g_blockShift) ^ r1, g_blockShift) ^ r2;
  }
  for (; size >= 8; data += 8, size -= 8) r = Step8(t, r, data);
  *reg = r;
  return size_t(data - start);
}

}  // namespace vt
