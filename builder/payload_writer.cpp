// Building an installer image: records, bzip2 blocks, the padded stub and its two blocks.
#include "builder/payload_writer.h"

#include <bzlib.h>
#include <string.h>

#include <new>

#include "builder/payload_check.h"
#include "builder/quote.h"
#include "format/ansi_chars.h"
#include "format/file_format.h"

namespace vt {

uint32_t PaddedStubSize(size_t size) {
  if (size == kWideStubSize) return kWideStubSize;
  return size <= kStubSize ? kStubSize : 0;
}

namespace {

const uint64_t kMaxU32 = 0xFFFFFFFFu;

// Windows opens "update.ini" and "Update.ini" as one file, and block 2's record lands in the same
// folder after block 1, so each of these would silently replace another file.
bool CheckNameClashes(const std::vector<PayloadFile>& files, std::string* error) {
  for (size_t i = 0; i < files.size(); ++i) {
    const char* name = files[i].name.c_str();
    if (SameFileName(name, kPatchRecordName)) {
      *error = "setup file " + QuoteStored(files[i].name) + ": block 2 carries " +
               kPatchRecordName + ", so block 1 must not";
      return false;
    }
    for (size_t j = 0; j < i; ++j) {
      if (SameFileName(files[j].name.c_str(), name)) {
        *error = "setup files " + QuoteStored(files[j].name) + " and " +
                 QuoteStored(files[i].name) +
                 " are one file on Windows (names differ only in case)";
        return false;
      }
    }
  }
  return true;
}

// Serialises and compresses one block, checking the format's 32-bit limits on the way.
bool AppendFilesBlock(const std::vector<PayloadFile>& files, int n, const std::string& label,
                      std::vector<uint8_t>* image, std::string* error,
                      const std::vector<size_t>& blockEnds = {}) {
  uint64_t rawSize = 1;
  for (const PayloadFile& file : files)
    rawSize += file.name.size() + 1 + 4 + uint64_t(file.data.size());
  if (rawSize > MaxBlockRawSize(n)) {
    *error = label + " unpacks to " + std::to_string(rawSize) + " bytes, more than the " +
             std::to_string(MaxBlockRawSize(n)) +
             (n == 1 ? " the 32-bit installer can be sure to allocate"
                     : " its size field holds (the installer would need as much temporary "
                       "disk for it, and about 5.5 MiB of memory whatever its size)");
    return false;
  }
  std::vector<uint8_t> stream;
  if (!CompressBlock(SerializeRecords(files), 9, &stream, error, blockEnds)) {
    *error = label + ": " + *error;
    return false;
  }
  AppendBlock(image, uint32_t(rawSize), stream);
  return true;
}

bool Build(const std::vector<uint8_t>& stub, const std::vector<PayloadFile>& setupFiles,
           const std::vector<uint8_t>& patchDat, std::vector<uint8_t>* installer,
           std::string* error, const std::vector<size_t>& patchBlockEnds) {
  if (stub.empty()) {
    *error = "the stub is empty";
    return false;
  }
  const uint32_t stubSize = PaddedStubSize(stub.size());
  if (stubSize == 0) {
    *error = "the stub is " + std::to_string(stub.size()) + " bytes, more than the " +
             std::to_string(kStubSize) + " bytes before the payload (and not a stub padded to " +
             std::to_string(kWideStubSize) + ")";
    return false;
  }
  for (const PayloadFile& file : setupFiles)
    if (!CheckSetupFileName(file.name, error)) return false;
  if (!CheckNameClashes(setupFiles, error)) return false;

  std::vector<uint8_t> image(stub);
  image.resize(stubSize, 0);
  if (!AppendFilesBlock(setupFiles, 1, "block 1 (the setup files)", &image, error)) return false;
  const std::vector<PayloadFile> patch = {{kPatchRecordName, patchDat}};
  // The record's name, its NUL and its size come before the script.
  const size_t recordHead = strlen(kPatchRecordName) + 1 + 4;
  std::vector<size_t> blockEnds;
  for (size_t end : patchBlockEnds)
    if (end > 0 && end < patchDat.size()) blockEnds.push_back(recordHead + end);
  if (!AppendFilesBlock(patch, 2, std::string("block 2 (") + kPatchRecordName + ")", &image,
                        error, blockEnds))
    return false;
  if (image.size() > kMaxInstallerSize) {
    *error = "the installer would be " + std::to_string(image.size()) + " bytes, more than the " +
             std::to_string(kMaxInstallerSize) +
             " the 32-bit stub can be sure to map while it unpacks (its script unpacks to " +
             std::to_string(patchDat.size()) + " bytes of temporary disk)";
    return false;
  }
  installer->swap(image);
  return true;
}

// As BZ2_bzBuffToBuffCompress, with a block ended (BZ_FLUSH) at each of `blockEnds`.
int CompressEndingBlocks(char* source, size_t size, int blockSize,
                         const std::vector<size_t>& blockEnds, char* dest, unsigned* destSize) {
  bz_stream bz;
  memset(&bz, 0, sizeof bz);
  int result = BZ2_bzCompressInit(&bz, blockSize, 0, 0);
  if (result != BZ_OK) return result;
  bz.next_out = dest;
  bz.avail_out = *destSize;
  size_t done = 0;
  for (size_t k = 0; k <= blockEnds.size(); ++k) {
    const bool last = k == blockEnds.size();
    const size_t end = last ? size : blockEnds[k];
    if (!last && (end <= done || end >= size)) continue;
    bz.next_in = source + done;
    bz.avail_in = unsigned(end - done);
    const int action = last ? BZ_FINISH : BZ_FLUSH;
    const int want = last ? BZ_STREAM_END : BZ_RUN_OK;
    do {
      result = BZ2_bzCompress(&bz, action);
      if (result != BZ_FLUSH_OK && result != BZ_FINISH_OK && result != want) {
        BZ2_bzCompressEnd(&bz);
        return result < 0 ? result : BZ_SEQUENCE_ERROR;
      }
      if (result != want && bz.avail_out == 0) {
        BZ2_bzCompressEnd(&bz);
        return BZ_OUTBUFF_FULL;
      }
    } while (result != want);
    done = end;
  }
  *destSize = *destSize - bz.avail_out;
  BZ2_bzCompressEnd(&bz);
  return BZ_OK;
}

}  // namespace

std::vector<uint8_t> SerializeRecords(const std::vector<PayloadFile>& files) {
  std::vector<uint8_t> raw;
  for (const PayloadFile& file : files) {
    raw.insert(raw.end(), file.name.begin(), file.name.end());
    raw.push_back(0);
    uint8_t size[4];
    WriteLe32(size, uint32_t(file.data.size()));
    raw.insert(raw.end(), size, size + 4);
    raw.insert(raw.end(), file.data.begin(), file.data.end());
  }
  raw.push_back(0);
  return raw;
}

bool CompressBlock(const std::vector<uint8_t>& raw, int blockSize, std::vector<uint8_t>* stream,
                   std::string* error, const std::vector<size_t>& blockEnds) {
  if (blockSize < 1 || blockSize > 9) {
    *error = "bzip2 block size " + std::to_string(blockSize) + " is not between 1 and 9";
    return false;
  }
  if (uint64_t(raw.size()) > kMaxU32) {
    *error = "cannot compress more than 4 GiB in one block";
    return false;
  }
  // bzip2's documented worst case is 1% plus 600 bytes; the block's length field (stream + 4)
  // must fit 32 bits as well.
  // Each block ended early may cost as much again as the stream's own overhead.
  uint64_t room = uint64_t(raw.size()) + raw.size() / 100 + 600 * (1 + uint64_t(blockEnds.size()));
  if (room > kMaxU32 - 4) room = kMaxU32 - 4;
  try {
    std::vector<uint8_t> out(size_t(room), 0);
    unsigned int outSize = unsigned(room);
    // The library wants a non-null source even for no bytes, and non-const pointers.
    char empty = 0;
    char* source = raw.empty() ? &empty : reinterpret_cast<char*>(const_cast<uint8_t*>(raw.data()));
    const int result =
        blockEnds.empty()
            ? BZ2_bzBuffToBuffCompress(reinterpret_cast<char*>(out.data()), &outSize, source,
                                       unsigned(raw.size()), blockSize, 0, 0)
            : CompressEndingBlocks(source, raw.size(), blockSize, blockEnds,
                                   reinterpret_cast<char*>(out.data()), &outSize);
    if (result != BZ_OK) {
      *error = result == BZ_MEM_ERROR ? "out of memory while compressing"
               : result == BZ_OUTBUFF_FULL
                   ? "the compressed block would exceed the format's 4 GiB limit"
                   : "bzip2 compression failed (code " + std::to_string(result) + ")";
      return false;
    }
    out.resize(outSize);
    stream->swap(out);
  } catch (const std::bad_alloc&) {
    *error = "out of memory while compressing";
    return false;
  }
  return true;
}

size_t CompressedSize(const std::vector<uint8_t>& raw) {
  if (uint64_t(raw.size()) > kMaxU32) return raw.size();
  bz_stream bz;
  memset(&bz, 0, sizeof bz);
  size_t size = raw.size();
  if (BZ2_bzCompressInit(&bz, 9, 0, 0) != BZ_OK) return size;
  // The stream is counted, not kept: it passes through this buffer.
  char out[1 << 16];
  char empty = 0;
  bz.next_in = raw.empty() ? &empty : reinterpret_cast<char*>(const_cast<uint8_t*>(raw.data()));
  bz.avail_in = unsigned(raw.size());
  int result;
  do {
    bz.next_out = out;
    bz.avail_out = sizeof out;
    result = BZ2_bzCompress(&bz, BZ_FINISH);
  } while (result == BZ_FINISH_OK);
  if (result == BZ_STREAM_END)
    size = size_t((uint64_t(bz.total_out_hi32) << 32) | bz.total_out_lo32);
  BZ2_bzCompressEnd(&bz);
  return size;
}

void AppendBlock(std::vector<uint8_t>* out, uint32_t rawSize, const std::vector<uint8_t>& stream) {
  uint8_t header[kBlockHeaderSize];
  WriteLe32(header, uint32_t(stream.size() + 4));
  WriteLe32(header + 4, rawSize);
  out->insert(out->end(), header, header + kBlockHeaderSize);
  out->insert(out->end(), stream.begin(), stream.end());
}

bool BuildInstaller(const std::vector<uint8_t>& stub, const std::vector<PayloadFile>& setupFiles,
                    const std::vector<uint8_t>& patchDat, std::vector<uint8_t>* installer,
                    std::string* error, const std::vector<size_t>& patchBlockEnds) {
  try {
    return Build(stub, setupFiles, patchDat, installer, error, patchBlockEnds);
  } catch (const std::bad_alloc&) {
    *error = "out of memory while building the installer";
    return false;
  }
}

bool CheckSetupFileName(const std::string& name, std::string* error) {
  const std::string why = WhyNotPlainFileName(name);
  if (!why.empty()) {
    *error = "setup file " + QuoteStored(name) + " is not a plain file name: " + why;
    return false;
  }
  if (name.size() > kMaxSetupFileName) {
    *error = "setup file " + QuoteStored(name.substr(0, 40) + "...") + " has a name of " +
             std::to_string(name.size()) + " bytes, longer than the " +
             std::to_string(kMaxSetupFileName) + " Windows allows";
    return false;
  }
  return true;
}

}  // namespace vt
