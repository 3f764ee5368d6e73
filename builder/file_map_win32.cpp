// File mappings on Windows: a read-only view, and VirtualUnlock to trim resident pages.
#include "builder/file_map.h"

#include "builder/quote.h"

#include <windows.h>

namespace vt {

FileMap::~FileMap() {
  if (data_) UnmapViewOfFile(data_);
  if (handle_) CloseHandle(handle_);
}

bool FileMap::Open(const std::string& path, std::string* error) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  LARGE_INTEGER size;
  if (file == INVALID_HANDLE_VALUE || !GetFileSizeEx(file, &size) ||
      uint64_t(size.QuadPart) > SIZE_MAX) {
    *error = "cannot read " + Quote(path);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    return false;
  }
  size_ = uint64_t(size.QuadPart);
  if (size_ > 0) {
    handle_ = CreateFileMappingA(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    data_ = handle_ ? static_cast<const uint8_t*>(MapViewOfFile(handle_, FILE_MAP_READ, 0, 0, 0))
                    : nullptr;
    if (!data_) {
      *error = "cannot read " + Quote(path) + ": it does not fit in memory";
      size_ = 0;
      CloseHandle(file);
      return false;
    }
  }
  CloseHandle(file);  // the mapping keeps the file
  return true;
}

uint64_t FileMap::ResidentBytes() { return UINT64_MAX; }

void FileMap::Release(uint64_t from, uint64_t to) {
  if (!data_ || to > size_) to = size_;
  if (from >= to) return;
  // Unlocking pages that are not locked takes them out of the working set, which is the point.
  VirtualUnlock(const_cast<uint8_t*>(data_) + from, size_t(to - from));
}

}  // namespace vt
