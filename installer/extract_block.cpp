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

// The decompressed bytes pass through a window of this size on their way to the files.
const DWORD kWindowSize = 1 << 20;

// The stream's context is the file of the record being written, INVALID_HANDLE_VALUE before
// the first and after the last. Write errors are not reported: the next record is still written.
void CloseRecordFile(vt::RecordStream* records) {
  if (records->context != INVALID_HANDLE_VALUE) CloseHandle(records->context);
  records->context = INVALID_HANDLE_VALUE;
}

void CreateRecordFile(vt::RecordStream* records) {
  CloseRecordFile(records);
  records->context = CreateFileA(records->name, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
}

void WriteRecordData(vt::RecordStream* records, const uint8_t* bytes, size_t size) {
  DWORD written;
  WriteFile(records->context, bytes, DWORD(size), &written, nullptr);
}

void FeedWindow(void* records, const uint8_t* bytes, size_t size) {
  vt::FeedRecords(static_cast<vt::RecordStream*>(records), bytes, size);
}

int ExtractMappedBlock(const uint8_t* image, DWORD imageSize, int n) {
  vt::BlockView block;
  if (!vt::LocateBlock(image, imageSize, kOwnStubSize, n, &block)) return 0;
  // The decoder's tables and the window: a fixed amount, whatever the block's size.
  void* memory = VirtualAlloc(nullptr, sizeof(vt::Bzip2Work) + kWindowSize,
                              MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  if (!memory) return 0;
  vt::Bzip2Work* work = static_cast<vt::Bzip2Work*>(memory);
  vt::RecordStream records = {};
  records.start = CreateRecordFile;
  records.data = WriteRecordData;
  records.context = INVALID_HANDLE_VALUE;
  // The engine's table serves the payload too; building it again rewrites the same values.
  vt::BuildCrcTable();
  vt::Bzip2Stream stream = {block.stream, block.streamSize, reinterpret_cast<uint8_t*>(work + 1),
                            kWindowSize, vt::CrcTable(), 0, 0, FeedWindow, &records,
                            block.rawSize};
  // Records reach their files as they are decompressed, before the stream's CRCs have passed:
  // a damaged block can leave files written in part, but then the installer ends, and its
  // WorkDir goes with it.
  int ok = vt::Bzip2Decode(&stream, work) == vt::kBzip2Ok && vt::EndRecords(&records);
  CloseRecordFile(&records);
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
