// Whole-file reads and replace-safe writes through <stdio.h> and std::filesystem.
#include "cli/file_bytes.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <filesystem>
#include <system_error>

namespace vt {
namespace {

std::string Reason(int err) { return err ? strerror(err) : "I/O error"; }

}  // namespace

bool ReadFileBytes(const std::string& path, std::vector<uint8_t>* bytes, std::string* error) {
  errno = 0;
  FILE* file = fopen(path.c_str(), "rb");
  if (!file) {
    *error = "cannot read '" + path + "': " + Reason(errno);
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
    *error = "cannot read '" + path + "': " + Reason(err);
    return false;
  }
  bytes->swap(data);
  return true;
}

bool WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes,
                    std::string* error) {
  const std::string temp = path + ".vantrel-tmp";
  errno = 0;
  FILE* file = fopen(temp.c_str(), "wb");
  if (!file) {
    *error = "cannot write '" + path + "': " + Reason(errno);
    return false;
  }
  bool ok = bytes.empty() || fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  ok = fflush(file) == 0 && ok;
  int err = ok ? 0 : errno;
  if (fclose(file) != 0 && ok) {
    ok = false;
    err = errno;
  }
  std::error_code ec;
  if (ok) {
    std::filesystem::rename(temp, path, ec);
    if (ec) {
      ok = false;
      err = ec.value();
    }
  }
  if (!ok) {
    std::filesystem::remove(temp, ec);
    *error = "cannot write '" + path + "': " + Reason(err);
  }
  return ok;
}

}  // namespace vt
