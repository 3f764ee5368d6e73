// The CRC's table steps over whole 8-byte groups: a part of crc32.cpp chosen in CMake, slicing
// by eight in the tool (crc32_slices.cpp), none in the stub (crc32_slices_none.cpp).
#ifndef VANTREL_PATCH_CRC32_SLICES_H
#define VANTREL_PATCH_CRC32_SLICES_H

#include <stddef.h>
#include <stdint.h>

namespace vt {

// Prepares the tables for 8-byte steps from the byte table `table` (entry i is the register
// after byte i from a zero register); BuildCrcTable calls it after building that table.
void BuildCrcSlices(const uint32_t* table);

// Takes the leading whole 8-byte groups of `data` into the CRC register `*reg` (not
// complemented); returns how many bytes it took, 0 when it took none.
size_t CrcSlices(uint32_t* reg, const uint8_t* data, size_t size);

}  // namespace vt

#endif  // VANTREL_PATCH_CRC32_SLICES_H
