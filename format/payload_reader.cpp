// Block location and record walk over the installer payload.
#include "format/payload_reader.h"

#include "format/file_format.h"
#include "format/name_rules.h"

namespace vt {
namespace {

// Records the reason when the caller asked for one; the stub never does, so this costs it
// nothing once inlined.
bool Refuse(PayloadFault* fault, PayloadFaultKind kind, size_t offset, uint32_t value = 0) {
  if (fault) {
    fault->kind = kind;
    fault->offset = offset;
    fault->value = value;
  }
  return false;
}

bool HasBlockSignature(const BlockView& block) {
  if (block.streamSize < sizeof kBlockSignature) return false;
  for (size_t i = 0; i < sizeof kBlockSignature; ++i)
    if (block.stream[i] != static_cast<uint8_t>(kBlockSignature[i])) return false;
  return true;
}

}  // namespace

bool LocateBlock(const uint8_t* image, size_t imageSize, uint32_t stubSize, int n,
                 BlockView* block, PayloadFault* fault) {
  if (fault) *fault = PayloadFault();
  if (imageSize < stubSize) return Refuse(fault, kShorterThanStub, imageSize);
  size_t cursor = stubSize;
  uint32_t skip = 0;
  for (int i = 0; i < n; ++i) {
    if (fault) fault->block = i;
    if (imageSize - cursor < skip) return Refuse(fault, kBlockPastEnd, cursor - 4, skip);
    cursor += skip;
    if (fault) fault->block = i + 1;
    if (imageSize - cursor < 4) return Refuse(fault, kLengthCutOff, cursor);
    skip = ReadLe32(image + cursor);
    cursor += 4;
  }
  // The cursor is at block n's size field; `skip` is its length field.
  if (n < 1) return Refuse(fault, kLengthCutOff, cursor);
  if (skip < 4) return Refuse(fault, kLengthTooSmall, cursor - 4, skip);
  if (imageSize - cursor < skip) return Refuse(fault, kBlockPastEnd, cursor - 4, skip);
  block->rawSize = ReadLe32(image + cursor);
  block->stream = image + cursor + 4;
  block->streamSize = skip - 4;
  if (!HasBlockSignature(*block)) return Refuse(fault, kBadSignature, cursor + 4);
  return true;
}

uint32_t FindStubSize(const uint8_t* image, size_t imageSize) {
  const uint32_t kSizes[] = {kStubSize, kWideStubSize};
  BlockView block;
  for (uint32_t size : kSizes)
    if (LocateBlock(image, imageSize, size, 1, &block)) return size;
  return kStubSize;
}

namespace {

// Reads the record at *pos. Returns true with record->name empty at the end of the run.
bool ReadRecord(const uint8_t* data, size_t size, size_t* pos, FileRecord* record,
                PayloadFault* fault) {
  size_t at = *pos;
  if (at >= size || data[at] == 0) {
    record->name = "";
    return true;
  }
  size_t len = 0;
  while (at + len < size && data[at + len] != 0) ++len;
  if (at + len >= size) return Refuse(fault, kRecordNameCutOff, at);
  if (!IsSafeComponent(reinterpret_cast<const char*>(data + at), len))
    return Refuse(fault, kRecordBadName, at);
  size_t field = at + len + 1;
  if (size - field < 4) return Refuse(fault, kRecordSizeCutOff, at);
  uint32_t dataSize = ReadLe32(data + field);
  if (size - field - 4 < dataSize) return Refuse(fault, kRecordDataPastEnd, at, dataSize);
  record->name = reinterpret_cast<const char*>(data + at);
  record->data = data + field + 4;
  record->size = dataSize;
  *pos = field + 4 + dataSize;
  return true;
}

}  // namespace

bool WalkRecords(const uint8_t* data, size_t size, RecordVisitor visit, void* context,
                 PayloadFault* fault) {
  if (fault) *fault = PayloadFault();
  for (int pass = 0; pass < 2; ++pass) {
    if (pass == 1 && !visit) break;
    size_t pos = 0;
    for (uint32_t index = 1;; ++index) {
      FileRecord record;
      if (fault) fault->record = index;
      if (!ReadRecord(data, size, &pos, &record, fault)) return false;
      if (record.name[0] == 0) break;
      if (pass == 1 && !visit(record, context)) break;
    }
  }
  if (fault) fault->record = 0;
  return true;
}

}  // namespace vt
