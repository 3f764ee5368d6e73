// File mappings on POSIX: mmap, and madvise to drop resident pages; small files are read.
#include "builder/file_map.h"

#include "builder/quote.h"
#include "patch/fs_posix.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace vt {

// Files up to kMaxReadWhole are read into memory rather than mapped: a diff opens hundreds of
// small files on several threads, and each mapping's set-up, page faults and unmapping (which
// interrupts the other threads' cores to flush their address caches) cost more than a copy.
// Files this small are held resident whole while they are encoded either way.

FileMap::~FileMap() {
  if (handle_) {
    free(handle_);
  } else if (data_) {
    munmap(const_cast<uint8_t*>(data_), size_t(size_));
  }
}

bool FileMap::Open(const std::string& path, std::string* error) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0) {
    *error = "cannot read " + Quote(path) + ": " + strerror(errno);
    if (fd >= 0) close(fd);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    *error = "cannot read " + Quote(path) + ": not a plain file";
    close(fd);
    return false;
  }
  size_ = uint64_t(st.st_size);
  if (size_ > 0 && size_ <= kMaxReadWhole) {
    handle_ = malloc(size_t(size_));
    errno = 0;
    if (!handle_ || !ReadFdAt(fd, static_cast<uint8_t*>(handle_), uint32_t(size_), 0)) {
      const char* why = !handle_ ? "out of memory" : errno ? strerror(errno) : "it shrank";
      *error = "cannot read " + Quote(path) + ": " + why;
      free(handle_);
      handle_ = nullptr;
      size_ = 0;
      close(fd);
      return false;
    }
    data_ = static_cast<const uint8_t*>(handle_);
  } else if (size_ > 0) {
    void* data = mmap(nullptr, size_t(size_), PROT_READ, MAP_SHARED, fd, 0);
    if (data == MAP_FAILED) {
      *error = "cannot read " + Quote(path) + ": " + strerror(errno);
      size_ = 0;
      close(fd);
      return false;
    }
    data_ = static_cast<const uint8_t*>(data);
  }
  close(fd);  // the mapping keeps the file
  return true;
}

uint64_t FileMap::ResidentBytes() {
  // statm's third field: resident pages that are shared, which for this process means mapped
  // from files. Asked often, so the file stays open and is read again from its start.
  static const int statm = open("/proc/self/statm", O_RDONLY | O_CLOEXEC);
  char text[128];
  const ssize_t n = statm < 0 ? -1 : pread(statm, text, sizeof text - 1, 0);
  unsigned long size = 0, resident = 0, shared = 0;
  if (n <= 0) return UINT64_MAX;
  text[n] = 0;
  if (sscanf(text, "%lu %lu %lu", &size, &resident, &shared) != 3) return UINT64_MAX;
  return uint64_t(shared) * uint64_t(sysconf(_SC_PAGESIZE));
}

void FileMap::Release(uint64_t from, uint64_t to) {
  if (handle_) return;  // read, not mapped: the memory is this process's own
  const uint64_t page = uint64_t(sysconf(_SC_PAGESIZE));
  from = (from + page - 1) / page * page;
  to = std::min(to, size_) / page * page;
  if (!data_ || from >= to) return;
  madvise(const_cast<uint8_t*>(data_) + from, size_t(to - from), MADV_DONTNEED);
}

}  // namespace vt
