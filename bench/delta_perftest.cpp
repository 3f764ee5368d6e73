// Tries delta encoder settings on two folders: prints the compressed Patch.dat size and the time
// for each setting, to choose the defaults (bench/delta_compare.sh compares with other tools).
// Then times applying the last script with the patch engine to a copy of OLD_DIR, next to
// copying NEW_DIR's files with the system.
// Usage: delta_perftest OLD_DIR NEW_DIR [SET]...
// A SET is one or more settings joined by '+', each minCopy,minRepeatCopy,chainDepth,copyBits,
// repeatBits[,addSplit[,nearGain]]; the tool keeps per file what compresses best among a set's
// settings.
#include <stdio.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/bench_dir.h"
#include "builder/payload_writer.h"
#include "builder/tree_diff.h"
#include "patch/apply_entry.h"
#include "patch/crc32.h"

namespace {

namespace fs = std::filesystem;

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// Applies `script` to a copy of OLD; returns the seconds of the entries alone, or -1.
double TimeApply(const std::vector<uint8_t>& script, const std::string& oldDir,
                 const fs::path& scratch) {
  fs::copy(oldDir, scratch / "dest", fs::copy_options::recursive);
  const std::string dest = (scratch / "dest").string(), backup = (scratch / "bak").string();
  vt::ApplyContext context = {dest.c_str(), backup.c_str(), {nullptr, nullptr}};
  uint32_t count;
  vt::ScriptCursor cursor;
  if (!vt::BeginScript(script.data(), script.size(), &count, &cursor)) return -1;
  const auto start = std::chrono::steady_clock::now();
  for (uint32_t i = 0; i < count; ++i) {
    const vt::EntryResult r = vt::ApplyEntry(context, &cursor, nullptr);
    if (r != vt::kUpdated && r != vt::kInstalled) return -1;
  }
  return Seconds(start);
}

// Copies the files that `diff` touches from NEW; returns the seconds.
double TimeCopy(const vt::TreeDiff& diff, const std::string& newDir, const fs::path& scratch) {
  const auto start = std::chrono::steady_clock::now();
  int n = 0;
  for (const vt::DiffEntry& e : diff.entries)
    fs::copy_file(vt::NativePath(newDir, e.path), scratch / std::to_string(n++));
  return Seconds(start);
}

// Reads "a,b,c,d,e[,f[,g]]+a,b,c,d,e[,f[,g]]..." into settings (f: addSplit, 0 when absent;
// g: nearGain, 8 when absent); false when malformed.
bool ParseSet(const char* text, std::vector<vt::DeltaTuning>* set) {
  for (const char* p = text; *p;) {
    vt::DeltaTuning t;
    unsigned v[7] = {0, 0, 0, 0, 0, 0, 8};
    int used = 0;
    if (sscanf(p, "%u,%u,%u,%u,%u%n", &v[0], &v[1], &v[2], &v[3], &v[4], &used) != 5) return false;
    int more = 0;
    if (p[used] == ',' && sscanf(p + used, ",%u%n", &v[5], &more) == 1) used += more;
    if (p[used] == ',' && sscanf(p + used, ",%u%n", &v[6], &more) == 1) used += more;
    t.addSplit = v[5];
    t.nearGain = v[6];
    t.minCopy = v[0];
    t.minRepeatCopy = v[1];
    t.chainDepth = v[2];
    t.copyBits = v[3];
    t.repeatBits = v[4];
    set->push_back(t);
    p += used;
    if (*p == '+') ++p;
    else if (*p) return false;
  }
  return !set->empty();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: delta_perftest OLD_DIR NEW_DIR "
                    "[a,b,c,d,e[,f[,g]][+a,b,c,d,e[,f[,g]]]...]...\n");
    return 2;
  }
  // No set given: the tool's own choices, in the original format and with add operations.
  std::vector<std::vector<vt::DeltaTuning>> runs;
  std::vector<std::string> names;
  for (int i = 3; i < argc; ++i) {
    runs.emplace_back();
    names.push_back(argv[i]);
    if (!ParseSet(argv[i], &runs.back())) {
      fprintf(stderr, "delta_perftest: '%s' is not a setting set\n", argv[i]);
      return 2;
    }
  }
  if (runs.empty()) {
    runs.push_back(vt::kDefaultTunings);
    names.push_back("original format");
    runs.push_back(vt::kAddTunings);
    names.push_back("with add");
  }
  vt::TreeDiff last;
  for (size_t r = 0; r < runs.size(); ++r) {
    const std::vector<vt::DeltaTuning>& run = runs[r];
    const auto start = std::chrono::steady_clock::now();
    vt::TreeDiff diff;
    std::string error;
    if (!vt::DiffTrees(argv[1], argv[2], &diff, &error, nullptr, nullptr, run)) {
      fprintf(stderr, "delta_perftest: %s\n", error.c_str());
      return 1;
    }
    const double secs =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::vector<uint8_t> stream;
    if (!vt::CompressBlock(diff.script, 9, &stream, &error)) {
      fprintf(stderr, "delta_perftest: %s\n", error.c_str());
      return 1;
    }
    uint64_t inserted = 0;
    for (const vt::DiffEntry& e : diff.entries) inserted += e.delta.insertedBytes;
    printf("%s: script %9zu compressed %8zu inserted %8llu %.2fs\n", names[r].c_str(),
           diff.script.size(), stream.size(),
           (unsigned long long)inserted, secs);
    last = std::move(diff);
  }
  vt::BuildCrcTable();
  const std::string pattern = MakeBenchDir(nullptr, "delta_perftest");
  if (pattern.empty()) return 1;
  const double apply = TimeApply(last.script, argv[1], pattern);
  fs::create_directories(fs::path(pattern) / "copy");
  const double copy = TimeCopy(last, argv[2], fs::path(pattern) / "copy");
  printf("apply %.3fs (the engine, %zu entries), copying the new files %.3fs: ratio %.2f\n",
         apply, last.entries.size(), copy, copy > 0 ? apply / copy : 0.0);
  std::error_code ec;
  fs::remove_all(pattern, ec);
  return apply < 0 ? 1 : 0;
}
