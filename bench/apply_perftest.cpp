// Rebuilding a 256 MiB file from a script of 64 KiB copies (apply entry, whole: CRC check,
// rebuild with its CRC taken as it is written, the old file moved into BackupDir, the new one
// into place), next to copying the file with the system; with the minor page faults and system
// calls of each per MiB.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "bench/bench_counts.h"
#include "bench/bench_dir.h"
#include "format/script_writer.h"
#include "patch/apply_entry.h"
#include "patch/crc32.h"
#include "patch/fs.h"

namespace {

namespace fs = std::filesystem;
typedef std::chrono::steady_clock Clock;

const uint32_t kBlock = 64 << 10;
const uint32_t kBlocks = 4096;  // 256 MiB

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  FILE* f = fopen(path.c_str(), "wb");
  if (!f || fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() || fclose(f) != 0) {
    fprintf(stderr, "cannot write %s\n", path.c_str());
    exit(1);
  }
}

// Block i of the new file is block (i * 1021) mod 4096 of the old one: every block once, in
// scattered order.
uint32_t SourceBlock(uint32_t i) { return (i * 1021u) % kBlocks; }

// Best of `rounds` timed runs, each after an untimed set-up.
double Best(int rounds, const std::function<void()>& setUp, const std::function<void()>& run) {
  double best = 1e9;
  for (int r = 0; r < rounds; ++r) {
    setUp();
    Clock::time_point start = Clock::now();
    run();
    double s = Seconds(start);
    if (s < best) best = s;
  }
  return best;
}

}  // namespace

// Applies the one entry of the script in file `scriptPath`; exits unless it is updated.
void ApplyOnce(const std::string& scriptPath, const std::string& dest, const std::string& backup) {
  FILE* f = fopen(scriptPath.c_str(), "rb");
  std::vector<uint8_t> script;
  for (int c; f && (c = fgetc(f)) != EOF;) script.push_back(uint8_t(c));
  if (f) fclose(f);
  vt::ApplyContext context = {dest.c_str(), backup.c_str(), {nullptr, nullptr}};
  uint32_t count;
  vt::ScriptCursor cursor;
  if (!vt::BeginScript(script.data(), script.size(), &count, &cursor) ||
      vt::ApplyEntry(context, &cursor, nullptr) != vt::kUpdated)
    exit(1);
}

int main(int argc, char** argv) {
  vt::BuildCrcTable();
  // "--apply SCRIPT DEST BACKUP": the update alone, for counting its system calls from outside.
  if (argc == 5 && strcmp(argv[1], "--apply") == 0) {
    ApplyOnce(argv[2], argv[3], argv[4]);
    return 0;
  }
  const std::string pattern = MakeBenchDir(argc > 1 ? argv[1] : nullptr, "vt_bench");
  if (pattern.empty()) return 1;
  const std::string dir = pattern, dest = dir + "/dest", pristine = dir + "/pristine.bin";
  const std::string target = dest + "/big.bin", backup = dest + "/BAK1.tmp";
  fs::create_directory(dest);

  std::vector<uint8_t> old(size_t(kBlock) * kBlocks), updated(old.size());
  uint32_t x = 88172645u;
  for (auto& b : old) {
    x ^= x << 13, x ^= x >> 17, x ^= x << 5;
    b = uint8_t(x);
  }
  std::vector<uint8_t> script;
  vt::StartScript(&script, 1);
  for (uint32_t i = 0; i < kBlocks; ++i)
    memcpy(&updated[size_t(i) * kBlock], &old[size_t(SourceBlock(i)) * kBlock], kBlock);
  vt::PutEntryHeader(&script, vt::CrcBytes(old.data(), old.size()),
                     vt::CrcBytes(updated.data(), updated.size()), "\\big.bin");
  for (uint32_t i = 0; i < kBlocks; ++i) vt::PutCopy(&script, kBlock, SourceBlock(i) * kBlock);
  vt::PutEnd(&script);
  WriteFile(pristine, old);
  updated.clear();
  updated.shrink_to_fit();

  // Every timed run starts from written-back files (sync() untimed), so that one run's dirty
  // pages do not slow the next.
  auto restore = [&] {
    fs::remove_all(backup);
    fs::remove(target);
    fs::copy_file(pristine, target);
    sync();
  };
  vt::ApplyContext context = {dest.c_str(), backup.c_str(), {nullptr, nullptr}};
  vt::EntryResult result = vt::kDataError;
  long applyFaults = 0;
  auto apply = [&] {
    uint32_t count;
    vt::ScriptCursor cursor;
    vt::BeginScript(script.data(), script.size(), &count, &cursor);
    long before = MinorFaults(RUSAGE_SELF);
    result = vt::ApplyEntry(context, &cursor, nullptr);
    applyFaults = MinorFaults(RUSAGE_SELF) - before;
  };
  double applyTime = Best(5, restore, apply);
  if (result != vt::kUpdated) {
    fprintf(stderr, "apply entry gave 0x%x\n", unsigned(result));
    return 1;
  }
  const long wholeFaults = applyFaults;
  const std::string scriptPath = dir + "/Patch.dat";
  WriteFile(scriptPath, script);
  restore();
  const long applyCalls = CountSystemCalls(
      "'" + SelfPath() + "' --apply '" + scriptPath + "' '" + dest + "' '" + backup + "'", dir);
  // Stages: a wrong crcUpdated stops after the rebuild and its CRC, a wrong crcOriginal after
  // the old file's CRC.
  script[8] ^= 1;
  double rebuildTime = Best(5, restore, apply);
  if (result != vt::kUpdatedCrcError) return 1;
  script[4] ^= 1;
  double checkTime = Best(5, restore, apply);
  if (result != vt::kOriginalCrcError) return 1;

  const std::string copy = dest + "/copy.bin";
  auto noCopy = [&] {
    fs::remove(copy);
    sync();
  };
  const std::string cpCommand = "cp --reflink=never '" + pristine + "' '" + copy + "'";
  long cpFaults = 0;
  double cpTime = Best(5, noCopy, [&] {
    long before = MinorFaults(RUSAGE_CHILDREN);
    if (system(cpCommand.c_str()) != 0) exit(1);
    cpFaults = MinorFaults(RUSAGE_CHILDREN) - before;
  });
  noCopy();
  const long cpCalls = CountSystemCalls(cpCommand, dir);
  double rangeTime = Best(5, noCopy, [&] {
    if (vt::FsCopyFile(pristine.c_str(), copy.c_str(), false) != vt::kFsOk) exit(1);
  });
  fs::remove_all(dir);

  double mib = double(old.size()) / (1 << 20);
  printf("file %.0f MiB, %u copies of %u KiB, page cache warm, best of 5\n", mib, kBlocks,
         kBlock >> 10);
  printf("apply entry, whole update        %7.3f s  %6.0f MiB/s\n", applyTime, mib / applyTime);
  printf("  stopped after the old file's CRC %5.3f s\n", checkTime);
  // A refused rebuild also removes its file again, which the whole update never does.
  printf("  stopped after the rebuild's CRC  %5.3f s  (the refused file removed)\n", rebuildTime);
  printf("cp --reflink=never               %7.3f s  %6.0f MiB/s\n", cpTime, mib / cpTime);
  printf("copy_file_range (FsCopyFile)     %7.3f s  %6.0f MiB/s\n", rangeTime, mib / rangeTime);
  printf("per MiB: whole update %s   cp %s\n", PerUnit(wholeFaults, applyCalls, mib).c_str(),
         PerUnit(cpFaults, cpCalls, mib).c_str());
  printf("whole update / cp                %7.2f\n", applyTime / cpTime);
  printf("CRC check of the old file / cp   %7.2f\n", checkTime / cpTime);
  return 0;
}
