// The stub's rebuild: the old file read whole in one call when it is small, else mapped, for
// its check and its copies; the pieces gathered into one buffer that is written when full, so
// that a script of thousands of small operations costs a WriteFile per 64 KiB, not one per
// operation. The least code otherwise: every byte of this layer is paid for in the stub's
// fixed size.
#include <windows.h>

#include "patch/rebuild_io.h"

#include "patch/crc32.h"

namespace vt {
namespace {

const uint32_t kGatherSize = 64 << 10;

// In zeroed data, which costs the stub no bytes: the engine rebuilds one file at a time.
uint8_t g_gathered[kGatherSize];
// An old file up to this size is read into zeroed data too: one ReadFile instead of a mapping
// made, viewed and both undone, four calls for a file of a few kilobytes.
uint8_t g_oldBytes[kGatherSize];

// Writes `size` bytes and takes them into the CRC, which so covers only bytes that reached the
// file.
bool Emit(NewContent* out, const uint8_t* data, uint32_t size) {
  if (!FsWrite(out->file, data, size)) return false;
  out->crc = CrcUpdate(out->crc, data, size);
  return true;
}

bool Flush(NewContent* out) {
  const uint32_t used = out->used;
  out->used = 0;
  return Emit(out, out->gathered, used);
}

// Appends `length` bytes from `from`, each plus the byte at `diff` (mod 256) where it is not
// null. A long run of plain bytes is written straight from where it lies, after what is
// gathered.
bool Put(NewContent* out, const uint8_t* from, const uint8_t* diff, uint32_t length) {
  if (!diff && length >= kGatherSize) return Flush(out) && Emit(out, from, length);
  for (uint32_t k = 0; k < length; ++k) {
    if (out->used == kGatherSize && !Flush(out)) return false;
    out->gathered[out->used++] = uint8_t(from[k] + (diff ? diff[k] : 0));
  }
  return true;
}

}  // namespace

bool ReadOldContent(FsFile file, OldContent* old, uint32_t) {
  old->file = file;
  const HANDLE handle = reinterpret_cast<HANDLE>(file);
  const DWORD size = GetFileSize(handle, nullptr);  // sizes are 32-bit throughout the engine
  DWORD read;
  // No mapping is left for ReleaseOldContent to undo. A short read: the file was shortened
  // meanwhile.
  if (size <= kGatherSize) {
    old->view = {g_oldBytes, size, nullptr};
    if (!ReadFile(handle, g_oldBytes, size, &read, nullptr) || read != size) return false;
  } else if (!FsMap(file, &old->view)) {
    return false;
  }
  old->crc = CrcBytes(old->view.data, old->view.size);
  old->checked = true;
  return true;
}

bool FinishOldCheck(OldContent*) { return true; }

void ReleaseOldContent(OldContent* old) { FsUnmap(&old->view); }

bool BeginNewContent(FsFile file, NewContent* out) {
  out->file = file;
  out->crc = 0;
  out->gathered = g_gathered;
  out->used = 0;
  return true;
}

bool PutBytes(NewContent* out, const uint8_t* bytes, uint32_t length) {
  return Put(out, bytes, nullptr, length);
}

bool PutOldBytes(NewContent* out, const OldContent& old, uint32_t offset, uint32_t length) {
  return Put(out, old.view.data + offset, nullptr, length);
}

bool PutOldSums(NewContent* out, const OldContent& old, uint32_t offset, uint32_t length,
                const uint8_t* diff) {
  return Put(out, old.view.data + offset, diff, length);
}

bool EndNewContent(NewContent* out) { return Flush(out); }

}  // namespace vt
