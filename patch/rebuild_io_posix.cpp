// The native rebuild: the old file streamed through a reused buffer for its check, its long
// copies read straight into a gather buffer that is written when full, its short ones taken
// from that reused buffer, which reads ahead while they go forward. A mapping would cost a page
// fault or a page-table entry per 4 KiB, dear where mapping memory is (a virtual machine), and
// a write or a read per operation would cost a system call for each of thousands of small
// copies.
#include <stdlib.h>
#include <string.h>

#include "patch/crc32.h"
#include "patch/fs_faults.h"
#include "patch/fs_posix.h"
#include "patch/rebuild_io.h"

namespace vt {
namespace {

// An old file up to kHoldLimit is read whole and held: its copies come from memory. A larger
// one is read kReadPiece at a time for its check, a piece that stays in the processor's cache
// for its CRC, and then range by range for its copies. The rebuilt content is written
// kGatherSize at a time, the size of cp's own writes.
const uint32_t kHoldLimit = 1 << 20;
const uint32_t kReadPiece = 256 << 10;
const uint32_t kGatherSize = 128 << 10;
// A copy of a file read range by range that is shorter than this comes through the window: a
// reading of at least kLeastAhead bytes from where it starts, twice as many as the last (up to
// kReadPiece) while the copies go on forward from it.
const uint32_t kThroughWindow = 16 << 10;
const uint32_t kLeastAhead = 4 << 10;

// The reused buffer of a file read range by range: its check first, then its short copies.
struct Window {
  uint32_t start, length;  // the bytes of the file it holds now
  uint32_t ahead;          // how much the last reading asked for
  uint8_t bytes[kReadPiece];
};

// False when the file ends before the range: shortened meanwhile by a process that ignores
// the lock.
bool ReadAt(int fd, uint8_t* data, uint32_t size, uint32_t offset) {
  return !FsFaulted(kFaultReadOld) && ReadFdAt(fd, data, size, offset);
}

// Writes the gathered bytes and takes them into the CRC, which so covers only bytes that
// reached the file.
bool Flush(NewContent* out) {
  if (out->used == 0) return true;
  if (!WriteFd(FdOf(out->file), out->gathered, out->used)) return false;
  out->crc = CrcUpdate(out->crc, out->gathered, out->used);
  out->used = 0;
  return true;
}

// Room at the end of the gather buffer for up to `wanted` bytes, at least one, a full buffer
// written first; `*room` tells how many. Null when that write failed.
uint8_t* Room(NewContent* out, uint32_t wanted, uint32_t* room) {
  if (out->used == kGatherSize && !Flush(out)) return nullptr;
  const uint32_t left = kGatherSize - out->used;
  *room = wanted < left ? wanted : left;
  return out->gathered + out->used;
}

// Where the window holds the `length` bytes from `offset` (which lie inside the file), read
// there first if it does not. Null when the reading failed.
const uint8_t* InWindow(const OldContent& old, uint32_t offset, uint32_t length) {
  Window* window = static_cast<Window*>(old.view.mapping);
  if (offset < window->start || offset + length > window->start + window->length) {
    // Forward: from inside what it holds, or from less than one more reading past its end.
    const bool forward =
        offset >= window->start && offset - window->start <= window->length + window->ahead;
    if (!forward)
      window->ahead = kLeastAhead;
    else if (window->ahead < kReadPiece)
      window->ahead *= 2;
    uint32_t wanted = window->ahead > length ? window->ahead : length;
    if (wanted > old.view.size - offset) wanted = old.view.size - offset;
    window->length = 0;
    if (!ReadAt(FdOf(old.file), window->bytes, wanted, offset)) return nullptr;
    window->start = offset;
    window->length = wanted;
  }
  return window->bytes + (offset - window->start);
}

// The old bytes from `offset`, plus the bytes at `diff` where it is not null, appended piece by
// piece: each piece copied from the held content or the window, or read into its place in the
// buffer.
bool PutOld(NewContent* out, const OldContent& old, uint32_t offset, uint32_t length,
            const uint8_t* diff) {
  // A piece of the rebuild is asked once, as the layer without gathering writes it once.
  if (length != 0 && FsFaulted(kFaultWrite)) return false;
  const uint8_t* from = old.view.data ? old.view.data + offset : nullptr;
  if (!from && length != 0 && length < kThroughWindow &&
      !(from = InWindow(old, offset, length)))
    return false;
  while (length > 0) {
    uint32_t room;
    uint8_t* piece = Room(out, length, &room);
    if (!piece) return false;
    if (from) {
      memcpy(piece, from, room);
      from += room;
    } else if (!ReadAt(FdOf(old.file), piece, room, offset)) {
      return false;
    }
    if (diff) {
      for (uint32_t k = 0; k < room; ++k) piece[k] = uint8_t(piece[k] + diff[k]);
      diff += room;
    }
    out->used += room;
    offset += room;
    length -= room;
  }
  return true;
}

}  // namespace

bool ReadOldContent(FsFile file, OldContent* old, uint32_t* crc) {
  old->file = file;
  old->view = {nullptr, 0, nullptr};
  uint64_t fileSize;
  if (!SizeOfFd(FdOf(file), &fileSize)) return false;
  const uint32_t size = uint32_t(fileSize);  // sizes are 32-bit throughout the engine
  const bool held = size <= kHoldLimit;
  // A file that fits is held whole; a larger one is read again later, range by range, and its
  // window is the buffer of its check.
  void* own = size == 0 ? nullptr : malloc(held ? size : sizeof(Window));
  if (size != 0 && !own) return false;
  uint8_t* buffer = held ? static_cast<uint8_t*>(own) : static_cast<Window*>(own)->bytes;
  const uint32_t bufferSize = held ? size : kReadPiece;
  uint32_t sum = 0;
  for (uint32_t at = 0; at < size;) {
    const uint32_t n = size - at < bufferSize ? size - at : bufferSize;
    if (!ReadAt(FdOf(file), buffer, n, at)) {
      free(own);
      return false;
    }
    sum = CrcUpdate(sum, buffer, n);
    at += n;
  }
  if (!held) {
    Window* window = static_cast<Window*>(own);
    window->start = window->length = 0;
    window->ahead = kLeastAhead;
  }
  *crc = sum;
  old->view = {held ? buffer : nullptr, size, own};
  return true;
}

void ReleaseOldContent(OldContent* old) {
  free(old->view.mapping);
  old->view = {nullptr, 0, nullptr};
}

bool BeginNewContent(FsFile file, NewContent* out) {
  out->file = file;
  out->crc = 0;
  out->used = 0;
  out->gathered = static_cast<uint8_t*>(malloc(kGatherSize));
  return out->gathered != nullptr;
}

bool PutBytes(NewContent* out, const uint8_t* bytes, uint32_t length) {
  if (length != 0 && FsFaulted(kFaultWrite)) return false;
  // A long run of literal bytes goes straight from the script, after what is gathered.
  if (length >= kGatherSize) {
    if (!Flush(out) || !WriteFd(FdOf(out->file), bytes, length)) return false;
    out->crc = CrcUpdate(out->crc, bytes, length);
    return true;
  }
  while (length > 0) {
    uint32_t room;
    uint8_t* piece = Room(out, length, &room);
    if (!piece) return false;
    memcpy(piece, bytes, room);
    out->used += room;
    bytes += room;
    length -= room;
  }
  return true;
}

bool PutOldBytes(NewContent* out, const OldContent& old, uint32_t offset, uint32_t length) {
  return PutOld(out, old, offset, length, nullptr);
}

bool PutOldSums(NewContent* out, const OldContent& old, uint32_t offset, uint32_t length,
                const uint8_t* diff) {
  return PutOld(out, old, offset, length, diff);
}

bool EndNewContent(NewContent* out) {
  const bool written = Flush(out);
  free(out->gathered);
  out->gathered = nullptr;
  return written;
}

}  // namespace vt
