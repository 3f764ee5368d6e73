// `vantrel diff` of two builds side by side: peak resident memory against the largest old file,
// and the time on two threads against one, on many mid-size files and on one big file, with add
// operations and in the original format. The files are programs in miniature: code whose
// addresses moved by a constant, a stretch inserted, a few bytes changed; what adds are for.
// Usage: builder_perftest BASE_VANTREL NEW_VANTREL [FILES] [KIB] [BIG_MIB] [DIR]
//   (defaults 800 files of 600 KiB, one of 400 MiB; BIG_MIB 0 skips the big file)
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/bench_dir.h"

namespace {

namespace fs = std::filesystem;
typedef std::vector<uint8_t> Bytes;

uint32_t Next(uint32_t* x) {
  *x ^= *x << 13, *x ^= *x >> 17, *x ^= *x << 5;
  return *x;
}

// An old and a new version of a code-like file of `size` bytes: instructions of 8 bytes, half of
// them carrying a 4-byte address; in the new version every address past a point moved by 64,
// a stretch was inserted there and a few bytes changed.
void MakePair(size_t size, uint32_t seed, Bytes* oldBytes, Bytes* newBytes) {
  uint32_t x = seed * 2654435761u | 1;
  oldBytes->assign(size, 0);
  uint8_t opcodes[16];
  for (uint8_t& op : opcodes) op = uint8_t(Next(&x));
  for (size_t at = 0; at + 8 <= size; at += 8) {
    const uint32_t r = Next(&x);
    uint8_t* p = oldBytes->data() + at;
    p[0] = opcodes[r & 15];
    p[1] = uint8_t(r >> 4 & 7);
    p[2] = uint8_t(r >> 8);
    p[3] = 0;
    const uint32_t value = (r >> 12 & 1) ? 0x401000u + (Next(&x) % uint32_t(size)) : r >> 16;
    for (int k = 0; k < 4; ++k) p[4 + k] = uint8_t(value >> (8 * k));
  }
  const size_t moved = size / 3 / 8 * 8;
  *newBytes = *oldBytes;
  for (size_t at = 0; at + 8 <= size; at += 8) {
    uint8_t* p = newBytes->data() + at;
    uint32_t value = p[4] | p[5] << 8 | p[6] << 16 | uint32_t(p[7]) << 24;
    if (value >= 0x401000u + moved && value < 0x401000u + size) value += 64;
    for (int k = 0; k < 4; ++k) p[4 + k] = uint8_t(value >> (8 * k));
  }
  Bytes inserted(64);
  for (uint8_t& b : inserted) b = uint8_t(Next(&x));
  newBytes->insert(newBytes->begin() + moved, inserted.begin(), inserted.end());
  for (int k = 0; k < 8; ++k) (*newBytes)[Next(&x) % newBytes->size()] ^= 0x5a;
}

void Save(const fs::path& path, const Bytes& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  if (!out.flush()) {
    fprintf(stderr, "cannot write %s\n", path.c_str());
    exit(1);
  }
}

// Whether two files hold the same bytes, read in steps: a child's peak memory counts what this
// process holds when it forks.
bool SameFile(const fs::path& a, const fs::path& b) {
  std::ifstream x(a, std::ios::binary), y(b, std::ios::binary);
  std::vector<char> p(1 << 16), q(1 << 16);
  while (x && y) {
    x.read(p.data(), std::streamsize(p.size()));
    y.read(q.data(), std::streamsize(q.size()));
    if (x.gcount() != y.gcount() || !std::equal(p.begin(), p.begin() + x.gcount(), q.begin()))
      return false;
  }
  return !x && !y;
}

// Writes OLD and NEW under `dir`: `files` pairs of `size` bytes in folders of 50.
void MakeTree(const fs::path& dir, size_t files, size_t size) {
  for (size_t k = 0; k < files; ++k) {
    Bytes a, b;
    MakePair(size, uint32_t(k + 1), &a, &b);
    const std::string name = "d" + std::to_string(k / 50) + "/f" + std::to_string(k) + ".dll";
    Save(dir / "old" / name, a);
    Save(dir / "new" / name, b);
  }
}

struct Run {
  double secs = 0;     // wall
  double cpuSecs = 0;  // user and system, all threads
  uint64_t peakKib = 0;
};

// Runs `args`, output discarded; exits when it fails.
Run Measure(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  fflush(stdout);
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    if (!freopen("/dev/null", "w", stdout)) _exit(127);
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  struct rusage usage = {};
  if (pid < 0 || wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) ||
      WEXITSTATUS(status) != 0) {
    fprintf(stderr, "failed: %s ...\n", args[0].c_str());
    exit(1);
  }
  Run run;
  run.secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  run.peakKib = uint64_t(usage.ru_maxrss);
  run.cpuSecs = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  return run;
}

// One tree, one mode: both builds on 1 and 2 threads; the scripts must all be equal.
void Compare(const std::string& base, const std::string& next, const fs::path& dir,
             const char* what, bool original, uint64_t largestOld) {
  Run runs[2][2];
  const fs::path first = dir / "Patch.first";
  for (int build = 0; build < 2; ++build)
    for (int threads = 1; threads <= 2; ++threads) {
      const fs::path out = dir / "Patch.dat";
      std::vector<std::string> args = {build ? next : base, "diff", (dir / "old").string(),
                                       (dir / "new").string(), "-o", out.string(), "-j",
                                       std::to_string(threads)};
      if (original) args.push_back("--original-format");
      runs[build][threads - 1] = Measure(args);
      if (build == 0 && threads == 1) {
        fs::rename(out, first);
      } else if (!SameFile(out, first)) {
        fprintf(stderr, "%s: the scripts differ (%s, %d threads)\n", what,
                build ? "new" : "base", threads);
        exit(1);
      }
    }
  // What the builder may take: 1.2 times the largest old file, or 64 MiB.
  const double mib = 1024.0 * 1024.0;
  const double limit = std::max(1.2 * double(largestOld), 64 * mib) / 1024.0;
  const double oldKib = double(largestOld) / 1024.0;
  for (int threads = 1; threads <= 2; ++threads)
    printf("%-24s %-8s %d thread%s peak MiB base %7.1f new %7.1f (%.2f); times the largest old "
           "file base %.2f new %.2f; of the limit base %.2f new %.2f\n",
           what, original ? "original" : "adds", threads, threads > 1 ? "s" : " ",
           runs[0][threads - 1].peakKib / 1024.0, runs[1][threads - 1].peakKib / 1024.0,
           double(runs[1][threads - 1].peakKib) / double(runs[0][threads - 1].peakKib),
           runs[0][threads - 1].peakKib / oldKib, runs[1][threads - 1].peakKib / oldKib,
           runs[0][threads - 1].peakKib / limit, runs[1][threads - 1].peakKib / limit);
  printf("%-24s %-8s 1 thread s base %6.2f new %6.2f (%.2f); 2 threads speed-up base %.2f "
         "new %.2f; script %.1f MiB\n",
         what, original ? "original" : "adds", runs[0][0].secs, runs[1][0].secs,
         runs[1][0].secs / runs[0][0].secs, runs[0][0].secs / runs[0][1].secs,
         runs[1][0].secs / runs[1][1].secs, fs::file_size(first) / mib);
  // On a machine shared with other work the wall times say little; the processor time that a
  // second thread adds (contention, work done twice) shows anyway.
  printf("%-24s %-8s cpu s 1 thread base %6.2f new %6.2f; 2 threads over 1 base %.2f new %.2f\n",
         what, original ? "original" : "adds", runs[0][0].cpuSecs, runs[1][0].cpuSecs,
         runs[0][1].cpuSecs / runs[0][0].cpuSecs, runs[1][1].cpuSecs / runs[1][0].cpuSecs);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: builder_perftest BASE_VANTREL NEW_VANTREL [FILES] [KIB] [BIG_MIB] "
                    "[DIR]\n");
    return 2;
  }
  const std::string base = fs::absolute(argv[1]).string(), next = fs::absolute(argv[2]).string();
  const size_t files = argc > 3 ? strtoul(argv[3], nullptr, 10) : 800;
  const size_t kib = argc > 4 ? strtoul(argv[4], nullptr, 10) : 600;
  const size_t bigMib = argc > 5 ? strtoul(argv[5], nullptr, 10) : 400;
  const std::string root = MakeBenchDir(argc > 6 ? argv[6] : nullptr, "builder_perftest");
  if (root.empty() || files == 0 || kib == 0) {
    fprintf(stderr, "no scratch folder, or no files asked for\n");
    return 1;
  }
  printf("ratios: new against base; speed-up: 1-thread time over 2-thread time\n");
  const std::string treeName =
      std::to_string(files) + " files of " + std::to_string(kib) + " KiB";
  MakeTree(fs::path(root) / "tree", files, kib << 10);
  for (bool original : {false, true})
    Compare(base, next, fs::path(root) / "tree", treeName.c_str(), original, kib << 10);
  fs::remove_all(fs::path(root) / "tree");
  if (bigMib) {
    const std::string bigName = "1 file of " + std::to_string(bigMib) + " MiB";
    MakeTree(fs::path(root) / "big", 1, bigMib << 20);
    for (bool original : {false, true})
      Compare(base, next, fs::path(root) / "big", bigName.c_str(), original, bigMib << 20);
  }
  fs::remove_all(root);
  return 0;
}
