// The patch script's one writer: appends its fields to a byte vector exactly as the engine reads
// them (file_format.h). The vantrel tool, the delta encoder and the tests' builders all write
// scripts through it. Inline, so that each program compiles it with its own flags; the stub
// never writes a script.
#ifndef VANTREL_FORMAT_SCRIPT_WRITER_H
#define VANTREL_FORMAT_SCRIPT_WRITER_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "format/file_format.h"

namespace vt {

// Appends `v`, little-endian.
inline void PutLe32(std::vector<uint8_t>* out, uint32_t v) {
  uint8_t bytes[4];
  WriteLe32(bytes, v);
  out->insert(out->end(), bytes, bytes + 4);
}

// Starts a script in the empty *out with its entry count; SetEntryCount changes it later.
inline void StartScript(std::vector<uint8_t>* out, uint32_t count = 0) { PutLe32(out, count); }

// Sets the entry count of a started script.
inline void SetEntryCount(std::vector<uint8_t>* script, uint32_t count) {
  WriteLe32(script->data(), count);
}

// An entry's header: both CRCs and its stored path ("\dir\file"), NUL-terminated. A new-file
// entry has crcOriginal 0. The body follows: PutNewFileBody, or operations and PutEnd.
inline void PutEntryHeader(std::vector<uint8_t>* out, uint32_t crcOriginal, uint32_t crcUpdated,
                           const std::string& path) {
  PutLe32(out, crcOriginal);
  PutLe32(out, crcUpdated);
  out->insert(out->end(), path.begin(), path.end());
  out->push_back(0);
}

// A new-file body's start: the marker and the size; the `size` bytes of the file follow.
inline void PutNewFileHead(std::vector<uint8_t>* out, size_t size) {
  out->push_back(kBodyNewFile);
  PutLe32(out, uint32_t(size));
}

// A new-file body: the marker, the size and the file's bytes (fewer than 4 GiB).
inline void PutNewFileBody(std::vector<uint8_t>* out, const uint8_t* data, size_t size) {
  PutNewFileHead(out, size);
  out->insert(out->end(), data, data + size);
}

// Operations of an update body: copy `length` bytes from `offset` of the old file; insert
// `length` literal bytes; add (below); end the body.
inline void PutCopy(std::vector<uint8_t>* out, uint32_t length, uint32_t offset) {
  out->push_back(kOpCopy);
  PutLe32(out, length);
  PutLe32(out, offset);
}

inline void PutInsert(std::vector<uint8_t>* out, const uint8_t* data, uint32_t length) {
  out->push_back(kOpInsert);
  PutLe32(out, length);
  out->insert(out->end(), data, data + length);
}

// An add: `length` new bytes, each the old file's byte at `offset` onward plus the byte of
// `diff` at the same place, modulo 256.
// An add's start: the op code, length and offset; the `length` difference bytes follow.
inline void PutAddHead(std::vector<uint8_t>* out, uint32_t length, uint32_t offset) {
  out->push_back(kOpAdd);
  PutLe32(out, length);
  PutLe32(out, offset);
}

inline void PutAdd(std::vector<uint8_t>* out, uint32_t length, uint32_t offset,
                   const uint8_t* diff) {
  PutAddHead(out, length, offset);
  out->insert(out->end(), diff, diff + length);
}

inline void PutEnd(std::vector<uint8_t>* out) { out->push_back(kOpEnd); }

// A split body (file_format.h): its first byte, then operations whose inserts and adds are
// written without their bytes (PutInsertHead, PutAddHead), then PutEnd. Their bytes go in order
// to the add stream and the literal stream, which follow the last entry and end in
// PutSplitTrailer.
inline void PutSplitBodyStart(std::vector<uint8_t>* out) { out->push_back(kBodySplit); }

inline void PutInsertHead(std::vector<uint8_t>* out, uint32_t length) {
  out->push_back(kOpInsert);
  PutLe32(out, length);
}

inline void PutSplitTrailer(std::vector<uint8_t>* out, uint32_t addBytes, uint32_t literalBytes) {
  PutLe32(out, addBytes);
  PutLe32(out, literalBytes);
}

// A body from another file (file_format.h): its first byte and that file's stored path
// ("\dir\file"), NUL-terminated; an update's body follows (PutSplitBodyStart or operations).
inline void PutFromBodyStart(std::vector<uint8_t>* out, const std::string& source) {
  out->push_back(kBodyFrom);
  out->insert(out->end(), source.begin(), source.end());
  out->push_back(0);
}

}  // namespace vt

#endif  // VANTREL_FORMAT_SCRIPT_WRITER_H
