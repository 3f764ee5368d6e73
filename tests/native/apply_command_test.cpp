// `vantrel apply` as users run it: its exit status for each way a run ends, its output, the
// signals that must roll the folder back, and links in the folder, which it must not follow.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "patch/crc32.h"
#include "tests/common/script_builder.h"
#include "tests/common/test_files.h"
#include "tests/native/tool_path.h"

namespace vt {
namespace {

namespace fs = std::filesystem;
typedef std::vector<uint8_t> Bytes;

using vtt::Crc;
using vtt::Script;

class ApplyCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    BuildCrcTable();
    fs::create_directories(dir_ / "dest");
  }

  void Write(const fs::path& path, const Bytes& bytes) { vtt::PutFile(path, bytes); }
  void Write(const fs::path& path, const std::string& text) { vtt::PutFile(path, text); }
  std::string Read(const fs::path& path) { return vtt::GetFile(path); }

  // Runs vantrel in the scratch folder with output to files; returns the exit status.
  int Run(const std::string& args) {
    const std::string command = "cd '" + dir_.string() + "' && '" + vtt::ToolPath() + "' " + args +
                                " >stdout.txt 2>stderr.txt </dev/null";
    const int raw = std::system(command.c_str());
    out_ = Read(dir_ / "stdout.txt");
    err_ = Read(dir_ / "stderr.txt");
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  }

  vtt::ScratchFolder scratch_;
  fs::path dir_ = scratch_.path();
  std::string out_, err_;
};

TEST_F(ApplyCommand, CompleteRunExitsZeroWithOneLinePerEntry) {
  Write(dir_ / "dest/old.txt", "old");
  Write(dir_ / "Patch.dat",
        Script().NewFile("\\old.txt", "new").NewFile("\\sub\\n.txt", "n").bytes());
  EXPECT_EQ(Run("apply Patch.dat dest --keep-backup kept/inner"), 0) << err_;
  EXPECT_EQ(out_.substr(0, out_.find("applied")), "[1/2] \\old.txt\n[2/2] \\sub\\n.txt\n");
  EXPECT_EQ(Read(dir_ / "dest/Vantrel.log"),
            "old.txt -> File existed, and overwritten.\r\n"
            "sub\\n.txt -> File installed successfully!\r\n");
  EXPECT_EQ(Read(dir_ / "dest/old.txt"), "new");
  EXPECT_EQ(Read(dir_ / "kept/inner/old.txt"), "old");
}

TEST_F(ApplyCommand, EachFailingStateHasItsOwnStatusAndRollsBack) {
  Write(dir_ / "dest/a.txt", "old a");
  Write(dir_ / "dest/bin/App.exe", "some app");
  // The update's old file has some other content: OriginalCrcError.
  Write(dir_ / "main.dat",
        Script().NewFile("\\a.txt", "new a").Entry(1, 2, "\\bin\\App.exe").End().bytes());
  EXPECT_EQ(Run("apply main.dat dest --main-file APP.EXE"), 4);
  EXPECT_NE(err_.find("main file"), std::string::npos) << err_;
  EXPECT_EQ(Read(dir_ / "dest/a.txt"), "old a");

  // Without --main-file the same skip keeps the run's result, but is no success: its own
  // status, a summary by outcome and one error line.
  EXPECT_EQ(Run("apply main.dat dest"), 6) << err_;
  EXPECT_EQ(Read(dir_ / "dest/a.txt"), "new a");
  EXPECT_NE(out_.find("       1 overwritten\n       1 skipped, another version (CRC differs)\n"),
            std::string::npos)
      << out_;
  EXPECT_EQ(err_.rfind("vantrel: 1 of 2 entries were skipped or failed (see 'dest", 0), 0u) << err_;
  EXPECT_EQ(std::count(err_.begin(), err_.end(), '\n'), 1) << err_;

  Write(dir_ / "dest/a.txt", "old a");
  Write(dir_ / "damaged.dat",
        Script().NewFile("\\a.txt", "new a").Entry(0, 0, "b").Op(9).bytes());  // op code 9
  EXPECT_EQ(Run("apply damaged.dat dest"), 3);
  EXPECT_EQ(Read(dir_ / "dest/a.txt"), "old a");

  Write(dir_ / "empty.dat", "");
  EXPECT_EQ(Run("apply empty.dat dest"), 3);
}

TEST_F(ApplyCommand, RefusedCommandLinesChangeNothing) {
  EXPECT_EQ(Run("apply missing.dat newdest"), 1);
  EXPECT_EQ(std::count(err_.begin(), err_.end(), '\n'), 1) << err_;
  EXPECT_FALSE(fs::exists(dir_ / "newdest"));
  EXPECT_EQ(Run("apply dest newdest"), 1);  // a folder is no script
  EXPECT_FALSE(fs::exists(dir_ / "newdest"));
  EXPECT_EQ(Run("apply onlyone"), 2);
  EXPECT_EQ(Run("apply a b c"), 2);
  EXPECT_EQ(Run("apply a b --bogus x"), 2);
  Write(dir_ / "Patch.dat", Script().bytes());
  EXPECT_EQ(Run("apply Patch.dat " + std::string(300, 'd')), 1);
}

// Ctrl+C, SIGTERM or SIGHUP during a long run: the run stops after the current entry and rolls
// back. The test holds the run still by not reading its output until the pipe is full.
TEST_F(ApplyCommand, InterruptRollsBack) {
  // A signal cannot reach a Windows console program run through Wine as Ctrl+C does.
  if (vtt::TestingOtherTool()) GTEST_SKIP() << "Ctrl+C is tested with the native tool only";
  const int kEntries = 2000;
  Script script;
  for (int i = 0; i < kEntries; ++i) {
    const std::string name = "file_with_a_rather_long_name_" + std::to_string(i) + ".txt";
    script.NewFile("\\" + name, "new " + std::to_string(i));
  }
  Write(dir_ / "Patch.dat", script.bytes());

  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(strsignal(signal));
    for (int i = 0; i < kEntries; ++i)
      Write(dir_ / "dest" / ("file_with_a_rather_long_name_" + std::to_string(i) + ".txt"),
            "old " + std::to_string(i));
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      dup2(out[1], 1);
      close(out[0]);
      close(out[1]);
      if (chdir(dir_.c_str()) != 0) _exit(100);
      int null = open("/dev/null", O_WRONLY);
      dup2(null, 2);
      execl(VANTREL_EXE, VANTREL_EXE, "apply", "Patch.dat", "dest", static_cast<char*>(nullptr));
      _exit(101);
    }
    close(out[1]);
    int queued = 0;
    for (int i = 0; i < 1000 && queued < 65536; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      ioctl(out[0], FIONREAD, &queued);
    }
    EXPECT_GE(queued, 65536) << "the run never filled its output pipe";
    kill(child, signal);
    std::string printed;
    char buffer[4096];
    for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;)
      printed.append(buffer, size_t(n));
    close(out[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 5);
    const size_t lines = size_t(std::count(printed.begin(), printed.end(), '\n'));
    EXPECT_LT(lines, size_t(kEntries));
    for (int i = 0; i < kEntries; ++i) {
      const std::string name = "file_with_a_rather_long_name_" + std::to_string(i) + ".txt";
      ASSERT_EQ(Read(dir_ / "dest" / name), "old " + std::to_string(i)) << name;
    }
    for (const auto& e : fs::directory_iterator(dir_ / "dest"))
      EXPECT_NE(e.path().filename().string().rfind("BAK", 0), 0u) << e.path();
  }
}

// A run that completes with entries whose file did not reach its new version (gone after an
// interrupted earlier run, a rebuild that came out wrong as on a full disk) has a status of its
// own and says so by outcome; a file that is already new is no fault.
TEST_F(ApplyCommand, SkippedOrFailedEntriesAreNoSuccess) {
  const struct {
    const char* present;  // dest/f.txt before the run, or null
    uint32_t newCrc;
    int status;
    const char* summary;
  } kCases[] = {
      {nullptr, Crc("new"), 6, "skipped, file missing"},
      {"old", Crc("not what the copy gives"), 6, "failed, rebuilt file wrong or not written"},
      {"new", Crc("new"), 0, "already updated"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.summary);
    fs::remove(dir_ / "dest/f.txt");
    if (c.present) Write(dir_ / "dest/f.txt", c.present);
    // The update copies all of "old".
    Write(dir_ / "Patch.dat",
          Script().Entry(Crc("old"), c.newCrc, "\\f.txt").Copy(3, 0).End().bytes());
    EXPECT_EQ(Run("apply Patch.dat dest"), c.status) << err_;
    EXPECT_NE(out_.find(std::string("       1 ") + c.summary + "\n"), std::string::npos) << out_;
    EXPECT_EQ(std::count(err_.begin(), err_.end(), '\n'), c.status ? 1 : 0) << err_;
  }
}

// --keep-backup onto a file cannot keep anything: refused before DESTINATION is touched.
TEST_F(ApplyCommand, KeepBackupThatCannotKeepIsRefused) {
  Write(dir_ / "dest/a.txt", "old");
  Write(dir_ / "kept", "a file");
  Write(dir_ / "Patch.dat", Script().NewFile("\\a.txt", "new").bytes());
  EXPECT_EQ(Run("apply Patch.dat dest --keep-backup kept"), 1);
  EXPECT_NE(err_.find("cannot keep backups in 'kept"), std::string::npos) << err_;
  EXPECT_EQ(Read(dir_ / "dest/a.txt"), "old");
  EXPECT_EQ(Read(dir_ / "kept"), "a file");
}

// The kept backups are an output: in DESTINATION, in a folder of it, or around it they would
// be copied over what the run wrote, or take in its files. Refused before anything changes.
TEST_F(ApplyCommand, KeepBackupInOrAroundTheDestinationIsRefused) {
  Write(dir_ / "dest/a.txt", "old");
  Write(dir_ / "Patch.dat", Script().NewFile("\\a.txt", "new").bytes());
  for (const char* kept : {"dest", "dest/", "./dest/../dest", "dest/kept", ".", "fresh/.."}) {
    SCOPED_TRACE(kept);
    EXPECT_EQ(Run("apply Patch.dat dest --keep-backup " + std::string(kept)), 1);
    EXPECT_NE(err_.find("lies in or around it"), std::string::npos) << err_;
    EXPECT_EQ(Read(dir_ / "dest/a.txt"), "old");
    EXPECT_FALSE(fs::exists(dir_ / "dest/Vantrel.log"));
  }
  EXPECT_EQ(Run("apply Patch.dat dest --keep-backup destination.bak"), 0) << err_;
  EXPECT_EQ(Read(dir_ / "destination.bak/a.txt"), "old");
}

// A kept copy that cannot be made (a folder link stands in its way): named, with exit 6.
TEST_F(ApplyCommand, KeepBackupNamesTheCopiesItCouldNotKeep) {
  Write(dir_ / "dest/d/a.txt", "old");
  fs::create_directories(dir_ / "outside");
  fs::create_directories(dir_ / "kept");
  fs::create_directory_symlink(dir_ / "outside", dir_ / "kept/d");
  Write(dir_ / "Patch.dat", Script().NewFile("\\d\\a.txt", "new").bytes());
  EXPECT_EQ(Run("apply Patch.dat dest --keep-backup kept"), 6);
  // The folder as the tool writes it, ending in its system's separator.
  const std::string kept = vtt::TestingOtherTool() ? "'kept\\'" : "'kept/'";
  EXPECT_NE(err_.find("could not be kept in " + kept + ": 'd\\a.txt'"), std::string::npos)
      << err_;
  EXPECT_TRUE(fs::is_empty(dir_ / "outside"));
}

// A backslash in a command-line path is a character of a name on POSIX systems: the run
// reaches the very file and folders named, never those the backslash would separate.
TEST_F(ApplyCommand, BackslashInACommandLinePathStaysPartOfTheName) {
  if (vtt::TestingOtherTool()) GTEST_SKIP() << "a backslash separates folders on Windows";
  const Bytes script = Script().NewFile("\\n.txt", "n").bytes();
  Write(dir_ / "s\\p.dat", script);
  Write(dir_ / "s/p.dat", Script().NewFile("\\other.txt", "o").bytes());
  Write(dir_ / "we\\ird/n.txt", "old");
  EXPECT_EQ(Run("apply 's\\p.dat' 'we\\ird' --keep-backup 'k\\ept'"), 0) << err_;
  EXPECT_EQ(Read(dir_ / "we\\ird/n.txt"), "n");
  EXPECT_EQ(Read(dir_ / "we\\ird/Vantrel.log"), "n.txt -> File existed, and overwritten.\r\n");
  EXPECT_EQ(Read(dir_ / "k\\ept/n.txt"), "old");
  EXPECT_NE(out_.find("to 'we\\ird'"), std::string::npos) << out_;
  for (const char* other : {"we", "k", "s/other.txt"}) EXPECT_FALSE(fs::exists(dir_ / other));
  // The script's second name went with the run, its first stays.
  EXPECT_EQ(vtt::GetBytes(dir_ / "s\\p.dat"), script);
}

// A link in DESTINATION where the script names a file or a folder is refused for that entry:
// nothing is written, nor any folder made, outside DESTINATION.
TEST_F(ApplyCommand, LinksInTheDestinationAreNotWrittenThrough) {
  if (vtt::TestingOtherTool()) GTEST_SKIP() << "POSIX links";
  Write(dir_ / "outside/victim.txt", "precious");
  Write(dir_ / "outside/old.txt", "old");
  fs::create_symlink(dir_ / "outside/victim.txt", dir_ / "dest/file.txt");
  fs::create_symlink(dir_ / "outside/old.txt", dir_ / "dest/update.txt");
  fs::create_directory_symlink(dir_ / "outside", dir_ / "dest/linked");
  const vtt::FileTree outside = vtt::Snapshot(dir_ / "outside");
  Write(dir_ / "Patch.dat", Script()
                                .NewFile("\\file.txt", "planted")
                                .Update("\\update.txt", "old", "new")
                                .NewFile("\\linked\\planted.txt", "planted")
                                .NewFile("\\linked\\sub\\planted.txt", "planted")
                                .bytes());
  EXPECT_EQ(Run("apply Patch.dat dest"), 6) << err_;
  EXPECT_NE(out_.find("       4 skipped, access denied or a link\n"), std::string::npos) << out_;
  EXPECT_EQ(vtt::Snapshot(dir_ / "outside"), outside);
  // Nor is the log written through a link: the run is refused before it starts.
  fs::remove(dir_ / "dest/Vantrel.log");
  fs::create_symlink(dir_ / "outside/victim.txt", dir_ / "dest/Vantrel.log");
  EXPECT_EQ(Run("apply Patch.dat dest"), 1);
  EXPECT_EQ(vtt::Snapshot(dir_ / "outside"), outside);
  // The script itself may be named through a link: that is the user's own choice.
  Write(dir_ / "n.dat", Script().NewFile("\\n.txt", "n").bytes());
  fs::create_symlink(dir_ / "n.dat", dir_ / "linked.dat");
  EXPECT_EQ(Run("apply linked.dat fresh"), 0) << err_;
}

}  // namespace
}  // namespace vt
