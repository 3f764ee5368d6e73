// Tries delta encoder settings on two folders: prints the compressed Patch.dat size and the time
// for each setting, to choose the defaults (bench/delta_compare.sh compares with other tools).
// Then times applying the last script with the patch engine to a copy of OLD_DIR, next to
// copying NEW_DIR's files with the system.
// Usage: delta_perftest OLD_DIR NEW_DIR [minCopy minRepeatCopy chainDepth]...
#include <stdio.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "cli/payload_writer.h"
#include "cli/tree_diff.h"
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

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || (argc - 3) % 3 != 0) {
    fprintf(stderr, "usage: delta_perftest OLD_DIR NEW_DIR [minCopy minRepeatCopy chainDepth]...\n");
    return 2;
  }
  std::vector<vt::DeltaTuning> tunings;
  for (int i = 3; i < argc; i += 3) {
    vt::DeltaTuning t;
    t.minCopy = uint32_t(atoi(argv[i]));
    t.minRepeatCopy = uint32_t(atoi(argv[i + 1]));
    t.chainDepth = uint32_t(atoi(argv[i + 2]));
    tunings.push_back(t);
  }
  // No setting given: the tool's own choice among its defaults, shown as zeros.
  std::vector<std::vector<vt::DeltaTuning>> runs;
  for (const vt::DeltaTuning& t : tunings) runs.push_back({t});
  if (runs.empty()) runs.push_back({});
  vt::TreeDiff last;
  for (const std::vector<vt::DeltaTuning>& run : runs) {
    vt::DeltaTuning t = run.empty() ? vt::DeltaTuning{0, 0, 0} : run[0];
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
    printf("minCopy %3u minRepeat %3u depth %4u: script %9zu compressed %8zu inserted %8llu %.2fs\n",
           t.minCopy, t.minRepeatCopy, t.chainDepth, diff.script.size(), stream.size(),
           (unsigned long long)inserted, secs);
    last = std::move(diff);
  }
  vt::BuildCrcTable();
  char pattern[] = "/tmp/delta_perftest_XXXXXX";
  if (!mkdtemp(pattern)) return 1;
  const double apply = TimeApply(last.script, argv[1], pattern);
  fs::create_directories(fs::path(pattern) / "copy");
  const double copy = TimeCopy(last, argv[2], fs::path(pattern) / "copy");
  printf("apply %.3fs (the engine, %zu entries), copying the new files %.3fs: ratio %.2f\n",
         apply, last.entries.size(), copy, copy > 0 ? apply / copy : 0.0);
  std::error_code ec;
  fs::remove_all(pattern, ec);
  return apply < 0 ? 1 : 0;
}
