// The native rebuild: a large old file streamed through a reused buffer, its long copies read
// straight into a gather buffer that is written when full, its short ones taken from that
// reused buffer, which reads ahead while they go forward; its check taken along by the copies'
// readings, so that copies going forward read it once. A mapping would cost a page fault or a
// page-table entry per 4 KiB, dear where mapping memory is (a virtual machine), and a write or
// a read per operation would cost a system call for each of thousands of small copies.
#include <stdlib.h>
#include <string.h>

#include "patch/crc32.h"
#include "patch/fs_posix.h"
#include "patch/rebuild_io.h"

namespace vt {
namespace {

// An old file up to kHoldLimit is read whole, held and checked: its copies come from memory.
// A larger one is read range by range for its copies, and its check reads at most kReadPiece
// at a time, a piece that stays in the processor's cache for its CRC. The rebuilt content is
// written kGatherSize at a time, the size of cp's own writes.
const uint32_t kHoldLimit = 1 << 20;
const uint32_t kReadPiece = 256 << 10;
const uint32_t kGatherSize = 128 << 10;
// A copy of a file read range by range that is shorter than this comes through the window: a
// reading of at least kLeastAhead bytes from where it starts, twice as many as the last (up to
// kReadPiece) while the copies go on forward from it.
const uint32_t kThroughWindow = 16 << 10;
const uint32_t kLeastAhead = 4 << 10;

// The reused buffer of a file read range by range, for its short copies and its check; and
// how far the check has come. Every reading of the file that continues the check (starts at
// or before `checked` and ends after it) takes it further; one that starts beyond reads the
// bytes in between for the check first.
struct Window {
  uint32_t start, length;  // the bytes of the file it holds now
  uint32_t ahead;          // how much the last reading asked for
  uint32_t checked;        // the file's first bytes taken into `crc`
  uint32_t crc, expected;
  uint8_t bytes[kReadPiece];
};

// False when the file ends before the range: shortened meanwhile by a process that ignores
// the lock.
bool ReadAt(int fd, uint8_t* data, uint32_t size, uint32_t offset) {
  return ReadFdAt(fd, data, size, offset);
}

Window* WindowOf(const OldContent& old) { return static_cast<Window*>(old.view.mapping); }

// Takes the `size` bytes just read from `offset` into the check where they continue it.
void Continue(Window* window, const uint8_t* bytes, uint32_t offset, uint32_t size) {
  if (offset > window->checked || offset + size <= window->checked) return;
  window->crc = CrcUpdate(window->crc, bytes + (window->checked - offset),
                          offset + size - window->checked);
  window->checked = offset + size;
}

// Reads for the check, through the window, until it has come to `offset`.
bool CatchUp(const OldContent& old, uint32_t offset) {
  Window* window = WindowOf(old);
  while (window->checked < offset) {
    const uint32_t left = offset - window->checked;
    const uint32_t size = left < kReadPiece ? left : kReadPiece;
    window->length = 0;
    if (!ReadAt(FdOf(old.file), window->bytes, size, window->checked)) return false;
    window->start = window->checked;
    window->length = size;
    Continue(window, window->bytes, window->start, size);
  }
  return true;
}

// Reads `size` bytes from `offset` for the copies, and the check along. False also once the
// whole file is checked and is not the one expected: nothing made of it is wanted.
bool ReadOld(const OldContent& old, uint8_t* data, uint32_t size, uint32_t offset) {
  Window* window = WindowOf(old);
  if (!CatchUp(old, offset) || !ReadAt(FdOf(old.file), data, size, offset)) return false;
  Continue(window, data, offset, size);
  return window->checked < old.view.size || window->crc == window->expected;
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
  Window* window = WindowOf(old);
  if (offset < window->start || offset + length > window->start + window->length) {
    // Forward: from inside what it holds, or from less than one more reading past its end.
    const bool forward =
        offset >= window->start && offset - window->start <= window->length + window->ahead;
    if (!forward)
      window->ahead = kLeastAhead;
    else if (window->ahead < kReadPiece)
      window->ahead *= 2;
    // A short way past where the check has come, the reading starts there and takes the
    // bytes in between along.
    uint32_t from = offset;
    if (offset > window->checked && offset - window->checked <= kReadPiece / 2)
      from = window->checked;
    uint32_t wanted = window->ahead > offset + length - from ? window->ahead
                                                             : offset + length - from;
    if (wanted > old.view.size - from) wanted = old.view.size - from;
    window->length = 0;
    if (!ReadOld(old, window->bytes, wanted, from)) return nullptr;
    window->start = from;
    window->length = wanted;
  }
  return window->bytes + (offset - window->start);
}

// The old bytes from `offset`, plus the bytes at `diff` where it is not null, appended piece by
// piece: each piece copied from the held content or the window, or read into its place in the
// buffer.
bool PutOld(NewContent* out, const OldContent& old, uint32_t offset, uint32_t length,
            const uint8_t* diff) {
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
    } else if (!ReadOld(old, piece, room, offset)) {
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

bool ReadOldContent(FsFile file, OldContent* old, uint32_t expected) {
  old->file = file;
  old->view = {nullptr, 0, nullptr};
  old->checked = false;
  old->crc = 0;
  uint64_t fileSize;
  if (!SizeOfFd(FdOf(file), &fileSize)) return false;
  const uint32_t size = uint32_t(fileSize);  // sizes are 32-bit throughout the engine
  if (size > kHoldLimit) {
    Window* window = static_cast<Window*>(malloc(sizeof(Window)));
    if (!window) return false;
    window->start = window->length = window->checked = window->crc = 0;
    window->ahead = kLeastAhead;
    window->expected = expected;
    old->view = {nullptr, size, window};
    return true;
  }
  uint8_t* held = size == 0 ? nullptr : static_cast<uint8_t*>(malloc(size));
  if (size != 0 && (!held || !ReadAt(FdOf(file), held, size, 0))) {
    free(held);
    return false;
  }
  old->view = {held, size, held};
  old->crc = CrcBytes(held, size);
  old->checked = true;
  return true;
}

bool FinishOldCheck(OldContent* old) {
  if (old->checked) return true;
  if (!CatchUp(*old, old->view.size)) return false;
  old->crc = WindowOf(*old)->crc;
  old->checked = true;
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
