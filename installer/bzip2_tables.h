// The stub's bzip2 CRC table, which is filled at run time instead of stored in the file.
#ifndef VANTREL_INSTALLER_BZIP2_TABLES_H
#define VANTREL_INSTALLER_BZIP2_TABLES_H

#ifdef __cplusplus
extern "C" {
#endif

// Fills BZ2_crc32Table (CRC-32, MSB first, polynomial 0x04C11DB7). Call before decompressing;
// calling it again rewrites the same values.
void BuildBzip2CrcTable(void);

#ifdef __cplusplus
}
#endif

#endif  // VANTREL_INSTALLER_BZIP2_TABLES_H
