// `vantrel apply` as users run it: its exit status for each way a run ends, its output, and
// Ctrl+C, which must roll the folder back.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

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

  // Without --main-file the same skip does not fail the run.
  EXPECT_EQ(Run("apply main.dat dest"), 0) << err_;
  EXPECT_EQ(Read(dir_ / "dest/a.txt"), "new a");

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

// Ctrl+C during a long run: the run stops after the current entry and rolls back. The test
// holds the run still by not reading its output until the pipe is full.
TEST_F(ApplyCommand, InterruptRollsBack) {
  // A signal cannot reach a Windows console program run through Wine as Ctrl+C does.
  if (vtt::TestingOtherTool()) GTEST_SKIP() << "Ctrl+C is tested with the native tool only";
  const int kEntries = 2000;
  Script script;
  for (int i = 0; i < kEntries; ++i) {
    const std::string name = "file_with_a_rather_long_name_" + std::to_string(i) + ".txt";
    Write(dir_ / "dest" / name, "old " + std::to_string(i));
    script.NewFile("\\" + name, "new " + std::to_string(i));
  }
  Write(dir_ / "Patch.dat", script.bytes());

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
  kill(child, SIGINT);
  std::string printed;
  char buffer[4096];
  for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) printed.append(buffer, size_t(n));
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

}  // namespace
}  // namespace vt
