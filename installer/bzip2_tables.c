/* bzip2's CRC table for the stub, computed at run time: zeroed data takes no room in the file. */
#include "bzlib_private.h"

#include "installer/bzip2_tables.h"

UInt32 BZ2_crc32Table[256];

void BuildBzip2CrcTable(void) {
  for (UInt32 i = 0; i < 256; ++i) {
    UInt32 c = i << 24;
    for (int bit = 0; bit < 8; ++bit) c = (c << 1) ^ (c & 0x80000000u ? 0x04C11DB7u : 0);
    BZ2_crc32Table[i] = c;
  }
}
