// The vantrel tool as users run it: exit codes, the one-line errors, pack's output and inspect's
// verdict on damaged installers.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "builder/payload_writer.h"
#include "format/file_format.h"
#include "tests/common/test_files.h"
#include "tests/native/tool_path.h"

namespace vt {
namespace {

namespace fs = std::filesystem;
typedef std::vector<uint8_t> Bytes;

Bytes B(const std::string& s) { return Bytes(s.begin(), s.end()); }

struct Outcome {
  int status;
  std::string out;
  std::string err;
};

// A scratch folder holding a stub, a complete setup folder and a Patch.dat.
class Vantrel : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dir_ / "setup");
    Write("stub.exe", B("MZ" + std::string(3000, 's')));
    for (const char* name :
         {"Update.ini", "License.txt", "Guide.txt", "Readme.txt", "Package.bmp", "Splash.bmp"})
      Write(std::string("setup/") + name, B(std::string("content of ") + name));
    Write("Patch.dat", B(std::string(5000, 'p')));
  }
  void Write(const std::string& name, const Bytes& data) { vtt::PutFile(dir_ / name, data); }
  Bytes Read(const std::string& name) { return vtt::GetBytes(dir_ / name); }

  // Runs vantrel in the scratch folder; `args` is shell text, `prefix` goes before the tool.
  Outcome Run(const std::string& args, const std::string& prefix = "") {
    const std::string command = "cd '" + dir_.string() + "' && " + prefix + "'" +
                                vtt::ToolPath() + "' " + args + " >stdout.txt 2>stderr.txt";
    const int raw = std::system(command.c_str());
    Outcome outcome{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, "", ""};
    const Bytes out = Read("stdout.txt"), err = Read("stderr.txt");
    outcome.out.assign(out.begin(), out.end());
    outcome.err.assign(err.begin(), err.end());
    return outcome;
  }

  Outcome Pack(const std::string& setup = "setup") {
    return Run("pack --stub stub.exe --setup " + setup + " --patch Patch.dat -o inst.exe");
  }

  vtt::ScratchFolder scratch_;
  fs::path dir_ = scratch_.path();
};

// A refusal is exactly one line on stderr, starting "vantrel".
::testing::AssertionResult OneLineError(const Outcome& o, int status, const std::string& mention) {
  if (o.status != status)
    return ::testing::AssertionFailure() << "status " << o.status << ", stderr: " << o.err;
  if (o.err.rfind("vantrel", 0) != 0 || std::count(o.err.begin(), o.err.end(), '\n') != 1 ||
      o.err.back() != '\n')
    return ::testing::AssertionFailure() << "not one error line: " << o.err;
  if (o.err.find(mention) == std::string::npos)
    return ::testing::AssertionFailure() << "no '" << mention << "' in: " << o.err;
  return ::testing::AssertionSuccess();
}

TEST_F(Vantrel, PackWritesWhatTheLibraryBuildsAndInspectListsIt) {
  Write("setup/Language.ini", B("[0409]\r\n"));
  // A copy of the patch script beside the setup files goes into block 2 only.
  Write("setup/Patch.dat", Read("Patch.dat"));
  const Outcome pack = Pack();
  ASSERT_EQ(pack.status, 0) << pack.err;
  EXPECT_EQ(pack.err, "");
  EXPECT_EQ(pack.out.rfind("wrote inst.exe: ", 0), 0u) << pack.out;

  // Block 1 holds the folder's files in name order.
  std::vector<PayloadFile> files;
  for (const char* name : {"Guide.txt", "Language.ini", "License.txt", "Package.bmp", "Readme.txt",
                           "Splash.bmp", "Update.ini"})
    files.push_back({name, Read(std::string("setup/") + name)});
  Bytes expected;
  std::string error;
  ASSERT_TRUE(BuildInstaller(Read("stub.exe"), files, Read("Patch.dat"), &expected, &error));
  EXPECT_EQ(Read("inst.exe"), expected);

  const Outcome inspect = Run("inspect inst.exe");
  EXPECT_EQ(inspect.status, 0) << inspect.err;
  EXPECT_EQ(inspect.err, "");
  EXPECT_NE(inspect.out.find("block 1 (setup files) at offset " + std::to_string(kStubSize) +
                            ": stored length "),
            std::string::npos)
      << inspect.out;
  EXPECT_NE(inspect.out.find("  Language.ini          8\n"), std::string::npos) << inspect.out;
  EXPECT_NE(inspect.out.find("  7 files, "), std::string::npos) << inspect.out;
  EXPECT_NE(
      inspect.out.find("decompressed size 5015, bzip2 block size 9\n  Patch.dat       5000\n"),
      std::string::npos)
      << inspect.out;
}

TEST_F(Vantrel, PackRefusesBadSetupFoldersAndKeepsTheOldOutput) {
  Write("inst.exe", B("previous installer"));
  const std::pair<const char*, const char*> kBadEntries[] = {
      {"a:b", "colon"},
      {"CON", "device name"},
      {"back\\slash", "folder part"},
      {"trail.", "dot"},
      {"Patch.dat", "block 2"},
      {"update.ini", "differ only in case"},
      {"sub/", "folder 'sub'"},
      {"dangling@", "is a link"},
      {"linked@", "is a link"},  // to a file that exists: never packed
  };
  for (const auto& [entry, mention] : kBadEntries) {
    const std::string name(entry);
    // Names only a POSIX folder can hold; through Windows the tool never sees them as such.
    if (vtt::TestingOtherTool() && name != "Patch.dat" && name != "update.ini" && name != "sub/")
      continue;
    const fs::path path = dir_ / "setup" / name.substr(0, name.find_first_of("/@"));
    if (name.back() == '/') {
      fs::create_directory(path);
    } else if (name.back() == '@') {
      fs::create_symlink(dir_ / (name == "linked@" ? "stub.exe" : "missing"), path);
    } else {
      Write("setup/" + name, B("x"));
    }
    EXPECT_TRUE(OneLineError(Pack(), 1, mention)) << entry;
    fs::remove_all(path);
    EXPECT_EQ(Read("inst.exe"), B("previous installer")) << entry;
  }
  // No temporary file is left beside the output, after refusals or success.
  EXPECT_EQ(Pack().status, 0);
  std::vector<std::string> names;
  for (const fs::directory_entry& entry : fs::directory_iterator(dir_))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"Patch.dat", "inst.exe", "setup", "stderr.txt",
                                             "stdout.txt", "stub.exe"}));
}

TEST_F(Vantrel, PackRefusesBadStubsAndUnreadableInputs) {
  Write("big.exe", B("MZ" + std::string(kStubSize - 1, 's')));
  Write("notpe.exe", B("ELF"));
  const std::pair<std::string, std::string> kCases[] = {
      {"--stub big.exe --setup setup --patch Patch.dat -o inst.exe",
       std::to_string(kStubSize + 1) + " bytes"},
      {"--stub notpe.exe --setup setup --patch Patch.dat -o inst.exe", "\"MZ\""},
      {"--stub nothere.exe --setup setup --patch Patch.dat -o inst.exe",
       "cannot read 'nothere.exe'"},
      {"--stub stub.exe --setup nothere --patch Patch.dat -o inst.exe",
       "'nothere' is not a folder"},
      {"--stub stub.exe --setup setup --patch setup -o inst.exe", "cannot read 'setup'"},
      {"--stub stub.exe --setup setup --patch Patch.dat -o no/such/dir.exe", "cannot write"},
  };
  for (const auto& [args, mention] : kCases)
    EXPECT_TRUE(OneLineError(Run("pack " + args), 1, mention)) << args;
  EXPECT_FALSE(fs::exists(dir_ / "inst.exe"));

  // A missing setup file is worth a warning, not a refusal.
  fs::remove(dir_ / "setup" / "Guide.txt");
  EXPECT_TRUE(OneLineError(Pack(), 0, "warning: setup folder 'setup' lacks Guide.txt"));
}

TEST_F(Vantrel, UsageErrorsExitTwoAndHelpGoesToStdout) {
  const std::pair<std::string, std::string> kUsage[] = {
      {"frob", "no command 'frob'"},
      {"--frob", "unknown option '--frob'"},
      {"pack", "missing --stub"},
      {"pack --stub a --stub b", "'--stub' given twice"},
      {"pack --bogus x", "unknown option '--bogus'"},
      {"pack --stub a --setup b --patch c --output", "'--output' needs a value"},
      {"pack --stub=a --setup=b --patch=c -o d extra", "unexpected argument 'extra'"},
      {"inspect", "missing INSTALLER"},
      {"inspect a b", "exactly one"},
      {"help frob", "no command 'frob'"},
  };
  for (const auto& [args, mention] : kUsage)
    EXPECT_TRUE(OneLineError(Run(args), 2, mention)) << args;
  const Outcome bare = Run("");
  EXPECT_EQ(bare.status, 2);
  EXPECT_EQ(bare.err.rfind("usage: vantrel COMMAND", 0), 0u) << bare.err;

  const std::pair<std::string, std::string> kHelp[] = {
      {"--help", "usage: vantrel COMMAND"},     {"help", "usage: vantrel COMMAND"},
      {"help pack", "usage: vantrel pack"},     {"pack --stub x --help", "usage: vantrel pack"},
      {"inspect -h", "usage: vantrel inspect"},
  };
  for (const auto& [args, start] : kHelp) {
    const Outcome o = Run(args);
    EXPECT_EQ(o.status, 0) << args;
    EXPECT_EQ(o.err, "") << args;
    EXPECT_EQ(o.out.rfind(start, 0), 0u) << args << ": " << o.out;
  }
  // After "--" a "--help" is a file name.
  EXPECT_TRUE(OneLineError(Run("inspect -- --help"), 1, "cannot read '--help'"));
}

// Installers damaged in each way the stub refuses, built with the library: inspect and verify
// refuse each for the same reason.
TEST_F(Vantrel, InspectAndVerifySayWhatIsWrongWithADamagedInstaller) {
  const Bytes stub = B("MZ stub");
  const std::vector<PayloadFile> files = {{"Update.ini", B("[App]\r\nAppName=X\r\n")},
                                          {"License.txt", B(std::string(3000, 'L'))}};
  Bytes good;
  std::string error;
  ASSERT_TRUE(BuildInstaller(stub, files, B("patch"), &good, &error));
  const uint32_t length1 = ReadLe32(&good[kStubSize]);
  const Bytes block2(good.begin() + kStubSize + 4 + length1, good.end());

  // An image with block 1 made of `raw` compressed at `level`, stored as `rawSize`.
  auto withBlock1 = [&](const Bytes& raw, int level, uint32_t rawSize, bool corrupt = false) {
    Bytes image(stub);
    image.resize(kStubSize, 0);
    Bytes stream;
    std::string e;
    EXPECT_TRUE(CompressBlock(raw, level, &stream, &e));
    if (corrupt) stream[stream.size() / 2] ^= 0x5a;
    AppendBlock(&image, rawSize, stream);
    image.insert(image.end(), block2.begin(), block2.end());
    return image;
  };
  const Bytes raw1 = SerializeRecords(files);
  const Bytes badName = SerializeRecords({{"..", B("x")}});
  const struct {
    Bytes image;
    std::string mention;
  } kCases[] = {
      {Bytes(good.begin(), good.begin() + 1000),
       "the file is 1000 bytes, shorter than the " + std::to_string(kStubSize) + "-byte stub"},
      {Bytes(good.begin(), good.begin() + kStubSize), "nothing follows the stub"},
      {Bytes(good.begin(), good.end() - 1), "block 2's length"},
      {withBlock1(raw1, 1, uint32_t(raw1.size())),
       "block 1's stream starts \"BZh1\", not \"BZh9\""},
      {withBlock1(raw1, 9, uint32_t(raw1.size()), true), "block 1's bzip2 stream is corrupt"},
      {withBlock1(raw1, 9, uint32_t(raw1.size() - 1)),
       "block 1's stream holds " + std::to_string(raw1.size()) +
           " bytes, more than its stored size of " + std::to_string(raw1.size() - 1)},
      {withBlock1(badName, 9, uint32_t(badName.size())),
       "block 1, record 1 (offset 0): name \"..\" is not a plain file name"},
      // More than the 32-bit installer can allocate, however little the stream holds.
      {withBlock1(raw1, 9, 0x60000000u),
       "block 1's stored size 1610612736 is too large: the 32-bit installer cannot count on "
       "allocating more than 1073741824 bytes"},
  };
  for (const auto& c : kCases) {
    Write("bad.exe", c.image);
    EXPECT_TRUE(OneLineError(Run("inspect bad.exe"), 1, "vantrel: 'bad.exe': " + c.mention));
    EXPECT_TRUE(
        OneLineError(Run("verify bad.exe setup setup"), 1, "vantrel: 'bad.exe': " + c.mention));
  }
  // A damaged block 1 does not hide block 2.
  Write("bad.exe", withBlock1(raw1, 1, uint32_t(raw1.size())));
  EXPECT_NE(Run("inspect bad.exe").out.find("  Patch.dat "), std::string::npos);

  // Bytes after block 2 are worth a note only: the stub never reads them.
  Bytes trailing = good;
  trailing.insert(trailing.end(), {1, 2, 3});
  Write("trailing.exe", trailing);
  const Outcome o = Run("inspect trailing.exe");
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_NE(o.out.find("note: 3 bytes follow block 2"), std::string::npos) << o.out;
}

// A FIFO or a device is no installer: inspect refuses it at once rather than wait for data.
TEST_F(Vantrel, InspectReadsRegularFilesOnly) {
  if (vtt::TestingOtherTool()) GTEST_SKIP() << "POSIX FIFOs";
  ASSERT_EQ(mkfifo((dir_ / "fifo.exe").c_str(), 0600), 0);
  EXPECT_TRUE(OneLineError(Run("inspect fifo.exe", "timeout 20 "), 1, "not a regular file"));
}

// A block whose stream is tiny and whose bytes are many (a bomb), and many bytes after block 2:
// inspect holds the block's bytes once (not a copy beside them) and never reads the rest.
TEST_F(Vantrel, InspectHoldsABlockOnceAndTheFileNever) {
  if (vtt::TestingOtherTool()) GTEST_SKIP() << "the memory of a native child";
  const size_t kBlock = size_t(96) << 20, kAfter = size_t(192) << 20;
  // Each step in a child of its own: a child's peak memory counts what it shared at its fork,
  // so this process stays small, and the last child's peak is the tool's.
  const auto runInChild = [&](const std::function<void()>& step, struct rusage* usage) {
    const pid_t child = fork();
    if (child == 0) {
      step();
      _exit(102);
    }
    int status = -1;
    if (child < 0 || wait4(child, &status, 0, usage) != child || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
  };
  struct rusage usage = {};
  ASSERT_EQ(runInChild([&] {
              Bytes image;
              std::string error;
              if (!BuildInstaller(B("MZ"), {{"Update.ini", B("[App]")}}, Bytes(kBlock), &image,
                                  &error))
                _exit(1);
              Write("bomb.exe", image);
              fs::resize_file(dir_ / "bomb.exe", image.size() + kAfter);
              _exit(0);
            }, &usage), 0);
  ASSERT_EQ(runInChild([&] {
              if (chdir(dir_.c_str()) == 0 && freopen("/dev/null", "w", stdout))
                execl(VANTREL_EXE, VANTREL_EXE, "inspect", "bomb.exe", static_cast<char*>(nullptr));
            }, &usage), 0);
  // ru_maxrss is in KiB: the block, the program and its sanitizers' share, not twice the block.
  EXPECT_LT(uint64_t(usage.ru_maxrss) << 10, kBlock + kBlock / 2) << usage.ru_maxrss;
}

}  // namespace
}  // namespace vt
