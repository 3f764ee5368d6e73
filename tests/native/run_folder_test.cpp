// Runs killed part-way: `vantrel apply` killed at random moments and at the replace step of a
// chosen file. Right after the kill every file holds its old or its new content (or, at the
// replace step, is out of its place with its old content in the run's BackupDir); the next run
// repairs that first and then completes, or fails and leaves the old version.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <thread>

#include "patch/apply_entry.h"
#include "patch/crc32.h"
#include "tests/common/fs_faults.h"
#include "patch/patch_run.h"
#include "patch/result_log.h"
#include "tests/common/test_files.h"
#include "tests/native/tool_path.h"

namespace vt {
namespace {

namespace fs = std::filesystem;
typedef vtt::FileTree Tree;

// The files below `dir`, without its folders.
Tree Snapshot(const fs::path& dir) {
  Tree tree = vtt::Snapshot(dir);
  for (auto at = tree.begin(); at != tree.end();)
    at = at->second == "<dir>" ? tree.erase(at) : std::next(at);
  return tree;
}

// Files and folders of ours in the destination: BackupDirs and temporary files.
bool HasTraces(const fs::path& dest) {
  for (const auto& e : fs::directory_iterator(dest)) {
    std::string name = e.path().filename().string();
    if (name.rfind("BAK", 0) == 0 || name.rfind("PCH", 0) == 0) return true;
  }
  return false;
}

// The old content of `relative` in a BackupDir that a killed run left, or "<none>".
std::string InBackupDir(const fs::path& dest, const std::string& relative) {
  for (const auto& e : fs::directory_iterator(dest))
    if (e.is_directory() && e.path().filename().string().rfind("BAK", 0) == 0 &&
        fs::is_regular_file(e.path() / relative))
      return vtt::GetFile(e.path() / relative);
  return "<none>";
}

void LoadEnglish(void*, uint32_t id, char* text, uint32_t size) {
  snprintf(text, size, "%s", BuiltInLogMessage(id));
}
void OnDone(void* context, int32_t state) { *static_cast<int32_t*>(context) = state; }

// OLD and NEW versions of a few thousand files, OLD copied into the destination for each run,
// and the script that `vantrel diff` makes between them.
class KilledRunTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    BuildCrcTable();
    // Thousands of files made and removed for every kill: in memory where the system offers a
    // file system there, which is what the kills are about, not the disk.
    const fs::path base = fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
    root_ = base / ("vantrel_killed_" + std::to_string(getpid()));
    fs::remove_all(root_);
    for (int i = 0; i < kFiles; ++i) {
      const std::string name = "d" + std::to_string(i % 20) + "/f" + std::to_string(i) + ".txt";
      const std::string body(200 + i % 300, char('a' + i % 26));
      old_[name] = "old " + body + std::to_string(i);
      // Most files change; some stay; a few appear only in NEW.
      if (i % 7 != 0) new_[name] = "new " + std::to_string(i) + body;
      else new_[name] = old_[name];
    }
    for (int i = 0; i < kFiles / 10; ++i) new_["added/n" + std::to_string(i)] = "added " + std::to_string(i);
    for (const auto& [name, content] : old_) vtt::PutFile(root_ / "old" / name, content);
    for (const auto& [name, content] : new_) vtt::PutFile(root_ / "new" / name, content);
    ASSERT_EQ(Tool("diff old new -o Patch.dat"), 0);
  }
  static void TearDownTestSuite() { fs::remove_all(root_); }

  static int Tool(const std::string& args) {
    const std::string command = "cd '" + root_.string() + "' && '" + vtt::ToolPath() + "' " +
                                args + " >/dev/null 2>&1 </dev/null";
    const int raw = std::system(command.c_str());
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  }

  void FreshDestination() {
    fs::remove_all(dest());
    fs::copy(root_ / "old", dest(), fs::copy_options::recursive);
  }
  static fs::path dest() { return root_ / "dest"; }

  // Starts `vantrel apply Patch.dat dest`.
  pid_t StartApply() {
    const pid_t child = fork();
    if (child == 0) {
      if (chdir(root_.c_str()) != 0) _exit(100);
      freopen("/dev/null", "w", stdout);
      freopen("/dev/null", "w", stderr);
      execl(VANTREL_EXE, VANTREL_EXE, "apply", "Patch.dat", "dest", static_cast<char*>(nullptr));
      _exit(101);
    }
    return child;
  }

  // Right after a kill: each file has its old or new content; at the replace step it may be
  // out of its place, with its old content in the run's BackupDir, which the next run repairs.
  void ExpectOldOrNew() {
    Tree now = Snapshot(dest());
    for (const auto& [name, content] : new_) {
      auto found = now.find(name);
      const auto old = old_.find(name);
      if (found == now.end()) {
        if (old != old_.end()) EXPECT_EQ(InBackupDir(dest(), name), old->second) << name;
        continue;
      }
      const bool isOld = old != old_.end() && found->second == old->second;
      EXPECT_TRUE(isOld || found->second == content) << name;
    }
  }

  void ExpectVersion(const Tree& version) {
    Tree now = Snapshot(dest());
    EXPECT_EQ(now.erase(kResultLogName), 1u);
    for (const auto& [name, content] : version) {
      auto found = now.find(name);
      EXPECT_TRUE(found != now.end() && found->second == content) << name;
      if (found != now.end()) now.erase(found);
    }
    EXPECT_TRUE(now.empty()) << now.begin()->first;
    EXPECT_FALSE(HasTraces(dest()));
  }

  static const int kFiles = 2000;
  static fs::path root_;
  static Tree old_, new_;
};

fs::path KilledRunTest::root_;
Tree KilledRunTest::old_, KilledRunTest::new_;

TEST_F(KilledRunTest, KilledAtRandomMomentsTheNextRunRepairsAndCompletesOrRollsBack) {
  // A whole run's log, whose growth tells how far a run has come: the kills follow the run's
  // own progress, not a clock, so a loaded machine cannot push them past the run's end.
  FreshDestination();
  int status = 0;
  waitpid(StartApply(), &status, 0);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  ExpectVersion(new_);
  const uintmax_t wholeLog = fs::file_size(dest() / kResultLogName);

  // The damaged script: the same entries and one with an unknown op code at the end.
  std::string damaged = vtt::GetFile(root_ / "Patch.dat");
  const uint32_t count = ReadLe32(reinterpret_cast<const uint8_t*>(damaged.data())) + 1;
  WriteLe32(reinterpret_cast<uint8_t*>(&damaged[0]), count);
  damaged += std::string("\x01\0\0\0\x02\0\0\0\\zz\0\x07\0", 14);
  vtt::PutFile(root_ / "damaged.dat", damaged);
  // A failed run rolls back what it replaced; the files it added stay.
  Tree rolledBack = old_;
  for (const auto& [name, content] : new_) rolledBack.emplace(name, content);

  std::mt19937 random(20261207);
  int interrupted = 0;
  for (int kill = 0; kill < 9; ++kill) {
    SCOPED_TRACE("kill " + std::to_string(kill));
    FreshDestination();
    // Killed once its log holds between 1% and 70% of a whole run's, at whatever instruction
    // the run is then.
    const uintmax_t mark = wholeLog * (10 + random() % 690) / 1000;
    const pid_t child = StartApply();
    bool ended = false;
    for (std::error_code error;;) {
      ended = waitpid(child, &status, WNOHANG) == child;
      if (ended || (fs::file_size(dest() / kResultLogName, error) >= mark && !error)) break;
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    if (!ended) {
      ::kill(child, SIGKILL);
      waitpid(child, &status, 0);
    }
    if (WIFSIGNALED(status)) ++interrupted;
    ExpectOldOrNew();
    // A run killed after its last entry may have decided to keep its result already.
    const std::string log = vtt::GetFile(dest() / kResultLogName);
    const bool throughAll = uint32_t(std::count(log.begin(), log.end(), '\n')) == count - 1;
    // Every third kill the next run fails, which must leave the old version.
    if (kill % 3 == 2) {
      EXPECT_EQ(Tool("apply damaged.dat dest"), 3);
      Tree now = Snapshot(dest());
      now.erase(kResultLogName);
      ExpectVersion(throughAll && now == new_ ? new_ : rolledBack);
    } else {
      EXPECT_EQ(Tool("apply Patch.dat dest"), 0);
      ExpectVersion(new_);
    }
  }
  EXPECT_GE(interrupted, 4) << "too few runs were killed before their end";
}

// Killed at the one moment when a file is out of its place: its old file already moved into
// BackupDir, its rebuilt content not yet moved in.
TEST_F(KilledRunTest, KilledAtTheReplaceStepOfAChosenFile) {
  FreshDestination();
  const std::string chosen = "d3/f1003.txt";
  ASSERT_NE(old_[chosen], new_[chosen]);
  // The moves before the chosen file's: an update makes two (the old file into BackupDir, the
  // rebuilt one into place), a new file one, or three when it overwrites a file.
  const std::string bytes = vtt::GetFile(root_ / "Patch.dat");
  uint32_t count = 0;
  ScriptCursor cursor;
  ASSERT_TRUE(BeginScript(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), &count,
                          &cursor));
  int moves = 0;
  for (;;) {
    EntryFacts facts;
    ASSERT_TRUE(ReadEntry(&cursor, &facts));
    std::string name = facts.path + 1;
    for (char& c : name)
      if (c == '\\') c = '/';
    if (name == chosen) break;
    moves += !facts.newFile ? 2 : old_.count(name) ? 3 : 1;
  }
  const std::string script = (root_ / "Patch.dat").string(), destination = dest().string();
  const pid_t child = fork();
  if (child == 0) {
    FsKillAt(kFaultMove, moves + 1);
    int32_t state = 99;
    RunState run = {};
    run.destinationDir = destination.c_str();
    run.keptBackupDir = "";
    run.scriptPath = script.c_str();
    run.observer = {nullptr, nullptr, nullptr, nullptr, nullptr, OnDone, &state};
    run.loadMessage = LoadEnglish;
    run.state = kRunInProgress;
    RunPatch(&run, nullptr);
    _exit(0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
  EXPECT_FALSE(fs::exists(dest() / chosen));
  EXPECT_EQ(InBackupDir(dest(), chosen), old_[chosen]);
  ExpectOldOrNew();

  EXPECT_EQ(Tool("apply Patch.dat dest"), 0);
  ExpectVersion(new_);
  const std::string log = vtt::GetFile(dest() / kResultLogName);
  EXPECT_NE(log.find("d3\\f1003.txt -> Restored after an interrupted setup.\r\n"),
            std::string::npos);
  EXPECT_NE(log.find(" -> Left by an interrupted setup; removed.\r\n"), std::string::npos);
}

// A folder that merely looks like a BackupDir, and one whose run still lives, stay untouched.
TEST_F(KilledRunTest, FoldersThatAreNotInterruptedRunsAreLeftAlone) {
  FreshDestination();
  vtt::PutFile(dest() / "BAK1.tmp" / "d0" / "f0.txt", "a user's own file");
  vtt::PutFile(dest() / "BAK1.tmp" / "BAK1.tmp" / "Vantrel.jnl", "not our journal\r\n");
  vtt::PutFile(dest() / "BAK2.tmp" / "d0" / "f0.txt", "a user's own file");
  EXPECT_EQ(Tool("apply Patch.dat dest"), 0);
  Tree now = Snapshot(dest());
  EXPECT_EQ(now["d0/f0.txt"], new_["d0/f0.txt"]);
  EXPECT_EQ(now["BAK1.tmp/d0/f0.txt"], "a user's own file");
  EXPECT_EQ(now["BAK2.tmp/d0/f0.txt"], "a user's own file");
  EXPECT_EQ(vtt::GetFile(dest() / kResultLogName).find("interrupted"), std::string::npos);
}

// Forged BackupDirs: a repair puts back only what a journal of ours names, under the rules of
// an entry's path, writes nothing outside the destination, names what it refuses and lets the
// run go on; a folder it cannot use is not taken up again.
TEST_F(KilledRunTest, ForgedFoldersNeverReachOutsideNorBlockTheRun) {
  const std::string kSigned = "Vantrel run journal 2\r\n";
  const fs::path outside = root_ / "outside", bak = dest() / "BAK1.tmp";
  const std::string longName(100, 'x');
  struct Case {
    const char* name;
    std::function<void()> forge;
    const char* logged;  // a line of the first run's log, or "" for none about the folder
    bool markable = true;  // the journal can be marked, so a second run says nothing of it
  };
  const Case kCases[] = {
      {"a link on the way to a file it names",
       [&] {
         vtt::PutFile(bak / "BAK1.tmp" / "Vantrel.jnl", kSigned + "\\sub\\f.txt\r\n");
         vtt::PutFile(bak / "sub" / "f.txt", "planted");
         fs::create_directory_symlink(outside, dest() / "sub");
       },
       "sub\\f.txt -> A link or a refused name; left as it is.\r\n"},
      {"the first journal's form, through a link",
       [&] {
         vtt::PutFile(bak / "BAK1.tmp" / "Vantrel.jnl", "Vantrel run journal\r\n");
         vtt::PutFile(bak / "sub" / "f.txt", "planted");
         fs::create_directory_symlink(outside, dest() / "sub");
       },
       ""},
      {"its journal's folder a link",
       [&] {
         vtt::PutFile(outside / "Vantrel.jnl", kSigned);
         fs::create_directories(bak);
         fs::create_directory_symlink(outside, bak / "BAK1.tmp");
       },
       "BAK1.tmp -> A link or a refused name; left as it is.\r\n", false},
      {"the folder itself a link",
       [&] {
         vtt::PutFile(outside / "BAK1.tmp" / "Vantrel.jnl", kSigned + "\\f.txt\r\n");
         fs::create_directory_symlink(outside, bak);
       },
       ""},
      {"a backup folder that is a link",
       [&] {
         vtt::PutFile(bak / "BAK1.tmp" / "Vantrel.jnl", kSigned + "\\d0\\f0.txt\r\n");
         fs::create_directory_symlink(outside, bak / "d0");
       },
       "d0\\f0.txt -> A link or a refused name; left as it is.\r\n"},
      {"a backup that is a link",
       [&] {
         vtt::PutFile(bak / "BAK1.tmp" / "Vantrel.jnl", kSigned + "\\d0\\f0.txt\r\n");
         fs::create_directories(bak / "d0");
         fs::create_symlink(outside / "f.txt", bak / "d0" / "f0.txt");
       },
       "d0\\f0.txt -> A link or a refused name; left as it is.\r\n"},
      {"the log's own name",
       [&] {
         vtt::PutFile(bak / "BAK1.tmp" / "Vantrel.jnl", kSigned + "\\Vantrel.log\r\n");
         vtt::PutFile(bak / kResultLogName, "planted");
       },
       "Vantrel.log -> A link or a refused name; left as it is.\r\n"},
      {"a path the rules refuse",
       [&] {
         vtt::PutFile(bak / "BAK1.tmp" / "Vantrel.jnl",
                      kSigned + "\\" + longName + "\\" + longName + "\\" + longName + "\r\n" +
                          "\\..\\..\\f.txt\r\n\\a\r\nforged\r\n");
       },
       "..\\..\\f.txt -> A link or a refused name; left as it is.\r\n"},
      {"a file too deep to remove",
       [&] {
         vtt::PutFile(bak / "BAK1.tmp" / "Vantrel.jnl", kSigned);
         vtt::PutFile(bak / longName / longName / longName / "f.txt", "planted");
       },
       "BAK1.tmp -> Not every file could be restored; kept here.\r\n"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    FreshDestination();
    fs::remove_all(outside);
    vtt::PutFile(outside / "f.txt", "outside");
    vtt::PutFile(outside / "d0" / "f0.txt", "outside");
    c.forge();
    const Tree outsideBefore = vtt::Snapshot(outside);
    EXPECT_EQ(Tool("apply Patch.dat dest"), 0);
    EXPECT_EQ(vtt::Snapshot(outside), outsideBefore);
    const std::string log = vtt::GetFile(dest() / kResultLogName);
    EXPECT_EQ(log.find("interrupted"), std::string::npos) << log.substr(0, 400);
    if (*c.logged)
      EXPECT_NE(log.find(c.logged), std::string::npos) << log.substr(0, 400);
    else
      EXPECT_EQ(log.find("BAK1.tmp"), std::string::npos) << log.substr(0, 400);
    // Nothing planted went into the destination, and the folder is not taken up again.
    EXPECT_NE(vtt::GetFile(dest() / "d0" / "f0.txt"), "planted");
    EXPECT_FALSE(fs::is_symlink(dest() / "d0" / "f0.txt"));
    EXPECT_NE(vtt::GetFile(dest() / kResultLogName), "planted");
    EXPECT_EQ(Tool("apply Patch.dat dest"), 0);
    EXPECT_EQ(vtt::Snapshot(outside), outsideBefore);
    const std::string again = vtt::GetFile(dest() / kResultLogName);
    if (c.markable)
      EXPECT_EQ(again.find(" left as it is."), std::string::npos) << again.substr(0, 400);
  }
  fs::remove_all(outside);
}

}  // namespace
}  // namespace vt
