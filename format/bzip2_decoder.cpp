// bzip2 decoding in one pass over a complete stream. It accepts exactly the streams that
// libbzip2's decompressor accepts (randomised blocks aside), with the same checks in the same
// terms, so that an installer which `vantrel` verified unpacks the same way in the stub.
#include "format/bzip2_decoder.h"

namespace vt {
namespace {

const int kMaxCodeLength = 20;
const int kGroupSize = 50;  // symbols coded with one selector's table
const int kRunB = 1;        // symbols 0 (RUNA) and 1 (RUNB) spell a run of the front symbol

struct Decoder {
  const uint8_t* in;
  size_t inSize;
  size_t pos;
  uint32_t buffer;
  int live;    // bits of `buffer` not yet taken
  bool ended;  // a read ran past the input: every later read gives zeros
  Bzip2Work* work;
  int nSelectors;
  int groupNo;
  int groupLeft;
  size_t used;  // bytes in the output window
};

// The next `n` bits (at most 24), first bit highest.
uint32_t GetBits(Decoder* d, int n) {
  while (d->live < n) {
    if (d->pos == d->inSize) {
      d->ended = true;
      return 0;
    }
    d->buffer = d->buffer << 8 | d->in[d->pos++];
    d->live += 8;
  }
  d->live -= n;
  return (d->buffer >> d->live) & ((1u << n) - 1);
}

uint32_t Get32(Decoder* d) {
  uint32_t high = GetBits(d, 16);
  return high << 16 | GetBits(d, 16);
}

// Canonical decoding tables of one group from its code lengths: codes of each length are
// consecutive, `limit` is the last code of a length, `base` turns a code into a `perm` index.
void BuildDecodeTable(Bzip2Work* w, int t, int alphaSize) {
  const uint8_t* length = w->length[t];
  int32_t* limit = w->limit[t];
  int32_t* base = w->base[t];
  int minLength = 32, maxLength = 0;
  for (int i = 0; i < alphaSize; ++i) {
    if (length[i] > maxLength) maxLength = length[i];
    if (length[i] < minLength) minLength = length[i];
  }
  w->minLength[t] = uint8_t(minLength);
  int at = 0;
  for (int n = minLength; n <= maxLength; ++n)
    for (int i = 0; i < alphaSize; ++i)
      if (length[i] == n) w->perm[t][at++] = i;
  for (int n = 0; n < 23; ++n) base[n] = limit[n] = 0;
  for (int i = 0; i < alphaSize; ++i) ++base[length[i] + 1];
  for (int n = 1; n < 23; ++n) base[n] += base[n - 1];
  int32_t code = 0;
  for (int n = minLength; n <= maxLength; ++n) {
    code += base[n + 1] - base[n];
    limit[n] = code - 1;
    code <<= 1;
  }
  for (int n = maxLength; n > minLength; --n) base[n] = ((limit[n - 1] + 1) << 1) - base[n];
}

// The next Huffman-coded symbol, or -1 when the stream has run out of selectors or holds a
// code that its table does not have.
int NextSymbol(Decoder* d) {
  Bzip2Work* w = d->work;
  if (d->groupLeft == 0) {
    if (++d->groupNo >= d->nSelectors) return -1;
    d->groupLeft = kGroupSize;
  }
  --d->groupLeft;
  int t = w->selector[d->groupNo];
  int n = w->minLength[t];
  int32_t code = int32_t(GetBits(d, n));
  for (;;) {
    if (n > kMaxCodeLength) return -1;
    if (code <= w->limit[t][n]) break;
    ++n;
    code = code << 1 | int32_t(GetBits(d, 1));
  }
  int32_t at = code - w->base[t][n];
  if (at < 0 || at >= kBzip2MaxAlphabet) return -1;
  return w->perm[t][at];
}

// Reads the symbol map, the selectors and the code tables of a block. Returns the number of
// symbols in use, or 0 when the tables are damaged.
int ReadTables(Decoder* d, uint8_t* seqToByte) {
  Bzip2Work* w = d->work;
  int inUse = 0;
  uint32_t ranges = GetBits(d, 16);
  for (int i = 0; i < 16; ++i) {
    if (!(ranges & (0x8000u >> i))) continue;
    uint32_t bytes = GetBits(d, 16);
    for (int j = 0; j < 16; ++j)
      if (bytes & (0x8000u >> j)) seqToByte[inUse++] = uint8_t(i * 16 + j);
  }
  if (inUse == 0) return 0;
  int alphaSize = inUse + 2;
  int nGroups = int(GetBits(d, 3));
  if (nGroups < 2 || nGroups > kBzip2MaxGroups) return 0;
  int nSelectors = int(GetBits(d, 15));
  if (nSelectors < 1) return 0;
  // Selectors come move-to-front coded in unary. Writers may round their number up; those
  // past the most a block can use are read and dropped.
  uint8_t order[kBzip2MaxGroups] = {0, 1, 2, 3, 4, 5};
  for (int i = 0; i < nSelectors; ++i) {
    int j = 0;
    while (GetBits(d, 1))
      if (++j >= nGroups) return 0;
    if (i >= kBzip2MaxSelectors) continue;
    uint8_t t = order[j];
    for (; j > 0; --j) order[j] = order[j - 1];
    order[0] = t;
    w->selector[i] = t;
  }
  d->nSelectors = nSelectors < kBzip2MaxSelectors ? nSelectors : kBzip2MaxSelectors;
  // Code lengths are delta coded: 0 ends a symbol's length, 10 adds one, 11 takes one away.
  for (int t = 0; t < nGroups; ++t) {
    int length = int(GetBits(d, 5));
    for (int i = 0; i < alphaSize; ++i) {
      for (;;) {
        if (length < 1 || length > kMaxCodeLength) return 0;
        if (!GetBits(d, 1)) break;
        length += GetBits(d, 1) ? -1 : 1;
      }
      w->length[t][i] = uint8_t(length);
    }
    BuildDecodeTable(w, t, alphaSize);
  }
  return inUse;
}

// Reads a block's symbols after its header into work->tt, undoing the run-length and
// move-to-front steps. Returns the number of symbols, or 0 when the block is damaged.
uint32_t ReadSymbols(Decoder* d, uint32_t blockMax, uint32_t* counts) {
  Bzip2Work* w = d->work;
  uint8_t seqToByte[256];
  int inUse = ReadTables(d, seqToByte);
  if (inUse == 0) return 0;
  uint8_t front[256];
  for (int i = 0; i < 256; ++i) {
    front[i] = uint8_t(i);
    counts[i] = 0;
  }
  d->groupNo = -1;
  d->groupLeft = 0;
  uint32_t n = 0;
  int symbol = NextSymbol(d);
  for (;;) {
    if (symbol < 0 || d->ended) return 0;
    if (symbol == inUse + 1) return n;  // end of block
    if (symbol <= kRunB) {
      // A run length in bijective base 2, least significant digit first.
      uint32_t run = 0, weight = 1;
      do {
        if (weight >= 2 * 1024 * 1024) return 0;
        run += weight << symbol;
        weight <<= 1;
        symbol = NextSymbol(d);
      } while (symbol >= 0 && symbol <= kRunB);
      if (run > blockMax - n) return 0;
      uint8_t byte = seqToByte[front[0]];
      counts[byte] += run;
      while (run--) w->tt[n++] = byte;
    } else {
      if (n >= blockMax) return 0;
      int at = symbol - 1;
      uint8_t seq = front[at];
      for (; at > 0; --at) front[at] = front[at - 1];
      front[0] = seq;
      uint8_t byte = seqToByte[seq];
      ++counts[byte];
      w->tt[n++] = byte;
      symbol = NextSymbol(d);
    }
  }
}

// Decodes one block after its magic into the output. Returns kBzip2Ok and the block's CRC.
Bzip2Result DecodeBlock(Decoder* d, Bzip2Stream* s, uint32_t blockMax, uint32_t* blockCrc) {
  uint32_t* tt = d->work->tt;
  uint32_t storedCrc = Get32(d);
  if (GetBits(d, 1)) return d->ended ? kBzip2Truncated : kBzip2Randomised;
  uint32_t origin = GetBits(d, 24);
  uint32_t counts[256];
  uint32_t n = ReadSymbols(d, blockMax, counts);
  if (d->ended) return kBzip2Truncated;
  if (origin >= n) return kBzip2Corrupt;  // also a damaged block (n == 0)
  // Inverse transform: link each symbol to the position of its successor.
  for (uint32_t i = 0, sum = 0; i < 256; ++i) {
    uint32_t c = counts[i];
    counts[i] = sum;
    sum += c;
  }
  for (uint32_t i = 0; i < n; ++i) tt[counts[tt[i] & 0xFF]++] |= i << 8;
  uint32_t pos = tt[origin] >> 8;
  // Walks the chain; the walk takes one symbol past the last, whose value is never used.
  auto next = [&]() -> int {
    pos = tt[pos];
    int byte = pos & 0xFF;
    pos >>= 8;
    return byte;
  };
  // Undoes the first run-length step: four equal bytes are followed by a count of more.
  uint32_t crc = 0xFFFFFFFFu;
  uint32_t taken = 1;
  int last = next();
  while (taken <= n) {
    int byte = last;
    uint32_t run = 1;
    for (;;) {
      last = next();
      if (++taken == n + 1 || last != byte) break;
      if (++run == 4) {
        run += next();
        last = next();
        taken += 2;
        break;
      }
    }
    if (run > s->outLimit - s->produced) return kBzip2OutputFull;
    s->produced += run;
    for (; run > 0; --run) {
      // Without a flush the window is the whole bound, so it never fills before the bound.
      if (d->used == s->outCapacity) {
        s->flush(s->flushContext, s->out, d->used);
        d->used = 0;
      }
      s->out[d->used++] = uint8_t(byte);
      crc = crc << 8 ^ s->crcTable[(crc >> 24) ^ uint32_t(byte)];
    }
  }
  // A count in the last four symbols would run past the block.
  if (taken != n + 1) return kBzip2Corrupt;
  *blockCrc = ~crc;
  return *blockCrc == storedCrc ? kBzip2Ok : kBzip2CrcMismatch;
}

Bzip2Result DecodeStream(Decoder* d, Bzip2Stream* s) {
  uint32_t magic = GetBits(d, 24);
  uint32_t digit = GetBits(d, 8) - '0';
  if (d->ended) return kBzip2Truncated;
  if (magic != 0x425A68 || digit < 1 || digit > 9) return kBzip2BadHeader;  // "BZh1" to "BZh9"
  uint32_t blockMax = digit * 100000;
  uint32_t combined = 0;
  for (;;) {
    uint32_t high = GetBits(d, 24);
    uint32_t low = GetBits(d, 24);
    if (high == 0x177245 && low == 0x385090) {  // end of stream: the square root of pi
      uint32_t stored = Get32(d);
      if (d->ended) return kBzip2Truncated;
      return stored == combined ? kBzip2Ok : kBzip2CrcMismatch;
    }
    if (d->ended) return kBzip2Truncated;
    if (high != 0x314159 || low != 0x265359) return kBzip2Corrupt;  // a block: pi
    uint32_t blockCrc;
    Bzip2Result r = DecodeBlock(d, s, blockMax, &blockCrc);
    if (r != kBzip2Ok) return r;
    combined = (combined << 1 | combined >> 31) ^ blockCrc;
  }
}

}  // namespace

Bzip2Result Bzip2Decode(Bzip2Stream* stream, Bzip2Work* work) {
  Decoder d = {stream->in, stream->inSize, 0, 0, 0, false, work, 0, 0, 0, 0};
  stream->produced = 0;
  if (!stream->flush) stream->outLimit = stream->outCapacity;
  Bzip2Result r = DecodeStream(&d, stream);
  if (r == kBzip2Ok && stream->flush) stream->flush(stream->flushContext, stream->out, d.used);
  stream->bitsRead = d.pos * 8 - size_t(d.live);
  return r;
}

}  // namespace vt
