// bzip2 decoding of a stream in memory, into a buffer that holds all the output or into a window
// that is handed on each time it fills. Portable; the stub unpacks its payload blocks with it.
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

// Takes the next `size` bytes of the output, in order.
typedef void (*Bzip2Flush)(void* context, const uint8_t* bytes, size_t size);

struct Bzip2Stream {
  const uint8_t* in;
  size_t inSize;
  uint8_t* out;
  size_t outCapacity;
  const uint32_t* crcTable;  // the 256-entry MSB-first CRC-32 table of patch/crc32.h
  size_t produced;           // set: bytes of output in all
  size_t bitsRead;           // set: bits of `in` consumed when decoding stopped
  // Null: all the output goes to `out`, and `outCapacity` bounds it. Otherwise `out` is a window
  // of `outCapacity` bytes (at least 1) handed to `flush` each time it is full and once more at
  // the stream's end, and `outLimit` bounds the output.
  Bzip2Flush flush;
  void* flushContext;
  size_t outLimit;
};

// Decodes the first bzip2 stream at `in`; bytes after its end marker are ignored. Succeeds only
// when every block and the stream end pass their CRC checks and all the data fits into the
// bound. The data reaches `out` or `flush` as it is decoded, before the CRC that covers it is
// checked: on any failure what was handed on is an undefined part of the data, and its last
// window is not handed on. Nothing is ever written past `outCapacity` or read past `inSize`.
Bzip2Result Bzip2Decode(Bzip2Stream* stream, Bzip2Work* work);

}  // namespace vt

#endif  // VANTREL_FORMAT_BZIP2_DECODER_H
