// Block location and record walk over the installer payload.
#include "format/payload_reader.h"

#include <string.h>

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

void Refuse(RecordStream* s) {
  s->fault = kRecordBadName;
  s->stopped = true;
}

// One byte of a record's name or size field.
void TakeFieldByte(RecordStream* s, uint8_t byte) {
  if (s->sizeBytes > 0) {
    // Little-endian: after the fourth byte the first one has moved to the bottom.
    s->size = s->size >> 8 | uint32_t(byte) << 24;
    if (++s->sizeBytes < 5) return;
    s->sizeBytes = 0;
    s->nameLength = 0;
    s->left = s->size;
    s->start(s);
    return;
  }
  if (s->nameLength == 0) {
    s->offset = s->fed;
    ++s->index;
    if (byte == 0) {
      s->stopped = true;
      return;
    }
  }
  if (byte != 0) {
    if (s->nameLength == kMaxRecordName) return Refuse(s);
    s->name[s->nameLength++] = char(byte);
    return;
  }
  if (!IsSafeComponent(s->name, s->nameLength)) return Refuse(s);
  s->name[s->nameLength] = 0;
  s->sizeBytes = 1;
}

}  // namespace

void FeedRecords(RecordStream* s, const uint8_t* bytes, size_t size) {
  while (size > 0 && !s->stopped) {
    size_t n = 1;
    if (s->left > 0) {
      n = size < s->left ? size : s->left;
      s->left -= uint32_t(n);
      s->data(s, bytes, n);
    } else {
      TakeFieldByte(s, *bytes);
    }
    bytes += n;
    size -= n;
    s->fed += n;
  }
}

bool EndRecords(RecordStream* s, PayloadFault* fault) {
  // The end of the bytes cuts off the part of a record being read, if any.
  const bool cut = !s->stopped && (s->left | uint32_t(s->sizeBytes) | s->nameLength) != 0;
  if (fault) {
    *fault = PayloadFault();
    fault->kind = !cut              ? s->fault
                  : s->left > 0      ? kRecordDataPastEnd
                  : s->sizeBytes > 0 ? kRecordSizeCutOff
                                     : kRecordNameCutOff;
    if (fault->kind != kPayloadOk) {
      fault->record = s->index;
      fault->offset = s->offset;
      if (fault->kind == kRecordDataPastEnd) fault->value = s->size;
    }
  }
  return !cut && s->fault == kPayloadOk;
}

namespace {

struct Visit {
  const uint8_t* data;
  RecordVisitor visit;
  void* context;
};

void IgnoreRecord(RecordStream*) {}

void IgnoreData(RecordStream*, const uint8_t*, size_t) {}

// The walk was checked first: the record lies whole in the walked bytes, and the visitor is
// given it there.
void VisitRecord(RecordStream* stream) {
  const Visit* v = static_cast<const Visit*>(stream->context);
  const uint8_t* at = v->data + stream->offset;
  FileRecord record = {reinterpret_cast<const char*>(at), at + strlen(stream->name) + 5,
                       stream->size};
  if (!v->visit(record, v->context)) stream->stopped = true;
}

}  // namespace

bool WalkRecords(const uint8_t* data, size_t size, RecordVisitor visit, void* context,
                 PayloadFault* fault) {
  RecordStream check = {};
  check.start = IgnoreRecord;
  check.data = IgnoreData;
  FeedRecords(&check, data, size);
  if (!EndRecords(&check, fault)) return false;
  if (visit) {
    Visit v = {data, visit, context};
    RecordStream walk = {};
    walk.start = VisitRecord;
    walk.data = IgnoreData;
    walk.context = &v;
    FeedRecords(&walk, data, size);
  }
  return true;
}

}  // namespace vt
