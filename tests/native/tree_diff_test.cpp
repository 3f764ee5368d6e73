// Patch scripts made from two folders: entry order and kinds, refusals, verification with the
// engine, and the diff, verify and build commands as users run them.
#include "builder/tree_diff.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "builder/file_map.h"
#include "builder/installer_pack.h"
#include "builder/patch_verify.h"
#include "builder/payload_check.h"
#include "builder/payload_writer.h"
#include "format/file_format.h"
#include "tests/common/script_builder.h"
#include "tests/common/test_files.h"
#include "tests/native/tool_path.h"

namespace vt {
namespace {

namespace fs = std::filesystem;
typedef std::vector<uint8_t> Bytes;

Bytes B(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes Random(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (uint8_t& x : b) x = uint8_t(rng());
  return b;
}

class TreeDiffTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dir_ / "old");
    fs::create_directories(dir_ / "new");
  }
  void Write(const std::string& name, const Bytes& data) { vtt::PutFile(dir_ / name, data); }
  std::string Dir(const char* name) { return (dir_ / name).string(); }
  // The script of old/ into new/ with the add settings and `layout` on 1 and on 2 threads, each
  // checked through the engine against both folders, both the same; the 1-thread diff.
  TreeDiff DiffOnOneAndTwoThreads(BodyLayout layout) {
    TreeDiff first;
    for (unsigned threads : {1u, 2u}) {
      TreeDiff diff;
      std::string error;
      EXPECT_TRUE(DiffTrees(Dir("old"), Dir("new"), &diff, &error, nullptr, nullptr, kAddTunings,
                            threads, nullptr, layout))
          << error;
      EXPECT_EQ(diff.scriptSize, diff.script.size());
      VerifyReport report;
      EXPECT_TRUE(VerifyScript(diff.script, Dir("old"), Dir("new"), &report, &error)) << error;
      EXPECT_TRUE(report.problems.empty()) << report.problems[0];
      if (threads == 1) first = diff;
      EXPECT_TRUE(diff.script == first.script) << threads << " threads";
    }
    return first;
  }

  // A product tree in both versions with every kind of change.
  void MakeVersions() {
    const Bytes program = Random(60000, 1);
    Write("old/app.exe", program);
    Bytes patched = program;
    patched.insert(patched.begin() + 30000, 100, 'x');
    Write("new/app.exe", patched);
    Write("old/same.txt", B("unchanged"));
    Write("new/same.txt", B("unchanged"));
    Write("old/gone.txt", B("removed in new"));
    Write("old/lib/a.dll", Random(5000, 2));
    Write("new/lib/a.dll", Random(5000, 3));  // replaced entirely
    Write("old/lib/empty.dat", B("becomes empty"));
    Write("new/lib/empty.dat", {});
    Write("new/lib/deep/er/new.bin", Random(300, 4));
    Write("new/zero.txt", {});
    Write("old/was_empty", {});
    Write("new/was_empty", B("filled"));
  }

  vtt::ScratchFolder scratch_;
  fs::path dir_ = scratch_.path();
};

TEST_F(TreeDiffTest, EntriesInStableOrderWithTheirKinds) {
  MakeVersions();
  TreeDiff diff;
  std::string error;
  ASSERT_TRUE(DiffTrees(Dir("old"), Dir("new"), &diff, &error)) << error;
  std::vector<std::string> paths;
  for (const DiffEntry& e : diff.entries) paths.push_back(e.path + (e.update ? " u" : " n"));
  EXPECT_EQ(paths, (std::vector<std::string>{"\\app.exe u", "\\was_empty u", "\\zero.txt n",
                                             "\\lib\\a.dll u", "\\lib\\empty.dat u",
                                             "\\lib\\deep\\er\\new.bin n"}));
  EXPECT_EQ(diff.onlyInOld, std::vector<std::string>{"\\gone.txt"});
  EXPECT_EQ(diff.unchanged, 1u);
  EXPECT_EQ(ReadLe32(diff.script.data()), 6u);
  // The same folders give the same bytes.
  TreeDiff again;
  ASSERT_TRUE(DiffTrees(Dir("old"), Dir("new"), &again, &error));
  EXPECT_EQ(again.script, diff.script);
  // The inserted stretch costs about its own size, not the file's.
  EXPECT_LT(diff.entries[0].stored, 200u);
}

// Progress reports as DiffTrees makes them.
void Record(void* context, uint64_t done, uint64_t total) {
  static_cast<std::vector<std::pair<uint64_t, uint64_t>>*>(context)->emplace_back(done, total);
}

TEST_F(TreeDiffTest, SameScriptOnAnyNumberOfThreadsWithTruthfulProgress) {
  MakeVersions();
  // Files of very different sizes, so that threads finish them out of order.
  for (uint32_t i = 0; i < 24; ++i) {
    const Bytes old = Random(1000 + (i % 5) * 40000, 10 + i);
    Bytes now = old;
    now[now.size() / 2] ^= 1;
    now.insert(now.begin() + now.size() / 3, 50, uint8_t(i));
    Write("old/many/f" + std::to_string(i), old);
    Write("new/many/f" + std::to_string(i), now);
  }
  TreeDiff one;
  std::string error;
  ASSERT_TRUE(DiffTrees(Dir("old"), Dir("new"), &one, &error, nullptr, nullptr, {}, 1)) << error;
  for (unsigned threads : {2u, 3u, 8u}) {
    TreeDiff many;
    std::vector<std::pair<uint64_t, uint64_t>> reports;
    ASSERT_TRUE(
        DiffTrees(Dir("old"), Dir("new"), &many, &error, Record, &reports, {}, threads));
    EXPECT_EQ(many.script, one.script) << threads << " threads";
    ASSERT_FALSE(reports.empty());
    for (size_t r = 1; r < reports.size(); ++r)
      EXPECT_GT(reports[r].first, reports[r - 1].first) << "progress went back or stood";
    EXPECT_EQ(reports.back().first, reports.back().second) << "progress did not reach the end";
  }
}

TEST_F(TreeDiffTest, VerifyPassesAndSeesWhatOtherUsersWouldGet) {
  MakeVersions();
  TreeDiff diff;
  std::string error;
  ASSERT_TRUE(DiffTrees(Dir("old"), Dir("new"), &diff, &error)) << error;
  VerifyReport report;
  ASSERT_TRUE(VerifyScript(diff.script, Dir("old"), Dir("new"), &report, &error)) << error;
  EXPECT_TRUE(report.problems.empty()) << report.problems[0];
  EXPECT_EQ(report.updateEntries, 4u);
  EXPECT_EQ(report.updated, 4u);
  EXPECT_EQ(report.installed, 2u);
  EXPECT_EQ(report.alreadyUpdated, 4u);
  EXPECT_EQ(report.overwritten, 2u);
  EXPECT_EQ(report.originalCrcError, 4u);
}

TEST_F(TreeDiffTest, RandomTreesRoundTripThroughTheEngine) {
  for (uint32_t seed = 100; seed < 106; ++seed) {
    SCOPED_TRACE(seed);
    fs::remove_all(dir_ / "old");
    fs::remove_all(dir_ / "new");
    fs::create_directories(dir_ / "old");
    fs::create_directories(dir_ / "new");
    std::mt19937 rng(seed);
    for (int f = 0; f < 12; ++f) {
      const std::string name = (rng() % 2 ? "d" + std::to_string(rng() % 3) + "/" : "") + "f" +
                               std::to_string(f) + ".bin";
      const Bytes old = Random(rng() % 30000, rng());
      Bytes now = old;
      switch (rng() % 6) {
        case 0: now.insert(now.begin() + (old.empty() ? 0 : rng() % old.size()), 50, 'i'); break;
        case 1: if (old.size() > 100) now.erase(now.begin() + 10, now.begin() + 90); break;
        case 2: now.insert(now.end(), old.begin(), old.end()); break;  // repeated
        case 3: now = Random(rng() % 1000, rng()); break;                 // replaced
        case 4: now.clear(); break;                                       // emptied
        default: break;                                                   // unchanged
      }
      if (rng() % 8) Write("old/" + name, old);  // otherwise new in NEW
      if (rng() % 8) Write("new/" + name, now);  // otherwise only in OLD
    }
    TreeDiff diff;
    std::string error;
    ASSERT_TRUE(DiffTrees(Dir("old"), Dir("new"), &diff, &error)) << error;
    VerifyReport report;
    ASSERT_TRUE(VerifyScript(diff.script, Dir("old"), Dir("new"), &report, &error)) << error;
    EXPECT_TRUE(report.problems.empty()) << report.problems[0];
    EXPECT_EQ(report.updated + report.installed, diff.entries.size());
  }
}

TEST_F(TreeDiffTest, VerifyFindsAScriptThatDoesNotMakeNew) {
  MakeVersions();
  TreeDiff diff;
  std::string error;
  ASSERT_TRUE(DiffTrees(Dir("old"), Dir("new"), &diff, &error)) << error;
  // Against the wrong NEW the entries work but the result differs.
  Write("new/same.txt", B("changed after the diff"));
  VerifyReport wrongNew;
  ASSERT_TRUE(VerifyScript(diff.script, Dir("old"), Dir("new"), &wrongNew, &error));
  ASSERT_EQ(wrongNew.problems.size(), 1u);
  EXPECT_NE(wrongNew.problems[0].find("same.txt"), std::string::npos);
  // A damaged script: bytes after the last entry, then a cut one.
  Bytes longer = diff.script;
  longer.push_back(0);
  VerifyReport trailing;
  ASSERT_TRUE(VerifyScript(longer, Dir("old"), Dir("new"), &trailing, &error));
  EXPECT_FALSE(trailing.problems.empty());
  Bytes cut(diff.script.begin(), diff.script.end() - 3);
  VerifyReport damaged;
  ASSERT_TRUE(VerifyScript(cut, Dir("old"), Dir("new"), &damaged, &error));
  EXPECT_FALSE(damaged.problems.empty());
}

TEST_F(TreeDiffTest, AChangeThatKeepsTheCrcIsCarriedWhole) {
  // XOR-ing the generator polynomial into equal-length content leaves its CRC-32 unchanged, so
  // an update entry would report AlreadyUpdated on every old copy.
  const Bytes old = Random(1000, 5);
  Bytes twin = old;
  const uint8_t generator[5] = {0x01, 0x04, 0xC1, 0x1D, 0xB7};
  for (int i = 0; i < 5; ++i) twin[100 + i] ^= generator[i];
  Write("old/twin.bin", old);
  Write("new/twin.bin", twin);
  TreeDiff diff;
  std::string error;
  ASSERT_TRUE(DiffTrees(Dir("old"), Dir("new"), &diff, &error)) << error;
  EXPECT_EQ(diff.crcTwins, std::vector<std::string>{"\\twin.bin"});
  ASSERT_EQ(diff.entries.size(), 1u);
  EXPECT_FALSE(diff.entries[0].update);
  VerifyReport report;
  ASSERT_TRUE(VerifyScript(diff.script, Dir("old"), Dir("new"), &report, &error)) << error;
  EXPECT_TRUE(report.problems.empty()) << report.problems[0];
  EXPECT_EQ(report.installed, 1u);  // as Overwritten: the old file existed
}

// Lines of source text with some replaced and some added: the new lines are no old bytes plus a
// difference, and adds must not make such a file's operations dearer once compressed.
// Small files are read and large ones mapped: either way the whole file's bytes, which a
// release of its pages leaves readable.
TEST_F(TreeDiffTest, FileMapHoldsTheWholeFileReadOrMapped) {
  for (size_t size : {size_t(0), size_t(1), size_t(70000), size_t(9) << 20}) {
    const Bytes data = Random(size, uint32_t(size));
    Write("f.bin", data);
    FileMap file;
    std::string error;
    ASSERT_TRUE(file.Open(Dir("f.bin"), &error)) << error;
    ASSERT_EQ(file.size(), size);
    EXPECT_TRUE(size == 0 || memcmp(file.data(), data.data(), size) == 0) << size;
    file.Release(0, size);
    EXPECT_TRUE(size == 0 || memcmp(file.data(), data.data(), size) == 0) << size;
  }
  FileMap missing;
  std::string error;
  EXPECT_FALSE(missing.Open(Dir("none.bin"), &error));
  EXPECT_NE(error.find("cannot read"), std::string::npos) << error;
}

// A job's plan keeps it within the jobs' budget, counts the index and logs the encoder will
// build, samples the index alike on any number of threads, keeps the defaults where they fit,
// and keeps the jobs of small files within their share: half the budget, or two side by side.
TEST(JobPlanTest, KeepsEachJobWithinTheBudget) {
  const uint64_t kMiB = uint64_t(1) << 20;
  struct Case {
    uint64_t oldSize, newSize;
    bool hasOld, defaults;
  } kCases[] = {
      {300 * 1024, 300 * 1024, true, true},  {kMiB, kMiB, true, false},
      {3854336, 3833856, true, false},       {4198400, 4182016, true, false},
      {8945320, 9007080, true, false},       {18393664, 18397984, true, false},
      {60 * kMiB, 61 * kMiB, true, false},   {400 * kMiB, 401 * kMiB, true, true},
      {0, 300 * kMiB, false, true},          {7 * kMiB, 12 * kMiB, true, false},
      {40 * kMiB, 3 * kMiB, true, false},
  };
  for (const Case& c : kCases)
    for (const std::vector<DeltaTuning>* tunings : {&kAddTunings, &kDefaultTunings})
      for (unsigned threads : {1u, 2u}) {
        const uint64_t budget = DiffJobsBudget(c.oldSize);
        const JobPlan plan = PlanJob(c.oldSize, c.newSize, c.hasOld, *tunings, threads, budget);
        const std::string what = std::to_string(c.oldSize) + " " + std::to_string(c.newSize) +
                                 " on " + std::to_string(threads);
        EXPECT_LE(plan.peak, budget) << what;
        // The index shapes the operations: the script must not depend on the threads.
        EXPECT_EQ(plan.memory.indexBudget,
                  PlanJob(c.oldSize, c.newSize, c.hasOld, *tunings, 1, budget).memory.indexBudget)
            << what;
        EXPECT_LE(plan.kept, plan.peak) << what;
        if (!c.hasOld) continue;
        EXPECT_GE(plan.peak, DeltaIndexBytes(size_t(c.oldSize), plan.memory.indexBudget) +
                                 SearchLogBytes(size_t(c.newSize), *tunings,
                                                plan.memory.logBudget))
            << what;
        if (threads > 1) continue;
        const bool defaults = plan.memory.indexBudget == 0 && plan.allowance >= 16 * kMiB &&
                              plan.memory.logBudget == kMaxSearchLog;
        EXPECT_EQ(defaults, c.defaults) << what;
        // Small files fit their share on one thread and on two (see JobShare).
        if (c.oldSize <= kMiB) {
          EXPECT_LE(plan.peak, JobShare(budget, 1)) << what;
          EXPECT_LE(2 * PlanJob(c.oldSize, c.newSize, true, *tunings, 2, budget).peak, budget)
              << what;
        }
      }
}

// Code-like text edited here and there, where adds help, and unlike bytes with a few short
// stretches of the old file, where the add settings match too little to try their siblings
// but copies and inserts alone still compress smaller.
Bytes EditedLines(std::mt19937& rng, Bytes* old) {
  static const char* const kWords[] = {"import", "def", "return", "self", "value", "(", ")", ":",
                                       "    ", "if", "else", "for", "in", "None", "=", "\n"};
  const auto line = [&] {
    std::string s;
    for (int w = 0; w < 6; ++w) s += std::string(kWords[rng() % 16]) + " ";
    return s + "\n";
  };
  std::string before, after;
  for (int i = 0; i < 600; ++i) {
    const std::string l = line();
    before += l;
    const unsigned change = rng() % 40;
    after += change == 0 ? line() : l;
    if (change == 1) after += line();
  }
  *old = B(before);
  return B(after);
}

Bytes FewShortStretches(std::mt19937& rng, Bytes* old) {
  uint8_t oldAlphabet[32], newAlphabet[32];
  for (uint8_t& a : oldAlphabet) a = uint8_t(rng());
  for (uint8_t& a : newAlphabet) a = uint8_t(rng());
  old->resize(20000 + rng() % 60000);
  for (uint8_t& b : *old) b = rng() % 4 ? oldAlphabet[rng() % 32] : uint8_t(rng());
  Bytes now;
  while (now.size() < old->size()) {
    if (rng() % 1000 < 7) {
      const size_t length = 8 + rng() % 16, from = rng() % (old->size() - length);
      now.insert(now.end(), old->begin() + from, old->begin() + from + length);
    } else {
      now.push_back(rng() % 4 ? newAlphabet[rng() % 32] : uint8_t(rng()));
    }
  }
  return now;
}

TEST_F(TreeDiffTest, AddsNeverCompressLargerThanCopiesAndInserts) {
  const auto stored = [](const Bytes& script) {
    Bytes stream;
    std::string error;
    EXPECT_TRUE(CompressBlock(script, 9, &stream, &error)) << error;
    return stream.size();
  };
  struct Case {
    Bytes (*make)(std::mt19937& rng, Bytes* old);
    uint32_t seed;
  };
  for (const Case& c : {Case{EditedLines, 5}, Case{EditedLines, 24}, Case{EditedLines, 27},
                        Case{FewShortStretches, 1}, Case{FewShortStretches, 2}}) {
    std::mt19937 rng(c.seed);
    Bytes before;
    const Bytes after = c.make(rng, &before);
    Write("old/module", before);
    Write("new/module", after);
    TreeDiff adds, original;
    std::string error;
    ASSERT_TRUE(DiffTrees(Dir("old"), Dir("new"), &adds, &error, nullptr, nullptr, kAddTunings))
        << error;
    ASSERT_TRUE(DiffTrees(Dir("old"), Dir("new"), &original, &error, nullptr, nullptr,
                          kDefaultTunings))
        << error;
    EXPECT_LE(stored(adds.script), stored(original.script)) << "seed " << c.seed;
  }
}

// Records the progress reported before the first entry reached it.
struct RecordingSink : ByteSink {
  uint64_t reported = 0;
  uint64_t reportedAtFirstEntry = UINT64_MAX;
  Bytes bytes;
  bool Append(const uint8_t* data, size_t size, std::string*) override {
    if (bytes.size() >= 4 && reportedAtFirstEntry == UINT64_MAX)
      reportedAtFirstEntry = reported;
    bytes.insert(bytes.end(), data, data + size);
    return true;
  }
  bool OverwriteStart(const uint8_t* data, size_t size, std::string*) override {
    std::copy(data, data + size, bytes.begin());
    return true;
  }
};
void RecordDone(void* context, uint64_t done, uint64_t) {
  static_cast<RecordingSink*>(context)->reported = done;
}

// The script is not held until the end: new files of 12 MiB are planned at 16 MiB each (a step
// read and a step's copy), so only three run or wait side by side within the 52 MiB of the
// jobs' budget, and the first entry must be written before the last files can be done.
TEST_F(TreeDiffTest, EntriesGoToTheSinkWhileFilesAreStillBeingDone) {
  const size_t size = size_t(12) << 20;
  for (uint32_t i = 0; i < 5; ++i) Write("new/f" + std::to_string(i), Random(size, 120 + i));
  TreeDiff whole;
  std::string error;
  ASSERT_TRUE(DiffTrees(Dir("old"), Dir("new"), &whole, &error)) << error;
  for (unsigned threads : {1u, 2u}) {
    RecordingSink sink;
    TreeDiff diff;
    ASSERT_TRUE(DiffTrees(Dir("old"), Dir("new"), &diff, &error, RecordDone, &sink, {}, threads,
                          &sink))
        << error;
    EXPECT_TRUE(diff.script.empty());
    EXPECT_EQ(diff.scriptSize, sink.bytes.size());
    EXPECT_TRUE(sink.bytes == whole.script) << threads << " threads";
    EXPECT_LT(sink.reportedAtFirstEntry, 4 * size) << threads << " threads";
  }
}

// A large file's operations are kept compressed until written, each MiB of them in a temporary
// file, and come out as chosen whole (with the index its plan gives it) on 1 and 2 threads: a
// few edits, and a file changed throughout, whose inserts compress to 8.5 MiB (some of them left
// in memory).
TEST_F(TreeDiffTest, LargeFilesWriteTheOperationsChosenWhole) {
  const Bytes old = Random(9 << 20, 140);
  Bytes edited = old;
  for (size_t at : {size_t(1000), size_t(4) << 20, size_t(8) << 20}) edited[at] ^= 0x55;
  edited.insert(edited.begin() + (2 << 20), 300, 'x');
  for (const Bytes& now : {edited, Random(17 << 19, 141)}) {
    Write("old/big.bin", old);
    Write("new/big.bin", now);
    Bytes ops;
    const JobPlan plan =
        PlanJob(old.size(), now.size(), true, kAddTunings, 1, DiffJobsBudget(old.size()));
    ASSERT_TRUE(EncodeDeltaChoosing(old.data(), old.size(), now.data(), now.size(), kAddTunings,
                                    [](const Bytes& o, void*) { return CompressedSize(o); },
                                    nullptr, &ops, nullptr, plan.memory));
    for (unsigned threads : {1u, 2u}) {
      TreeDiff diff;
      std::string error;
      ASSERT_TRUE(DiffTrees(Dir("old"), Dir("new"), &diff, &error, nullptr, nullptr, kAddTunings,
                            threads))
          << error;
      ASSERT_GT(diff.script.size(), ops.size());
      EXPECT_EQ(diff.scriptSize, diff.script.size());
      EXPECT_TRUE(Bytes(diff.script.end() - ops.size(), diff.script.end()) == ops) << threads;
      VerifyReport report;
      ASSERT_TRUE(VerifyScript(diff.script, Dir("old"), Dir("new"), &report, &error)) << error;
    }
  }
}

// A split script, byte for byte: each update body's operations in place, their add bytes and
// literals in the two streams after the last entry in entry order, a new file's data inline.
TEST_F(TreeDiffTest, SplitBodiesKeepAddBytesAndLiteralsApart) {
  BuildCrcTable();
  const Bytes old = Random(3000, 9);
  Bytes now(old.begin(), old.begin() + 2000);
  for (size_t i = 1000; i < 1400; ++i) ++now[i];
  const std::string tail = "tail-literal", other = "completely other text";
  now.insert(now.end(), tail.begin(), tail.end());
  Write("old/a.bin", old);
  Write("new/a.bin", now);
  Write("old/b.txt", B(std::string(50, 'x')));
  Write("new/b.txt", B(other));
  Write("new/c.txt", B("new file"));
  TreeDiff diff;
  std::string error;
  ASSERT_TRUE(DiffTrees(Dir("old"), Dir("new"), &diff, &error, nullptr, nullptr, kAddTunings, 1,
                        nullptr, BodyLayout::kSplit))
      << error;

  Bytes addBytes(2000, 0);
  std::fill(addBytes.begin() + 1000, addBytes.begin() + 1400, 1);
  Bytes expected;
  StartScript(&expected, 3);
  PutEntryHeader(&expected, CrcBytes(old.data(), old.size()), CrcBytes(now.data(), now.size()),
                 "\\a.bin");
  PutSplitBodyStart(&expected);
  PutAddHead(&expected, 2000, 0);
  PutInsertHead(&expected, uint32_t(tail.size()));
  PutEnd(&expected);
  PutEntryHeader(&expected, vtt::Crc(std::string(50, 'x')), vtt::Crc(other), "\\b.txt");
  PutSplitBodyStart(&expected);
  PutInsertHead(&expected, uint32_t(other.size()));
  PutEnd(&expected);
  PutEntryHeader(&expected, 0, vtt::Crc("new file"), "\\c.txt");
  PutNewFileBody(&expected, B("new file").data(), 8);
  expected.insert(expected.end(), addBytes.begin(), addBytes.end());
  expected.insert(expected.end(), tail.begin(), tail.end());
  expected.insert(expected.end(), other.begin(), other.end());
  PutSplitTrailer(&expected, 2000, uint32_t(tail.size() + other.size()));
  EXPECT_TRUE(diff.script == expected);
  EXPECT_EQ(diff.scriptSize, expected.size());
  // Block 2's bzip2 blocks end where each stream starts.
  const size_t literals = expected.size() - 8 - tail.size() - other.size();
  EXPECT_EQ(PatchBlockEnds(diff.script), (std::vector<size_t>{literals - 2000, literals}));
}

// Split scripts bring OLD to NEW through the engine, the same on 1 and 2 threads: a tree with
// every kind of change, and a file changed throughout whose literals (8.5 MiB) pass through a
// temporary file.
TEST_F(TreeDiffTest, SplitScriptsBringOldToNew) {
  const struct {
    const char* what;
    bool large;
  } kCases[] = {{"every kind of change", false}, {"literals beyond memory", true}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    if (c.large) {
      Write("old/big.bin", Random(9 << 20, 140));
      Write("new/big.bin", Random(17 << 19, 141));
    } else {
      MakeVersions();
    }
    EXPECT_TRUE(ScriptHasSplitBodies(DiffOnOneAndTwoThreads(BodyLayout::kSplit).script));
  }
}

// A file OLD lacks is built from an old file that no entry changes: one of its bytes as one
// copy, else one of its name that saves enough; never from a changed file, one a NEW path names
// in another case, or for a file below 4096 bytes. Through the engine on 1 and 2 threads, and
// stored whole as before without kSplitFrom.
TEST_F(TreeDiffTest, NewFilesAreBuiltFromUntouchedOldFiles) {
  const Bytes data = Random(8000, 60);
  Bytes edited = data;  // a translation beside the old one: most of its bytes shared
  for (size_t i = 0; i < edited.size(); i += 400) edited[i] ^= 0x55;
  const struct {
    const char* what;
    std::vector<std::pair<const char*, Bytes>> old, now;
    const char* source;  // of the entry of \b\x.bin; null: stored whole
  } kCases[] = {
      {"moved", {{"a/x.bin", data}}, {{"b/x.bin", data}}, "\\a\\x.bin"},
      {"copied to another name", {{"a/y.bin", data}}, {{"a/y.bin", data}, {"b/x.bin", data}},
       "\\a\\y.bin"},
      {"beside its namesake", {{"z/x.bin", Random(20000, 61)}, {"a/x.bin", data}},
       {{"z/x.bin", Random(20000, 61)}, {"b/x.bin", edited}}, "\\a\\x.bin"},
      {"the namesake shares nothing", {{"a/x.bin", Random(8000, 62)}}, {{"b/x.bin", data}},
       nullptr},
      {"the twin changes", {{"a/x.bin", data}}, {{"a/x.bin", edited}, {"b/x.bin", data}},
       nullptr},
      {"a NEW path names the twin in another case", {{"a/x.bin", data}},
       {{"A/x.bin", edited}, {"b/x.bin", data}}, nullptr},
      {"the twin's name is refused on Windows", {{"NUL/x.bin", data}}, {{"b/x.bin", data}},
       nullptr},
      {"below 4096 bytes", {{"a/x.bin", Bytes(data.begin(), data.begin() + 4095)}},
       {{"b/x.bin", Bytes(data.begin(), data.begin() + 4095)}}, nullptr},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(dir_ / "old");
    fs::remove_all(dir_ / "new");
    fs::create_directories(dir_ / "old");
    fs::create_directories(dir_ / "new");
    for (const auto& f : c.old) Write(std::string("old/") + f.first, f.second);
    for (const auto& f : c.now) Write(std::string("new/") + f.first, f.second);
    const TreeDiff diff = DiffOnOneAndTwoThreads(BodyLayout::kSplitFrom);
    const auto entry = std::find_if(diff.entries.begin(), diff.entries.end(),
                                    [](const DiffEntry& e) { return e.path == "\\b\\x.bin"; });
    ASSERT_NE(entry, diff.entries.end());
    EXPECT_EQ(entry->source, c.source ? c.source : "");
    EXPECT_EQ(entry->update, c.source != nullptr);
    EXPECT_EQ(ScriptHasFromBodies(diff.script), c.source != nullptr);
    TreeDiff split;
    std::string error;
    ASSERT_TRUE(DiffTrees(Dir("old"), Dir("new"), &split, &error, nullptr, nullptr, kAddTunings,
                          1, nullptr, BodyLayout::kSplit));
    EXPECT_FALSE(ScriptHasFromBodies(split.script));
  }
  // A moved file, byte for byte: one copy of its source.
  BuildCrcTable();
  Bytes expected;
  StartScript(&expected, 1);
  PutEntryHeader(&expected, CrcBytes(data.data(), data.size()), CrcBytes(data.data(), data.size()),
                 "\\b\\x.bin");
  PutFromBodyStart(&expected, "\\a\\x.bin");
  PutSplitBodyStart(&expected);
  PutCopy(&expected, uint32_t(data.size()), 0);
  PutEnd(&expected);
  PutSplitTrailer(&expected, 0, 0);
  fs::remove_all(dir_ / "new");
  fs::remove_all(dir_ / "old");
  Write("old/a/x.bin", data);
  Write("new/b/x.bin", data);
  TreeDiff diff;
  std::string error;
  ASSERT_TRUE(DiffTrees(Dir("old"), Dir("new"), &diff, &error, nullptr, nullptr, kAddTunings, 1,
                        nullptr, BodyLayout::kSplitFrom));
  EXPECT_TRUE(diff.script == expected);
  EXPECT_EQ(diff.scriptSize, expected.size());
}

// Block 2's bzip2 blocks end around the entries of a large file only, and nowhere in a script
// the engine would not read.
TEST_F(TreeDiffTest, LargeEntriesGetBlocksOfTheirOwn) {
  Write("new/a.txt", B("small"));
  Write("new/big.bin", Random(kOwnBlocksFrom, 5));
  Write("new/c.txt", B("small too"));
  TreeDiff diff;
  std::string error;
  ASSERT_TRUE(DiffTrees(Dir("old"), Dir("new"), &diff, &error)) << error;
  const std::vector<size_t> ends = PatchBlockEnds(diff.script);
  ASSERT_EQ(ends.size(), 2u);
  const std::string path = "\\big.bin";
  // The entry: both CRCs, its path and NUL, the new-file marker and size, then the file.
  EXPECT_EQ(ends[1] - ends[0], 8 + path.size() + 1 + 5 + kOwnBlocksFrom);
  EXPECT_EQ(Bytes(diff.script.begin() + ends[0] + 8, diff.script.begin() + ends[0] + 8 + path.size()),
            B(path));
  EXPECT_LT(ends[1], diff.script.size());
  EXPECT_TRUE(PatchBlockEnds(B("\xff\xff\xff\xff")).empty());
}

// A file whose changes are two short random stretches (a build ID, a debug link): rated with
// their bytes in place, one add over the whole file wins; in a split body, where an add's
// differing bytes sit among the add stream's zeros, copies and inserts do.
TEST_F(TreeDiffTest, SplitBodiesRateDifferingAddBytesDearer) {
  const Bytes old = Random(16000, 30);
  Bytes now = old;
  const Bytes id = Random(80, 31);
  std::copy(id.begin(), id.begin() + 20, now.begin() + 600);
  std::copy(id.begin() + 20, id.end(), now.begin() + 15000);
  Write("old/lib.so", old);
  Write("new/lib.so", now);
  for (const BodyLayout layout : {BodyLayout::kInterleaved, BodyLayout::kSplit}) {
    TreeDiff diff;
    std::string error;
    ASSERT_TRUE(DiffTrees(Dir("old"), Dir("new"), &diff, &error, nullptr, nullptr, kAddTunings,
                          1, nullptr, layout))
        << error;
    EXPECT_EQ(ScriptHasAddOps(diff.script), layout == BodyLayout::kInterleaved);
  }
}

// In a split script's literal stream, compressed data (random bytes here) and the literals of
// other files get bzip2 blocks apart.
TEST_F(TreeDiffTest, CompressedLiteralsGetBlocksApart) {
  std::string text;
  for (int i = 0; text.size() < 6000; ++i) text += "line " + std::to_string(i * 7) + " of text\n";
  Write("old/a.txt", B("short"));
  Write("new/a.txt", B(text));
  Write("old/b.gz", Random(5000, 20));
  Write("new/b.gz", Random(5000, 21));
  TreeDiff diff;
  std::string error;
  ASSERT_TRUE(DiffTrees(Dir("old"), Dir("new"), &diff, &error, nullptr, nullptr, kAddTunings, 1,
                        nullptr, BodyLayout::kSplit))
      << error;
  // No add stream: the literal stream starts after the entries, b.gz's 5000 literals last.
  const size_t literals = diff.script.size() - 8 - text.size() - 5000;
  EXPECT_EQ(PatchBlockEnds(diff.script),
            (std::vector<size_t>{literals, literals + text.size()}));
}

TEST_F(TreeDiffTest, RefusesWhatTheInstallerCannotCarry) {
  struct Case {
    const char* file;
    const char* mention;
  };
  const std::string longName(kMaxEntryPath, 'n');
  const Case cases[] = {
      {"new/CON.txt", "not valid on Windows"},
      {"new/sub/a:b", "not valid on Windows"},
      {"new/trailing.", "not valid on Windows"},
      {"new/caf\xc3\xa9.txt", "not plain ASCII"},
      {"new/d/x", nullptr},  // with "new/D/y" below: one name on Windows
      {nullptr, nullptr},
  };
  std::string error;
  for (const Case& c : cases) {
    if (!c.file) break;
    fs::remove_all(dir_ / "new");
    Write(c.file, B("x"));
    if (!c.mention) Write("new/D/y", B("y"));
    TreeDiff diff;
    EXPECT_FALSE(DiffTrees(Dir("old"), Dir("new"), &diff, &error)) << c.file;
    EXPECT_NE(error.find(c.mention ? c.mention : "one name on Windows"), std::string::npos)
        << error;
  }
  fs::remove_all(dir_ / "new");
  Write("new/" + longName.substr(1), B("fits"));
  TreeDiff fits;
  EXPECT_TRUE(DiffTrees(Dir("old"), Dir("new"), &fits, &error)) << error;
  Write("new/" + longName, B("one too long"));
  TreeDiff tooLong;
  EXPECT_FALSE(DiffTrees(Dir("old"), Dir("new"), &tooLong, &error));
  EXPECT_NE(error.find("characters"), std::string::npos) << error;
  fs::remove_all(dir_ / "new");
  Write("new/target", B("t"));
  fs::create_symlink("target", dir_ / "new" / "link");
  TreeDiff linked;
  EXPECT_FALSE(DiffTrees(Dir("old"), Dir("new"), &linked, &error));
  EXPECT_NE(error.find("link"), std::string::npos) << error;
  TreeDiff missing;
  EXPECT_FALSE(DiffTrees(Dir("old"), Dir("nowhere"), &missing, &error));
}

// ---- the commands ----------------------------------------------------------------------------

struct Outcome {
  int status;
  std::string out;
  std::string err;
};

class Commands : public TreeDiffTest {
 protected:
  static std::string Le32(uint32_t v) {
    return std::string({char(v), char(v >> 8), char(v >> 16), char(v >> 24)});
  }
  // Runs vantrel in the scratch folder; `args` is shell text, `prefix` goes before the tool.
  Outcome Run(const std::string& args, const std::string& prefix = "") {
    const std::string command = "cd '" + dir_.string() + "' && " + prefix + "'" +
                                vtt::ToolPath() + "' " + args + " >stdout.txt 2>stderr.txt";
    const int raw = std::system(command.c_str());
    Outcome outcome{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, Read("stdout.txt"),
                    Read("stderr.txt")};
    return outcome;
  }
  std::string Read(const std::string& name) {
    std::ifstream in(dir_ / name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  void MakePackage() {
    MakeVersions();
    Write("stub.exe", B("MZ" + std::string(2000, 's')));
    for (const char* name : {"Update.ini", "License.txt", "Guide.txt", "Readme.txt"})
      Write(std::string("pkg/setup/") + name, B(name));
    // One 24-bit pixel: the smallest bitmap LoadImage takes.
    std::string bmp = std::string("BM") + Le32(58) + Le32(0) + Le32(54) + Le32(40) + Le32(1) +
                      Le32(1) + std::string("\x01\x00\x18\x00", 4) + Le32(0) + Le32(4) +
                      std::string(16, '\0') + std::string("\xff\x00\x00\x00", 4);
    Write("pkg/setup/Package.bmp", B(bmp));
    Write("pkg/setup/Splash.bmp", B(bmp));
    fs::rename(dir_ / "old", dir_ / "pkg" / "old");
    fs::rename(dir_ / "new", dir_ / "pkg" / "new");
  }
  // The scratch folders that verify left in the private temporary folder `tmp`.
  std::vector<std::string> ScratchLeft() {
    std::vector<std::string> left;
    for (const auto& e : fs::directory_iterator(dir_ / "tmp"))
      left.push_back(e.path().filename().string());
    return left;
  }
};

// The commands that write an output, each with that output named "out.bin".
const char* const kWritingCommands[] = {
    "diff pkg/old pkg/new -o out.bin",
    "pack --stub stub.exe --setup pkg/setup --patch P.dat -o out.bin",
    "build pkg --stub stub.exe -o out.bin",
};

TEST_F(Commands, DiffWritesTheScriptAndWarnsAboutFilesOnlyInOld) {
  MakeVersions();
  const Outcome o = Run("diff old new -o Patch.dat");
  ASSERT_EQ(o.status, 0) << o.err;
  TreeDiff diff;
  std::string error;
  ASSERT_TRUE(DiffTrees(Dir("old"), Dir("new"), &diff, &error, nullptr, nullptr, kAddTunings, 0,
                        nullptr, BodyLayout::kSplitFrom));
  EXPECT_EQ(Read("Patch.dat"), std::string(diff.script.begin(), diff.script.end()));
  EXPECT_NE(o.err.find("warning: only in OLD, stays on users' disks: '\\gone.txt'"),
            std::string::npos);
  EXPECT_NE(o.out.find("6 entries (4 update, 2 new file), 1 unchanged, 1 only in OLD"),
            std::string::npos)
      << o.out;

  // A file named NUL exists only in a POSIX folder; through Windows it is the null device.
  if (vtt::TestingOtherTool()) return;
  Write("new/NUL", B("device"));
  const Outcome refused = Run("diff old new -o Patch.dat");
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("NUL': the name is not valid on Windows"), std::string::npos);
  EXPECT_EQ(std::count(refused.err.begin(), refused.err.end(), '\n'), 1) << refused.err;
  EXPECT_EQ(Read("Patch.dat"), std::string(diff.script.begin(), diff.script.end()));
}

TEST_F(Commands, UsageErrorsExitTwo) {
  for (const char* args : {"diff old new", "diff old -o P.dat", "diff old new x -o P.dat",
                           "diff old new -o P.dat --fast", "verify a b", "build",
                           "build pkg", "build pkg --stub s.exe extra"}) {
    const Outcome o = Run(args);
    EXPECT_EQ(o.status, 2) << args << ": " << o.err;
    EXPECT_NE(o.err.find("see 'vantrel help"), std::string::npos) << args << ": " << o.err;
  }
  for (const char* command : {"diff", "verify", "build"}) {
    const Outcome o = Run(std::string(command) + " --help");
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.out.rfind(std::string("usage: vantrel ") + command, 0), 0u) << o.out;
  }
}

TEST_F(Commands, BuildMakesAVerifiedInstallerAndVerifyChecksIt) {
  MakePackage();
  const Outcome built = Run("build pkg --stub stub.exe -o Setup.exe");
  ASSERT_EQ(built.status, 0) << built.err;
  EXPECT_NE(built.out.find("on OLD: 4 Updated, 2 Installed"), std::string::npos) << built.out;
  EXPECT_NE(built.out.find("4 OriginalCrcError"), std::string::npos) << built.out;
  EXPECT_TRUE(fs::exists(dir_ / "Setup.exe"));
  EXPECT_EQ(Run("verify Setup.exe pkg/old pkg/new").status, 0);
  // Swapped folders: the script does not take NEW to OLD.
  const Outcome swapped = Run("verify Setup.exe pkg/new pkg/old");
  EXPECT_EQ(swapped.status, 1);
  EXPECT_NE(swapped.err.find("verify failed"), std::string::npos);
  // Not an installer.
  const Outcome notInstaller = Run("verify stub.exe pkg/old pkg/new");
  EXPECT_EQ(notInstaller.status, 1);
  EXPECT_EQ(notInstaller.err.rfind("vantrel: 'stub.exe': ", 0), 0u) << notInstaller.err;
  // Default output name, verification skipped.
  const Outcome quick = Run("build pkg --stub stub.exe --no-verify");
  EXPECT_EQ(quick.status, 0) << quick.err;
  EXPECT_TRUE(fs::exists(dir_ / "pkg" / "Setup.exe"));
  EXPECT_EQ(quick.out.find("verified"), std::string::npos);
  // A package folder without new/.
  fs::remove_all(dir_ / "pkg" / "new");
  const Outcome incomplete = Run("build pkg --stub stub.exe");
  EXPECT_EQ(incomplete.status, 1);
  EXPECT_NE(incomplete.err.find("lacks the folder"), std::string::npos);
}

// A script with add operations, split bodies or bodies from another file goes only with a stub
// that runs them; the original format stays there for any stub.
TEST_F(Commands, AddOperationsOnlyGoWithAStubThatRunsThem) {
  MakePackage();
  // Scattered one-byte changes: copies and inserts by the hundred, or one add.
  const Bytes code = Random(60000, 7);
  Bytes patched = code;
  for (size_t i = 0; i < patched.size(); i += 20) ++patched[i];
  Write("pkg/old/code.bin", code);
  Write("pkg/new/code.bin", patched);
  // A file copied into a new folder: built from the old one where the stub runs that.
  const Bytes guide = Random(6000, 8);
  Write("pkg/old/docs/guide.bin", guide);
  Write("pkg/new/docs/guide.bin", guide);
  Write("pkg/new/copy/guide.bin", guide);
  Write("marked.exe", B("MZ" + std::string(100, 's') + VT_ADD_OP_MARKER));
  Write("split.exe", B("MZ" + std::string(100, 's') + VT_SPLIT_MARKER));
  Write("from.exe", B("MZ" + std::string(100, 's') + VT_FROM_MARKER));
  const auto scriptOf = [&](const std::string& name) {
    const std::string text = Read(name);
    return Bytes(text.begin(), text.end());
  };

  const Outcome withAdd = Run("diff pkg/old pkg/new -o A.dat");
  ASSERT_EQ(withAdd.status, 0) << withAdd.err;
  EXPECT_NE(withAdd.out.find(", added "), std::string::npos) << withAdd.out;
  EXPECT_TRUE(ScriptHasAddOps(scriptOf("A.dat")));
  EXPECT_TRUE(ScriptHasSplitBodies(scriptOf("A.dat")));
  EXPECT_TRUE(ScriptHasFromBodies(scriptOf("A.dat")));
  EXPECT_NE(withAdd.out.find(", 1 from another file, "), std::string::npos) << withAdd.out;
  const Outcome noFrom = Run("diff --no-from pkg/old pkg/new -o F.dat");
  ASSERT_EQ(noFrom.status, 0) << noFrom.err;
  EXPECT_TRUE(ScriptHasSplitBodies(scriptOf("F.dat")));
  EXPECT_FALSE(ScriptHasFromBodies(scriptOf("F.dat")));
  const Outcome interleaved = Run("diff --no-split pkg/old pkg/new -o N.dat");
  ASSERT_EQ(interleaved.status, 0) << interleaved.err;
  EXPECT_TRUE(ScriptHasAddOps(scriptOf("N.dat")));
  EXPECT_FALSE(ScriptHasSplitBodies(scriptOf("N.dat")));
  for (const char* both : {"--no-split --original-format", "--no-from --no-split"})
    EXPECT_EQ(Run(std::string("diff ") + both + " pkg/old pkg/new -o X.dat").status, 2) << both;
  const Outcome original = Run("diff --original-format pkg/old pkg/new -o O.dat");
  ASSERT_EQ(original.status, 0) << original.err;
  EXPECT_EQ(original.out.find(", added "), std::string::npos) << original.out;
  TreeDiff diff;
  std::string error;
  ASSERT_TRUE(DiffTrees(Dir("pkg/old"), Dir("pkg/new"), &diff, &error, nullptr, nullptr,
                        kDefaultTunings));
  EXPECT_EQ(scriptOf("O.dat"), diff.script);
  // Smaller as block 2 stores it: the adds' raw bytes are mostly zeros.
  const auto stored = [](const Bytes& script) {
    Bytes stream;
    std::string error;
    EXPECT_TRUE(CompressBlock(script, 9, &stream, &error)) << error;
    return stream.size();
  };
  EXPECT_GT(stored(scriptOf("O.dat")), stored(scriptOf("A.dat")));

  // pack: the script and the stub, refused with the way out named.
  const struct {
    const char* stub;
    const char* script;
    const char* refusal;  // null: packed
    const char* inspected;
  } packs[] = {{"stub.exe", "A.dat", "--original-format", nullptr},
               {"stub.exe", "N.dat", "--original-format", nullptr},
               {"marked.exe", "A.dat", "--no-split", nullptr},
               {"stub.exe", "O.dat", nullptr, nullptr},
               {"marked.exe", "N.dat", nullptr, "holds add operations"},
               {"split.exe", "N.dat", nullptr, "holds add operations"},
               {"split.exe", "A.dat", "--no-from", nullptr},
               {"split.exe", "F.dat", nullptr, "has split bodies"},
               {"from.exe", "A.dat", nullptr, "has bodies from another file"}};
  for (const auto& c : packs) {
    SCOPED_TRACE(std::string(c.stub) + " " + c.script);
    fs::remove(dir_ / "I.exe");
    const Outcome packed = Run(std::string("pack --stub ") + c.stub +
                               " --setup pkg/setup --patch " + c.script + " -o I.exe");
    if (c.refusal) {
      EXPECT_EQ(packed.status, 1);
      EXPECT_NE(packed.err.find("does not run"), std::string::npos) << packed.err;
      EXPECT_NE(packed.err.find(c.refusal), std::string::npos) << packed.err;
      EXPECT_EQ(std::count(packed.err.begin(), packed.err.end(), '\n'), 1) << packed.err;
      EXPECT_FALSE(fs::exists(dir_ / "I.exe"));
      continue;
    }
    ASSERT_EQ(packed.status, 0) << packed.err;
    if (!c.inspected) continue;
    const Outcome inspected = Run("inspect I.exe");
    EXPECT_EQ(inspected.status, 0) << inspected.err;
    EXPECT_NE(inspected.out.find(c.inspected), std::string::npos) << inspected.out;
  }

  // build takes what the stub runs, or the original format when asked.
  const struct {
    const char* args;
    bool adds;
    bool split;
    bool from;
  } builds[] = {{"build pkg --stub from.exe -o S.exe", true, true, true},
                {"build pkg --stub split.exe -o S.exe", true, true, false},
                {"build pkg --stub marked.exe -o S.exe", true, false, false},
                {"build pkg --stub stub.exe -o S.exe", false, false, false},
                {"build pkg --stub from.exe --original-format -o S.exe", false, false, false}};
  for (const auto& c : builds) {
    const Outcome built = Run(c.args);
    ASSERT_EQ(built.status, 0) << c.args << built.err;
    EXPECT_NE(built.out.find("the result equals NEW"), std::string::npos) << built.out;
    Bytes script;
    const std::string image = Read("S.exe");
    ASSERT_TRUE(ExtractPatchDat(Bytes(image.begin(), image.end()), &script, &error)) << error;
    EXPECT_EQ(ScriptHasAddOps(script), c.adds) << c.args;
    EXPECT_EQ(ScriptHasSplitBodies(script), c.split) << c.args;
    EXPECT_EQ(ScriptHasFromBodies(script), c.from) << c.args;
  }

  // An installer put together past pack's check is named damaged by inspect and verify.
  for (const std::string& stub :
       {"MZ stub", "MZ stub " VT_ADD_OP_MARKER, "MZ stub " VT_SPLIT_MARKER}) {
    SCOPED_TRACE(stub);
    Bytes mismatched;
    ASSERT_TRUE(BuildInstaller(B(stub), {{"Update.ini", B("[App]")}}, scriptOf("A.dat"),
                               &mismatched, &error));
    Write("M.exe", mismatched);
    const Outcome inspectedBad = Run("inspect M.exe");
    EXPECT_EQ(inspectedBad.status, 1);
    EXPECT_NE(inspectedBad.err.find("does not run"), std::string::npos) << inspectedBad.err;
    const Outcome verifiedBad = Run("verify M.exe pkg/old pkg/new");
    EXPECT_EQ(verifiedBad.status, 1);
    EXPECT_NE(verifiedBad.err.find("does not run"), std::string::npos) << verifiedBad.err;
  }
}

// A link planted at the output's old temporary name or at the output itself is replaced, never
// written through.
TEST_F(Commands, OutputsAreNeverWrittenThroughALink) {
  if (vtt::TestingOtherTool()) GTEST_SKIP() << "POSIX links";
  MakePackage();
  Write("P.dat", B(std::string(4, '\0')));
  for (const char* command : kWritingCommands) {
    SCOPED_TRACE(command);
    Write("victim.txt", B("precious"));
    Write("victim2.txt", B("precious"));
    fs::remove(dir_ / "out.bin");
    fs::create_symlink(dir_ / "victim.txt", dir_ / "out.bin.vantrel-tmp");
    fs::create_symlink(dir_ / "victim2.txt", dir_ / "out.bin");
    EXPECT_EQ(Run(command).status, 0);
    EXPECT_EQ(Read("victim.txt"), "precious");
    EXPECT_EQ(Read("victim2.txt"), "precious");
    EXPECT_FALSE(fs::is_symlink(dir_ / "out.bin"));
    fs::remove(dir_ / "out.bin.vantrel-tmp");
  }
}

// An output that is one of the inputs, or lies in an input folder, is refused untouched.
TEST_F(Commands, AnOutputThatIsAnInputIsRefused) {
  MakePackage();
  Write("P.dat", B(std::string(4, '\0')));
  const std::string kCases[] = {
      "pack --stub stub.exe --setup pkg/setup --patch P.dat -o stub.exe",
      "pack --stub stub.exe --setup pkg/setup --patch P.dat -o P.dat",
      "pack --stub stub.exe --setup pkg/setup --patch P.dat -o pkg/setup/Setup.exe",
      "build pkg --stub stub.exe -o stub.exe",
      "diff pkg/old pkg/new -o pkg/new/Patch.dat",
  };
  for (const std::string& args : kCases) {
    const Outcome o = Run(args);
    EXPECT_EQ(o.status, 1) << args;
    EXPECT_NE(o.err.find("choose another output"), std::string::npos) << args << ": " << o.err;
  }
  EXPECT_EQ(Read("stub.exe"), "MZ" + std::string(2000, 's'));
  EXPECT_EQ(Read("P.dat"), std::string(4, '\0'));
  EXPECT_FALSE(fs::exists(dir_ / "pkg/setup/Setup.exe"));
  EXPECT_FALSE(fs::exists(dir_ / "pkg/new/Patch.dat"));
}

// A script only writes files into folders: a file that became a folder, or the reverse, is
// refused by diff with the name, rather than left for apply to fail on.
TEST_F(Commands, DiffRefusesAFileThatBecameAFolderOrTheReverse) {
  const std::pair<const char*, const char*> kChanges[] = {
      {"old/x", "new/x/inner.txt"},  // file to folder
      {"old/y/inner.txt", "new/y"},  // folder to file
  };
  for (const auto& [before, after] : kChanges) {
    fs::remove_all(dir_ / "old");
    fs::remove_all(dir_ / "new");
    Write(before, B("before"));
    Write(after, B("after"));
    const Outcome o = Run("diff old new -o Patch.dat");
    EXPECT_EQ(o.status, 1) << after;
    EXPECT_NE(o.err.find("a patch script cannot turn a"), std::string::npos) << o.err;
    EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1) << o.err;
    EXPECT_FALSE(fs::exists(dir_ / "Patch.dat"));
  }
}

// A name with a newline or other control bytes is shown escaped, so the error stays one line.
TEST_F(Commands, ControlBytesInNamesKeepAnErrorOnOneLine) {
  if (vtt::TestingOtherTool()) GTEST_SKIP() << "names Windows cannot hold";
  Write("new/two\nlines\x1b.txt", B("x"));
  const Outcome o = Run("diff old new -o Patch.dat");
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1) << o.err;
  EXPECT_NE(o.err.find("two\\x0alines\\x1b.txt'"), std::string::npos) << o.err;
}

// With standard error not a terminal, long work draws no progress there: it holds errors only.
TEST_F(Commands, NoProgressLinesAmongErrors) {
  Write("new/big.bin", Random(17 << 20, 5));
  const Outcome o = Run("diff old new -o Patch.dat");
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.err, "");
}

// A build whose installer fails its check leaves no installer behind. A link in OLD, which diff
// passes over, makes the check fail: the installer would overwrite the file behind it.
TEST_F(Commands, BuildWritesNoInstallerThatFailedItsCheck) {
  if (vtt::TestingOtherTool()) GTEST_SKIP() << "POSIX links";
  MakePackage();
  Write("target.txt", B("a file elsewhere"));
  fs::create_symlink(dir_ / "target.txt", dir_ / "pkg/old/linked.txt");
  Write("pkg/new/linked.txt", B("now a plain file"));
  const Outcome o = Run("build pkg --stub stub.exe -o Setup.exe");
  EXPECT_EQ(o.status, 1) << o.out;
  EXPECT_NE(o.err.find("nothing written to 'Setup.exe'"), std::string::npos) << o.err;
  EXPECT_FALSE(fs::exists(dir_ / "Setup.exe"));
}

// Every run writes Vantrel.log at the top of the destination and installs nothing over it:
// diff, build and verify refuse NEW holding it there, in any case, as a file or a folder, and
// verify refuses a script with such an entry; one below the top is an ordinary file.
TEST_F(Commands, TheLogsNameAtNewsTopIsRefusedByEveryCommand) {
  MakePackage();
  ASSERT_EQ(Run("build pkg --stub stub.exe -o Setup.exe").status, 0);
  const char* const kCommands[] = {"diff pkg/old pkg/new -o P.dat",
                                   "build pkg --stub stub.exe -o Built.exe",
                                   "verify Setup.exe pkg/old pkg/new"};
  for (const char* file : {"Vantrel.log", "VANTREL.LOG", "vantrel.log/inner.txt"}) {
    Write(std::string("pkg/new/") + file, B("x"));
    for (const char* command : kCommands) {
      const Outcome o = Run(command);
      EXPECT_EQ(o.status, 1) << command << " " << file;
      EXPECT_NE(o.err.find("is the log that every run writes"), std::string::npos) << o.err;
      EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1) << o.err;
    }
    fs::remove_all(dir_ / "pkg/new" / fs::path(file).begin()->string());
  }
  EXPECT_FALSE(fs::exists(dir_ / "P.dat"));
  EXPECT_FALSE(fs::exists(dir_ / "Built.exe"));
  Write("pkg/new/sub/Vantrel.log", B("an ordinary file"));
  EXPECT_EQ(Run("diff pkg/old pkg/new -o P.dat").status, 0);
  fs::remove_all(dir_ / "pkg/new/sub");
  // An installer made otherwise, with the log's entry.
  Bytes installer;
  std::string error;
  const Bytes script = vtt::Script().NewFile("\\vantrel.LOG", "x").bytes();
  ASSERT_TRUE(BuildInstaller(B("MZ"), {{"Update.ini", B("[App]")}}, script, &installer, &error));
  Write("log.exe", installer);
  const Outcome o = Run("verify log.exe pkg/old pkg/new");
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("entry 1 ('\\vantrel.LOG') is in the place of Vantrel.log"),
            std::string::npos)
      << o.err;
}

// A named pipe in OLD or NEW is refused by name by diff, build and verify alike. OLD or NEW
// itself a link to a folder is followed by all three, as a folder given by its path.
TEST_F(Commands, SpecialFilesAreRefusedByNameAndTopFolderLinksFollowed) {
  if (vtt::TestingOtherTool()) GTEST_SKIP() << "POSIX pipes and links";
  MakePackage();
  ASSERT_EQ(Run("build pkg --stub stub.exe -o Setup.exe").status, 0);
  const char* const kCommands[] = {"diff pkg/old pkg/new -o P.dat",
                                   "build pkg --stub stub.exe -o Built.exe",
                                   "verify Setup.exe pkg/old pkg/new"};
  for (const char* pipe : {"pkg/old/lib/pipe", "pkg/new/pipe"}) {
    ASSERT_EQ(mkfifo((dir_ / pipe).c_str(), 0600), 0);
    for (const char* command : kCommands) {
      const Outcome o = Run(command);
      EXPECT_EQ(o.status, 1) << command << " " << pipe;
      EXPECT_EQ(o.err, std::string("vantrel: '") + pipe +
                           "' is a named pipe (FIFO); OLD and NEW may hold only files, folders "
                           "and (in OLD) links\n");
    }
    fs::remove(dir_ / pipe);
  }
  EXPECT_FALSE(fs::exists(dir_ / "P.dat"));
  EXPECT_FALSE(fs::exists(dir_ / "Built.exe"));
  fs::rename(dir_ / "pkg/old", dir_ / "old");
  fs::create_directory_symlink(dir_ / "old", dir_ / "pkg/old");
  for (const char* command : kCommands) {
    const Outcome o = Run(command);
    EXPECT_EQ(o.status, 0) << command << ": " << o.err;
  }
}

// A script that ends right after an entry's path is damaged: verify says so without reading
// past it, and removes its scratch folder.
TEST_F(Commands, VerifyOfAScriptCutAfterAPathReadsNoFurther) {
  MakePackage();
  fs::create_directories(dir_ / "tmp");
  const Bytes script = vtt::Script().Entry(0, 0, "\\app.exe").bytes();
  Bytes installer;
  std::string error;
  ASSERT_TRUE(BuildInstaller(B("MZ"), {{"Update.ini", B("[App]")}}, script, &installer, &error));
  Write("cut.exe", installer);
  const Outcome o = Run("verify cut.exe pkg/old pkg/new", "TMPDIR='" + Dir("tmp") + "' ");
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("entry 1 ('\\app.exe') is damaged (DataError)"), std::string::npos)
      << o.err;
  if (!vtt::TestingOtherTool()) EXPECT_EQ(ScratchLeft(), std::vector<std::string>{});
}

// Ctrl+C or SIGTERM during verify stops it with status 5 and removes its scratch folder.
TEST_F(Commands, InterruptedVerifyRemovesItsScratchFolder) {
  if (vtt::TestingOtherTool()) GTEST_SKIP() << "signals reach the native tool only";
  for (int i = 0; i < 3000; ++i) {
    Write("pkg/old/f" + std::to_string(i), B("old " + std::to_string(i)));
    Write("pkg/new/f" + std::to_string(i), B("new " + std::to_string(i)));
  }
  Write("pkg/setup/Update.ini", B("[App]"));
  Write("stub.exe", B("MZ"));
  ASSERT_EQ(Run("build pkg --stub stub.exe -o Setup.exe --no-verify").status, 0);
  fs::create_directories(dir_ / "tmp");
  for (const int signal : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(strsignal(signal));
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      if (chdir(dir_.c_str()) != 0) _exit(100);
      setenv("TMPDIR", (dir_ / "tmp").c_str(), 1);
      freopen("/dev/null", "w", stdout);
      freopen("/dev/null", "w", stderr);
      execl(VANTREL_EXE, VANTREL_EXE, "verify", "Setup.exe", "pkg/old", "pkg/new",
            static_cast<char*>(nullptr));
      _exit(101);
    }
    // Once the scratch folder holds the first copy, the check is under way.
    bool started = false;
    for (int i = 0; i < 2000 && !started; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      for (const auto& e : fs::directory_iterator(dir_ / "tmp"))
        started = started || fs::exists(e.path() / "old");
    }
    EXPECT_TRUE(started);
    kill(child, signal);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 5);
    EXPECT_EQ(ScratchLeft(), std::vector<std::string>{});
  }
}

// ---- the installer's ANSI code page --------------------------------------------------------

TEST_F(Commands, DiffRefusesNamesTheCodePageCannotHoldOrMakesOne) {
  MakeVersions();
  struct Case {
    const char* file;
    const char* codePage;
    int status;
    const char* mention;
  };
  const Case cases[] = {
      {"new/\xe8\xa1\xa8.txt", "", 1, "give the installer's code page with --codepage"},
      {"new/\xe8\xa1\xa8.txt", "--codepage 1252", 1, "code page 1252 cannot hold the name"},
      {"new/\xc3\xbc" "ber.exe", "--codepage 1252", 1, "one name on Windows"},  // with Über
      {"new/\xc3\x9c" "ber.exe", "--codepage 932", 1, "code page 932 cannot hold the name"},
      {"new/COM\xc2\xb9.txt", "--codepage 1252", 1, "is a Windows device name"},
      {"new/a.txt", "--codepage 7", 2, "code page 7 is not known"},
      {"new/a.txt", "--codepage west", 2, "--codepage takes a Windows code page number"},
  };
  Write("new/\xc3\x9c" "ber.exe", B("U"));
  for (const Case& c : cases) {
    Write(c.file, B("x"));
    const Outcome o = Run(std::string("diff old new -o P.dat ") + c.codePage);
    EXPECT_EQ(o.status, c.status) << c.file << " " << c.codePage;
    EXPECT_NE(o.err.find(c.mention), std::string::npos) << o.err;
    EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1) << o.err;
    EXPECT_FALSE(fs::exists(dir_ / "P.dat"));
    fs::remove(dir_ / fs::u8path(c.file));
  }
}

// A Japanese package end to end: names and a UTF-8 licence go into code page 932, the
// verification applies the script to the UTF-8 folders, inspect shows the names in UTF-8.
TEST_F(Commands, BuildConvertsNamesAndTextsIntoTheCodePage) {
  if (vtt::TestingOtherTool()) return;  // the Windows tool works in its system's code page
  MakePackage();
  const std::string name = "\xe8\xa1\xa8/\xe3\x82\xb5\xe3\x83\x9d\xe3\x83\xbc\xe3\x83\x88/"
                           "\xe8\xaa\xac\xe6\x98\x8e.txt";  // 表/サポート/説明.txt
  Write("pkg/old/" + name, B("old text"));
  Write("pkg/new/" + name, B("new text"));
  Write("pkg/setup/License.txt", B("\xe4\xbd\xbf\xe7\x94\xa8\r\n"));  // 使用, UTF-8
  Write("pkg/setup/Guide.txt", B("\x8e\x67\x97\x70\r\n"));  // 使用 in 932 already
  const Outcome built = Run("build pkg --stub stub.exe -o Setup.exe --codepage 932");
  ASSERT_EQ(built.status, 0) << built.err;
  EXPECT_EQ(Run("verify Setup.exe pkg/old pkg/new --codepage 932").status, 0);
  const Outcome listed = Run("inspect Setup.exe --codepage 932");
  EXPECT_NE(listed.out.find("  \\" + std::string("\xe8\xa1\xa8\\\xe3\x82\xb5")), std::string::npos)
      << listed.out;
  std::vector<uint8_t> installer, block;
  std::string error;
  const std::string image = Read("Setup.exe");
  installer.assign(image.begin(), image.end());
  ASSERT_TRUE(ReadInstallerBlock(installer, kSetupDataBlock, &block, &error)) << error;
  const std::string setup(block.begin(), block.end());
  EXPECT_EQ(std::count(setup.begin(), setup.end(), '\x8e'), 2) << "both texts in 932";
  // apply works on UTF-8 folders too, its destination named in UTF-8 on the command line.
  fs::create_directories(dir_ / fs::u8path("\xe8\xa1\xa8"));
  fs::copy(dir_ / "pkg" / "old", dir_ / fs::u8path("\xe8\xa1\xa8"), fs::copy_options::recursive);
  ASSERT_EQ(Run("diff pkg/old pkg/new -o P.dat --codepage 932").status, 0);
  const Outcome applied = Run("apply P.dat \xe8\xa1\xa8 --codepage 932");
  ASSERT_EQ(applied.status, 0) << applied.err;
  EXPECT_NE(applied.out.find(name.substr(name.find('/') + 1, 9)), std::string::npos)
      << applied.out;
  EXPECT_EQ(Read("\xe8\xa1\xa8/" + name), "new text");
  // Without the code page the UTF-8 licence is refused, naming the option.
  const Outcome ascii = Run("build pkg --stub stub.exe -o Other.exe");
  EXPECT_EQ(ascii.status, 1);
  EXPECT_NE(ascii.err.find("--codepage"), std::string::npos) << ascii.err;
}

TEST_F(Commands, BuildChecksTheSetupFilesBeforeWritingAnything) {
  MakePackage();
  Write("pkg/setup/Update.ini", B("[App]\r\nMianFile=a.txt\r\nMainFile=missing.exe\r\n"));
  Write("pkg/setup/Language.ini", B("[0407]\r\nID201=x\r\n"));
  fs::remove(dir_ / "pkg/setup/Guide.txt");
  const Outcome warned = Run("build pkg --stub stub.exe -o Setup.exe --no-verify");
  EXPECT_EQ(warned.status, 0) << warned.err;
  for (const char* mention : {"'MianFile' is not a key", "'missing.exe' is not a file of NEW",
                              "section [0407]", "Guide.txt is missing"})
    EXPECT_NE(warned.err.find(mention), std::string::npos) << mention << " in " << warned.err;
  fs::remove(dir_ / "Setup.exe");
  const Outcome strict = Run("build pkg --stub stub.exe -o Setup.exe --strict");
  EXPECT_EQ(strict.status, 1);
  EXPECT_NE(strict.err.find("(--strict)"), std::string::npos) << strict.err;
  EXPECT_FALSE(fs::exists(dir_ / "Setup.exe"));
  // A run-length compressed bitmap: LoadImage gives nothing, so the build stops.
  std::string rle = Read("pkg/setup/Splash.bmp");
  rle[30] = 1;
  Write("pkg/setup/Splash.bmp", B(rle));
  Write("pkg/setup/Package.bmp", B("GIF89a"));
  const Outcome broken = Run("build pkg --stub stub.exe -o Setup.exe");
  EXPECT_EQ(broken.status, 1);
  EXPECT_NE(broken.err.find("Splash.bmp: a compressed bitmap"), std::string::npos) << broken.err;
  EXPECT_NE(broken.err.find("Package.bmp: not a BMP file"), std::string::npos) << broken.err;
  EXPECT_FALSE(fs::exists(dir_ / "Setup.exe"));
}

// Bitmap headers that LoadImage cannot load from: each stops the build with its reason.
TEST_F(Commands, BuildRefusesBitmapsWithHeadersLoadImageCannotUse) {
  MakePackage();
  const std::string good = Read("pkg/setup/Package.bmp");
  // The field at `offset` of the 58-byte one-pixel bitmap replaced by `bytes`, or the file cut.
  const struct {
    size_t offset;
    std::string bytes;
    const char* mention;
  } kCases[] = {
      {26, std::string("\0\0", 2), "0 colour planes; LoadImage takes only 1"},
      {18, Le32(uint32_t(-100)), "its size is -100 x 1 pixels"},
      {22, Le32(0x80000001u),
       "its 1 x 2147483647 pixels need 8589934588 bytes of pixel data, and the file holds 4"},
      {10, Le32(59), "its pixel data offset 59 lies past the file's end (58 bytes)"},
      {10, Le32(20), "its pixel data offset 20 lies inside its headers (which end at 54)"},
      {54, "", "its 1 x 1 pixels need 4 bytes of pixel data, and the file holds 0 after"},
      {18, Le32(0) + Le32(0), "its size is 0 x 0 pixels"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.mention);
    std::string bmp = good;
    if (c.bytes.empty())
      bmp.resize(c.offset);
    else
      bmp.replace(c.offset, c.bytes.size(), c.bytes);
    Write("pkg/setup/Package.bmp", B(bmp));
    const Outcome o = Run("build pkg --stub stub.exe -o Setup.exe --no-verify");
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.err.find(std::string("Package.bmp: ") + c.mention), std::string::npos) << o.err;
    EXPECT_FALSE(fs::exists(dir_ / "Setup.exe"));
  }
}

}  // namespace
}  // namespace vt
