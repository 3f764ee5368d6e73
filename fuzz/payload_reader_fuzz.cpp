// Fuzz target: the payload parser on arbitrary bytes, read once as what follows the stub (both
// blocks located) and once as a decompressed block (its records walked). Aborts when a located
// block or a visited record reaches outside the bytes, when a record is visited from a block
// that is refused, or when a refusal's fault does not point into the bytes.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "format/file_format.h"
#include "format/name_rules.h"
#include "format/payload_reader.h"

namespace vt {
namespace {

void Fail(const char* what) {
  fprintf(stderr, "payload_reader_fuzz: %s\n", what);
  abort();
}

void CheckLocate(const std::vector<uint8_t>& image, int n) {
  // Where the tools look: behind the product's stub, or the 64-bit test build's.
  const uint32_t stubSize = FindStubSize(image.data(), image.size());
  if (stubSize != kStubSize && stubSize != kWideStubSize) Fail("an unknown stub size");
  BlockView view;
  PayloadFault fault;
  const bool found = LocateBlock(image.data(), image.size(), stubSize, n, &view, &fault);
  BlockView quiet;
  if (LocateBlock(image.data(), image.size(), stubSize, n, &quiet) != found)
    Fail("the verdict depends on whether a fault is asked for");
  if (found != (fault.kind == kPayloadOk)) Fail("the verdict and the fault disagree");
  if (!found) {
    if (fault.offset > image.size()) Fail("a block fault points past the image");
    if (fault.block < 0 || fault.block > n) Fail("a block fault names a block not read");
    if (fault.kind != kBadSignature) return;
  }
  const uint8_t* end = image.data() + image.size();
  if (view.stream < image.data() + stubSize + kBlockHeaderSize || view.stream > end ||
      size_t(end - view.stream) < view.streamSize)
    Fail("a located stream lies outside the image");
  if (found && memcmp(view.stream, kBlockSignature, sizeof kBlockSignature) != 0)
    Fail("a block without the signature was accepted");
}

struct Walk {
  const uint8_t* data;
  size_t size;
  size_t next;  // where the next record must start
};

bool CheckRecord(const FileRecord& record, void* context) {
  Walk* walk = static_cast<Walk*>(context);
  const char* name = reinterpret_cast<const char*>(walk->data + walk->next);
  if (record.name != name) Fail("a record does not start where the one before it ended");
  const size_t length = strlen(name);
  if (!IsSafeComponent(name, length)) Fail("a record with an unsafe name was visited");
  const uint8_t* end = walk->data + walk->size;
  if (record.data != walk->data + walk->next + length + 5 || record.data > end ||
      size_t(end - record.data) < record.size)
    Fail("a record's data lies outside the block");
  walk->next = size_t(record.data - walk->data) + record.size;
  return true;
}

void CheckWalk(const uint8_t* data, size_t size) {
  Walk walk = {data, size, 0};
  PayloadFault fault;
  const bool ok = WalkRecords(data, size, CheckRecord, &walk, &fault);
  if (ok != WalkRecords(data, size, nullptr, nullptr)) Fail("a check-only walk disagrees");
  if (ok != (fault.kind == kPayloadOk)) Fail("the verdict and the fault disagree");
  if (!ok && walk.next != 0) Fail("a refused block reached the visitor");
  if (!ok && (fault.offset >= size || fault.record == 0)) Fail("a record fault points nowhere");
}

}  // namespace
}  // namespace vt

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The payload behind a zero stub, in a buffer of its exact size.
  std::vector<uint8_t> image(vt::kStubSize, 0);
  image.insert(image.end(), data, data + size);
  vt::CheckLocate(image, 1);
  vt::CheckLocate(image, 2);
  vt::CheckWalk(data, size);
  return 0;
}
