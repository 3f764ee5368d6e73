// Whole patch runs: the ResultLog, the state rules, what the observer is told, and the promise
// that a failed or cancelled run leaves the destination as it was (the rollback matrix).
#include "patch/patch_run.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "builder/code_page.h"
#include "patch/apply_entry.h"
#include "patch/crc32.h"
#include "patch/fs.h"
#include "tests/common/fs_faults.h"
#include "patch/result_log.h"
#include "tests/common/script_builder.h"
#include "tests/common/test_files.h"

namespace vt {
namespace {

namespace fs = std::filesystem;
typedef std::vector<uint8_t> Bytes;
using vtt::Crc;
using vtt::Script;

typedef vtt::FileTree Tree;

// What the worker told its observer, in order.
struct Told {
  std::vector<std::string> events;
  std::vector<int32_t> done;
  int cancelAtEntry = -1;  // store kRunCancelled when this entry (0-based) starts
  bool cancelWhenFinishing = false;
  int entries = 0;
  RunState* run = nullptr;
  std::function<void(int entry)> atEntry;  // called as each entry (0-based) starts
  std::function<void()> atFinishing;  // called once the run has decided its end
};

void OnRange(void* c, uint32_t count) {
  static_cast<Told*>(c)->events.push_back("range " + std::to_string(count));
}
void OnPosition(void* c, uint32_t done) {
  static_cast<Told*>(c)->events.push_back("pos " + std::to_string(done));
}
void OnEntry(void* c, const char* path) {
  Told* told = static_cast<Told*>(c);
  told->events.push_back(std::string("entry ") + path);
  if (told->atEntry) told->atEntry(told->entries);
  if (told->entries++ == told->cancelAtEntry) StoreRunState(told->run, kRunCancelled);
}
void OnFinishing(void* c, int32_t decided) {
  Told* told = static_cast<Told*>(c);
  told->events.push_back("finishing " + std::to_string(decided));
  if (told->atFinishing) told->atFinishing();
  if (told->cancelWhenFinishing) StoreRunState(told->run, kRunCancelled);
}
void OnDone(void* c, int32_t state) {
  Told* told = static_cast<Told*>(c);
  told->done.push_back(state);
  told->events.push_back("done " + std::to_string(state));
}
void LoadEnglish(void*, uint32_t id, char* text, uint32_t size) {
  snprintf(text, size, "%s", BuiltInLogMessage(id));
}

class PatchRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    BuildCrcTable();
    FsClearFaults();
    root_ = scratch_.path();
    dest_ = (root_ / "dest").string();
    fs::create_directories(dest_);
    script_ = (root_ / "Patch.dat").string();
    // The least window, which most scripts here outgrow: entries straddle its edge.
    g_scriptWindowSize = kMinScriptWindow;
  }
  void TearDown() override {
    FsClearFaults();
    g_scriptWindowSize = kScriptWindowSize;
  }

  void Put(const std::string& rel, const std::string& content) {
    vtt::PutFile(fs::path(dest_) / rel, content);
  }
  std::string Get(const fs::path& p) { return vtt::GetFile(p); }
  std::string Log() { return Get(fs::path(dest_) / kResultLogName); }
  Tree Snapshot(const fs::path& dir) { return vtt::Snapshot(dir); }

  void WriteScript(const Bytes& bytes) { vtt::PutFile(script_, bytes); }

  // Runs the script; `told_` records the observer's calls.
  int32_t Run(const Bytes& bytes, const char* mainFile = "", int keepBackup = 0) {
    WriteScript(bytes);
    return RunScript(mainFile, keepBackup);
  }
  int32_t RunScript(const char* mainFile = "", int keepBackup = 0) {
    kept_ = (root_ / "kept" / "deeper").string() + "/";
    run_ = RunState{};
    run_.keepBackup = keepBackup;
    run_.destinationDir = dest_.c_str();
    run_.keptBackupDir = kept_.c_str();
    run_.scriptPath = script_.c_str();
    run_.mainFile = mainFile;
    run_.observer = {OnRange, OnPosition, OnEntry, nullptr, OnFinishing, OnDone, &told_};
    run_.loadMessage = LoadEnglish;
    run_.state = kRunInProgress;
    told_.run = &run_;
    return RunPatch(&run_, left_);
  }

  // Names in DestinationDir that a run must never leave behind.
  std::vector<std::string> Leftovers() {
    std::vector<std::string> found;
    for (const auto& e : fs::recursive_directory_iterator(dest_)) {
      std::string name = e.path().filename().string();
      if (name.rfind("BAK", 0) == 0 || name.rfind("PCH", 0) == 0) found.push_back(name);
    }
    return found;
  }

  vtt::ScratchFolder scratch_;
  fs::path root_;
  std::string dest_, script_, kept_;
  RunState run_;
  Told told_;
  char left_[kMaxPath + 1];
};

// ---- The edge cases of a run ---------------------------------------------------------------

TEST_F(PatchRunTest, CountZeroCompletesWithAnEmptyLogAndNoBackupDirLeft) {
  EXPECT_EQ(Run(Script().bytes()), kRunInProgress);
  EXPECT_EQ(told_.events, (std::vector<std::string>{"range 0", "finishing 1", "done 1"}));
  EXPECT_EQ(Snapshot(dest_), (Tree{{kResultLogName, ""}}));
}

TEST_F(PatchRunTest, MissingOrEmptyScriptIsUnreadableAndLeavesAnEmptyLog) {
  Put("a.txt", "old");
  EXPECT_EQ(RunScript(), kRunScriptUnreadable);  // no Patch.dat at all
  EXPECT_EQ(told_.events, (std::vector<std::string>{"done -5"}));
  EXPECT_EQ(Snapshot(dest_), (Tree{{"a.txt", "old"}, {kResultLogName, ""}}));

  told_ = Told();
  EXPECT_EQ(Run(Bytes()), kRunScriptUnreadable);
  EXPECT_EQ(told_.events, (std::vector<std::string>{"done -5"}));
  EXPECT_EQ(Snapshot(dest_), (Tree{{"a.txt", "old"}, {kResultLogName, ""}}));
}

// A destination that cannot take the log, or whose path leaves no room for the script's paths
// below the BackupDir, is refused before anything in it changes, the earlier log included.
TEST_F(PatchRunTest, UnusableDestinationIsRefusedBeforeAnythingChanges) {
  struct Case {
    const char* name;
    size_t destinationLength;  // 0: as it is
    bool logIsAFolder;
    int32_t end;
    const char* done;
  };
  const std::string longName(60, 'n');
  const Case cases[] = {
      {"log cannot be created", 0, true, kRunDestinationUnwritable, "done -3"},
      {"paths too long", 190, false, kRunDestinationTooLong, "done -4"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.destinationLength)
      dest_ += "/" + std::string(c.destinationLength - dest_.size() - 1, 'd');
    fs::create_directories(dest_);
    Put("a.txt", "old");
    if (c.logIsAFolder)
      fs::create_directory(fs::path(dest_) / kResultLogName);
    else
      Put(kResultLogName, "earlier");
    const Tree before = Snapshot(dest_);
    told_ = Told();
    EXPECT_EQ(Run(Script().NewFile("\\a.txt", "new").NewFile("\\" + longName, "x").bytes()),
              c.end);
    EXPECT_EQ(told_.events, (std::vector<std::string>{c.done}));
    EXPECT_EQ(Snapshot(dest_), before);
  }
}

TEST_F(PatchRunTest, CancelNeverReplacesARecordedFailure) {
  run_.state = kRunMainFileFailed;
  CancelRun(&run_);
  EXPECT_EQ(LoadRunState(&run_), kRunMainFileFailed);
  run_.state = kRunInProgress;
  CancelRun(&run_);
  EXPECT_EQ(LoadRunState(&run_), kRunCancelled);
}

TEST_F(PatchRunTest, ScriptShorterThanItsCountIsDamaged) {
  EXPECT_EQ(Run(Bytes{1, 0}), kRunDataError);
  EXPECT_EQ(told_.events, (std::vector<std::string>{"range 0", "finishing -2", "done -2"}));
  EXPECT_TRUE(Leftovers().empty());
}

// A script several windows long: its paths checked before the run, and its entries applied, as
// the window moves along.
TEST_F(PatchRunTest, ScriptOfManyWindowsRunsWhole) {
  const std::string old(600, 'o'), big(1500, 'b');
  Put("a.txt", old);
  Script script(4);
  script.NewFile("\\big.bin", big);
  script.Update("\\a.txt", old, old + big);
  script.NewFile("\\" + std::string(150, 'p') + "\\deep.txt", "deep");
  script.NewFile("\\z.txt", "z");
  ASSERT_GT(script.bytes().size(), 4 * kMinScriptWindow);
  EXPECT_EQ(Run(script.bytes()), kRunInProgress);
  EXPECT_EQ(Get(fs::path(dest_) / "big.bin"), big);
  EXPECT_EQ(Get(fs::path(dest_) / "a.txt"), old + big);
  EXPECT_EQ(Get(fs::path(dest_) / std::string(150, 'p') / "deep.txt"), "deep");
  EXPECT_EQ(Get(fs::path(dest_) / "z.txt"), "z");
  EXPECT_TRUE(Leftovers().empty());
}

TEST_F(PatchRunTest, MissingDestinationIsCreated) {
  dest_ = (root_ / "new" / "place").string();
  EXPECT_EQ(Run(Script().NewFile("\\x.txt", "x").bytes()), kRunInProgress);
  EXPECT_EQ(told_.done, (std::vector<int32_t>{1}));
  EXPECT_EQ(Get(fs::path(dest_) / "x.txt"), "x");
}

TEST_F(PatchRunTest, UnknownOpInEntryThreeOfFiveRollsBackOneAndTwo) {
  Put("over.txt", "old overwritten content");
  Put("sub/upd.txt", "old updatable content");
  Tree before = Snapshot(dest_);
  Script s;
  s.NewFile("\\over.txt", "new")
      .Update("\\sub\\upd.txt", "old updatable content", "old updatable, now new")
      .Entry(1, 2, "\\third.txt").Op(7).End()
      .NewFile("\\four.txt", "4")
      .NewFile("\\five.txt", "5");
  EXPECT_EQ(Run(s.bytes()), kRunDataError);
  EXPECT_EQ(told_.done, (std::vector<int32_t>{-2}));
  EXPECT_EQ(std::vector<std::string>(told_.events.end() - 4, told_.events.end()),
            (std::vector<std::string>{"pos 2", "entry \\third.txt", "finishing -2", "done -2"}));
  EXPECT_EQ(Log(),
            "over.txt -> File existed, and overwritten.\r\n"
            "sub\\upd.txt -> File updated sucessfully!\r\n"
            "third.txt -> Data file error; Opration canceled!\r\n");
  Tree after = Snapshot(dest_);
  after.erase(kResultLogName);
  EXPECT_EQ(after, before);
  EXPECT_TRUE(Leftovers().empty());
}

TEST_F(PatchRunTest, MainFileAccessDeniedFailsTheRunAndRollsBack) {
  Put("App.exe", "old app");
  Put("data.txt", "old data");
  Script s;
  s.NewFile("\\data.txt", "new data").Update("\\App.exe", "old app", "new app");
  WriteScript(s.bytes());
  // The layer's exclusive lock stands for a running program file.
  FsFile held = FsOpen((dest_ + "/App.exe").c_str(), kFsUpdateExclusive, nullptr);
  ASSERT_NE(held, kNoFile);
  RunScript("C:\\Program Files\\Pkg\\app.EXE");
  FsClose(held);
  EXPECT_EQ(told_.done, (std::vector<int32_t>{-1}));
  EXPECT_EQ(Log(),
            "data.txt -> File existed, and overwritten.\r\n"
            "App.exe -> Access of original file is denied; Skipped.\r\n");
  EXPECT_EQ(Get(fs::path(dest_) / "data.txt"), "old data");
  EXPECT_EQ(Get(fs::path(dest_) / "App.exe"), "old app");
  EXPECT_TRUE(Leftovers().empty());
}

TEST_F(PatchRunTest, MainFileRuleLooksAtFileNamesOnly) {
  // Only the five skip and refusal results of the main file count.
  EXPECT_TRUE(FailsMainFile(kOriginalMissing, "\\bin\\APP.exe", "app.EXE"));
  EXPECT_TRUE(FailsMainFile(kOriginalCrcError, "\\App.exe", "dir\\app.exe"));
  EXPECT_TRUE(FailsMainFile(kUpdatedCrcError, "App.exe", "App.exe"));
  EXPECT_TRUE(FailsMainFile(kAccessDenied, "\\a\\b\\App.exe", "App.exe"));
  EXPECT_TRUE(FailsMainFile(kReplaceDenied, "\\App.exe", "App.exe"));
  for (EntryResult ok : {kInstalled, kUpdated, kOverwritten, kAlreadyUpdated, kDataError})
    EXPECT_FALSE(FailsMainFile(ok, "\\App.exe", "App.exe")) << ok;
  EXPECT_FALSE(FailsMainFile(kAccessDenied, "\\App.exe", ""));
  EXPECT_FALSE(FailsMainFile(kAccessDenied, "\\App.exe", nullptr));
  EXPECT_FALSE(FailsMainFile(kAccessDenied, "\\App.exe", "dir\\"));
  EXPECT_FALSE(FailsMainFile(kAccessDenied, "\\App.exe.bak", "App.exe"));
  EXPECT_FALSE(FailsMainFile(kAccessDenied, "\\App.ex", "App.exe"));
}

TEST_F(PatchRunTest, MainFileInSubdirectoryDifferingInCaseFailsTheRun) {
  Put("first.txt", "old first");
  Script s;
  s.NewFile("\\first.txt", "new first").Update("\\bin\\APP.EXE", "old", "new").NewFile(
      "\\never.txt", "n");
  Run(s.bytes(), "app.exe");
  EXPECT_EQ(told_.done, (std::vector<int32_t>{-1}));
  EXPECT_EQ(Get(fs::path(dest_) / "first.txt"), "old first");
  EXPECT_FALSE(fs::exists(fs::path(dest_) / "never.txt"));
  EXPECT_TRUE(fs::is_directory(fs::path(dest_) / "bin"));  // made for the entry, stays
}

TEST_F(PatchRunTest, MainFileAlreadyUpdatedDoesNotChangeTheState) {
  Put("App.exe", "new app");
  Script s;
  s.Update("\\App.exe", "old app", "new app").NewFile("\\more.txt", "m");
  Run(s.bytes(), "App.exe");
  EXPECT_EQ(told_.done, (std::vector<int32_t>{1}));
  EXPECT_EQ(Log(),
            "App.exe -> Original file was updated; Skipped.\r\n"
            "more.txt -> File installed successfully!\r\n");
}

TEST_F(PatchRunTest, SkippedFilesStillCompleteTheRun) {
  Put("crc.txt", "some other version");
  Script s;
  s.Update("\\missing.txt", "a", "b").Update("\\crc.txt", "old", "new");
  Run(s.bytes(), "App.exe");
  EXPECT_EQ(told_.done, (std::vector<int32_t>{1}));
  EXPECT_EQ(Log(),
            "missing.txt -> Original file not existed; Skipped.\r\n"
            "crc.txt -> Original file CRC error; Skipped.\r\n");
}

// A folder that another process swaps for a link to a folder outside, once the run has taken
// it up: neither the entries after it nor a rollback write outside DestinationDir. The same
// for the run's BackupDir, renamed and replaced by a folder with a link in it.
TEST_F(PatchRunTest, AFolderSwappedForALinkMidRunLeadsNoWriteOutside) {
  for (bool backupDir : {false, true}) {
    for (bool fails : {false, true}) {
      SCOPED_TRACE(std::string(backupDir ? "BackupDir " : "d ") + (fails ? "rolled back" : "done"));
      fs::remove_all(root_ / "outside");
      fs::remove_all(dest_);
      vtt::PutFile(root_ / "outside" / "b", "outside b");
      Put("d/a", "old a");
      Put("d/b", "old b");
      Script s;
      s.Update("\\d\\a", "old a", "new a").Update("\\d\\b", "old b", "new b").NewFile("\\d\\c", "c");
      if (fails) s.Entry(0, 0, "\\d\\e").Op(0x07);
      told_ = Told();
      // d once the run has taken it up; the BackupDir before the run made anything in it.
      told_.atEntry = [&](int entry) {
        if (entry != (backupDir ? 0 : 1)) return;
        fs::path swapped = fs::path(dest_) / "d";
        for (const auto& e : fs::directory_iterator(dest_))
          if (backupDir && e.path().filename().string().rfind("BAK", 0) == 0) swapped = e.path();
        fs::rename(swapped, fs::path(dest_) / "moved");
        if (backupDir) fs::create_directory(swapped);
        fs::create_directory_symlink(root_ / "outside", backupDir ? swapped / "d" : swapped);
      };
      Run(s.bytes());
      EXPECT_EQ(Snapshot(root_ / "outside"), (Tree{{"b", "outside b"}}));
      if (backupDir) continue;
      // A rollback puts back what the run replaced; what it added stays.
      const Tree rolledBack = {{"a", "old a"}, {"b", "old b"}, {"c", "c"}};
      const Tree updated = {{"a", "new a"}, {"b", "new b"}, {"c", "c"}};
      EXPECT_EQ(Snapshot(fs::path(dest_) / "moved"), fails ? rolledBack : updated);
    }
  }
}

TEST_F(PatchRunTest, ObserverHearsRangeEntriesPositionsAndOneRunDoneLast) {
  Script s;
  s.NewFile("\\a.txt", "a").NewFile("b.txt", "b");
  Run(s.bytes());
  EXPECT_EQ(told_.events, (std::vector<std::string>{"range 2", "entry \\a.txt", "pos 1",
                                                    "entry b.txt", "pos 2", "finishing 1",
                                                    "done 1"}));
  // A path stored without its leading backslash is logged unchanged.
  EXPECT_EQ(Log(),
            "a.txt -> File installed successfully!\r\n"
            "b.txt -> File installed successfully!\r\n");
}

TEST_F(PatchRunTest, EarlierLogIsEmptied) {
  Put(kResultLogName, "a line of an earlier run\r\n");
  Run(Script().NewFile("\\a.txt", "a").bytes());
  EXPECT_EQ(Log(), "a.txt -> File installed successfully!\r\n");
}

TEST_F(PatchRunTest, EntryCannotWriteIntoTheOpenLog) {
  Run(Script().NewFile("\\Vantrel.log", "overwrite the log").bytes());
  EXPECT_EQ(Log(), "Vantrel.log -> Access of original file is denied; Skipped.\r\n");
}

TEST_F(PatchRunTest, KeepBackupCopiesOldVersionsOnlyWhenAsked) {
  Put("d/u.txt", "old u");
  Put("o.txt", "old o");
  Script s;
  s.Update("\\d\\u.txt", "old u", "new u!").NewFile("\\o.txt", "new o").NewFile("\\n.txt", "n");
  Run(s.bytes(), "", 0);
  EXPECT_FALSE(fs::exists(root_ / "kept"));
  EXPECT_TRUE(Leftovers().empty());
  EXPECT_EQ(Get(fs::path(dest_) / "d/u.txt"), "new u!");

  Put("d/u.txt", "old u");
  Put("o.txt", "old o");
  fs::remove(fs::path(dest_) / "n.txt");
  told_ = Told();
  Run(s.bytes(), "", 1);
  EXPECT_EQ(Snapshot(kept_), (Tree{{"d", "<dir>"}, {"d/u.txt", "old u"}, {"o.txt", "old o"}}));
  EXPECT_TRUE(Leftovers().empty());
}

// A backup that cannot be removed once the run keeps its result (as Windows refuses to delete a
// read-only one whose other hard links keep its attributes) stays in its folder, which the log
// names; the run is still done.
TEST_F(PatchRunTest, BackupThatCannotBeRemovedStaysAndIsNamed) {
  Put("u.txt", "old u");
  Script s;
  s.Update("\\u.txt", "old u", "new u");
  // Its delete, and the one after its mode is made writable.
  told_.atFinishing = [] { FsInjectFault(kFaultDelete, 0, 2); };
  EXPECT_EQ(Run(s.bytes()), kRunInProgress);
  FsClearFaults();
  const std::vector<std::string> left = Leftovers();
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(Get(fs::path(dest_) / left[0] / "u.txt"), "old u");
  EXPECT_EQ(Get(fs::path(dest_) / "u.txt"), "new u");
  EXPECT_EQ(Log(), "u.txt -> File updated sucessfully!\r\n" + left[0] +
                       " -> A link or a refused name; left as it is.\r\n");
}

TEST_F(PatchRunTest, LongLogLinesAreWrittenWhole) {
  // A path as long as the scratch destination leaves room for (with the BackupDir and a
  // temporary name beside it), up to 120 + 1 + 100 characters.
  const std::string name(100, 'n');
  std::string dir(std::min<size_t>(120, kMaxPath - dest_.size() - 20 - name.size()), 'd');
  std::string path = "\\" + dir + "\\" + name;
  Run(Script().NewFile(path, "x").bytes());
  EXPECT_EQ(Log(), dir + "\\" + name + " -> File installed successfully!\r\n");

  // A translated message as long as its buffer allows.
  std::string message(kLogMessageSize - 1, 'm');
  WriteScript(Script().NewFile(path, "y").bytes());
  told_ = Told();
  run_.loadMessage = [](void* c, uint32_t, char* text, uint32_t size) {
    snprintf(text, size, "%s", static_cast<std::string*>(c)->c_str());
  };
  run_.messageContext = &message;
  run_.state = kRunInProgress;
  RunPatch(&run_, left_);
  EXPECT_EQ(Log(), dir + "\\" + name + " -> " + message + "\r\n");
}

// Lines gather before they reach the file: those that straddle the gathered bytes' end, and
// the last ones, gathered when the run ends, arrive whole and in order.
TEST_F(PatchRunTest, ManyLogLinesArriveWholeAndInOrder) {
  Script script;
  std::string expected;
  for (int i = 0; i < 90; ++i) {
    const std::string name = "f" + std::to_string(i) + std::string(size_t(i % 7), 'x') + ".txt";
    script.NewFile("\\" + name, "x");
    expected += name + " -> File installed successfully!\r\n";
  }
  Run(script.bytes());
  EXPECT_EQ(Log(), expected);
}

// A stored path cannot break its line or forge another on the Results page: control bytes
// show as '?'.
TEST_F(PatchRunTest, ControlBytesOfAPathNeverReachTheLog) {
  Run(Script().NewFile("\\a\r\nb.txt -> File installed successfully!\x7f\t", "x").bytes());
  EXPECT_EQ(Log(),
            "a??b.txt -> File installed successfully!?? -> Data file error; Opration canceled!\r\n");
}

TEST_F(PatchRunTest, CancelAfterTheDecisionReportsTheDecidedState) {
  Put("o.txt", "old");
  told_.cancelWhenFinishing = true;
  Run(Script().NewFile("\\o.txt", "new").bytes());
  EXPECT_EQ(told_.done, (std::vector<int32_t>{1}));
  EXPECT_EQ(Get(fs::path(dest_) / "o.txt"), "new");
  EXPECT_TRUE(Leftovers().empty());
}

TEST_F(PatchRunTest, CancelDuringTheLastEntryStillRollsBack) {
  Put("o.txt", "old");
  told_.cancelAtEntry = 0;
  Run(Script().NewFile("\\o.txt", "new").bytes());
  EXPECT_EQ(told_.events, (std::vector<std::string>{"range 1", "entry \\o.txt", "finishing 0",
                                                    "done 0"}));
  EXPECT_EQ(Get(fs::path(dest_) / "o.txt"), "old");
  EXPECT_EQ(Log(), "o.txt -> File existed, and overwritten.\r\n");
}

// Nothing can be put back (another process holds the files): BackupDir stays, the log names
// it, and the next run, once the files are free, repairs it before it starts.
TEST_F(PatchRunTest, FailedRestoreKeepsBackupDirWithTheOldContent) {
  Put("a.txt", "old a");
  Put("b.txt", "old b");
  Script s;
  s.NewFile("\\a.txt", "new a").NewFile("\\b.txt", "new b").Entry(1, 2, "\\c.txt").Op(7).End();
  FsInjectFault(kFaultReplace, 0, 100);
  FsInjectFault(kFaultCopy, 0, 100);
  Run(s.bytes());
  FsClearFaults();
  EXPECT_EQ(told_.done, (std::vector<int32_t>{-2}));
  ASSERT_NE(left_[0], 0);
  std::string left = left_;
  left = left.substr(left.find_last_of("\\/") + 1);
  Tree kept = Snapshot(fs::path(dest_) / left);
  EXPECT_EQ(kept["a.txt"], "old a");
  EXPECT_EQ(kept["b.txt"], "old b");
  EXPECT_EQ(Log(),
            "a.txt -> File existed, and overwritten.\r\n"
            "b.txt -> File existed, and overwritten.\r\n"
            "c.txt -> Data file error; Opration canceled!\r\n" +
                left + " -> Not every file could be restored; kept here.\r\n");

  // While another process still holds a file, the repair cannot finish: nothing is applied.
  told_ = Told();
  FsFile held = FsOpen((dest_ + "/a.txt").c_str(), kFsReadExclusive, nullptr);
  EXPECT_EQ(Run(Script().NewFile("\\n.txt", "n").bytes()), kRunRepairIncomplete);
  FsClose(held);
  EXPECT_EQ(told_.done, (std::vector<int32_t>{kRunRepairIncomplete}));
  EXPECT_FALSE(fs::exists(fs::path(dest_) / "n.txt"));
  EXPECT_TRUE(fs::is_directory(fs::path(dest_) / left));
  // What could go back, went.
  EXPECT_EQ(Log(), "b.txt -> Restored after an interrupted setup.\r\n" + left +
                       " -> Not every file could be restored; kept here.\r\n");

  told_ = Told();
  Run(Script().bytes());
  EXPECT_EQ(told_.done, (std::vector<int32_t>{1}));
  EXPECT_EQ(Get(fs::path(dest_) / "a.txt"), "old a");
  EXPECT_EQ(Get(fs::path(dest_) / "b.txt"), "old b");
  EXPECT_TRUE(Leftovers().empty());
  std::string log = Log();
  EXPECT_NE(log.find("a.txt -> Restored after an interrupted setup.\r\n"), std::string::npos);
  EXPECT_NE(log.find(left + " -> Left by an interrupted setup; removed.\r\n"), std::string::npos);
}

TEST_F(PatchRunTest, FailedOverwriteWithoutRestoreRollsBackTheWholeRun) {
  Put("a.txt", "old a");
  Put("b.txt", "old b");
  Script s;
  s.NewFile("\\a.txt", "new a").NewFile("\\b.txt", "new b").NewFile("\\c.txt", "c");
  // b's new content cannot be moved into place once its old file is in BackupDir, nor can the
  // old file go back at once: the run must roll back rather than leave b missing. Three moves
  // per overwrite: a's pass, then b's first two.
  FsInjectFault(kFaultMove, 5, 2);
  Run(s.bytes());
  FsClearFaults();
  EXPECT_EQ(told_.done, (std::vector<int32_t>{-1}));
  EXPECT_EQ(Get(fs::path(dest_) / "a.txt"), "old a");
  EXPECT_EQ(Get(fs::path(dest_) / "b.txt"), "old b");
  EXPECT_FALSE(fs::exists(fs::path(dest_) / "c.txt"));
  EXPECT_TRUE(Leftovers().empty());
}

// A rollback puts back every file whatever its mode is by then, and each file gets its own
// mode back: a read-only file that root may overwrite, an updated file of an unusual mode.
TEST_F(PatchRunTest, RollbackRestoresFilesWhateverTheirModeWithTheirOwnMode) {
  Put("ro.txt", "old ro");
  Put("odd.txt", "old odd");
  const fs::path ro = fs::path(dest_) / "ro.txt", odd = fs::path(dest_) / "odd.txt";
  chmod(ro.c_str(), 0444);
  chmod(odd.c_str(), 0404);
  Script s;
  s.NewFile("\\ro.txt", "new ro").Update("\\odd.txt", "old odd", "old new odd");
  s.Entry(1, 2, "\\x").Op(7).End();
  told_.atEntry = [&](int entry) {
    if (entry != 2) return;
    chmod(ro.c_str(), 0400);
    chmod(odd.c_str(), 0400);
  };
  Run(s.bytes());
  EXPECT_EQ(told_.done, (std::vector<int32_t>{-2}));
  EXPECT_EQ(Get(ro), "old ro");
  EXPECT_EQ(Get(odd), "old odd");
  struct stat st;
  ASSERT_EQ(stat(ro.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0444u);
  ASSERT_EQ(stat(odd.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0404u);
  EXPECT_EQ(left_[0], 0);
  EXPECT_TRUE(Leftovers().empty());
}

// ---- Rollback matrix -----------------------------------------------------------------------

enum StopKind { kStopDataError, kStopMainFile, kStopCancel };

struct MatrixEntry {
  std::string path;      // as stored
  std::string relative;  // in the snapshot
  std::string before;    // empty: the file does not exist before the run
  std::string after;
  bool update;
};

// Eight entries: new files at the top and in new folders, overwritten and updated files at
// the top and in folders, and a file updated first and overwritten again later.
const std::vector<MatrixEntry>& MatrixEntries() {
  static const std::vector<MatrixEntry> entries = {
      {"\\new1.txt", "new1.txt", "", "first new file", false},
      {"\\lib\\upd.dll", "lib/upd.dll", "old library bytes", "old library, rebuilt", true},
      {"\\fresh\\deep\\new2.txt", "fresh/deep/new2.txt", "", "second new file", false},
      {"\\over.txt", "over.txt", "an old text that is longer than the new", "short", false},
      {"\\top.ini", "top.ini", "[old]\nkey=1\n", "[old]\nkey=2\nmore=3\n", true},
      {"\\lib\\over.dat", "lib/over.dat", "old data", "new data", false},
      {"\\lib\\upd.dll", "lib/upd.dll", "", "overwritten after its update", false},
      {"\\fresh\\new3.txt", "fresh/new3.txt", "", "third new file", false},
  };
  return entries;
}

TEST_F(PatchRunTest, RollbackMatrixRestoresTheTreeAtEveryStop) {
  const std::vector<MatrixEntry>& entries = MatrixEntries();
  const StopKind kinds[] = {kStopDataError, kStopMainFile, kStopCancel};
  const char* const kindNames[] = {"data error", "main file", "cancel"};
  for (StopKind kind : kinds) {
    for (size_t stop = 0; stop < entries.size(); ++stop) {
      SCOPED_TRACE(std::string(kindNames[kind]) + " at entry " + std::to_string(stop + 1));
      fs::remove_all(dest_);
      fs::create_directories(dest_);
      Put("Main.exe", "old main");
      Put("keep/untouched.txt", "never named");
      for (const MatrixEntry& e : entries)
        if (!e.before.empty()) Put(e.relative, e.before);
      const Tree before = Snapshot(dest_);

      Script s;
      Tree expected = before;
      for (size_t i = 0; i < entries.size(); ++i) {
        const MatrixEntry& e = entries[i];
        if (i == stop && kind == kStopDataError) {
          s.Entry(1, 2, e.path).Op(7).End();  // an unknown op code
          continue;
        }
        if (i == stop && kind == kStopMainFile) {
          s.Update("\\Main.exe", "not the old main", "new main");  // OriginalCrcError
          continue;
        }
        if (e.update)
          s.Update(e.path, e.before, e.after);
        else
          s.NewFile(e.path, e.after);
        // What survives a rollback: files created new and the folders made on the way.
        if (i > stop || !e.before.empty() || before.count(e.relative)) continue;
        expected[e.relative] = e.after;
        for (fs::path p = fs::path(e.relative).parent_path(); !p.empty(); p = p.parent_path())
          expected[p.string()] = "<dir>";
      }
      told_ = Told();
      told_.cancelAtEntry = kind == kStopCancel ? int(stop) : -1;
      Run(s.bytes(), "main.EXE");

      const int32_t state[] = {kRunDataError, kRunMainFileFailed, kRunCancelled};
      EXPECT_EQ(told_.done, (std::vector<int32_t>{state[kind]}));
      Tree after = Snapshot(dest_);
      std::string log = after[kResultLogName];
      after.erase(kResultLogName);
      EXPECT_EQ(after, expected);
      EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), long(stop + 1));
      EXPECT_TRUE(Leftovers().empty());
    }
  }
}

TEST_F(PatchRunTest, MatrixScriptCompletesWithoutAStop) {
  for (const MatrixEntry& e : MatrixEntries())
    if (!e.before.empty()) Put(e.relative, e.before);
  Script s;
  for (const MatrixEntry& e : MatrixEntries())
    e.update ? s.Update(e.path, e.before, e.after) : s.NewFile(e.path, e.after);
  Run(s.bytes(), "Main.exe");
  EXPECT_EQ(told_.done, (std::vector<int32_t>{1}));
  for (const MatrixEntry& e : MatrixEntries())
    if (e.relative != "lib/upd.dll") EXPECT_EQ(Get(fs::path(dest_) / e.relative), e.after);
  EXPECT_EQ(Get(fs::path(dest_) / "lib/upd.dll"), "overwritten after its update");
  EXPECT_TRUE(Leftovers().empty());
}

// ---- Nothing reached outside the destination, nothing lost ----------------------------------

// Another name of an outside file in the destination (the log's) or in the folder for kept
// backups, and a folder link there: the run writes none of them, and keeps what it should.
TEST_F(PatchRunTest, HardLinksAndLinksLeadNoWriteOutside) {
  vtt::PutFile(root_ / "outside/log", "outside log");
  vtt::PutFile(root_ / "outside/kept", "outside kept");
  fs::create_hard_link(root_ / "outside/log", fs::path(dest_) / kResultLogName);
  vtt::PutFile(root_ / "kept/deeper/d/u.txt", "");
  fs::remove(root_ / "kept/deeper/d/u.txt");
  fs::create_hard_link(root_ / "outside/kept", root_ / "kept/deeper/d/u.txt");
  fs::create_directory_symlink(root_ / "outside", root_ / "kept/deeper/e");
  Put("d/u.txt", "old u");
  Put("e/v.txt", "old v");
  Script s;
  s.Update("\\d\\u.txt", "old u", "new u").Update("\\e\\v.txt", "old v", "new v");
  EXPECT_EQ(Run(s.bytes(), "", 1), kRunInProgress);
  EXPECT_EQ(Snapshot(root_ / "outside"), (Tree{{"kept", "outside kept"}, {"log", "outside log"}}));
  EXPECT_EQ(Log().substr(0, 9), "d\\u.txt -");
  EXPECT_EQ(Get(root_ / "kept/deeper/d/u.txt"), "old u");
  EXPECT_TRUE(Leftovers().empty());
}

// More folders than a run keeps open at once: each kept copy lands at its own path.
TEST_F(PatchRunTest, ManyFoldersAreEachKeptInTheirOwnPlace) {
  Script s;
  Tree old;
  for (int i = 0; i < 40; ++i) {
    const std::string name = "lang" + std::to_string(i) + "/strings.txt";
    old[name] = "old " + name;
    Put(name, old[name]);
    s.Update("\\lang" + std::to_string(i) + "\\strings.txt", old[name], "new " + name);
  }
  old["main.exe"] = "old main";
  Put("main.exe", "old main");
  s.Update("\\main.exe", "old main", "new main");
  EXPECT_EQ(Run(s.bytes(), "main.exe", 1), kRunInProgress);
  Tree kept = Snapshot(kept_);
  for (auto at = kept.begin(); at != kept.end();)
    at = at->second == "<dir>" ? kept.erase(at) : std::next(at);
  EXPECT_EQ(kept, old);
  EXPECT_TRUE(Leftovers().empty());
}

// The run's own BackupDir as it is removed after a complete run, and an interrupted run's as
// the repair removes it: another program renames it at the removal's first delete and puts a
// link to an outside folder at its name. Nothing outside goes.
TEST_F(PatchRunTest, ABackupDirSwappedForALinkAsItIsRemovedLeadsNoDeleteOutside) {
  for (bool interrupted : {false, true}) {
    SCOPED_TRACE(interrupted ? "repair" : "run");
    fs::remove_all(dest_);
    fs::remove_all(root_ / "outside");
    const fs::path forged = fs::path(dest_) / "BAK1.tmp";
    Script s;
    std::string journal = "Vantrel run journal 2\r\n";
    for (int i = 0; i < 30; ++i) {
      const std::string name = "f" + std::to_string(i);
      vtt::PutFile(root_ / "outside" / name, "outside");
      if (interrupted) vtt::PutFile(forged / name, "backup");
      Put(name, "old");
      s.Update("\\" + name, "old", "new");
    }
    if (interrupted) vtt::PutFile(forged / "BAK1.tmp/Vantrel.jnl", journal + "kept\r\n");
    const Tree outside = Snapshot(root_ / "outside");
    auto swap = [&] {
      for (const auto& e : fs::directory_iterator(dest_)) {
        const fs::path bak = e.path();
        if (bak.filename().string().rfind("BAK", 0) != 0 || fs::is_symlink(bak)) continue;
        if (interrupted != (bak == forged)) continue;
        fs::rename(bak, root_ / "moved");
        fs::create_directory_symlink(root_ / "outside", bak);
        return;
      }
    };
    told_ = Told();
    // The run's first delete is that of the name it reserved for its BackupDir; the next is
    // the repair's first. The run's own removal starts once it has decided.
    if (interrupted) FsActAt(kFaultDelete, 1, swap);
    told_.atFinishing = [&] {
      if (!interrupted) FsActAt(kFaultDelete, 0, swap);
    };
    EXPECT_EQ(Run(s.bytes()), kRunInProgress);
    FsClearFaults();
    EXPECT_TRUE(fs::is_directory(root_ / "moved"));
    EXPECT_EQ(Snapshot(root_ / "outside"), outside);
    fs::remove_all(root_ / "moved");
  }
}

// The backup of a run killed under a name conversion (a code page) is found only under the
// same one: under another the folder waits untouched and the run stays out; a journal line
// that finds no backup while one stays in the folder keeps the folder, set aside.
TEST_F(PatchRunTest, BackupsOfAKilledRunAreNeverRemovedUnresolved) {
  const std::string katakana = "\xE3\x82\xA2.txt", cp932 = "\x83\x41.txt";
  const struct {
    const char* tag;
    unsigned codePage;
    int32_t end;
    bool restored;
  } kCases[] = {
      {"names codepage 932\r\n", 0, kRunRepairIncomplete, false},
      {"names codepage 932\r\n", 932, kRunInProgress, true},
      {"", 0, kRunInProgress, false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(std::string(c.tag) + std::to_string(c.codePage));
    fs::remove_all(dest_);
    const fs::path bak = fs::path(dest_) / "BAK2.tmp";
    vtt::PutFile(bak / katakana, "only copy");
    vtt::PutFile(bak / "BAK2.tmp/Vantrel.jnl",
                 std::string("Vantrel run journal 2\r\n") + c.tag + "\\" + cp932 + "\r\n");
    std::string error;
    ASSERT_TRUE(SelectCodePage(c.codePage, &error)) << error;
    told_ = Told();
    const int32_t end = Run(Script().bytes());
    SelectCodePage(0, &error);
    EXPECT_EQ(end, c.end);
    EXPECT_EQ(Get(fs::path(dest_) / katakana), c.restored ? "only copy" : "");
    EXPECT_EQ(Get(bak / katakana), c.restored ? "" : "only copy");
  }
}

}  // namespace
}  // namespace vt
