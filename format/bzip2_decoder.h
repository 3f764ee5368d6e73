// One-shot bzip2 decoding from a buffer into a buffer: the whole stream in memory, the whole
// output space given up front. Portable; the stub unpacks its payload blocks with it.
#ifndef VANTREL_FORMAT_BZIP2_DECODER_H
#define VANTREL_FORMAT_BZIP2_DECODER_H

#include <stddef.h>
#include <stdint.h>

namespace vt {

enum Bzip2Result {
  kBzip2Ok = 0,
  kBzip2Truncated,    // the input ends before the stream's end marker
  kBzip2BadHeader,    // not "BZh" followed by a block-size digit 1 to 9
  kBzip2Corrupt,      // a block's magic, tables or symbols make no sense
  kBzip2Randomised,   // a randomised block, which only bzip2 before 0.9.5 wrote
  kBzip2OutputFull,   // the data does not fit into the output space
  kBzip2CrcMismatch,  // a block's or the stream's CRC differs from the data
};

const uint32_t kBzip2MaxBlock = 900000;  // symbols of one block at block size 9
const int kBzip2MaxGroups = 6;
const int kBzip2MaxAlphabet = 258;
const int kBzip2MaxSelectors = 2 + kBzip2MaxBlock / 50;

// The decoder's tables, several MB: too large for a stack, so the caller provides them. Their
// content on entry does not matter.
struct Bzip2Work {
  uint32_t tt[kBzip2MaxBlock];  // a block's symbols, then its inverse transform
  int32_t limit[kBzip2MaxGroups][23];
  int32_t base[kBzip2MaxGroups][23];
  int32_t perm[kBzip2MaxGroups][kBzip2MaxAlphabet];
  uint8_t minLength[kBzip2MaxGroups];
  uint8_t length[kBzip2MaxGroups][kBzip2MaxAlphabet];
  uint8_t selector[kBzip2MaxSelectors];
};

struct Bzip2Stream {
  const uint8_t* in;
  size_t inSize;
  uint8_t* out;
  size_t outCapacity;
  const uint32_t* crcTable;  // the 256-entry MSB-first CRC-32 table of patch/crc32.h
  size_t produced;           // set: bytes written to `out`
  size_t bitsRead;           // set: bits of `in` consumed when decoding stopped
};

// Decodes the first bzip2 stream at `in` into `out`; bytes after its end marker are ignored.
// Succeeds only when every block and the stream end pass their CRC checks and all the data
// fits into `outCapacity` bytes. On any failure `out` holds an undefined part of the data;
// nothing is ever written past `outCapacity` or read past `inSize`.
Bzip2Result Bzip2Decode(Bzip2Stream* stream, Bzip2Work* work);

}  // namespace vt

#endif  // VANTREL_FORMAT_BZIP2_DECODER_H
