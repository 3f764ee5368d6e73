// Our bzip2 decoder against libbzip2 on the same stream and output space: the same bytes for
// every stream libbzip2 accepts, a refusal for every stream it rejects. Randomised blocks are
// the one difference: the decoder refuses them, and must say so exactly where such a block
// starts. Decoding through a small window handed on as it fills must give the same verdict,
// and on success the same bytes. Input: 3 bytes of output space (little-endian, below 1 MiB),
// then the stream; the window's size comes from the first byte.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "bzlib.h"
#include "format/bzip2_decoder.h"
#include "format/file_format.h"

namespace {

const uint32_t* CrcTable() {
  static uint32_t table[256];
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t r = i << 24;
    for (int bit = 0; bit < 8; ++bit) r = (r & 0x80000000u) ? (r << 1) ^ vt::kCrcPolynomial : r << 1;
    table[i] = r;
  }
  return table;
}

uint64_t BitsAt(const uint8_t* data, size_t bit, int count) {
  uint64_t value = 0;
  for (int i = 0; i < count; ++i, ++bit) value = value << 1 | ((data[bit / 8] >> (7 - bit % 8)) & 1);
  return value;
}

void Require(bool condition) {
  if (!condition) abort();
}

void Collect(void* context, const uint8_t* bytes, size_t size) {
  std::vector<uint8_t>* out = static_cast<std::vector<uint8_t>*>(context);
  out->insert(out->end(), bytes, bytes + size);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const uint32_t* crcTable = CrcTable();
  static vt::Bzip2Work* work = new vt::Bzip2Work;
  if (size < 3) return 0;
  size_t capacity = (data[0] | data[1] << 8 | data[2] << 16) & 0xFFFFF;
  size_t inSize = size - 3;
  // Exact-size heap copies, so that ASan catches any access outside them.
  uint8_t* in = new uint8_t[inSize];
  memcpy(in, data + 3, inSize);
  uint8_t* ours = new uint8_t[capacity];
  std::vector<uint8_t> theirs(capacity + 1);  // never empty: libbzip2 refuses a null output

  unsigned int theirSize = unsigned(capacity);
  bool accepted = BZ2_bzBuffToBuffDecompress(reinterpret_cast<char*>(theirs.data()), &theirSize,
                                             reinterpret_cast<char*>(in), unsigned(inSize), 0,
                                             0) == BZ_OK;
  vt::Bzip2Stream stream = {in, inSize, ours, capacity, crcTable, 0, 0};
  vt::Bzip2Result result = vt::Bzip2Decode(&stream, work);
  Require(stream.produced <= capacity && stream.bitsRead <= inSize * 8);
  if (result == vt::kBzip2Ok) {
    Require(accepted && stream.produced == theirSize &&
            memcmp(ours, theirs.data(), theirSize) == 0);
  } else if (result == vt::kBzip2Randomised) {
    // Stopped right after a set randomised bit that follows a block magic and its CRC.
    Require(stream.bitsRead >= 81 && BitsAt(in, stream.bitsRead - 1, 1) == 1 &&
            BitsAt(in, stream.bitsRead - 81, 48) == 0x314159265359ull);
  } else {
    Require(!accepted);
  }

  // The window is an exact-size heap copy too.
  size_t windowSize = 1 + data[0] % 64;
  uint8_t* window = new uint8_t[windowSize];
  std::vector<uint8_t> flushed;
  vt::Bzip2Stream windowed = {in,      inSize,   window,  windowSize, crcTable,
                              0,       0,        Collect, &flushed,   capacity};
  Require(vt::Bzip2Decode(&windowed, work) == result && windowed.bitsRead == stream.bitsRead);
  Require(windowed.produced <= capacity && flushed.size() <= windowed.produced);
  if (result == vt::kBzip2Ok)
    Require(windowed.produced == stream.produced && flushed.size() == stream.produced &&
            (flushed.empty() || memcmp(flushed.data(), ours, flushed.size()) == 0));
  delete[] window;
  delete[] ours;
  delete[] in;
  return 0;
}
