// The stub's rebuild: the old file mapped for its check and its copies, each piece written as
// it comes. The least code: every byte of this layer is paid for in the stub's fixed size.
#include "patch/rebuild_io.h"

#include "patch/crc32.h"

namespace vt {

bool ReadOldContent(FsFile file, OldContent* old, uint32_t* crc) {
  old->file = file;
  if (!FsMap(file, &old->view)) return false;
  *crc = CrcBytes(old->view.data, old->view.size);
  return true;
}

void ReleaseOldContent(OldContent* old) { FsUnmap(&old->view); }

bool BeginNewContent(FsFile file, NewContent* out) {
  out->file = file;
  out->crc = 0;
  return true;
}

// A write that is refused or short fails here, so the CRC only ever covers bytes that reached
// the file.
bool PutBytes(NewContent* out, const uint8_t* bytes, uint32_t length) {
  if (length == 0) return true;
  if (!FsWrite(out->file, bytes, length)) return false;
  out->crc = CrcUpdate(out->crc, bytes, length);
  return true;
}

bool PutOldBytes(NewContent* out, const OldContent& old, uint32_t offset, uint32_t length) {
  return PutBytes(out, old.view.data + offset, length);
}

// The sums go through a buffer on the stack, written as it fills; under a page, so that the
// stub's frame needs no stack probe.
const uint32_t kAddChunk = 2048;

bool PutOldSums(NewContent* out, const OldContent& old, uint32_t offset, uint32_t length,
                const uint8_t* diff) {
  const uint8_t* from = old.view.data + offset;
  uint8_t sum[kAddChunk];
  for (uint32_t done = 0; done < length;) {
    uint32_t n = length - done < kAddChunk ? length - done : kAddChunk;
    for (uint32_t k = 0; k < n; ++k) sum[k] = uint8_t(from[done + k] + diff[done + k]);
    if (!PutBytes(out, sum, n)) return false;
    done += n;
  }
  return true;
}

bool EndNewContent(NewContent*) { return true; }

}  // namespace vt
