// Read-only mappings of whole files for the diff, whose resident pages can be given back while
// the mapping stays.
#ifndef VANTREL_BUILDER_FILE_MAP_H
#define VANTREL_BUILDER_FILE_MAP_H

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace vt {

// Files up to this size a platform may read into memory rather than map: they stay resident
// whole while open, and Release gives nothing back.
const uint64_t kMaxReadWhole = uint64_t(8) << 20;

class FileMap {
 public:
  FileMap() = default;
  FileMap(const FileMap&) = delete;
  FileMap& operator=(const FileMap&) = delete;
  ~FileMap();  // unmaps

  // Maps the plain file at `path`. False with *error ("cannot read 'PATH': reason") when it
  // cannot be opened or mapped. An empty file maps to no data and size 0. The file must not
  // shrink while it is mapped.
  bool Open(const std::string& path, std::string* error);

  const uint8_t* data() const { return data_; }
  uint64_t size() const { return size_; }

  // Takes the pages wholly inside [from, to) out of this process's resident memory; their bytes
  // stay readable and are read again from the file (or the system's cache) when next touched.
  // A platform may read small files into memory instead of mapping them; they stay resident.
  void Release(uint64_t from, uint64_t to);

  // Bytes of mapped files that this process holds resident, all mappings together; the
  // largest uint64_t when the system does not tell.
  static uint64_t ResidentBytes();

 private:
  const uint8_t* data_ = nullptr;
  uint64_t size_ = 0;
  void* handle_ = nullptr;  // the platform's own
};

}  // namespace vt

#endif  // VANTREL_BUILDER_FILE_MAP_H
