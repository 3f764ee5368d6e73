// Fuzz target: the delta encoder on an old file and a new one made from it by edits (kept,
// dropped, inserted and repeated stretches) or taken whole from the input. Aborts when the
// operations do not parse, a copy or add reaches outside the old file, or they do not rebuild
// the new file exactly; the same for the encoder that chooses among settings, for one whose
// index samples the old file, and for one that writes add operations.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "delta/delta_encoder.h"
#include "format/file_format.h"

namespace vt {
namespace {

typedef std::vector<uint8_t> Bytes;

void Fail(const char* what) {
  fprintf(stderr, "delta_encoder_fuzz: %s\n", what);
  abort();
}

// Old is the first `oldSize` bytes; the rest either is the new file or edits the old one: each
// edit is a command byte and a length byte.
void Split(const uint8_t* data, size_t size, Bytes* old, Bytes* now) {
  if (size < 3) return;
  const bool edits = data[0] & 1;
  size_t oldSize = size_t(data[1]) << 4 | data[2] >> 4;
  data += 3;
  size -= 3;
  if (oldSize > size) oldSize = size;
  old->assign(data, data + oldSize);
  const uint8_t* rest = data + oldSize;
  const size_t restSize = size - oldSize;
  if (!edits) {
    now->assign(rest, rest + restSize);
    return;
  }
  size_t from = 0;  // read position in old
  for (size_t i = 0; i + 1 < restSize; i += 2) {
    const size_t n = size_t(rest[i + 1]) * (rest[i] >> 2 & 15) + rest[i + 1];
    switch (rest[i] & 3) {
      case 0:  // keep n bytes of old
        for (size_t k = 0; k < n && from < old->size(); ++k) now->push_back((*old)[from++]);
        break;
      case 1:  // drop n bytes of old
        from = from + n < old->size() ? from + n : old->size();
        break;
      case 2:  // insert n copies of a byte
        now->insert(now->end(), rest[i + 1] & 31, rest[i]);
        break;
      default:  // repeat n bytes from the start of old
        for (size_t k = 0; k < n && k < old->size(); ++k) now->push_back((*old)[k]);
        break;
    }
  }
}

// Runs the operations of `body` over `old` as the engine would and compares with `now`.
void Check(const Bytes& old, const Bytes& now, const Bytes& body) {
  Bytes built;
  size_t at = 0;
  for (;;) {
    if (at >= body.size()) Fail("operations run past the body");
    const uint8_t op = body[at++];
    if (op == kOpEnd) break;
    if (at + 4 > body.size()) Fail("length past the body");
    const uint32_t length = ReadLe32(&body[at]);
    at += 4;
    if (op == kOpCopy) {
      if (at + 4 > body.size()) Fail("offset past the body");
      const uint32_t offset = ReadLe32(&body[at]);
      at += 4;
      if (uint64_t(offset) + length > old.size()) Fail("copy outside the old file");
      built.insert(built.end(), old.begin() + offset, old.begin() + offset + length);
    } else if (op == kOpAdd) {
      if (at + 4 > body.size()) Fail("offset past the body");
      const uint32_t offset = ReadLe32(&body[at]);
      at += 4;
      if (uint64_t(offset) + length > old.size()) Fail("add outside the old file");
      if (length > body.size() - at) Fail("add past the body");
      for (uint32_t k = 0; k < length; ++k) built.push_back(uint8_t(old[offset + k] + body[at + k]));
      at += length;
    } else if (op == kOpInsert) {
      if (length > body.size() - at) Fail("insert past the body");
      built.insert(built.end(), body.begin() + at, body.begin() + at + length);
      at += length;
    } else {
      Fail("unknown operation");
    }
  }
  if (at != body.size()) Fail("bytes after the end operation");
  if (built != now) Fail("the operations do not rebuild the new file");
}

size_t BodySize(const Bytes& ops, void*) { return ops.size(); }

}  // namespace
}  // namespace vt

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vt;
  Bytes old, now, body;
  Split(data, size, &old, &now);
  if (!EncodeDelta(old.data(), old.size(), now.data(), now.size(), &body)) Fail("refused");
  Check(old, now, body);
  DeltaTuning eager, strict;
  eager.copyBits = eager.repeatBits = 0;
  strict.minCopy = 64;
  body.clear();
  if (!EncodeDeltaChoosing(old.data(), old.size(), now.data(), now.size(), {eager, strict},
                           BodySize, nullptr, &body))
    Fail("refused");
  Check(old, now, body);
  // An index that samples old positions, as a big file's does.
  DeltaMemory sampled;
  sampled.indexBudget = size < 4 ? 1 : size_t(data[3]) * 256 + 1;
  body.clear();
  if (!EncodeDelta(old.data(), old.size(), now.data(), now.size(), &body, nullptr, DeltaTuning(),
                   sampled))
    Fail("refused");
  Check(old, now, body);
  // Approximate matches as add operations, with equal stretches split off at a length the
  // input chooses, on the full and on a sampled index.
  DeltaTuning adds;
  adds.addSplit = size < 5 ? 1 : 1 + data[4] % 64;
  for (const DeltaMemory& memory : {DeltaMemory(), sampled}) {
    body.clear();
    if (!EncodeDelta(old.data(), old.size(), now.data(), now.size(), &body, nullptr, adds,
                     memory))
      Fail("refused");
    Check(old, now, body);
  }
  return 0;
}
