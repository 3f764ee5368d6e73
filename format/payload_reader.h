// The installer payload's one parser: finding a block in an installer image and walking the file
// records of a decompressed block. When it refuses, it says why (PayloadFault), so the stub, the
// vantrel tool and the tests share one reading. Portable: works on bytes only.
#ifndef VANTREL_FORMAT_PAYLOAD_READER_H
#define VANTREL_FORMAT_PAYLOAD_READER_H

#include <stddef.h>
#include <stdint.h>

namespace vt {

// Why a payload was refused. `offset` is a file offset for the block faults and an offset in
// the decompressed bytes for the record faults.
enum PayloadFaultKind {
  kPayloadOk = 0,
  kShorterThanStub,    // the image ends before the stub's size; offset: the image's size
  kLengthCutOff,       // fewer than 4 bytes left for a block's length field; offset: the field
  kLengthTooSmall,     // the block's length cannot hold its size field; offset: the field
  kBlockPastEnd,       // a block's length runs past the image's end; offset: its length field
  kBadSignature,       // the stream does not start with "BZh9"; offset: the stream
  kRecordNameCutOff,   // a record's name has no NUL before the end; offset: the record
  kRecordBadName,      // a record's name is not a plain file name; offset: the record
  kRecordSizeCutOff,   // a record's size field runs past the end; offset: the record
  kRecordDataPastEnd,  // a record's data runs past the end; offset: the record
};

struct PayloadFault {
  PayloadFaultKind kind = kPayloadOk;
  int block = 0;        // the block whose field is at fault (block faults only)
  uint32_t record = 0;  // 1-based index of the record at fault (record faults only)
  size_t offset = 0;
  uint32_t value = 0;   // the field read there: a block's length or a record's data size
};

struct BlockView {
  const uint8_t* stream;  // the bzip2 stream, inside the image
  uint32_t streamSize;    // the block's length field minus the size field
  uint32_t rawSize;       // the stored decompressed size
};

// Finds block `n` (1 or 2) of the payload that starts at `stubSize` (the padded stub's size) in
// `image` by skipping the blocks before it by their length fields alone, and checks that its
// stream starts with "BZh9". Returns false when the image is shorter than the stub, when a
// length field or a block runs past the image's end, when block n's length is below 4 (no room
// for the size field) or when the signature is wrong; `block` is filled as soon as the block
// lies inside the image, so with kBadSignature too. `fault`, when given, receives the reason.
bool LocateBlock(const uint8_t* image, size_t imageSize, uint32_t stubSize, int n,
                 BlockView* block, PayloadFault* fault = nullptr);

// The padded stub size of `image`, for the tools that read any installer: the first of
// kStubSize and kWideStubSize at which block 1 is found with its signature; kStubSize, whose
// faults then say what is wrong, where neither is.
uint32_t FindStubSize(const uint8_t* image, size_t imageSize);

struct FileRecord {
  const char* name;  // NUL-terminated, inside the walked buffer
  const uint8_t* data;
  uint32_t size;
};

// Called for each record in order; returns false to stop the walk early.
typedef bool (*RecordVisitor)(const FileRecord& record, void* context);

// Walks the records in the first `size` bytes of `data`, up to the first empty name. The end of
// the bytes counts as an empty name (the stub zero-fills one byte past the data). Every record
// is checked before any is visited, so a damaged block reaches no visitor at all. `visit` may be
// null to check only. Returns false on a damaged record; `fault`, when given, receives why.
bool WalkRecords(const uint8_t* data, size_t size, RecordVisitor visit, void* context,
                 PayloadFault* fault = nullptr);

}  // namespace vt

#endif  // VANTREL_FORMAT_PAYLOAD_READER_H
