// Whole patch runs (log, backups, BackupDir removal) next to copying the same data with the
// system's copy: 10,000 small files updated (in one folder, and in 1,000), one 1 GiB file
// rebuilt from 64 KiB copies, and a 16 MiB one from copies of 63 bytes (as long as before, and
// grown); with the minor page faults and system calls of each, per file or per MiB.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "bench/bench_counts.h"
#include "bench/bench_dir.h"
#include "format/script_writer.h"
#include "patch/crc32.h"
#include "patch/dir_tree.h"
#include "patch/patch_run.h"
#include "patch/result_log.h"

namespace {

namespace fs = std::filesystem;
typedef std::chrono::steady_clock Clock;
typedef std::vector<uint8_t> Bytes;

const int kSmallFiles = 10000;
const uint32_t kSmallSize = 4096;
const uint32_t kBlock = 64 << 10;
const uint32_t kBigBlocks = 16384;  // 1 GiB

void Fill(uint8_t* data, size_t size, uint32_t seed) {
  uint32_t x = seed | 1;
  for (size_t i = 0; i < size; ++i) {
    x ^= x << 13, x ^= x >> 17, x ^= x << 5;
    data[i] = uint8_t(x);
  }
}

void Save(const std::string& path, const Bytes& bytes) {
  FILE* f = fopen(path.c_str(), "wb");
  if (!f || fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() || fclose(f) != 0) {
    fprintf(stderr, "cannot write %s\n", path.c_str());
    exit(1);
  }
}

void Shell(const std::string& command) {
  if (system(command.c_str()) != 0) {
    fprintf(stderr, "failed: %s\n", command.c_str());
    exit(1);
  }
}

void OnDone(void* context, int32_t state) { *static_cast<int32_t*>(context) = state; }
void LoadEnglish(void*, uint32_t id, char* text, uint32_t size) {
  snprintf(text, size, "%s", vt::BuiltInLogMessage(id));
}

// Runs `script` over `dest`; exits when the run does not complete.
void RunOnce(const std::string& script, const std::string& dest) {
  int32_t state = 99;
  vt::RunState run = {};
  run.destinationDir = dest.c_str();
  run.keptBackupDir = "";
  run.scriptPath = script.c_str();
  run.mainFile = "";
  run.observer = {nullptr, nullptr, nullptr, nullptr, nullptr, OnDone, &state};
  run.loadMessage = LoadEnglish;
  run.state = vt::kRunInProgress;
  vt::RunPatch(&run, nullptr);
  if (state != vt::kRunInProgress) {
    fprintf(stderr, "the run ended with state %d\n", int(state));
    exit(1);
  }
}

// What every update of the small-file case does at the least, with nothing checked, locked,
// logged or CRC'd: the old file read, the new one written to a temporary file, the old one
// renamed into a backup folder, the new one into its place, and at the end the backups deleted.
void BareUpdates(const std::string& dest) {
  const std::string backup = dest + "/BAK";
  if (mkdir(backup.c_str(), 0777) != 0 || mkdir((backup + "/d").c_str(), 0777) != 0) exit(1);
  uint8_t data[kSmallSize];
  for (int i = 0; i < kSmallFiles; ++i) {
    const std::string name = "/d/f" + std::to_string(i) + ".bin";
    const std::string temp = backup + "/PCH" + std::to_string(i) + ".tmp";
    int in = open((dest + name).c_str(), O_RDWR);
    int out = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
    if (in < 0 || out < 0 || pread(in, data, kSmallSize, 0) != ssize_t(kSmallSize) ||
        write(out, data, kSmallSize) != ssize_t(kSmallSize) || close(out) != 0 ||
        close(in) != 0 || rename((dest + name).c_str(), (backup + name).c_str()) != 0 ||
        rename(temp.c_str(), (dest + name).c_str()) != 0)
      exit(1);
  }
  for (int i = 0; i < kSmallFiles; ++i)
    unlink((backup + "/d/f" + std::to_string(i) + ".bin").c_str());
  rmdir((backup + "/d").c_str());
  rmdir(backup.c_str());
}

// Times the run against `cp` of the pristine tree, rounds of the two taking turns so that a
// slow spell of the disk falls on both; each timing starts from a fresh copy of the tree with
// everything written back (untimed). Prints the best of each, and the faults and system calls
// of each per `unit` (`units` of them: files or MiB), the calls counted in an untimed round.
// `bare`, when given, is timed too, on a fresh copy.
void Compare(const char* what, const std::string& dir, double megabytes, int rounds,
             const char* unit, double units, void (*bare)(const std::string& dest) = nullptr) {
  const std::string pristine = dir + "/pristine", dest = dir + "/dest", copy = dir + "/copy";
  auto fresh = [&] {
    Shell("rm -rf '" + dest + "' '" + copy + "' && cp -r --reflink=never '" + pristine + "' '" +
          dest + "' && sync");
  };
  auto timed = [](const std::function<void()>& run) {
    Clock::time_point start = Clock::now();
    run();
    return std::chrono::duration<double>(Clock::now() - start).count();
  };
  const std::string cpCommand = "cp -r --reflink=never '" + pristine + "' '" + copy + "'";
  double runTime = 1e9, cpTime = 1e9, removeTime = 1e9, bareTime = 1e9;
  long runFaults = 0, cpFaults = 0;
  for (int r = 0; r < rounds; ++r) {
    fresh();
    long before = MinorFaults(RUSAGE_SELF);
    runTime = std::min(runTime, timed([&] { RunOnce(dir + "/Patch.dat", dest); }));
    runFaults = MinorFaults(RUSAGE_SELF) - before;
    fresh();
    before = MinorFaults(RUSAGE_CHILDREN);
    cpTime = std::min(cpTime, timed([&] { Shell(cpCommand); }));
    cpFaults = MinorFaults(RUSAGE_CHILDREN) - before;
    // The part of a run that a copy has no counterpart for: removing a BackupDir as big as
    // the tree, here `dest` standing in for one.
    Shell("sync");
    removeTime = std::min(removeTime, timed([&] { vt::RemoveTree(dest.c_str()); }));
    if (!bare) continue;
    fresh();
    bareTime = std::min(bareTime, timed([&] { bare(dest); }));
  }
  fresh();
  const long runCalls =
      CountSystemCalls("'" + SelfPath() + "' --run '" + dir + "/Patch.dat' '" + dest + "'", dir);
  fresh();
  const long cpCalls = CountSystemCalls(cpCommand, dir);
  printf("%-32s run %7.3f s   cp %7.3f s   run/cp %5.2f   (%.0f MiB, best of %d)\n", what,
         runTime, cpTime, runTime / cpTime, megabytes, rounds);
  printf("%-32s per %s: run %s   cp %s\n", "", unit, PerUnit(runFaults, runCalls, units).c_str(),
         PerUnit(cpFaults, cpCalls, units).c_str());
  printf("%-32s BackupDir removal alone %7.3f s = %4.2f of cp\n", "", removeTime,
         removeTime / cpTime);
  if (bare)
    printf("%-32s the same renames bare (nothing checked) %7.3f s = %4.2f of cp\n", "",
           bareTime, bareTime / cpTime);
}

// The files in one folder, or spread over `folders` folders in the order of a tree: a run
// holds each folder it works in, which costs a look and a close for every folder.
void SmallFiles(const std::string& dir, int folders) {
  Bytes script, old(kSmallSize), updated(kSmallSize);
  vt::StartScript(&script, kSmallFiles);
  for (int i = 0; i < kSmallFiles; ++i) {
    const std::string folder =
        folders == 1 ? "d" : "d" + std::to_string(i / (kSmallFiles / folders));
    fs::create_directories(dir + "/pristine/" + folder);
    Fill(old.data(), old.size(), uint32_t(i) * 2654435761u);
    // The new version keeps the first half and gets a new second half.
    memcpy(updated.data(), old.data(), kSmallSize / 2);
    Fill(updated.data() + kSmallSize / 2, kSmallSize / 2, uint32_t(i) + 7);
    const std::string name = folder + "/f" + std::to_string(i) + ".bin";
    Save(dir + "/pristine/" + name, old);
    vt::PutEntryHeader(&script, vt::CrcBytes(old.data(), old.size()),
                       vt::CrcBytes(updated.data(), updated.size()),
                       "\\" + folder + "\\f" + std::to_string(i) + ".bin");
    vt::PutCopy(&script, kSmallSize / 2, 0);
    vt::PutInsert(&script, updated.data() + kSmallSize / 2, kSmallSize / 2);
    vt::PutEnd(&script);
  }
  Save(dir + "/Patch.dat", script);
  const double megabytes = kSmallFiles * double(kSmallSize) / (1 << 20);
  if (folders == 1)
    Compare("10,000 files of 4 KiB, updated", dir, megabytes, 5, "file", kSmallFiles,
            BareUpdates);
  else
    Compare("the same in 1,000 folders", dir, megabytes, 5, "file", kSmallFiles);
}

uint32_t Scattered(uint32_t i) { return (i * 4099u) % kBigBlocks; }

void OneBigFile(const std::string& dir) {
  fs::create_directories(dir + "/pristine");
  const std::string big = dir + "/pristine/big.bin";
  {
    Bytes chunk(kBlock * 64);
    FILE* f = fopen(big.c_str(), "wb");
    for (uint32_t c = 0; c < kBigBlocks / 64; ++c) {
      Fill(chunk.data(), chunk.size(), c + 1);
      if (!f || fwrite(chunk.data(), 1, chunk.size(), f) != chunk.size()) exit(1);
    }
    if (fclose(f) != 0) exit(1);
  }
  uint32_t crcOld, crcNew = 0;
  {
    FILE* f = fopen(big.c_str(), "rb");
    size_t size = size_t(kBlock) * kBigBlocks;
    void* data = mmap(nullptr, size, PROT_READ, MAP_SHARED, fileno(f), 0);
    if (data == MAP_FAILED) exit(1);
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    crcOld = vt::CrcBytes(bytes, size);
    for (uint32_t i = 0; i < kBigBlocks; ++i)
      crcNew = vt::CrcUpdate(crcNew, bytes + size_t(Scattered(i)) * kBlock, kBlock);
    munmap(data, size);
    fclose(f);
  }
  Bytes script;
  vt::StartScript(&script, 1);
  vt::PutEntryHeader(&script, crcOld, crcNew, "\\big.bin");
  for (uint32_t i = 0; i < kBigBlocks; ++i) vt::PutCopy(&script, kBlock, Scattered(i) * kBlock);
  vt::PutEnd(&script);
  Save(dir + "/Patch.dat", script);
  Compare("one 1 GiB file, 64 KiB copies", dir, 1024, 5, "MiB", 1024);
}

// One 16 MiB file with every 64th byte changed: 262,144 inserts of one byte, each followed by
// a copy of the 63 old bytes after it, the many short operations of a real delta. As long as
// before, the file is checked before its copies (it could be the new one already); `grown` by
// 4 KiB at the end, the check goes along with the copies, which read the file once.
void ShortOperations(const std::string& dir, bool grown) {
  fs::create_directories(dir + "/pristine");
  Bytes old(16 << 20);
  Fill(old.data(), old.size(), 11);
  Bytes updated = old;
  for (size_t i = 0; i < updated.size(); i += 64) updated[i] ^= 0x5A;
  if (grown) updated.resize(updated.size() + 4096, 'g');
  Save(dir + "/pristine/mid.bin", old);
  Bytes script;
  vt::StartScript(&script, 1);
  vt::PutEntryHeader(&script, vt::CrcBytes(old.data(), old.size()),
                     vt::CrcBytes(updated.data(), updated.size()), "\\mid.bin");
  for (uint32_t i = 0; i < old.size(); i += 64) {
    vt::PutInsert(&script, &updated[i], 1);
    vt::PutCopy(&script, 63, i + 1);
  }
  if (grown) vt::PutInsert(&script, &updated[old.size()], 4096);
  vt::PutEnd(&script);
  Save(dir + "/Patch.dat", script);
  Compare(grown ? "the same, grown by 4 KiB" : "16 MiB file, 63-byte copies", dir, 16, 5, "MiB",
          16);
}

}  // namespace

int main(int argc, char** argv) {
  vt::BuildCrcTable();
  // "--run SCRIPT DEST": one run alone, for counting its system calls from outside.
  if (argc == 4 && strcmp(argv[1], "--run") == 0) {
    RunOnce(argv[2], argv[3]);
    return 0;
  }
  const std::string root = MakeBenchDir(argc > 1 ? argv[1] : nullptr, "vt_runbench");
  if (root.empty()) return 1;
  // A second argument picks the small files ("small") or the large ones ("big").
  const char* only = argc > 2 ? argv[2] : "";
  printf("whole runs (log, backups, BackupDir removed) against cp -r of the same files\n");
  if (strcmp(only, "big") != 0) SmallFiles(root + "/small", 1);
  if (strcmp(only, "big") != 0) SmallFiles(root + "/folders", 1000);
  if (strcmp(only, "small") != 0) OneBigFile(root + "/big");
  if (strcmp(only, "small") != 0) ShortOperations(root + "/short", false);
  if (strcmp(only, "small") != 0) ShortOperations(root + "/grown", true);
  fs::remove_all(root);
  return 0;
}
