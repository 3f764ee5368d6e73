// Table-driven CRC-32 (MSB first) over bytes and over mapped files.
#include "patch/crc32.h"

#include "format/file_format.h"
#include "patch/crc32_fold.h"
#include "patch/crc32_slices.h"

namespace vt {
namespace {

// The one-byte table; the long stretches go by crc32_fold or crc32_slices first.
uint32_t g_crcTable[256];

}  // namespace

void BuildCrcTable() {
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t r = i << 24;
    for (int bit = 0; bit < 8; ++bit) r = (r & 0x80000000u) ? (r << 1) ^ kCrcPolynomial : r << 1;
    g_crcTable[i] = r;
  }
  BuildCrcSlices(g_crcTable);
  BuildCrcFold();
}

const uint32_t* CrcTable() { return g_crcTable; }

uint32_t CrcUpdate(uint32_t crc, const uint8_t* data, size_t size) {
  uint32_t r = ~crc;
  size_t taken = CrcFold(&r, data, size);
  taken += CrcSlices(&r, data + taken, size - taken);
  for (; taken < size; ++taken) r = (r << 8) ^ g_crcTable[(r >> 24) ^ data[taken]];
  return ~r;
}

bool TryCrcOfOpenFile(FsFile file, uint32_t* crc) {
  FsView view;
  if (!FsMap(file, &view)) return false;
  *crc = CrcBytes(view.data, view.size);
  FsUnmap(&view);
  return true;
}

uint32_t CrcOfOpenFile(FsFile file) {
  uint32_t crc = 0;
  return TryCrcOfOpenFile(file, &crc) ? crc : 0;
}

bool TryCrcOfFile(const char* path, uint32_t* crc) {
  FsFile file = FsOpen(path, kFsReadExclusive, nullptr);
  if (file == kNoFile) return false;
  bool ok = TryCrcOfOpenFile(file, crc);
  FsClose(file);
  return ok;
}

uint32_t CrcOfFile(const char* path) {
  uint32_t crc = 0;
  return TryCrcOfFile(path, &crc) ? crc : 0;
}

}  // namespace vt
