// Block location and record walk over the installer payload.
#include "format/payload_reader.h"

#include "format/file_format.h"
#include "format/name_rules.h"

namespace vt {

bool LocateBlock(const uint8_t* image, size_t imageSize, int n, BlockView* block) {
  if (n < 1 || imageSize < kStubSize) return false;
  size_t cursor = kStubSize;
  uint32_t skip = 0;
  for (int i = 0; i < n; ++i) {
    if (imageSize - cursor < skip) return false;
    cursor += skip;
    if (imageSize - cursor < 4) return false;
    skip = ReadLe32(image + cursor);
    cursor += 4;
  }
  // The cursor is at block n's size field; `skip` is its length field.
  if (skip < 4 || imageSize - cursor < skip) return false;
  block->rawSize = ReadLe32(image + cursor);
  block->stream = image + cursor + 4;
  block->streamSize = skip - 4;
  return true;
}

bool HasBlockSignature(const BlockView& block) {
  if (block.streamSize < sizeof kBlockSignature) return false;
  for (size_t i = 0; i < sizeof kBlockSignature; ++i)
    if (block.stream[i] != static_cast<uint8_t>(kBlockSignature[i])) return false;
  return true;
}

namespace {

// Reads the record at *pos. Returns kRecordsOk with record->name empty at the end of the run.
RecordWalkResult ReadRecord(const uint8_t* data, size_t size, size_t* pos, FileRecord* record) {
  size_t at = *pos;
  if (at >= size || data[at] == 0) {
    record->name = "";
    return kRecordsOk;
  }
  size_t len = 0;
  while (at + len < size && data[at + len] != 0) ++len;
  if (at + len >= size) return kRecordTruncated;
  if (!IsSafeComponent(reinterpret_cast<const char*>(data + at), len)) return kRecordBadName;
  size_t field = at + len + 1;
  if (size - field < 4) return kRecordTruncated;
  uint32_t dataSize = ReadLe32(data + field);
  if (size - field - 4 < dataSize) return kRecordTruncated;
  record->name = reinterpret_cast<const char*>(data + at);
  record->data = data + field + 4;
  record->size = dataSize;
  *pos = field + 4 + dataSize;
  return kRecordsOk;
}

}  // namespace

RecordWalkResult WalkRecords(const uint8_t* data, size_t size, RecordVisitor visit,
                             void* context) {
  for (int pass = 0; pass < 2; ++pass) {
    if (pass == 1 && !visit) break;
    size_t pos = 0;
    for (;;) {
      FileRecord record;
      RecordWalkResult r = ReadRecord(data, size, &pos, &record);
      if (r != kRecordsOk) return r;
      if (record.name[0] == 0) break;
      if (pass == 1 && !visit(record, context)) break;
    }
  }
  return kRecordsOk;
}

}  // namespace vt
