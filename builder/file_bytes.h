// Whole-file reads and replace-safe writes for the vantrel commands.
#ifndef VANTREL_BUILDER_FILE_BYTES_H
#define VANTREL_BUILDER_FILE_BYTES_H

#include <stdint.h>

#include <string>
#include <vector>

namespace vt {

// Reads the whole file at `path` into *bytes. Returns false and sets *error ("cannot read
// 'PATH': reason") when it cannot be opened or read, or is not a regular file (a folder, a
// FIFO or a device, which could block or never end).
bool ReadFileBytes(const std::string& path, std::vector<uint8_t>* bytes, std::string* error);

// ReadFileBytes's refusal of a folder, a FIFO or a device, for a caller that reads the file
// otherwise (by a mapping): false with *error when `path` is one. A path that cannot be looked
// at passes, for the read to report.
bool CheckRegularFile(const std::string& path, std::string* error);

// Writes `bytes` to `path`, replacing any file there, through a temporary file beside it that
// this call creates anew under a fresh name (never opening anything that was there, a link
// included) and renames into place once complete: a link at `path` is replaced, not followed,
// and a failed write leaves the earlier file whole and no temporary behind. Returns false and
// sets *error ("cannot write 'PATH': reason") on failure.
bool WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes, std::string* error);

// False with *error ("OUTPUT is also an input ...") when `output`, links resolved, names one of
// `inputFiles` or lies inside one of `inputDirs`: writing it would overwrite what is being read.
bool CheckOutputIsNoInput(const std::string& output, const std::vector<std::string>& inputFiles,
                          const std::vector<std::string>& inputDirs, std::string* error);

}  // namespace vt

#endif  // VANTREL_BUILDER_FILE_BYTES_H
