// Building an installer: file records, bzip2 blocks and the stub with its appended payload.
// Portable C++ (no file-system calls): the vantrel tool and the Windows-side tests share it. It
// writes what payload_check reads back, under the same limits.
#ifndef VANTREL_BUILDER_PAYLOAD_WRITER_H
#define VANTREL_BUILDER_PAYLOAD_WRITER_H

#include <stdint.h>

#include <string>
#include <vector>

#include "builder/payload_check.h"
#include "format/file_format.h"

namespace vt {

// Longest setup file name pack accepts: the longest name a Windows directory entry can hold.
const size_t kMaxSetupFileName = 255;

struct PayloadFile {
  std::string name;
  std::vector<uint8_t> data;
};

// Records: name, NUL, u32 size, data ...; then one NUL ending the run. The caller checks the
// names; a file larger than a u32 can count is the caller's fault (see BuildInstaller).
std::vector<uint8_t> SerializeRecords(const std::vector<PayloadFile>& files);

// bzip2 of `raw` with `blockSize` (1 to 9; the installer accepts only streams of 9, which start
// "BZh9"). A bzip2 block also ends at each offset of `blockEnds` (ascending, inside `raw`), so
// that unlike data need not share one: the stream is the same format, read the same way.
// Returns false and sets *error when the library fails or the input is too large.
bool CompressBlock(const std::vector<uint8_t>& raw, int blockSize, std::vector<uint8_t>* stream,
                   std::string* error, const std::vector<size_t>& blockEnds = {});

// The size of the stream CompressBlock(raw, 9, ...) writes, without keeping the stream; the
// size of `raw` itself when the library fails.
size_t CompressedSize(const std::vector<uint8_t>& raw);

// Appends one block: u32 len (= stream.size() + 4), u32 rawSize, stream. The stream must be
// shorter than 4 GiB - 4 (CompressBlock guarantees it).
void AppendBlock(std::vector<uint8_t>* out, uint32_t rawSize, const std::vector<uint8_t>& stream);

// The size that a stub of `size` bytes is padded to: kStubSize for the product's (any stub up to
// that size), kWideStubSize for a stub padded to it already (the 64-bit test tier's); 0 for a
// stub too large for either.
uint32_t PaddedStubSize(size_t size);

// The stub padded with zeros to PaddedStubSize, block 1 (the setup files, in the given order)
// and block 2 (one record, kPatchRecordName, holding `patchDat`). Returns false and sets
// *error, leaving *installer untouched, when the stub is empty or too large, a setup file
// name fails CheckSetupFileName, two names differ only in case (one file on Windows), a setup
// file is named like block 2's record, or a block does not fit the format's 32-bit sizes.
// `patchBlockEnds` are offsets in `patchDat` where a bzip2 block of block 2 ends (see
// CompressBlock; PatchBlockEnds gives a script's).
bool BuildInstaller(const std::vector<uint8_t>& stub, const std::vector<PayloadFile>& setupFiles,
                    const std::vector<uint8_t>& patchDat, std::vector<uint8_t>* installer,
                    std::string* error, const std::vector<size_t>& patchBlockEnds = {});

// True when `name` can be a setup file: a plain file name (IsSafeComponent) no longer than
// kMaxSetupFileName. Otherwise false, and *error says why, naming the file.
bool CheckSetupFileName(const std::string& name, std::string* error);

}  // namespace vt

#endif  // VANTREL_BUILDER_PAYLOAD_WRITER_H
