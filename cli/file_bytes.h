// Whole-file reads and replace-safe writes for the vantrel commands (portable <stdio.h> only).
#ifndef VANTREL_CLI_FILE_BYTES_H
#define VANTREL_CLI_FILE_BYTES_H

#include <stdint.h>

#include <string>
#include <vector>

namespace vt {

// Reads the whole file at `path` into *bytes. Returns false and sets *error ("cannot read
// 'PATH': reason") when it cannot be opened or read, a folder included.
bool ReadFileBytes(const std::string& path, std::vector<uint8_t>* bytes, std::string* error);

// Writes `bytes` to `path`, replacing any file there, through a temporary file beside it: a
// failed write leaves the earlier file whole and no temporary behind. Returns false and sets
// *error ("cannot write 'PATH': reason") on failure.
bool WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes, std::string* error);

}  // namespace vt

#endif  // VANTREL_CLI_FILE_BYTES_H
