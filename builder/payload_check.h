// Reading an installer's blocks back under the stub's own rules, with a sentence for every refusal.
// Portable C++ over bytes: the vantrel tool (inspect) and the tests share it.
#ifndef VANTREL_BUILDER_PAYLOAD_CHECK_H
#define VANTREL_BUILDER_PAYLOAD_CHECK_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace vt {

class FileMap;

// The largest decompressed block 1 the installer can be counted on to use: it is a 32-bit
// program, whose 2 GiB of address space also hold the program, its DLLs and the mapped
// installer file, and beyond 1 GiB such a process often cannot find one piece that large.
// inspect calls a larger stored size damaged, pack refuses to write one.
const uint32_t kMaxBlockRawSize = 1u << 30;

// Block 2 has no such limit but its size field's: the installer unpacks it into Patch.dat
// through a window of 1 MiB, with about 4.5 MiB for the decoder, and the run reads Patch.dat
// through a window of 1 MiB, so that the memory it takes stays the same whatever its size;
// Patch.dat takes its full size of temporary disk in the WorkDir.
const uint32_t kMaxScriptBlockRawSize = 0xFFFFFFFFu;

// The largest block `n` (1 or 2) an installer can hold for its stub to run.
inline uint32_t MaxBlockRawSize(int n) {
  return n == 1 ? kMaxBlockRawSize : kMaxScriptBlockRawSize;
}

// The largest installer file: the stub maps the whole file while it unpacks a block, and a
// 32-bit process can often find no piece of its address space larger than 1 GiB.
const uint64_t kMaxInstallerSize = 1u << 30;

// What is known about one block, filled as far as reading it got.
struct BlockFacts {
  bool located = false;   // its length and size fields and its stream lie inside the image
  size_t offset = 0;      // file offset of its length field
  uint32_t length = 0;    // the length field: size field plus stream
  uint32_t rawSize = 0;   // the stored decompressed size
  std::string signature;  // the stream's first bytes, at most 4
  bool decompressed = false;
  uint32_t produced = 0;  // bytes the stream decompressed to, at most rawSize
};

// Reads block `n` (1 or 2) of an installer image as the stub does: finds it behind the stub (at
// FindStubSize: the product's stub or the 64-bit test tier's) by the
// length fields, requires "BZh9", decompresses the stream as one buffer-to-buffer call offering
// exactly the stored size would (only a stream that ends within it succeeds) and walks the
// records in the bytes the stream gave. On success *raw holds those bytes (at most the stored
// size). On failure returns false, empties *raw and sets *error to one sentence saying what is
// wrong. `facts`, when given, receives what was learnt either way. The memory it takes is the
// bytes the stream gives, in *raw, whose earlier content is freed first, and the decoder's few
// MB; the stream is read a few MB at a time, and when `mapped` (the mapping that holds `image`)
// is given, its pages are given back once read.
bool ReadInstallerBlock(const uint8_t* image, size_t imageSize, int n,
                        std::vector<uint8_t>* raw, std::string* error,
                        BlockFacts* facts = nullptr, FileMap* mapped = nullptr);
bool ReadInstallerBlock(const std::vector<uint8_t>& image, int n, std::vector<uint8_t>* raw,
                        std::string* error, BlockFacts* facts = nullptr);

// Why `name` is not a plain file name (IsSafeComponent's rules), or "" when it is one.
std::string WhyNotPlainFileName(const std::string& name);

}  // namespace vt

#endif  // VANTREL_BUILDER_PAYLOAD_CHECK_H
