// Folder comparison and Patch.dat writing for `vantrel diff` and `vantrel build`.
#include "cli/tree_diff.h"

#include <stdint.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <system_error>

#include "cli/file_bytes.h"
#include "cli/payload_writer.h"
#include "format/file_format.h"
#include "format/script_writer.h"
#include "format/name_rules.h"
#include "patch/crc32.h"

namespace vt {
namespace {

namespace fs = std::filesystem;

const size_t kMaxEntries = 0xFFFF;

std::string Upper(const std::string& s) {
  std::string u = s;
  for (char& c : u)
    c = FoldCase(c);
  return u;
}

bool CheckName(const std::string& name, const std::string& where, std::string* error) {
  for (unsigned char c : name) {
    if (c >= 0x80) {
      *error = "'" + where + "': the name is not plain ASCII; the installer's file names are in "
               "the user's ANSI code page";
      return false;
    }
  }
  if (!IsSafeComponent(name.data(), name.size())) {
    *error = "'" + where + "': the name is not valid on Windows";
    return false;
  }
  return true;
}

// Appends the files under `dir` (stored prefix `prefix`) in script order. `strict` applies the
// rules of what NEW may hold; OLD is only read.
bool Walk(const fs::path& dir, const std::string& prefix, bool strict,
          std::vector<std::string>* paths, std::string* error) {
  std::error_code ec;
  std::vector<std::pair<std::string, fs::path>> files, dirs;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    const std::string where = it->path().string();
    const fs::file_status status = it->symlink_status(ec);
    if (ec) break;
    if (fs::is_symlink(status)) {
      if (!strict) continue;
      *error = "'" + where + "' is a link; the installer can only carry plain files";
      return false;
    }
    if (strict && !CheckName(name, where, error)) return false;
    if (fs::is_directory(status)) {
      dirs.emplace_back(name, it->path());
    } else if (fs::is_regular_file(status)) {
      files.emplace_back(name, it->path());
    } else if (strict) {
      *error = "'" + where + "' is not a regular file or folder";
      return false;
    }
  }
  if (ec) {
    *error = "cannot list '" + dir.string() + "': " + ec.message();
    return false;
  }
  std::sort(files.begin(), files.end());
  std::sort(dirs.begin(), dirs.end());
  if (strict) {
    std::map<std::string, std::string> seen;
    for (const auto* list : {&files, &dirs})
      for (const auto& entry : *list) {
        auto inserted = seen.emplace(Upper(entry.first), entry.first);
        if (!inserted.second) {
          *error = "'" + dir.string() + "' holds both '" + inserted.first->second + "' and '" +
                   entry.first + "', one name on Windows";
          return false;
        }
      }
  }
  for (const auto& file : files) {
    const std::string stored = prefix + "\\" + file.first;
    if (strict && stored.size() > kMaxEntryPath) {
      *error = "'" + file.second.string() + "': its path " + stored + " has " +
               std::to_string(stored.size()) + " characters; at most " +
               std::to_string(kMaxEntryPath) +
               " fit the installer's " + std::to_string(kMaxPath) +
               " under a typical destination folder";
      return false;
    }
    paths->push_back(stored);
  }
  for (const auto& sub : dirs)
    if (!Walk(sub.second, prefix + "\\" + sub.first, strict, paths, error)) return false;
  return true;
}

bool ListFolder(const std::string& dir, bool strict, std::vector<std::string>* paths,
                std::string* error) {
  std::error_code ec;
  if (!fs::is_directory(dir, ec)) {
    *error = "'" + dir + "' is not a folder";
    return false;
  }
  return Walk(dir, "", strict, paths, error);
}

bool ReadChecked(const std::string& path, std::vector<uint8_t>* bytes, std::string* error) {
  std::error_code ec;
  const uintmax_t size = fs::file_size(path, ec);
  if (!ec && size > kMaxDeltaFileSize) {
    *error = "'" + path + "' has " + std::to_string(size) +
             " bytes; the installer's files must be smaller than 4 GiB";
    return false;
  }
  if (!ReadFileBytes(path, bytes, error)) return false;
  if (bytes->size() > kMaxDeltaFileSize) {
    *error = "'" + path + "' is 4 GiB or larger; the installer's files must be smaller";
    return false;
  }
  return true;
}

// Files below this size are encoded with the first setting only: trying others gains little.
const size_t kTryTuningsFrom = 4096;

// The size of a run of operations once compressed as the PatchDataBlock will be.
size_t CompressedSize(const std::vector<uint8_t>& ops, void* scratch) {
  std::vector<uint8_t>* stream = static_cast<std::vector<uint8_t>*>(scratch);
  std::string ignored;
  return CompressBlock(ops, 9, stream, &ignored) ? stream->size() : ops.size();
}

// Appends the operations for one file, chosen by compressed size among `tunings`.
void EncodeBest(const std::vector<uint8_t>& oldBytes, const std::vector<uint8_t>& newBytes,
                const std::vector<DeltaTuning>& tunings, std::vector<uint8_t>* out,
                DeltaStats* stats) {
  std::vector<uint8_t> stream;
  const bool choose = newBytes.size() >= kTryTuningsFrom;
  EncodeDeltaChoosing(oldBytes.data(), oldBytes.size(), newBytes.data(), newBytes.size(),
                      choose ? tunings : std::vector<DeltaTuning>{tunings[0]},
                      choose ? CompressedSize : nullptr, &stream, out, stats);
}

}  // namespace

const std::vector<DeltaTuning> kDefaultTunings = {
    {8, 8, 16, 40, 24},
    {8, 8, 16, 96, 48},
    {8, 8, 16, 24, 16},
};

std::string NativePath(const std::string& dir, const std::string& stored) {
  std::string relative = stored.substr(1);
  std::replace(relative.begin(), relative.end(), '\\', char(fs::path::preferred_separator));
  return (fs::path(dir) / relative).string();
}

bool ListTree(const std::string& dir, std::vector<std::string>* paths, std::string* error) {
  return ListFolder(dir, true, paths, error);
}

bool DiffTrees(const std::string& oldDir, const std::string& newDir, TreeDiff* diff,
               std::string* error, DiffProgress progress, void* context,
               const std::vector<DeltaTuning>& tunings) {
  BuildCrcTable();
  std::vector<std::string> oldPaths, newPaths;
  if (!ListFolder(oldDir, false, &oldPaths, error)) return false;
  if (!ListFolder(newDir, true, &newPaths, error)) return false;
  std::map<std::string, bool> inNew;
  for (const std::string& p : newPaths) inNew[p] = true;
  for (const std::string& p : oldPaths)
    if (!inNew.count(p)) diff->onlyInOld.push_back(p);
  std::map<std::string, bool> inOld;
  for (const std::string& p : oldPaths) inOld[p] = true;

  uint64_t total = 0, done = 0;
  std::error_code ec;
  for (const std::string& p : newPaths) total += fs::file_size(NativePath(newDir, p), ec);

  diff->script.clear();
  StartScript(&diff->script);
  for (const std::string& path : newPaths) {
    std::vector<uint8_t> newBytes, oldBytes;
    if (!ReadChecked(NativePath(newDir, path), &newBytes, error)) return false;
    const bool hasOld = inOld.count(path) != 0;
    if (hasOld && !ReadChecked(NativePath(oldDir, path), &oldBytes, error)) return false;
    done += newBytes.size();
    if (hasOld && oldBytes == newBytes) {
      ++diff->unchanged;
      if (progress) progress(context, done, total);
      continue;
    }
    if (diff->entries.size() == kMaxEntries) {
      *error = "'" + newDir + "' needs more than 65535 entries, the most one script holds";
      return false;
    }
    DiffEntry entry;
    entry.path = path;
    entry.newSize = newBytes.size();
    const size_t start = diff->script.size();
    const uint32_t crcNew = CrcBytes(newBytes.data(), newBytes.size());
    const uint32_t crcOld = hasOld ? CrcBytes(oldBytes.data(), oldBytes.size()) : 0;
    if (hasOld && crcOld == crcNew) diff->crcTwins.push_back(path);
    if (hasOld && crcOld != crcNew) {
      entry.update = true;
      entry.oldSize = oldBytes.size();
      PutEntryHeader(&diff->script, crcOld, crcNew, path);
      EncodeBest(oldBytes, newBytes, tunings.empty() ? kDefaultTunings : tunings, &diff->script,
                 &entry.delta);
    } else {
      PutEntryHeader(&diff->script, 0, crcNew, path);
      PutNewFileBody(&diff->script, newBytes.data(), newBytes.size());
    }
    entry.stored = diff->script.size() - start;
    diff->entries.push_back(entry);
    if (progress) progress(context, done, total);
  }
  SetEntryCount(&diff->script, uint32_t(diff->entries.size()));
  return true;
}

}  // namespace vt
