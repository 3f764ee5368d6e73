// Fuzz target: arbitrary patch scripts applied, entry by entry, to a small scratch tree, each read
// from a file through a window of a few hundred bytes, which entries straddle. Aborts
// when a result is not a known code, a temporary file is left, or anything is written outside
// DestinationDir.
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <string>

#include "patch/apply_entry.h"
#include "fuzz/scratch_tree.h"
#include "patch/crc32.h"
#include "patch/fs.h"

namespace vt {
namespace {

// root/outer/inner/dest is DestinationDir; the levels above it hold only a guard file each, so
// that a write escaping DestinationDir by up to three levels shows up in the tree check.
std::string g_root, g_outer, g_inner, g_dest, g_backup, g_script;
// Paths below DestinationDir that may exist after an input: the old version's, BackupDir's,
// and those of the entries applied (with their directories).
std::set<std::string> g_allowed;
const uint32_t kMaxEntries = 64;  // keeps one input fast; the count field allows 65535


void RemoveScratch() { RemoveTree(g_root); }

bool SetUpScratch() {
  BuildCrcTable();
  g_root = MakeScratchRoot("vt_fuzz");
  g_outer = g_root + "/outer";
  g_inner = g_outer + "/inner";
  g_dest = g_inner + "/dest";
  g_backup = g_dest + "\\BAK1.tmp";
  g_script = g_root + "/script";
  mkdir(g_outer.c_str(), 0777);
  mkdir(g_inner.c_str(), 0777);
  Put(g_root + "/guard", "root");
  Put(g_outer + "/guard", "outer");
  Put(g_inner + "/guard", "inner");
  atexit(RemoveScratch);
  return true;
}

// The old version that the seed scripts were made for.
void ResetDestination() {
  MakeSeedTree(g_dest);
  g_allowed = {"BAK1.tmp"};
  for (const auto& entry : SeedTree()) g_allowed.insert(entry.first);
}

void AllowEntryPath(const char* stored) {
  std::string relative = stored[0] == '\\' ? stored + 1 : stored;
  for (char& c : relative)
    if (c == '\\') c = '/';
  for (size_t slash = relative.find('/'); slash != std::string::npos;
       slash = relative.find('/', slash + 1))
    g_allowed.insert(relative.substr(0, slash));
  g_allowed.insert(relative);
}

int CheckEntry(const char* path, const struct stat*, int, struct FTW*) {
  std::string p = path;
  if (p.compare(0, g_dest.size() + 1, g_dest + "/") == 0) {
    std::string relative = p.substr(g_dest.size() + 1);
    if (g_allowed.count(relative) || relative.compare(0, 9, "BAK1.tmp/") == 0) return 0;
    fprintf(stderr, "unexpected file (a temporary file left, or a DataError that wrote): %s\n",
            path);
    abort();
  }
  const std::string allowed[] = {g_root,  g_root + "/guard",  g_outer, g_outer + "/guard",
                                 g_inner, g_inner + "/guard", g_dest,  g_script};
  for (const std::string& a : allowed)
    if (a == p) return 0;
  fprintf(stderr, "written outside DestinationDir: %s\n", path);
  abort();
}

int LowestFreeDescriptor() {
  int fd = dup(2);
  close(fd);
  return fd;
}

bool IsKnownResult(EntryResult r) {
  switch (r) {
    case kInstalled: case kUpdated: case kOverwritten: case kOriginalMissing:
    case kOriginalCrcError: case kAlreadyUpdated: case kUpdatedCrcError: case kDataError:
    case kAccessDenied: case kReplaceDenied: case kRestoreFailed:
      return true;
  }
  return false;
}

}  // namespace
}  // namespace vt

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vt;
  static bool ready = SetUpScratch();
  (void)ready;
  ResetDestination();
  int freeBefore = LowestFreeDescriptor();
  Put(g_script, std::string(reinterpret_cast<const char*>(data), size));
  FsFile file = FsOpen(g_script.c_str(), kFsReadShared, nullptr);
  if (file == kNoFile) abort();
  static uint8_t window[kMinScriptWindow + 96];
  uint32_t count;
  ScriptCursor cursor;
  if (BeginScriptFile(file, window, kMinScriptWindow + uint32_t(size % 97), &count, &cursor)) {
    ApplyContext context = {g_dest.c_str(), g_backup.c_str(), {nullptr, nullptr}};
    for (uint32_t i = 0; i < count && i < kMaxEntries; ++i) {
      const char* path;
      EntryResult r = ApplyEntry(context, &cursor, &path);
      if (!IsKnownResult(r)) abort();
      if (r == kDataError) break;
      AllowEntryPath(path);
      if (cursor.at > cursor.size) abort();
    }
  }
  FsClose(file);
  nftw(g_root.c_str(), CheckEntry, 16, FTW_PHYS);
  if (LowestFreeDescriptor() != freeBefore) {
    fprintf(stderr, "file descriptor leaked\n");
    abort();
  }
  return 0;
}
