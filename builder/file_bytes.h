// Whole-file reads and replace-safe writes for the vantrel commands.
#ifndef VANTREL_BUILDER_FILE_BYTES_H
#define VANTREL_BUILDER_FILE_BYTES_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <algorithm>
#include <string>
#include <vector>

namespace vt {

// Reads the whole file at `path` into *bytes. Returns false and sets *error ("cannot read
// 'PATH': reason") when it cannot be opened or read, or is not a regular file (a folder, a
// FIFO or a device, which could block or never end).
bool ReadFileBytes(const std::string& path, std::vector<uint8_t>* bytes, std::string* error);

// ReadFileBytes's refusal of a folder, a FIFO or a device, for a caller that reads the file
// otherwise (by a mapping): false with *error when `path` is one. A path that cannot be looked
// at passes, for the read to report.
bool CheckRegularFile(const std::string& path, std::string* error);

// Writes `bytes` to `path`, replacing any file there, through a temporary file beside it that
// this call creates anew under a fresh name (never opening anything that was there, a link
// included) and renames into place once complete: a link at `path` is replaced, not followed,
// and a failed write leaves the earlier file whole and no temporary behind. Returns false and
// sets *error ("cannot write 'PATH': reason") on failure.
bool WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes, std::string* error);

// Bytes written in order, the first few overwritten at the end (a count known only then).
// Each call returns false and sets *error on failure.
class ByteSink {
 public:
  virtual ~ByteSink() {}
  virtual bool Append(const uint8_t* data, size_t size, std::string* error) = 0;
  // Overwrites the first `size` bytes appended.
  virtual bool OverwriteStart(const uint8_t* data, size_t size, std::string* error) = 0;
};

// A sink into *bytes, which it empties first.
class VectorSink : public ByteSink {
 public:
  explicit VectorSink(std::vector<uint8_t>* bytes) : bytes_(*bytes) { bytes_.clear(); }
  bool Append(const uint8_t* data, size_t size, std::string* error) override {
    if (size > bytes_.max_size() - bytes_.size()) {
      *error = "the bytes would not fit in memory";
      return false;
    }
    bytes_.insert(bytes_.end(), data, data + size);
    return true;
  }
  bool OverwriteStart(const uint8_t* data, size_t size, std::string*) override {
    std::copy(data, data + size, bytes_.begin());
    return true;
  }

 private:
  std::vector<uint8_t>& bytes_;
};

// A file written in steps that replaces `path` only once complete, as WriteFileBytes does:
// through a temporary file beside it, removed again unless Commit succeeds. Each call returns
// false and sets *error ("cannot write 'PATH': reason") on failure; the file is then given up.
class ReplacingFile : public ByteSink {
 public:
  explicit ReplacingFile(const std::string& path) : path_(path) {}
  ~ReplacingFile() override;
  ReplacingFile(const ReplacingFile&) = delete;
  ReplacingFile& operator=(const ReplacingFile&) = delete;

  // Appends `size` bytes; the first call creates the temporary file.
  bool Append(const uint8_t* data, size_t size, std::string* error) override;
  bool OverwriteStart(const uint8_t* data, size_t size, std::string* error) override;
  // Closes the file and renames it to `path`.
  bool Commit(std::string* error);

 private:
  bool Open(std::string* error);
  bool Failed(int err, std::string* error);

  std::string path_;
  std::string temp_;
  FILE* file_ = nullptr;
};

// False with *error ("OUTPUT is also an input ...") when `output`, links resolved, names one of
// `inputFiles` or lies inside one of `inputDirs`: writing it would overwrite what is being read.
bool CheckOutputIsNoInput(const std::string& output, const std::vector<std::string>& inputFiles,
                          const std::vector<std::string>& inputDirs, std::string* error);

}  // namespace vt

#endif  // VANTREL_BUILDER_FILE_BYTES_H
