// Fuzz target: arbitrary patch scripts run whole (log, backups, rollback) over a small scratch
// tree, some cancelled part-way, each read through a window of a few hundred bytes. Aborts when
// the run does not report exactly once, leaves a BackupDir or temporary file, writes outside
// DestinationDir, or ends in a failure or cancel without every file that was there before
// having its old content back.
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <set>
#include <string>

#include "fuzz/scratch_tree.h"
#include "patch/apply_entry.h"
#include "patch/crc32.h"
#include "patch/patch_run.h"
#include "patch/result_log.h"

namespace vt {
namespace {

// root/outer/dest is DestinationDir; the script and a guard file lie outside it.
std::string g_root, g_outer, g_dest, g_script;
std::map<std::string, std::string> g_before;  // relative path -> content, "/" for directories
std::set<std::string> g_named;  // names that the script's entries gave, at any level


std::string Read(const std::string& path) {
  std::string content;
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return "<unreadable>";
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, f)) > 0;) content.append(buffer, n);
  fclose(f);
  return content;
}

void RemoveScratch() { RemoveTree(g_root); }

bool SetUpScratch() {
  // Read through the least window, which the entries of a few hundred bytes straddle.
  g_scriptWindowSize = kMinScriptWindow;
  BuildCrcTable();
  g_root = MakeScratchRoot("vt_runfuzz");
  g_outer = g_root + "/outer";
  g_dest = g_outer + "/dest";
  g_script = g_root + "/Patch.dat";
  mkdir(g_outer.c_str(), 0777);
  Put(g_root + "/guard", "root");
  Put(g_outer + "/guard", "outer");
  atexit(RemoveScratch);
  return true;
}

// The old version that the seed scripts were made for.
void ResetDestination() {
  MakeSeedTree(g_dest);
  g_before = SeedTree();
}

struct Heard {
  int runDone = 0;
  int32_t state = 99;
  int entries = 0;
  int cancelAt = -1;
  RunState* run = nullptr;
};

void OnEntry(void* context, const char* path) {
  Heard* heard = static_cast<Heard*>(context);
  std::string stored = path;
  for (size_t start = 0; start <= stored.size();) {
    size_t end = stored.find_first_of("\\/", start);
    if (end == std::string::npos) end = stored.size();
    g_named.insert(stored.substr(start, end - start));
    start = end + 1;
  }
  if (heard->runDone) abort();
  if (heard->entries++ == heard->cancelAt) StoreRunState(heard->run, kRunCancelled);
}

void OnDone(void* context, int32_t state) {
  Heard* heard = static_cast<Heard*>(context);
  ++heard->runDone;
  heard->state = state;
}

void LoadEnglish(void*, uint32_t id, char* text, uint32_t size) {
  snprintf(text, size, "%s", BuiltInLogMessage(id));
}

int CheckEntry(const char* path, const struct stat*, int, struct FTW*) {
  std::string p = path;
  if (p.compare(0, g_dest.size() + 1, g_dest + "/") == 0) {
    const char* name = strrchr(path, '/') + 1;
    // The run's own names; an entry may name a file so too.
    if ((strncmp(name, "BAK", 3) == 0 || strncmp(name, "PCH", 3) == 0) && !g_named.count(name)) {
      fprintf(stderr, "left behind: %s\n", path);
      abort();
    }
    return 0;
  }
  const std::string allowed[] = {g_root,  g_root + "/guard",  g_script, g_outer,
                                 g_outer + "/guard", g_dest};
  for (const std::string& a : allowed)
    if (a == p) return 0;
  fprintf(stderr, "written outside DestinationDir: %s\n", path);
  abort();
}

}  // namespace
}  // namespace vt

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vt;
  static bool ready = SetUpScratch();
  (void)ready;
  ResetDestination();
  g_named.clear();
  Put(g_script, std::string(reinterpret_cast<const char*>(data), size));
  Heard heard;
  // Some inputs are cancelled at one of their first entries, the way a user would.
  heard.cancelAt = int(size % 7) - 2;
  RunState run = {};
  run.destinationDir = g_dest.c_str();
  run.keptBackupDir = "";
  run.scriptPath = g_script.c_str();
  run.mainFile = "b.bin";
  run.observer = {nullptr, nullptr, OnEntry, nullptr, nullptr, OnDone, &heard};
  run.loadMessage = LoadEnglish;
  run.state = kRunInProgress;
  heard.run = &run;
  char left[kMaxPath + 1];
  const int32_t end = RunPatch(&run, left);
  // An empty input is an unreadable script; every other end is one the entries reached.
  const bool unreadable = size == 0 && heard.state == kRunScriptUnreadable;
  if (heard.runDone != 1 || end != heard.state ||
      (!unreadable && (heard.state < kRunDataError || heard.state > kRunInProgress)) ||
      left[0] != 0)
    abort();
  nftw(g_root.c_str(), CheckEntry, 16, FTW_PHYS);
  if (Read(g_root + "/guard") != "root" || Read(g_outer + "/guard") != "outer") abort();
  // The promise of a run: it completes, or every file that was there has its old content.
  if (heard.state <= 0) {
    for (const auto& entry : g_before) {
      if (entry.second == "/") continue;
      if (Read(g_dest + "/" + entry.first) != entry.second) {
        fprintf(stderr, "not rolled back: %s\n", entry.first.c_str());
        abort();
      }
    }
  }
  return 0;
}
