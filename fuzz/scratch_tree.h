// The scratch folders the fuzz targets work in: made under $TMPDIR (or /tmp), filled with small
// files, and removed without following links.
#ifndef VANTREL_FUZZ_SCRATCH_TREE_H
#define VANTREL_FUZZ_SCRATCH_TREE_H

#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <map>
#include <string>

namespace vt {

inline int RemoveScratchEntry(const char* path, const struct stat*, int, struct FTW*) {
  return remove(path);
}

inline void RemoveTree(const std::string& path) {
  nftw(path.c_str(), RemoveScratchEntry, 16, FTW_DEPTH | FTW_PHYS);
}

// Writes `content` to `path`; a fuzz run cannot go on without its fixture, so failure aborts.
inline void Put(const std::string& path, const std::string& content) {
  FILE* f = fopen(path.c_str(), "wb");
  if (!f || fwrite(content.data(), 1, content.size(), f) != content.size()) abort();
  fclose(f);
}

// The old version that the seed scripts of corpus/apply_entry were made for: relative path ->
// content, "/" for a folder.
inline const std::map<std::string, std::string>& SeedTree() {
  static const std::map<std::string, std::string> tree = {
      {"a.txt", "abc"}, {"old.txt", "old"}, {"sub", "/"}, {"sub/b.bin", "0123456789"}};
  return tree;
}

// Makes `dest` anew holding SeedTree() (a folder sorts before what it holds).
inline void MakeSeedTree(const std::string& dest) {
  RemoveTree(dest);
  mkdir(dest.c_str(), 0777);
  for (const auto& entry : SeedTree()) {
    const std::string path = dest + "/" + entry.first;
    if (entry.second == "/") mkdir(path.c_str(), 0777);
    else Put(path, entry.second);
  }
}

// A new private folder named `name` and a unique suffix; aborts when none can be made.
inline std::string MakeScratchRoot(const char* name) {
  const char* tmp = getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + name + "_XXXXXX";
  if (!mkdtemp(&pattern[0])) abort();
  return pattern;
}

}  // namespace vt

#endif  // VANTREL_FUZZ_SCRATCH_TREE_H
