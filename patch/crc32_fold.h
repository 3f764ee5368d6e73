// The CRC's long stretches by carry-less multiplication, where the processor offers it: a
// platform part of crc32.cpp, chosen in CMake (crc32_fold_x86.cpp, crc32_fold_none.cpp).
#ifndef VANTREL_PATCH_CRC32_FOLD_H
#define VANTREL_PATCH_CRC32_FOLD_H

#include <stddef.h>
#include <stdint.h>

namespace vt {

// Prepares the folding constants; BuildCrcTable calls it after the byte tables are built.
void BuildCrcFold();

// Takes the leading whole 16-byte blocks of `data` into the CRC register `*reg` (not
// complemented) when there are enough of them and the processor can fold; returns how many
// bytes it took, 0 when it took none. Uses the byte table of CrcTable() for the last step.
size_t CrcFold(uint32_t* reg, const uint8_t* data, size_t size);

// Folds with 128-bit registers only, even where wider ones exist, until the next BuildCrcFold:
// so that the narrower path is checked on every processor.
void LimitCrcFoldWidth();

}  // namespace vt

#endif  // VANTREL_PATCH_CRC32_FOLD_H
