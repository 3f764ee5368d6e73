// Applying patch script entries: every result with its effect on disk and in BackupDir, the
// worked example, refused scripts, truncation at every length and failures injected mid-way.
#include "patch/apply_entry.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "patch/crc32.h"
#include "patch/fs.h"
#include "tests/common/fs_faults.h"
#include "tests/common/script_builder.h"
#include "tests/common/test_files.h"

namespace vt {
namespace {

namespace fs = std::filesystem;
typedef std::vector<uint8_t> Bytes;
using vtt::Crc;
using vtt::Script;

// A destination tree in a fresh directory; BackupDir inside it, as a run has it.
class ApplyEntryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    BuildCrcTable();
    root_ = scratch_.path();
    dest_ = (root_ / "dest").string();
    backup_ = dest_ + "\\BAK1.tmp";
    fs::create_directory(dest_);
  }
  void TearDown() override { FsClearFaults(); }

  void Put(const std::string& relative, const std::string& content) {
    vtt::PutFile(fs::path(dest_) / relative, content);
  }
  // The file's content, or "<none>".
  std::string Get(const std::string& relative) const {
    fs::path p = fs::path(dest_) / relative;
    return fs::is_regular_file(p) ? vtt::GetFile(p) : "<none>";
  }
  // Everything below the scratch root.
  vtt::FileTree Tree() const { return vtt::Snapshot(root_); }
  bool HasTempFile() const {
    for (auto& e : fs::directory_iterator(dest_))
      if (e.path().filename().string().rfind("PCH", 0) == 0) return true;
    return false;
  }

  static void Observe(void* context, const char* path) {
    static_cast<std::vector<std::string>*>(context)->push_back(path);
  }
  ApplyContext Context() {
    return ApplyContext{dest_.c_str(), backup_.c_str(), {&Observe, &observed_}};
  }

  // Applies the script's first entry; `consumed` gets how far the cursor moved.
  EntryResult ApplyFirst(const Bytes& script, size_t* consumed = nullptr) {
    uint32_t count;
    ScriptCursor cursor;
    EXPECT_TRUE(BeginScript(script.data(), script.size(), &count, &cursor));
    const uint32_t start = cursor.at;
    EntryResult result = ApplyEntry(Context(), &cursor, nullptr);
    if (consumed) *consumed = cursor.at - start;
    EXPECT_FALSE(HasTempFile());
    return result;
  }
  EntryResult Apply(const Script& script) { return ApplyFirst(script.bytes()); }

  vtt::ScratchFolder scratch_;
  fs::path root_;
  std::string dest_, backup_;
  std::vector<std::string> observed_;
};

// An update of \a.txt from "abc" to "abXc".
Script UpdateAbc(const std::string& path = "\\a.txt") {
  Script s(1);
  s.Entry(Crc("abc"), Crc("abXc"), path).Copy(2, 0).Insert("X").Copy(1, 2).End();
  return s;
}

TEST_F(ApplyEntryTest, WorkedExampleAppliesByteForByte) {
  const Bytes example = {0x01, 0x00, 0x00, 0x00,  // count
                         0x73, 0xBB, 0x8C, 0x64, 0xFA, 0xD2, 0x5A, 0xEB, 0x5C, 0x61, 0x2E, 0x74,
                         0x78, 0x74, 0x00, 0x01, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                         0x02, 0x01, 0x00, 0x00, 0x00, 0x58, 0x01, 0x01, 0x00, 0x00, 0x00, 0x02,
                         0x00, 0x00, 0x00, 0x00};
  EXPECT_EQ(UpdateAbc().bytes(), example);
  Put("a.txt", "abc");
  size_t consumed = 0;
  EXPECT_EQ(ApplyFirst(example, &consumed), kUpdated);
  EXPECT_EQ(consumed, 40u);
  EXPECT_EQ(Get("a.txt"), "abXc");
  EXPECT_EQ(Get("BAK1.tmp/a.txt"), "abc");
  EXPECT_EQ(observed_, std::vector<std::string>{"\\a.txt"});
  EXPECT_EQ(Tree().size(), 4u);  // dest, dest/a.txt, dest/BAK1.tmp, its a.txt
}

TEST_F(ApplyEntryTest, NewFileInstalledInMissingDirectories) {
  Script s(1);
  s.NewFile("\\bin\\tools\\new.dat", std::string("x\0y", 3));
  EXPECT_EQ(Apply(s), kInstalled);
  EXPECT_EQ(Get("bin/tools/new.dat"), std::string("x\0y", 3));
  EXPECT_FALSE(fs::exists(fs::path(dest_) / "BAK1.tmp"));
  Script empty(1);
  empty.NewFile("\\empty", "");
  EXPECT_EQ(Apply(empty), kInstalled);
  EXPECT_EQ(Get("empty"), "");
}

TEST_F(ApplyEntryTest, ExistingLongerFileOverwrittenToExactlyTheData) {
  Put("sub/f.txt", "a much longer old content");
  Script s(1);
  s.NewFile("\\sub\\f.txt", "short");
  EXPECT_EQ(Apply(s), kOverwritten);
  EXPECT_EQ(Get("sub/f.txt"), "short");
  EXPECT_EQ(Get("BAK1.tmp/sub/f.txt"), "a much longer old content");
}

TEST_F(ApplyEntryTest, SkippedUpdatesLeaveFileAndBackupDirAlone) {
  Put("a.txt", "abXc");
  auto before = Tree();
  EXPECT_EQ(Apply(UpdateAbc()), kAlreadyUpdated);
  EXPECT_EQ(Tree(), before);

  Put("a.txt", "something else");
  before = Tree();
  EXPECT_EQ(Apply(UpdateAbc()), kOriginalCrcError);
  EXPECT_EQ(Tree(), before);
}

TEST_F(ApplyEntryTest, MissingOriginalInMissingDirectoryCreatesTheDirectory) {
  size_t consumed = 0;
  EXPECT_EQ(ApplyFirst(UpdateAbc("\\new\\dir\\a.txt").bytes(), &consumed), kOriginalMissing);
  EXPECT_EQ(consumed, UpdateAbc("\\new\\dir\\a.txt").bytes().size() - 4);
  EXPECT_TRUE(fs::is_directory(fs::path(dest_) / "new/dir"));
  EXPECT_EQ(Get("new/dir/a.txt"), "<none>");
}

TEST_F(ApplyEntryTest, WrongUpdatedCrcLeavesFileUnchangedWithoutBackup) {
  Put("a.txt", "abc");
  Script s(1);
  s.Entry(Crc("abc"), Crc("abXc") ^ 1, "\\a.txt").Copy(2, 0).Insert("X").Copy(1, 2).End();
  auto before = Tree();
  EXPECT_EQ(Apply(s), kUpdatedCrcError);
  EXPECT_EQ(Tree(), before);
}

TEST_F(ApplyEntryTest, EndByteAloneTurnsFileIntoEmptyFile) {
  Put("a.txt", "abc");
  Script s(1);
  s.Entry(Crc("abc"), 0, "\\a.txt").End();
  EXPECT_EQ(Apply(s), kUpdated);
  EXPECT_EQ(Get("a.txt"), "");
  EXPECT_EQ(Get("BAK1.tmp/a.txt"), "abc");
}

TEST_F(ApplyEntryTest, UnknownOpCodeInSkippedEntryIsDataError) {
  auto before = Tree();
  Script s(1);
  s.Entry(1, 2, "\\missing\\a.txt").Copy(1, 0).Raw("\x07").End();
  EXPECT_EQ(Apply(s), kDataError);
  EXPECT_EQ(Tree(), before);  // not even the directory
  Put("a.txt", "abc");
  Script matching(1);
  matching.Entry(Crc("abc"), Crc("abXc"), "\\a.txt").Copy(2, 0).Raw("\x07").End();
  before = Tree();
  EXPECT_EQ(Apply(matching), kDataError);
  EXPECT_EQ(Tree(), before);
}

TEST_F(ApplyEntryTest, CountUsesLowSixteenBitsAndCursorWalksEveryEntry) {
  Put("a.txt", "abc");
  Script s(0x00010003);
  s.NewFile("\\one", "1");
  s.Entry(Crc("abc"), Crc("abXc"), "\\a.txt").Copy(2, 0).Insert("X").Copy(1, 2).End();
  s.Entry(5, 6, "\\gone").Insert("zz").End();
  s.Raw("trailing bytes are never read as an entry");
  uint32_t count = 0;
  ScriptCursor cursor;
  ASSERT_TRUE(BeginScript(s.bytes().data(), s.bytes().size(), &count, &cursor));
  EXPECT_EQ(count, 3u);
  const EntryResult expected[] = {kInstalled, kUpdated, kOriginalMissing};
  for (EntryResult e : expected) {
    const char* path = nullptr;
    EXPECT_EQ(ApplyEntry(Context(), &cursor, &path), e);
    EXPECT_EQ(path, observed_.back());
  }
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(s.bytes().data() + cursor.at), 5),
            "trail");
  EXPECT_EQ(observed_, (std::vector<std::string>{"\\one", "\\a.txt", "\\gone"}));
}

TEST_F(ApplyEntryTest, FileHeldWithoutSharingOrInUnreachableDirectoryIsAccessDenied) {
  Put("a.txt", "abc");
  FsFile holder = FsOpen((dest_ + "\\a.txt").c_str(), kFsReadExclusive, nullptr);
  ASSERT_NE(holder, kNoFile);
  auto before = Tree();
  EXPECT_EQ(Apply(UpdateAbc()), kAccessDenied);
  EXPECT_EQ(Tree(), before);
  FsClose(holder);

  Put("plain", "a file where a directory should be");
  before = Tree();
  EXPECT_EQ(Apply(UpdateAbc("\\plain\\a.txt")), kAccessDenied);
  Script s(1);
  s.NewFile("\\plain\\b.txt", "data");
  EXPECT_EQ(Apply(s), kAccessDenied);
  EXPECT_EQ(Tree(), before);
}

// Root writes read-only files all the same, so as root the entry is applied in a child
// process that has given up its privileges (as user "nobody").
TEST_F(ApplyEntryTest, ReadOnlyOldFileIsAccessDenied) {
  Put("a.txt", "abc");
  const fs::path file = fs::path(dest_) / "a.txt";
  auto applyUnprivileged = [&]() -> EntryResult {
    if (geteuid() != 0) return Apply(UpdateAbc());
    // The child reaches the tree, and may write it, only through these modes.
    for (const fs::path& dir : {root_, fs::path(dest_)}) chmod(dir.c_str(), 0777);
    pid_t child = fork();
    if (child == 0) {
      if (setgid(65534) != 0 || setuid(65534) != 0) _exit(0xFF);
      _exit(Apply(UpdateAbc()) == kAccessDenied ? 1 : Get("a.txt") == "abXc" ? 2 : 3);
    }
    int status = 0;
    waitpid(child, &status, 0);
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return code == 1 ? kAccessDenied : code == 2 ? kUpdated : kDataError;
  };
  chmod(file.c_str(), 0444);
  auto before = Tree();
  EXPECT_EQ(applyUnprivileged(), kAccessDenied);
  EXPECT_EQ(Tree(), before);
  // The same process may update the file once it is writable: the refusal came from the mode.
  chmod(file.c_str(), 0666);
  EXPECT_EQ(applyUnprivileged(), kUpdated);
}

TEST_F(ApplyEntryTest, PathWithoutLeadingBackslashStaysInsideDestination) {
  Script s(1);
  s.NewFile("sub\\plain.txt", "p");
  EXPECT_EQ(Apply(s), kInstalled);
  EXPECT_EQ(Get("sub/plain.txt"), "p");
  EXPECT_EQ(observed_, std::vector<std::string>{"sub\\plain.txt"});
}

// ---- Refused scripts --------------------------------------------------------------------

TEST_F(ApplyEntryTest, UnsafePathsAreDataErrorAndCreateNothing) {
  const char* const kBad[] = {
      "",          "\\",          "\\\\a.txt",     "\\a\\\\b.txt",   "\\dir\\",
      "\\..\\x",   "\\a\\..\\..\\x", "\\a/../x",     "\\..",           "\\.\\x",
      "\\a/b.txt", "/abs",        "\\C:\\x",       "\\a.txt:stream", "\\CON",
      "\\sub\\nul.txt", "\\COM1.log", "\\lpt9",    "\\dir.\\x",      "\\x \\y",
  };
  auto before = Tree();
  for (const char* path : kBad) {
    Script update(1);
    update.Entry(1, 2, path).Insert("x").End();
    Script newFile(1);
    newFile.NewFile(path, "x");
    size_t consumed = 99;
    EXPECT_EQ(ApplyFirst(update.bytes(), &consumed), kDataError) << path;
    EXPECT_EQ(consumed, 0u) << path;
    EXPECT_EQ(ApplyFirst(newFile.bytes()), kDataError) << path;
  }
  EXPECT_EQ(Tree(), before);
}

TEST_F(ApplyEntryTest, PathLengthLimitCountsTheLongerBackupPath) {
  // BackupDir is DestinationDir plus "\BAK1.tmp", so the backup path is the longer one.
  size_t room = kMaxPath - backup_.size() - 1;
  std::string fits = "\\d\\" + std::string(room - 2, 'n');
  Script ok(1);
  ok.NewFile(fits, "x");
  EXPECT_EQ(Apply(ok), kInstalled);
  Script tooLong(1);
  tooLong.NewFile(fits + "n", "x");
  auto before = Tree();
  EXPECT_EQ(Apply(tooLong), kDataError);
  Script wayTooLong(1);
  wayTooLong.NewFile("\\" + std::string(200, 'a') + "\\" + std::string(200, 'b'), "x");
  EXPECT_EQ(Apply(wayTooLong), kDataError);
  EXPECT_EQ(Tree(), before);
}

TEST_F(ApplyEntryTest, EntriesRunningPastTheScriptEndAreDataError) {
  std::vector<Bytes> bad;
  bad.push_back(Script(1).Le32(1).bytes());                 // header cut short
  bad.push_back(Script(1).Le32(1).Le32(2).Raw("\\a.txt").bytes());  // no NUL
  bad.push_back(Script(1).Entry(1, 2, "\\a.txt").bytes());  // no body
  bad.push_back(Script(1).Entry(1, 2, "\\a.txt").Raw("\x03").Le32(10).Raw("short").bytes());
  bad.push_back(Script(1).Entry(1, 2, "\\a.txt").Raw("\x03\x01\x00").bytes());
  bad.push_back(Script(1).Entry(1, 2, "\\a.txt").Raw("\x02").Le32(0xFFFFFFFF).Raw("x").bytes());
  bad.push_back(Script(1).Entry(1, 2, "\\a.txt").Raw("\x01").Le32(1).bytes());
  bad.push_back(Script(1).Entry(1, 2, "\\a.txt").Copy(1, 0).bytes());  // no end byte
  auto before = Tree();
  for (size_t i = 0; i < bad.size(); ++i) EXPECT_EQ(ApplyFirst(bad[i]), kDataError) << i;
  EXPECT_EQ(Tree(), before);
  uint32_t count;
  ScriptCursor cursor;
  const uint8_t shortScript[3] = {1, 0, 0};
  EXPECT_FALSE(BeginScript(shortScript, 3, &count, &cursor));
}

TEST_F(ApplyEntryTest, CountBeyondTheEntriesHeldIsDataError) {
  Script s(2);
  s.NewFile("\\one", "1");
  uint32_t count;
  ScriptCursor cursor;
  ASSERT_TRUE(BeginScript(s.bytes().data(), s.bytes().size(), &count, &cursor));
  EXPECT_EQ(ApplyEntry(Context(), &cursor, nullptr), kInstalled);
  const char* path = "not reset";
  EXPECT_EQ(ApplyEntry(Context(), &cursor, &path), kDataError);
  EXPECT_EQ(path, nullptr);
  EXPECT_EQ(cursor.at, cursor.size);
}

TEST_F(ApplyEntryTest, CopyPastOldFileEndIsDataErrorOnceTheFileMatches) {
  Put("a.txt", "abc");
  auto before = Tree();
  for (uint32_t offset : {2u, 3u, 0xFFFFFFFFu}) {
    Script s(1);
    s.Entry(Crc("abc"), Crc("abXc"), "\\a.txt").Copy(2, 0).Insert("X").Copy(2, offset).End();
    EXPECT_EQ(Apply(s), kDataError) << offset;
  }
  Script huge(1);
  huge.Entry(Crc("abc"), 0, "\\a.txt").Copy(0xFFFFFFFF, 1).End();
  EXPECT_EQ(Apply(huge), kDataError);
  EXPECT_EQ(Tree(), before);
  // Against a file of some other version the range means nothing: the entry is skipped.
  Put("a.txt", "other");
  Script s(1);
  s.Entry(Crc("abc"), Crc("abXc"), "\\a.txt").Copy(9, 9).End();
  EXPECT_EQ(Apply(s), kOriginalCrcError);
}

// The byte-wise difference of `to` from `from` (same length), as an add stores it.
std::string Difference(const std::string& from, const std::string& to) {
  std::string diff(to.size(), '\0');
  for (size_t i = 0; i < to.size(); ++i) diff[i] = char(uint8_t(to[i] - from[i]));
  return diff;
}

TEST_F(ApplyEntryTest, AddRebuildsOldBytesPlusItsOwnModulo256) {
  // Long enough to be summed in several pieces; every third byte changed, some wrapping.
  std::string old(5000, '\0'), now;
  for (size_t i = 0; i < old.size(); ++i) old[i] = char(i * 7 + i / 251);
  now = old;
  for (size_t i = 0; i < now.size(); i += 3) now[i] = char(uint8_t(now[i]) + 0x90);
  Put("a.bin", old);
  Script s(1);
  s.Entry(Crc(old), Crc(now + "!"), "\\a.bin").Add(0, Difference(old, now)).Insert("!").End();
  uint32_t count;
  ScriptCursor cursor;
  bool usesAdd = false;
  ASSERT_TRUE(BeginScript(s.bytes().data(), s.bytes().size(), &count, &cursor));
  EXPECT_TRUE(SkipEntry(&cursor, nullptr, &usesAdd));
  EXPECT_TRUE(usesAdd);
  const Script plain = UpdateAbc();
  ASSERT_TRUE(BeginScript(plain.bytes().data(), plain.bytes().size(), &count, &cursor));
  EXPECT_TRUE(SkipEntry(&cursor, nullptr, &usesAdd));
  EXPECT_FALSE(usesAdd);
  EXPECT_EQ(Apply(s), kUpdated);
  EXPECT_EQ(Get("a.bin"), now + "!");
  EXPECT_EQ(Get("BAK1.tmp/a.bin"), old);
}

TEST_F(ApplyEntryTest, DamagedAddsAreDataErrorAndChangeNothing) {
  Put("a.txt", "abc");
  const auto before = Tree();
  Script pastEnd(1), code3(1), whole(1);
  pastEnd.Entry(Crc("abc"), Crc("aXc"), "\\a.txt").Add(2, std::string(2, '\0')).End();
  code3.Entry(Crc("abc"), Crc("aXc"), "\\a.txt").Copy(1, 0).Op(3).Le32(0).Le32(0).End();
  whole.Entry(Crc("abc"), Crc("aXc"), "\\a.txt").Add(0, Difference("abc", "aXc")).End();
  EXPECT_EQ(Apply(pastEnd), kDataError);
  EXPECT_EQ(Apply(code3), kDataError);  // 3 marks a new-file body, it is no operation
  // Cut anywhere inside the add, the entry is not held in full.
  const Bytes& bytes = whole.bytes();
  for (size_t length = 4; length < bytes.size(); ++length)
    EXPECT_EQ(ApplyFirst(Bytes(bytes.begin(), bytes.begin() + length)), kDataError) << length;
  EXPECT_EQ(Tree(), before);
  EXPECT_EQ(ApplyFirst(bytes), kUpdated);
  EXPECT_EQ(Get("a.txt"), "aXc");
}

// A split body whose bytes its streams do not hold, or whose streams the script's last eight
// bytes do not place inside it, changes nothing; the entries before it apply.
TEST_F(ApplyEntryTest, SplitBodyBeyondItsStreamsIsDataErrorAndChangesNothing) {
  Put("a.txt", "abc");
  const auto before = Tree();
  const std::string diff = Difference("abc", "aXc");
  auto split = [&](bool insert, uint32_t addLength, uint32_t literalLength) {
    Script s(1);
    s.Entry(Crc("abc"), Crc("aXc"), "\\a.txt").Op(kBodySplit);  // streams written by hand
    if (insert)
      s.Op(kOpInsert).Le32(4);
    else
      s.Op(kOpAdd).Le32(3).Le32(0);
    s.End().Raw(diff).Le32(addLength).Le32(literalLength);
    return s.bytes();
  };
  const Bytes cases[] = {
      split(false, 2, 1),          // the add runs into the literal stream
      split(false, 3, 0xFFFFFFFF), // the streams would start before the script
      split(false, 0xFFFFFFFE, 3), // their lengths wrap
      split(true, 0, 3),           // the insert runs past the literal stream
  };
  for (const Bytes& bytes : cases) {
    EXPECT_EQ(ApplyFirst(bytes), kDataError);
    EXPECT_EQ(Tree(), before);
  }
  EXPECT_EQ(ApplyFirst(split(false, 3, 0)), kUpdated);
  EXPECT_EQ(Get("a.txt"), "aXc");
}

TEST_F(ApplyEntryTest, TruncationAtEveryLengthReadsOrReportsDataError) {
  Script full(4);
  full.NewFile("\\new\\n.bin", "new data");
  full.Entry(Crc("abc"), Crc("abXc"), "\\a.txt").Copy(2, 0).Insert("X").Copy(1, 2).End();
  full.NewFile("\\old.txt", "replacement");
  full.Entry(Crc("0123456789"), Crc("789-0123"), "\\d\\b.txt")
      .Copy(3, 7).Insert("-").Copy(4, 0).End();
  const Bytes& bytes = full.bytes();
  for (size_t length = 0; length <= bytes.size(); ++length) {
    SCOPED_TRACE(length);
    fs::remove_all(dest_);
    Put("a.txt", "abc");
    Put("old.txt", "old");
    Put("d/b.txt", "0123456789");
    // A copy of exactly the bytes held, so that ASan sees any read past them.
    Bytes cut(bytes.begin(), bytes.begin() + length);
    uint32_t count = 0;
    ScriptCursor cursor;
    if (!BeginScript(cut.data(), cut.size(), &count, &cursor)) {
      EXPECT_LT(length, 4u);
      continue;
    }
    bool dataError = false;
    for (uint32_t i = 0; i < count && !dataError; ++i) {
      EntryResult r = ApplyEntry(Context(), &cursor, nullptr);
      dataError = r == kDataError;
      if (!dataError) {
        EXPECT_TRUE(r == kInstalled || r == kUpdated || r == kOverwritten) << r;
      }
    }
    EXPECT_EQ(dataError, length < bytes.size());
    EXPECT_FALSE(HasTempFile());
    for (auto& [path, content] : Tree()) EXPECT_EQ(path.rfind("dest", 0), 0u) << path;
  }
  EXPECT_EQ(Get("d/b.txt"), "789-0123");
}

// A script read from its file through a small window, which its entries' headers, paths,
// lengths and operands straddle, gives what the same bytes give in memory, whole or cut short
// anywhere: the same checks, results, cursor moves and files.
TEST_F(ApplyEntryTest, ScriptReadThroughASmallWindowGivesWhatItGivesInMemory) {
  const std::string old(400, 'o'), inserted(300, 'i'), ones(300, '\x01');
  Script full(5);
  full.NewFile("\\big.bin", std::string(700, 'b'));
  full.Entry(Crc(old), Crc(old.substr(0, 10) + inserted + std::string(300, 'p')), "\\a.txt")
      .Copy(10, 0).Insert(inserted).Add(0, ones).End();
  full.NewFile("\\" + std::string(120, 'l'), "long path");
  full.NewFile("\\d\\e.txt", "e");
  full.NewFile("\\f.txt", "");
  // The same as split bodies, with one that is skipped and one after it that must find its bytes
  // where the skipped one left the streams.
  const std::string made = old.substr(0, 10) + inserted + std::string(300, 'p');
  Script split;
  split.NewFile("\\big.bin", std::string(700, 'b'));
  split.Entry(Crc(old), Crc(made), "\\a.txt").Split().Copy(10, 0).Insert(inserted)
      .Add(0, ones).End();
  split.Entry(1, 2, "\\missing.txt").Split().Insert("skipped").Add(0, "\x05").End();
  split.Entry(Crc(made), Crc(made + "end"), "\\a.txt").Split().Copy(uint32_t(made.size()), 0)
      .Insert("end").End();
  // A body from another file, whose path the window may cut.
  const std::string longPath = "\\" + std::string(120, 'l');
  split.NewFile(longPath, "long path");
  split.Entry(Crc("long path"), Crc("long pathX"), "\\g.txt").From(longPath).Split().Copy(9, 0)
      .Insert("X").End();
  split.NewFile("\\f.txt", "");
  const std::string scriptFile = (root_ / "script").string();
  // The checks and results of every entry, and the files made, from a window of `window`
  // bytes (0: the script in memory).
  auto outcome = [&](const Bytes& script, uint32_t window) {
    fs::remove_all(dest_);
    Put("a.txt", old);
    std::vector<uint8_t> buffer(window);
    FsFile file = kNoFile;
    auto begin = [&](uint32_t* count, ScriptCursor* cursor) {
      if (window == 0) return BeginScript(script.data(), script.size(), count, cursor);
      return BeginScriptFile(file, buffer.data(), window, count, cursor);
    };
    if (window != 0) {
      vtt::PutFile(scriptFile, std::string(script.begin(), script.end()));
      file = FsOpen(scriptFile.c_str(), kFsReadShared, nullptr);
    }
    std::vector<std::string> told;
    uint32_t count = 0;
    ScriptCursor cursor;
    if (begin(&count, &cursor)) {
      for (uint32_t i = 0; i < count; ++i) {
        EntryFacts facts;
        const bool whole = ReadEntry(&cursor, &facts);
        told.push_back("read " + std::string(facts.path ? facts.path : "-") + " " +
                       std::to_string(whole) + " @" + std::to_string(cursor.at));
        if (!whole) break;
      }
    }
    if (begin(&count, &cursor)) {
      for (uint32_t i = 0; i < count; ++i) {
        const char* path;
        const EntryResult result = ApplyEntry(Context(), &cursor, &path);
        told.push_back("apply " + std::string(path ? path : "-") + " " +
                       std::to_string(result) + " @" + std::to_string(cursor.at));
        if (result == kDataError) break;
      }
    }
    if (file != kNoFile) FsClose(file);
    return std::make_pair(told, vtt::Snapshot(dest_));
  };
  const uint32_t windows[] = {kMinScriptWindow, kMinScriptWindow + 1, kMinScriptWindow + 37,
                              4096};
  for (const Bytes* bytes : {&full.bytes(), &split.bytes()}) {
    for (size_t length = 0; length <= bytes->size();
         length += length + 7 < bytes->size() ? 7 : 1) {
      SCOPED_TRACE(length);
      const Bytes cut(bytes->begin(), bytes->begin() + length);
      const auto expected = outcome(cut, 0);
      for (uint32_t window : windows) EXPECT_EQ(outcome(cut, window), expected) << window;
    }
  }
  const Bytes& bytes = full.bytes();
  const auto whole = outcome(bytes, kMinScriptWindow);
  EXPECT_EQ(whole.first.back(), "apply \\f.txt 1 @" + std::to_string(bytes.size()));
  EXPECT_EQ(Get("a.txt"), made);
  const auto splitWhole = outcome(split.bytes(), kMinScriptWindow);
  EXPECT_EQ(splitWhole.first.back().rfind("apply \\f.txt 1 @", 0), 0u);
  EXPECT_EQ(Get("a.txt"), made + "end");
  EXPECT_EQ(Get("g.txt"), "long pathX");
  EXPECT_FALSE(HasTempFile());
}

// A body from another file: that file is read, checked and left as it is; the entry's file is
// made or overwritten as a new file's is.
TEST_F(ApplyEntryTest, BodyFromAnotherFileLeavesItAndPlacesTheNewFile) {
  const std::string source = "hello world", made = "hello there";
  struct Case {
    const char* name;
    const char* sourceHas;  // null: no such file
    const char* targetHas;
    uint32_t crcSource;
    const char* from;
    EntryResult result;
    const char* targetAfter;
    const char* backup;  // BackupDir's copy of the target
  } const kCases[] = {
      {"made", "hello world", nullptr, Crc(source), "\\old\\s.txt", kInstalled, "hello there",
       nullptr},
      {"overwritten", "hello world", "mine", Crc(source), "\\old\\s.txt", kOverwritten,
       "hello there", "mine"},
      {"missing", nullptr, nullptr, Crc(source), "\\old\\s.txt", kOriginalMissing, nullptr,
       nullptr},
      {"changed", "hello World", "mine", Crc(source), "\\old\\s.txt", kOriginalCrcError,
       "mine", nullptr},
      {"holds the new file", "hello there", nullptr, Crc(source), "\\old\\s.txt",
       kOriginalCrcError, nullptr, nullptr},
      {"itself", "hello world", "hello world", Crc(source), "\\new\\t.txt", kOverwritten,
       "hello there", "hello world"},
      {"unsafe", "hello world", nullptr, Crc(source), "\\..\\old\\s.txt", kDataError, nullptr,
       nullptr},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(dest_);
    fs::create_directory(dest_);
    if (c.sourceHas) Put(std::string("old/s.txt"), c.sourceHas);
    if (c.sourceHas && std::string(c.from) == "\\new\\t.txt") Put("new/t.txt", c.sourceHas);
    if (c.targetHas) Put("new/t.txt", c.targetHas);
    Script s(1);
    s.Entry(c.crcSource, Crc(made), "\\new\\t.txt").From(c.from).Split().Copy(6, 0)
        .Insert("there").End();
    EXPECT_EQ(Apply(s), c.result);
    EXPECT_EQ(Get("new/t.txt"), c.targetAfter ? c.targetAfter : "<none>");
    EXPECT_EQ(Get("BAK1.tmp/new/t.txt"), c.backup ? c.backup : "<none>");
    if (c.sourceHas && std::string(c.from) != "\\new\\t.txt")
      EXPECT_EQ(Get("old/s.txt"), c.sourceHas);
  }
  // What follows the other file's path is an update's body, never a new file's.
  Put("old/s.txt", source);
  Script newBody(1);
  newBody.Entry(Crc(source), Crc(made), "\\new\\u.txt").From("\\old\\s.txt")
      .Op(kBodyNewFile).Le32(0);
  EXPECT_EQ(ApplyFirst(newBody.bytes()), kDataError);
  EXPECT_EQ(Get("new/u.txt"), "<none>");
  // A link among the other file's folders would read outside DestinationDir.
  const fs::path outside = root_ / "outside";
  vtt::PutFile(outside / "s.txt", source);
  fs::create_directory_symlink(outside, fs::path(dest_) / "linked");
  Script linked(1);
  linked.Entry(Crc(source), Crc(made), "\\new\\v.txt").From("\\linked\\s.txt").Copy(6, 0)
      .Insert("there").End();
  EXPECT_EQ(Apply(linked), kOriginalMissing);
  EXPECT_EQ(Get("new/v.txt"), "<none>");
  // ReadEntry tells the other file.
  uint32_t count;
  ScriptCursor cursor;
  ASSERT_TRUE(BeginScript(linked.bytes().data(), linked.bytes().size(), &count, &cursor));
  EntryFacts facts;
  ASSERT_TRUE(ReadEntry(&cursor, &facts));
  EXPECT_STREQ(facts.source, "\\linked\\s.txt");
  EXPECT_FALSE(facts.newFile);
}

TEST_F(ApplyEntryTest, SkipEntryChecksTheScriptWithoutTouchingTheDisk) {
  Script s(3);
  s.NewFile("\\new\\n.bin", "data");
  s.Entry(1, 2, "\\d\\a.txt").Copy(9, 9).Insert("x").End();
  s.Entry(1, 2, "\\..\\escape").End();
  uint32_t count;
  ScriptCursor cursor;
  ASSERT_TRUE(BeginScript(s.bytes().data(), s.bytes().size(), &count, &cursor));
  auto before = Tree();
  const char* path = nullptr;
  EXPECT_TRUE(SkipEntry(&cursor, &path));
  EXPECT_STREQ(path, "\\new\\n.bin");
  EXPECT_TRUE(SkipEntry(&cursor, nullptr));
  const uint32_t third = cursor.at;
  EXPECT_FALSE(SkipEntry(&cursor, &path));
  EXPECT_STREQ(path, "\\..\\escape");
  EXPECT_EQ(cursor.at, third);
  EXPECT_EQ(Tree(), before);
  EXPECT_TRUE(observed_.empty());
}

// ---- Failures part-way, where nothing may be lost ---------------------------------------

TEST_F(ApplyEntryTest, NewFileWriteFailureRemovesThePartialFile) {
  FsInjectFault(kFaultWrite, 0, 1);
  Script s(1);
  s.NewFile("\\n.txt", "data");
  EXPECT_EQ(Apply(s), kUpdatedCrcError);
  EXPECT_EQ(Get("n.txt"), "<none>");
}

// An overwrite moves the data into place from a temporary file: the moves are, in order, the
// temporary file to the target (refused: it exists), the old file into BackupDir, the
// temporary file to the target; a fourth moves the old file back when the third failed.
TEST_F(ApplyEntryTest, OverwriteFailuresKeepTheOldContent) {
  Put("f.txt", "old");
  Script s(1);
  s.NewFile("\\f.txt", "new");

  FsInjectFault(kFaultMove, 1, 1);  // neither renamed nor copied into BackupDir
  FsInjectFault(kFaultCopy, 0, 1);
  EXPECT_EQ(Apply(s), kReplaceDenied);
  EXPECT_EQ(Get("f.txt"), "old");
  EXPECT_EQ(Get("BAK1.tmp/f.txt"), "<none>");

  FsFile holder = FsOpen((dest_ + "\\f.txt").c_str(), kFsReadExclusive, nullptr);
  EXPECT_EQ(Apply(s), kAccessDenied);  // cannot be opened for writing
  FsClose(holder);
  EXPECT_EQ(Get("f.txt"), "old");
  EXPECT_EQ(Get("BAK1.tmp/f.txt"), "<none>");

  FsInjectFault(kFaultWrite, 0, 1);  // a full disk: the target was never touched
  EXPECT_EQ(Apply(s), kUpdatedCrcError);
  EXPECT_EQ(Get("f.txt"), "old");

  FsInjectFault(kFaultMove, 2, 1);  // the old file goes back from BackupDir
  EXPECT_EQ(Apply(s), kReplaceDenied);
  EXPECT_EQ(Get("f.txt"), "old");
  EXPECT_EQ(Get("BAK1.tmp/f.txt"), "<none>");

  FsInjectFault(kFaultMove, 2, 2);  // and cannot: its content lives on in BackupDir
  EXPECT_EQ(Apply(s), kRestoreFailed);
  EXPECT_EQ(Get("BAK1.tmp/f.txt"), "old");
}

TEST_F(ApplyEntryTest, UpdateFailuresBeforeTheReplaceLeaveNoTrace) {
  Put("a.txt", "abc");
  auto before = Tree();
  FsInjectFault(kFaultReserveTemp, 0, 1);
  EXPECT_EQ(Apply(UpdateAbc()), kUpdatedCrcError);
  FsInjectFault(kFaultWrite, 0, 1);  // the rebuilt content cannot be written
  EXPECT_EQ(Apply(UpdateAbc()), kUpdatedCrcError);
  EXPECT_EQ(Tree(), before);
  FsInjectFault(kFaultMove, 0, 1);  // no backup, renamed or copied: the old file stays
  FsInjectFault(kFaultCopy, 0, 1);
  EXPECT_EQ(Apply(UpdateAbc()), kReplaceDenied);
  EXPECT_EQ(Get("a.txt"), "abc");
  EXPECT_EQ(Get("BAK1.tmp/a.txt"), "<none>");
}

// An old file small enough to be held in memory and one read range by range; operations that
// cross the boundaries of the rebuilt content's writes, long inserts and sums.
struct SizedUpdate {
  const char* what;
  size_t oldSize;
};

std::string Noise(size_t size, uint32_t seed) {
  std::string bytes(size, 0);
  for (char& c : bytes) {
    seed ^= seed << 13, seed ^= seed >> 17, seed ^= seed << 5;
    c = char(seed);
  }
  return bytes;
}

// A rebuild that fails part way (its file cannot be written) leaves the split bodies' streams
// where the check left them: the next split body finds its own bytes.
TEST_F(ApplyEntryTest, SplitBodyAfterAFailedRebuildFindsItsBytes) {
  const std::string big = Noise(300 << 10, 5);
  Put("a.txt", "abc");
  Put("b.txt", "xyz");
  Script s;
  s.Entry(Crc("abc"), Crc(big + "!"), "\\a.txt").Split().Insert(big).Insert("!").End();
  s.Entry(Crc("xyz"), Crc("xyzzz"), "\\b.txt").Split().Copy(3, 0).Insert("zz").End();
  uint32_t count;
  ScriptCursor cursor;
  ASSERT_TRUE(BeginScript(s.bytes().data(), s.bytes().size(), &count, &cursor));
  FsInjectFault(kFaultWrite, 0, 1);
  EXPECT_EQ(ApplyEntry(Context(), &cursor, nullptr), kUpdatedCrcError);
  EXPECT_EQ(ApplyEntry(Context(), &cursor, nullptr), kUpdated);
  EXPECT_EQ(Get("a.txt"), "abc");
  EXPECT_EQ(Get("b.txt"), "xyzzz");
}

// The script of the update and the content it makes from `old`.
Script LongUpdate(const std::string& old, std::string* made) {
  const uint32_t size = uint32_t(old.size());
  const std::string insert = Noise(200 << 10, 7);
  const std::string diff = Noise(size < 150000 ? size / 3 : 150000, 9);
  Script s(1);
  *made = old.substr(size / 2) + old.substr(1, 1) + insert + "x";
  std::string sums = old.substr(size / 4, diff.size());
  for (size_t k = 0; k < sums.size(); ++k) sums[k] = char(sums[k] + diff[k]);
  *made += sums + old.substr(0, size / 2);
  s.Entry(Crc(old), Crc(*made), "\\big.bin")
      .Copy(size - size / 2, size / 2)
      .Copy(1, 1)
      .Insert(insert)
      .Insert("x")
      .Add(size / 4, diff)
      .Copy(size / 2, 0)
      .End();
  return s;
}

class SizedUpdateTest : public ApplyEntryTest,
                        public ::testing::WithParamInterface<SizedUpdate> {};

TEST_P(SizedUpdateTest, RebuildsByteForByte) {
  const std::string old = Noise(GetParam().oldSize, 3);
  std::string made;
  Put("big.bin", old);
  EXPECT_EQ(Apply(LongUpdate(old, &made)), kUpdated);
  EXPECT_TRUE(Get("big.bin") == made);
  EXPECT_TRUE(Get("BAK1.tmp/big.bin") == old);
}

// A read of the old file that fails, in its check or amid its copies (a disk error, a process
// that ignores the lock and shortens it): the entry fails as unreadable or as a failed rebuild,
// and nothing on disk changes. Every read in turn, until none is left to fail.
TEST_P(SizedUpdateTest, FailedReadOfTheOldFileChangesNothing) {
  const std::string old = Noise(GetParam().oldSize, 3);
  std::string made;
  const Script script = LongUpdate(old, &made);
  Put("big.bin", old);
  const auto before = Tree();
  EntryResult result = kAccessDenied;
  int pass = 0;
  for (; pass < 100; ++pass) {
    FsInjectFault(kFaultReadOld, pass, 1);
    result = Apply(script);
    if (result == kUpdated) break;
    EXPECT_TRUE(result == kAccessDenied || result == kUpdatedCrcError) << pass;
    EXPECT_EQ(Tree(), before) << pass;
  }
  EXPECT_EQ(result, kUpdated);
  EXPECT_GT(pass, 0);
  EXPECT_TRUE(Get("big.bin") == made);
}

// Thousands of short copies and sums: going forward with small gaps (a reading ahead that
// grows), straddling what was read, then jumping back and far ahead.
TEST_P(SizedUpdateTest, ShortCopiesInAnyOrderRebuildByteForByte) {
  const std::string old = Noise(GetParam().oldSize, 5);
  const uint32_t size = uint32_t(old.size());
  std::vector<std::pair<uint32_t, uint32_t>> copies;  // offset, length
  for (uint32_t at = 0; at + 63 <= size; at += 64) copies.push_back({at, 63});
  for (uint32_t k = 0; k < 3000; ++k) {
    const uint32_t length = 1 + k % std::min(4999u, size / 2);
    copies.push_back({(k * 7919u) % (size - length + 1), length});
  }
  std::string made;
  for (size_t k = 0; k < copies.size(); ++k)  // every fifth a sum: each byte plus 3
    for (uint32_t i = 0; i < copies[k].second; ++i)
      made += char(old[copies[k].first + i] + (k % 5 == 4 ? 3 : 0));
  Script s(1);
  s.Entry(Crc(old), Crc(made), "\\big.bin");
  for (size_t k = 0; k < copies.size(); ++k) {
    const auto [at, length] = copies[k];
    if (k % 5 == 4)
      s.Add(at, std::string(length, '\x03'));
    else
      s.Copy(length, at);
  }
  s.End();
  Put("big.bin", old);
  EXPECT_EQ(Apply(s), kUpdated);
  EXPECT_TRUE(Get("big.bin") == made);
}

// Short copies going forward, over one gap far wider than a reading, then one long copy: no
// reading reaches the end, so that where the check goes along with the copies, it ends after
// them. The file made is longer.
Script ForwardUpdate(const std::string& old, std::string* made) {
  const uint32_t size = uint32_t(old.size()), shortEnd = std::min(size / 2, 600000u);
  const uint32_t longLength = std::min(size / 4, 20000u);
  Script s(1);
  made->clear();
  std::vector<uint32_t> starts;
  for (uint32_t at = 0; at + 64 <= shortEnd; at += at == 64 * 2000 ? 300000 : 64) {
    made->append("i").append(old, at + 1, 63);
    starts.push_back(at + 1);
  }
  made->append(old, size / 2, longLength).append(5000, 'e');
  s.Entry(Crc(old), Crc(*made), "\\big.bin");
  for (uint32_t at : starts) s.Insert("i").Copy(63, at);
  s.Copy(longLength, size / 2).Insert(std::string(5000, 'e')).End();
  return s;
}

// The old file, another version of it, or the file made already (a second run), whether the
// check comes before the copies or along with them: the old one updated, the others left
// as they are, with nothing of a rebuild left behind.
TEST_P(SizedUpdateTest, OnlyTheOldVersionIsRebuilt) {
  const std::string old = Noise(GetParam().oldSize, 6);
  std::string forwardMade, jumpingMade;
  const Script forward = ForwardUpdate(old, &forwardMade);
  const Script jumping = LongUpdate(old, &jumpingMade);
  for (const auto& [script, made] :
       {std::pair{&forward, &forwardMade}, {&jumping, &jumpingMade}}) {
    const std::pair<std::string, EntryResult> others[] = {
        {*made, kAlreadyUpdated},
        {Noise(old.size(), 4), kOriginalCrcError},   // as long as the old one
        {Noise(made->size(), 4), kOriginalCrcError},  // as long as the one made
    };
    for (const auto& [content, result] : others) {
      Put("big.bin", content);
      const auto before = Tree();
      EXPECT_EQ(Apply(*script), result);
      EXPECT_EQ(Tree(), before);
    }
    Put("big.bin", old);
    EXPECT_EQ(Apply(*script), kUpdated);
    EXPECT_TRUE(Get("big.bin") == *made);
  }
}

INSTANTIATE_TEST_SUITE_P(OldFiles, SizedUpdateTest,
                         ::testing::Values(SizedUpdate{"held", 1000},
                                           SizedUpdate{"streamed", (1 << 20) + 12345}),
                         [](const auto& info) { return std::string(info.param.what); });

// Another process holds the old file with read sharing (Windows): it cannot be renamed or
// replaced, only copied.
TEST_F(ApplyEntryTest, UndeletableOldFileIsReplaceDeniedWithBackup) {
  Put("a.txt", "abc");
  FsInjectFault(kFaultMove, 0, 1);
  FsInjectFault(kFaultReplace, 0, 1);
  EXPECT_EQ(Apply(UpdateAbc()), kReplaceDenied);
  EXPECT_EQ(Get("a.txt"), "abc");
  EXPECT_EQ(Get("BAK1.tmp/a.txt"), "abc");
}

// The moves of an update: the old file into BackupDir, the rebuilt file into place, and the
// old file back when that failed.
TEST_F(ApplyEntryTest, FailedMoveAfterDeleteNeverLosesTheOldContent) {
  Put("a.txt", "abc");
  FsInjectFault(kFaultMove, 0, 1);  // a copy serves as backup where the rename is refused
  EXPECT_EQ(Apply(UpdateAbc()), kUpdated);
  EXPECT_EQ(Get("a.txt"), "abXc");
  EXPECT_EQ(Get("BAK1.tmp/a.txt"), "abc");

  fs::remove_all(fs::path(dest_) / "BAK1.tmp");
  Put("a.txt", "abc");
  FsInjectFault(kFaultMove, 1, 1);  // old file in BackupDir, the rebuilt one cannot follow
  EXPECT_EQ(Apply(UpdateAbc()), kReplaceDenied);
  EXPECT_EQ(Get("a.txt"), "abc");
  EXPECT_EQ(Get("BAK1.tmp/a.txt"), "<none>");

  FsInjectFault(kFaultMove, 1, 2);  // and the old file cannot go back
  EXPECT_EQ(Apply(UpdateAbc()), kRestoreFailed);
  EXPECT_EQ(Get("a.txt"), "<none>");
  EXPECT_EQ(Get("BAK1.tmp/a.txt"), "abc");
}

TEST_F(ApplyEntryTest, SecondEntryForTheSameFileKeepsTheFirstBackup) {
  Put("a.txt", "original");
  Script s(2);
  s.NewFile("\\a.txt", "abc");
  s.Entry(Crc("abc"), Crc("abXc"), "\\a.txt").Copy(2, 0).Insert("X").Copy(1, 2).End();
  uint32_t count;
  ScriptCursor cursor;
  ASSERT_TRUE(BeginScript(s.bytes().data(), s.bytes().size(), &count, &cursor));
  EXPECT_EQ(ApplyEntry(Context(), &cursor, nullptr), kOverwritten);
  EXPECT_EQ(ApplyEntry(Context(), &cursor, nullptr), kUpdated);
  EXPECT_EQ(Get("a.txt"), "abXc");
  EXPECT_EQ(Get("BAK1.tmp/a.txt"), "original");  // what a rollback must bring back
}

}  // namespace
}  // namespace vt
