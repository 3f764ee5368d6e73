// Whole-file reads and replace-safe writes through <stdio.h> and std::filesystem.
#include "builder/file_bytes.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <filesystem>
#include <system_error>

#include "builder/new_files.h"
#include "builder/quote.h"

namespace vt {
namespace {

namespace fs = std::filesystem;

std::string Reason(int err) { return err ? strerror(err) : "I/O error"; }

// Creates a file of a name nobody used beside `path` and opens it for writing.
FILE* CreateTemporaryBeside(const std::string& path, std::string* temp, int* err) {
  static unsigned counter;
  const unsigned seed = unsigned(time(nullptr)) * 2654435761u + unsigned(ProcessId()) * 7919u;
  for (int attempt = 0; attempt < 100; ++attempt) {
    char suffix[32];
    snprintf(suffix, sizeof suffix, ".vantrel-%08x", seed + ++counter * 40503u);
    *temp = path + suffix;
    FILE* file = CreateNewFile(*temp, err);
    if (file || *err != EEXIST) return file;
  }
  return nullptr;
}

}  // namespace

bool CheckRegularFile(const std::string& path, std::string* error) {
  std::error_code ec;
  const fs::file_status status = fs::status(path, ec);
  if (!ec && !fs::is_regular_file(status)) {
    *error = "cannot read " + Quote(path) + ": " +
             (fs::is_directory(status) ? "it is a folder" : "it is not a regular file");
    return false;
  }
  return true;
}

bool ReadFileBytes(const std::string& path, std::vector<uint8_t>* bytes, std::string* error) {
  if (!CheckRegularFile(path, error)) return false;
  errno = 0;
  FILE* file = fopen(path.c_str(), "rb");
  if (!file) {
    *error = "cannot read " + Quote(path) + ": " + Reason(errno);
    return false;
  }
  // Read to the end rather than trusting a size query: ftell is 32-bit on some platforms.
  std::vector<uint8_t> data;
  uint8_t chunk[65536];
  size_t got;
  while ((got = fread(chunk, 1, sizeof chunk, file)) > 0)
    data.insert(data.end(), chunk, chunk + got);
  const int err = ferror(file) ? (errno ? errno : EIO) : 0;
  fclose(file);
  if (err) {
    *error = "cannot read " + Quote(path) + ": " + Reason(err);
    return false;
  }
  bytes->swap(data);
  return true;
}

bool WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes,
                    std::string* error) {
  std::string temp;
  int err = 0;
  FILE* file = CreateTemporaryBeside(path, &temp, &err);
  if (!file) {
    *error = "cannot write " + Quote(path) + ": " + Reason(err);
    return false;
  }
  errno = 0;
  bool ok = bytes.empty() || fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  ok = fflush(file) == 0 && ok;
  err = ok ? 0 : errno;
  if (fclose(file) != 0 && ok) {
    ok = false;
    err = errno;
  }
  std::error_code ec;
  if (ok) {
    fs::rename(temp, path, ec);
    if (ec) {
      ok = false;
      err = ec.value();
    }
  }
  if (!ok) {
    fs::remove(temp, ec);
    *error = "cannot write " + Quote(path) + ": " + Reason(err);
  }
  return ok;
}

ReplacingFile::~ReplacingFile() {
  if (!file_) return;
  fclose(file_);
  std::error_code ec;
  fs::remove(temp_, ec);
}

bool ReplacingFile::Open(std::string* error) {
  if (file_) return true;
  int err = 0;
  file_ = CreateTemporaryBeside(path_, &temp_, &err);
  if (!file_) {
    *error = "cannot write " + Quote(path_) + ": " + Reason(err);
    return false;
  }
  return true;
}

bool ReplacingFile::Failed(int err, std::string* error) {
  if (file_) fclose(file_);
  file_ = nullptr;
  std::error_code ec;
  if (!temp_.empty()) fs::remove(temp_, ec);
  temp_.clear();
  *error = "cannot write " + Quote(path_) + ": " + Reason(err);
  return false;
}

bool ReplacingFile::Append(const uint8_t* data, size_t size, std::string* error) {
  if (!Open(error)) return false;
  errno = 0;
  if (size && fwrite(data, 1, size, file_) != size) return Failed(errno, error);
  return true;
}

bool ReplacingFile::OverwriteStart(const uint8_t* data, size_t size, std::string* error) {
  if (!Open(error)) return false;
  errno = 0;
  if (fseek(file_, 0, SEEK_SET) != 0 || (size && fwrite(data, 1, size, file_) != size) ||
      fseek(file_, 0, SEEK_END) != 0)
    return Failed(errno, error);
  return true;
}

bool ReplacingFile::Commit(std::string* error) {
  if (!Open(error)) return false;
  errno = 0;
  if (fflush(file_) != 0) return Failed(errno, error);
  const int closed = fclose(file_);
  file_ = nullptr;
  if (closed != 0) return Failed(errno, error);
  std::error_code ec;
  fs::rename(temp_, path_, ec);
  if (ec) return Failed(ec.value(), error);
  temp_.clear();
  return true;
}

bool CheckOutputIsNoInput(const std::string& output, const std::vector<std::string>& inputFiles,
                          const std::vector<std::string>& inputDirs, std::string* error) {
  std::error_code ec;
  const fs::path target = fs::weakly_canonical(output, ec);
  if (ec) return true;  // the write itself will say what is wrong with the path
  for (const std::string& input : inputFiles) {
    const fs::path source = fs::weakly_canonical(input, ec);
    if (!ec && source == target) {
      *error = "the output " + Quote(output) + " is also the input " + Quote(input) +
               "; choose another output";
      return false;
    }
  }
  for (const std::string& input : inputDirs) {
    const fs::path dir = fs::weakly_canonical(input, ec);
    if (ec) continue;
    for (fs::path at = target.parent_path(); !at.empty(); at = at.parent_path()) {
      if (at == dir) {
        *error = "the output " + Quote(output) + " lies inside the input folder " +
                 Quote(input) + "; choose another output";
        return false;
      }
      if (at == at.parent_path()) break;
    }
  }
  return true;
}

}  // namespace vt
