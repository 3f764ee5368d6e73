// Payload extraction: hold the installer file, map it, decompress one block, write its records.
#include "installer/extract_block.h"

#include <windows.h>

#include "format/bzip2_decoder.h"
#include "format/file_format.h"
#include "format/payload_reader.h"
#include "patch/crc32.h"

namespace {

// This stub's padded size, which its build sets: vt::kStubSize for the product's.
const uint32_t kOwnStubSize = VT_STUB_SIZE;

// Open from the entry to the exit; the mapping is made for each extraction only, so that a
// large block 2 does not hold address space through the run.
HANDLE g_installerFile;

// The installer's own path: the quoted first token of the command line.
bool GetInstallerPath(char* path) {
  const char* line = GetCommandLineA();
  if (*line++ != '"') return false;
  int length = 0;
  while (line[length] && line[length] != '"') {
    if (length == MAX_PATH - 1) return false;
    path[length] = line[length];
    ++length;
  }
  path[length] = 0;
  return line[length] == '"' && length > 0;
}

bool WriteRecord(const vt::FileRecord& record, void*) {
  // Write errors are not reported: the next record is still written.
  HANDLE file = CreateFileA(record.name, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    DWORD written;
    WriteFile(file, record.data, record.size, &written, nullptr);
    CloseHandle(file);
  }
  return true;
}

int ExtractMappedBlock(const uint8_t* image, DWORD imageSize, int n) {
  vt::BlockView block;
  if (!vt::LocateBlock(image, imageSize, kOwnStubSize, n, &block)) return 0;
  // The decoder's tables, then the output: one byte more than the stored size, zero-filled, so
  // the data always ends in an empty name. A size that cannot be allocated is refused.
  if (block.rawSize >= 0xFFFFFFFFu - sizeof(vt::Bzip2Work)) return 0;
  void* memory = VirtualAlloc(nullptr, sizeof(vt::Bzip2Work) + block.rawSize + 1,
                              MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  if (!memory) return 0;
  vt::Bzip2Work* work = static_cast<vt::Bzip2Work*>(memory);
  uint8_t* raw = reinterpret_cast<uint8_t*>(work + 1);
  // The engine's table serves the payload too; building it again rewrites the same values.
  vt::BuildCrcTable();
  vt::Bzip2Stream stream = {block.stream, block.streamSize, raw, block.rawSize, vt::CrcTable()};
  int ok = vt::Bzip2Decode(&stream, work) == vt::kBzip2Ok &&
           vt::WalkRecords(raw, stream.produced, WriteRecord, nullptr);
  VirtualFree(memory, 0, MEM_RELEASE);
  return ok;
}

}  // namespace

void OpenInstallerFile() {
  char path[MAX_PATH];
  if (GetInstallerPath(path))
    g_installerFile = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
}

int ExtractBlock(int n) {
  int ok = 0;
  // Past 4 GiB only the low 32 bits are looked at; the payload lies far below that. A file that
  // could not be opened has no size either.
  DWORD size = GetFileSize(g_installerFile, nullptr);
  HANDLE mapping = size == INVALID_FILE_SIZE
                       ? nullptr
                       : CreateFileMappingA(g_installerFile, nullptr, PAGE_READONLY, 0, 0, nullptr);
  if (mapping) {
    const void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
    if (view) {
      ok = ExtractMappedBlock(static_cast<const uint8_t*>(view), size, n);
      UnmapViewOfFile(view);
    }
    CloseHandle(mapping);
  }
  return ok;
}
