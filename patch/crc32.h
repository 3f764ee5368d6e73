// CRC-32 of byte ranges and files, as the patch script stores it: MSB first, polynomial
// 0x04C11DB7, initial register and final complement all ones (CRC-32/BZIP2).
#ifndef VANTREL_PATCH_CRC32_H
#define VANTREL_PATCH_CRC32_H

#include <stddef.h>
#include <stdint.h>

#include "patch/fs.h"

namespace vt {

// Fills the process's CRC tables. Call once before any CRC is computed and before a second
// thread exists; every function below only reads the tables, from any thread.
void BuildCrcTable();

// The 256-entry table that one byte step uses (entry i is the CRC register after byte i from a
// zero register), built by BuildCrcTable.
const uint32_t* CrcTable();

// Continues a CRC: `crc` is the CRC of the bytes before (0 for none), the result is the CRC of
// those bytes followed by the `size` bytes at `data`.
uint32_t CrcUpdate(uint32_t crc, const uint8_t* data, size_t size);

// The CRC of the `size` bytes at `data`; 0 for none.
inline uint32_t CrcBytes(const uint8_t* data, size_t size) { return CrcUpdate(0, data, size); }

// The CRC of an open file's content from offset 0 to its size (the file open for reading).
// The handle stays open and usable. False when the file cannot be mapped.
bool TryCrcOfOpenFile(FsFile file, uint32_t* crc);

// As TryCrcOfOpenFile, with 0 for a file that cannot be mapped.
uint32_t CrcOfOpenFile(FsFile file);

// Opens `path` for reading without sharing, computes its CRC and closes it. False when the
// file cannot be opened or mapped.
bool TryCrcOfFile(const char* path, uint32_t* crc);

// As TryCrcOfFile, with 0 for a file that cannot be opened, which is also the CRC of an empty
// file.
uint32_t CrcOfFile(const char* path);

}  // namespace vt

#endif  // VANTREL_PATCH_CRC32_H
