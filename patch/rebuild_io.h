// How an update reads its old file and writes the rebuilt one: the old file read for its CRC
// check, before its ranges or along with them; its ranges, literal bytes and sums appended to
// a temporary file whose CRC is taken over exactly the bytes that reached it. Both layers
// gather small pieces into large writes, so that the number of operations does not set the
// cost. rebuild_io_win32.cpp reads or maps the old file, which costs the stub the least code;
// rebuild_io_posix.cpp streams it through a reused buffer, so that the price of mapping memory
// does not set the cost either.
#ifndef VANTREL_PATCH_REBUILD_IO_H
#define VANTREL_PATCH_REBUILD_IO_H

#include <stdint.h>

#include "patch/fs.h"

namespace vt {

// The old file of an update, read by ReadOldContent.
struct OldContent {
  FsFile file;
  // view.size: the low 32 bits of the file's size; view.data: its whole content where the
  // layer holds it, else null; view.mapping: the layer's own.
  FsView view;
  bool checked;  // the whole file has been read for its CRC, which `crc` holds
  uint32_t crc;
};

// Begins reading the old file (open for reading, which stays open). A layer that holds or
// maps it reads it whole and checks it here. A layer that streams it may leave it unchecked:
// then its copies take the check along as they read, so that copies going forward read the
// file once, and they fail as a failed read does once the whole file has been read and its
// CRC is not `expected`. False when it cannot be read; then `old` needs no ReleaseOldContent.
bool ReadOldContent(FsFile file, OldContent* old, uint32_t expected);
// Reads for the check what the copies have left unread, if anything: `old` is checked
// afterwards. False when it cannot be read.
bool FinishOldCheck(OldContent* old);
void ReleaseOldContent(OldContent* old);

// The rebuilt file on its way to `file`, open for writing.
struct NewContent {
  FsFile file;
  uint32_t crc;  // of the bytes that reached the file, once EndNewContent has succeeded
  uint8_t* gathered;  // the layer's own
  uint32_t used;
};

// False when the content cannot be started (no memory); then no EndNewContent is needed.
bool BeginNewContent(FsFile file, NewContent* out);

// Each appends bytes of the rebuilt file: `length` bytes at `bytes`; the old file's bytes from
// `offset`; or those bytes plus the bytes at `diff`, byte by byte (mod 256). The old range must
// lie inside the file. False when the old file could not be read or the new one written.
bool PutBytes(NewContent* out, const uint8_t* bytes, uint32_t length);
bool PutOldBytes(NewContent* out, const OldContent& old, uint32_t offset, uint32_t length);
bool PutOldSums(NewContent* out, const OldContent& old, uint32_t offset, uint32_t length,
                const uint8_t* diff);

// Writes what is still gathered and lets go of the layer's memory; the file stays open. False
// when a write failed (then out->crc means nothing). Call it once after BeginNewContent
// succeeded, whether or not the pieces did.
bool EndNewContent(NewContent* out);

}  // namespace vt

#endif  // VANTREL_PATCH_REBUILD_IO_H
