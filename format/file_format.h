// On-disk formats shared by the stub, the patch engine and the vantrel tool: the installer's
// payload (two length-prefixed bzip2 blocks of file records) and the patch script.
#ifndef VANTREL_FORMAT_FILE_FORMAT_H
#define VANTREL_FORMAT_FILE_FORMAT_H

#include <stddef.h>
#include <stdint.h>

#include "format/file_names.h"

namespace vt {

// ---- Installer payload -------------------------------------------------------------------

// The product's stub is padded to exactly this size; block 1's length field starts here. The
// stub never searches for its payload, so the stub and the builder must agree on this number.
const uint32_t kStubSize = 0x8800;
// The 64-bit build of the same stub, a test tier for machines that run no 32-bit programs, is
// larger and padded to this size. A stub knows its own from its build; the tools take both.
const uint32_t kWideStubSize = 0xA000;

// Every block: u32 len (bytes that follow), u32 decompressed size, then len - 4 bytes of a
// bzip2 stream that must start with this signature (block size 9).
const char kBlockSignature[4] = {'B', 'Z', 'h', '9'};
const uint32_t kBlockHeaderSize = 8;
const int kSetupDataBlock = 1;
const int kPatchDataBlock = 2;

// A decompressed block is a run of records: NUL-terminated plain file name, u32 size, data;
// an empty name ends it.

// Block 2's one record, the patch script, and its name in the WorkDir.
const char kPatchRecordName[] = VT_PATCH_FILE_NAME;

// ---- Patch script -----------------------------------------------------------------------

// u32 count (low 16 bits used), then `count` entries:
// u32 crcOriginal, u32 crcUpdated, NUL-terminated path ("\dir\file"), body.
const uint32_t kEntryCountMask = 0xFFFF;
const uint32_t kEntryHeaderSize = 8;  // crcOriginal and crcUpdated, before the path
const uint8_t kBodyNewFile = 3;  // then u32 size, data
enum PatchOp : uint8_t {
  kOpEnd = 0,
  kOpCopy = 1,    // u32 length, u32 offset into the old file
  kOpInsert = 2,  // u32 length, literal bytes
  // u32 length, u32 offset into the old file, then `length` bytes: each new byte is the old
  // byte at the same place of the range plus this byte, modulo 256. Code 3 is left out, as a
  // body's first byte 3 means a new file. Only stubs that carry kAddOpMarker run it.
  kOpAdd = 4,
};

// Bytes that a stub able to run kOpAdd carries in its image, so that a tool can tell from the
// stub alone whether it may pair it with a script that holds add operations.
#define VT_ADD_OP_MARKER "VantrelOps:copy,insert,add;"
const char kAddOpMarker[] = VT_ADD_OP_MARKER;

// A split update body: this byte, then the operations as an update body has them up to its end
// byte, each copy's and add's offset less the new bytes made before it (modulo 2^32), each
// insert and add without its bytes, which are taken in order from the script's
// literal stream and add stream instead. Those streams follow the last entry: a script that
// holds a split body ends in kSplitTrailerSize bytes, u32 length of the add stream and u32
// length of the literal stream, the literal stream lying just before them and the add stream
// just before that. Block 2's compression then sees operations, mostly-zero add bytes and
// literals each with their like, across files. Like kOpAdd, code 5 was a data error before, so a
// stub that does not run it stops the script; only stubs that carry kSplitMarker run it.
const uint8_t kBodySplit = 5;
const uint32_t kSplitTrailerSize = 8;

// Carried by a stub that runs split bodies as well as add operations; it holds kAddOpMarker.
#define VT_SPLIT_MARKER VT_ADD_OP_MARKER "split;"
const char kSplitMarker[] = VT_SPLIT_MARKER;

// An update body that builds the entry's file from another file of DestinationDir: this byte,
// that file's path as an entry's path is stored (NUL-terminated, "\dir\file"), then a body as
// an update entry has it after its path (kBodySplit or operations), whose copies and adds read
// that file; crcOriginal is that file's CRC, which must match before anything is written. The
// entry's own file is placed as a new-file entry's is: made, or overwritten where one exists.
// A file moved or copied to a new name, or one that shares most of its bytes with a file the
// script leaves alone, is then not stored whole. Code 6 was a data error before; only stubs
// that carry kFromMarker run it.
const uint8_t kBodyFrom = 6;

// Carried by a stub that runs bodies from another file as well as split bodies; it holds
// kSplitMarker.
#define VT_FROM_MARKER VT_SPLIT_MARKER "from;"
const char kFromMarker[] = VT_FROM_MARKER;

// The result of applying one entry; every code but the two successes has bit 15 set.
enum EntryResult : uint32_t {
  kInstalled = 1,
  kUpdated = 2,
  kOverwritten = 0x8001,
  kOriginalMissing = 0x8008,
  kOriginalCrcError = 0x8010,
  kAlreadyUpdated = 0x8020,
  kUpdatedCrcError = 0x8040,
  kDataError = 0x8080,
  kAccessDenied = 0x8100,
  kReplaceDenied = 0x8101,
  // The old file was already gone (deleted, or emptied for an overwrite) when putting the new
  // content in place failed, and copying its backup back failed too: the old content now lives
  // only in BackupDir, so the run must roll back to keep it.
  kRestoreFailed = 0x8102,
};

// Temporary names that the engine reserves in DestinationDir: the rebuilt file of an update
// entry, and the run's backup directory.
const char kTempFilePrefix[] = "PCH";
const char kBackupDirPrefix[] = "BAK";

// ---- CRC-32 of file contents ---------------------------------------------------------------

// MSB first, polynomial 0x04C11DB7, initial register and final complement all ones (the bzip2
// parameters). The builder computes the same CRC, so these are part of the script format.
const uint32_t kCrcPolynomial = 0x04C11DB7;

// Longest path the installer forms, NUL excluded (a Windows MAX_PATH buffer).
const size_t kMaxPath = 259;

// ---- Little-endian access ----------------------------------------------------------------

inline uint32_t ReadLe32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

inline void WriteLe32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
  p[2] = uint8_t(v >> 16);
  p[3] = uint8_t(v >> 24);
}

}  // namespace vt

#endif  // VANTREL_FORMAT_FILE_FORMAT_H
