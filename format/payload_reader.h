// Finding a block in an installer image and walking the file records of a decompressed block.
// Portable: works on bytes only, so the stub, the vantrel tool and the tests share it.
#ifndef VANTREL_FORMAT_PAYLOAD_READER_H
#define VANTREL_FORMAT_PAYLOAD_READER_H

#include <stddef.h>
#include <stdint.h>

namespace vt {

struct BlockView {
  const uint8_t* stream;  // the bzip2 stream, inside the image
  uint32_t streamSize;    // the block's length field minus the size field
  uint32_t rawSize;       // the stored decompressed size
};

// Finds block `n` (1 or 2) of the payload that starts at kStubSize in `image`. Returns false
// when the image is shorter than the stub, or when a length field or the stream runs past the
// image's end (also a length below 4, which cannot hold the size field).
bool LocateBlock(const uint8_t* image, size_t imageSize, int n, BlockView* block);

// True when the block's stream starts with "BZh9".
bool HasBlockSignature(const BlockView& block);

struct FileRecord {
  const char* name;  // NUL-terminated, inside the walked buffer
  const uint8_t* data;
  uint32_t size;
};

enum RecordWalkResult {
  kRecordsOk = 0,
  kRecordTruncated,  // a name, size field or data runs past the decompressed bytes
  kRecordBadName,    // a name that is not a plain file name
};

// Called for each record in order; returns false to stop the walk early.
typedef bool (*RecordVisitor)(const FileRecord& record, void* context);

// Walks the records in the first `size` bytes of `data`, up to the first empty name. The end of
// the bytes counts as an empty name (the stub zero-fills one byte past the data). Every record
// is checked before any is visited, so a damaged block reaches no visitor at all. `visit` may be
// null to check only.
RecordWalkResult WalkRecords(const uint8_t* data, size_t size, RecordVisitor visit,
                             void* context);

}  // namespace vt

#endif  // VANTREL_FORMAT_PAYLOAD_READER_H
