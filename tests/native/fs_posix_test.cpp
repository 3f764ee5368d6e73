// The POSIX file-system layer: the Windows behaviours that the engine relies on, emulated.
#include "patch/fs.h"
#include "tests/common/test_files.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <string>
#include <thread>

namespace vt {
namespace {

namespace fs = std::filesystem;

// Every case runs twice: names walked for each call, and reached through held folders from
// the scratch folder as a root, as during a run.
class FsPosixTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    if (GetParam()) {
      FsHoldFolders();
      ASSERT_TRUE(FsHoldRoot(dir_.c_str()));
    }
  }
  void TearDown() override {
    if (GetParam()) FsReleaseFolders();
  }

  // The path in the engine's form: backslashes after the directory.
  std::string P(const std::string& relative) const { return dir_.string() + "\\" + relative; }
  std::string Write(const std::string& relative, const std::string& content) {
    vtt::PutFile(dir_ / relative, content);
    return P(relative);
  }
  std::string Read(const std::string& relative) const { return vtt::GetFile(dir_ / relative); }

  vtt::ScratchFolder scratch_;
  fs::path dir_ = scratch_.path();
};

TEST_P(FsPosixTest, OpenTellsMissingFileFromOtherFailures) {
  FsError error = kFsOk;
  EXPECT_EQ(FsOpen(P("missing").c_str(), kFsUpdateExclusive, &error), kNoFile);
  EXPECT_EQ(error, kFsNotFound);
  EXPECT_EQ(FsOpen(P("nodir\\missing").c_str(), kFsUpdateExclusive, &error), kNoFile);
  EXPECT_EQ(error, kFsFailed);  // Windows: path not found
  fs::create_directory(dir_ / "sub");
  EXPECT_EQ(FsOpen(P("sub").c_str(), kFsUpdateExclusive, &error), kNoFile);
  EXPECT_EQ(error, kFsFailed);
  Write("file", "x");
  EXPECT_EQ(FsOpen(P("file\\below").c_str(), kFsUpdateExclusive, &error), kNoFile);
  EXPECT_EQ(error, kFsFailed);
  EXPECT_EQ(FsOpen(P("file").c_str(), kFsCreateNew, &error), kNoFile);
  EXPECT_EQ(error, kFsExists);
}

TEST_P(FsPosixTest, ExclusiveHolderRefusesOpensDeletesAndCopies) {
  std::string file = Write("held", "content");
  FsFile holder = FsOpen(file.c_str(), kFsUpdateExclusive, nullptr);
  ASSERT_NE(holder, kNoFile);
  FsError error = kFsOk;
  EXPECT_EQ(FsOpen(file.c_str(), kFsReadExclusive, &error), kNoFile);
  EXPECT_EQ(error, kFsFailed);
  EXPECT_EQ(FsOpen(file.c_str(), kFsUpdateSoleLink, nullptr), kNoFile);
  EXPECT_EQ(FsDeleteFile(file.c_str()), kFsFailed);
  EXPECT_EQ(FsCopyFile(file.c_str(), P("copy").c_str(), false), kFsFailed);
  EXPECT_FALSE(fs::exists(dir_ / "copy"));
  EXPECT_EQ(Read("held"), "content");
  FsClose(holder);
  EXPECT_EQ(FsDeleteFile(file.c_str()), kFsOk);
  EXPECT_FALSE(fs::exists(dir_ / "held"));
  EXPECT_EQ(FsDeleteFile(file.c_str()), kFsNotFound);
}

TEST_P(FsPosixTest, SharedReadersCoexistButKeepWritersOut) {
  std::string file = Write("shared", "content");
  FsFile a = FsOpen(file.c_str(), kFsReadShared, nullptr);
  FsFile b = FsOpen(file.c_str(), kFsReadShared, nullptr);
  EXPECT_NE(a, kNoFile);
  EXPECT_NE(b, kNoFile);
  EXPECT_EQ(FsOpen(file.c_str(), kFsUpdateExclusive, nullptr), kNoFile);
  FsClose(a);
  FsClose(b);
}

TEST_P(FsPosixTest, CopyMoveAndAttributes) {
  std::string from = Write("from", "new");
  std::string to = Write("to", "old");
  chmod((dir_ / "from").c_str(), 0444);
  EXPECT_EQ(FsCopyFile(from.c_str(), to.c_str(), false), kFsExists);
  EXPECT_EQ(Read("to"), "old");
  EXPECT_EQ(FsCopyFile(from.c_str(), P("copy").c_str(), false), kFsOk);
  EXPECT_EQ(Read("copy"), "new");
  EXPECT_EQ(fs::status(dir_ / "copy").permissions() & fs::perms::all, fs::perms(0444));
  EXPECT_TRUE(FsSetNormalAttributes(P("copy").c_str()));
  EXPECT_NE(fs::status(dir_ / "copy").permissions() & fs::perms::owner_write, fs::perms::none);
  EXPECT_EQ(FsCopyFile(from.c_str(), to.c_str(), true), kFsOk);
  EXPECT_EQ(Read("to"), "new");
  EXPECT_EQ(FsCopyFile(from.c_str(), from.c_str(), true), kFsFailed);  // never onto itself
  EXPECT_EQ(Read("from"), "new");

  EXPECT_EQ(FsMoveFile(P("copy").c_str(), to.c_str()), kFsExists);
  EXPECT_EQ(FsMoveFile(P("copy").c_str(), P("moved").c_str()), kFsOk);
  EXPECT_FALSE(fs::exists(dir_ / "copy"));
  EXPECT_EQ(Read("moved"), "new");
}

TEST_P(FsPosixTest, ParentDirectoriesAndTemporaryNames) {
  EXPECT_TRUE(FsMakeParentDirs(P("a\\b/c\\file.txt").c_str()));
  EXPECT_TRUE(fs::is_directory(dir_ / "a/b/c"));
  EXPECT_FALSE(fs::exists(dir_ / "a/b/c/file.txt"));
  Write("plain", "");
  EXPECT_FALSE(FsMakeParentDirs(P("plain\\d\\file.txt").c_str()));

  char first[261], second[261];
  ASSERT_TRUE(FsReserveTempName(dir_.c_str(), "PCH", first));
  ASSERT_TRUE(FsReserveTempName((dir_.string() + "/").c_str(), "PCH", second));
  EXPECT_STRNE(first, second);
  for (const char* name : {first, second}) {
    std::string leaf = std::string(name).substr(dir_.string().size() + 1);
    EXPECT_EQ(leaf.substr(0, 3), "PCH") << name;
    EXPECT_EQ(leaf.substr(leaf.size() - 4), ".tmp") << name;
    EXPECT_EQ(leaf.find_first_not_of("0123456789abcdef", 3), leaf.size() - 4) << name;
    EXPECT_EQ(fs::file_size(dir_ / leaf), 0u);
  }
  EXPECT_FALSE(FsReserveTempName(P("missing").c_str(), "PCH", first));

  // A created temporary file stays held: nobody else opens it before it is closed.
  FsFile temp = FsCreateTemp(dir_.c_str(), "PCH", first);
  ASSERT_NE(temp, kNoFile);
  EXPECT_EQ(FsOpen(first, kFsReadShared, nullptr), kNoFile);
  EXPECT_TRUE(FsWrite(temp, "abc", 3) && FsClose(temp));
  EXPECT_EQ(Read(std::string(first).substr(dir_.string().size() + 1)), "abc");
}

// A run makes its backup folder where it just gave up a reserved name; should a link to a
// folder outside (or any folder) take the name in between, the run must not work in it.
TEST_P(FsPosixTest, MakeDirTakesOnlyAFolderItMade) {
  fs::create_directory(dir_ / "outside");
  fs::create_directory(dir_ / "there");
  fs::create_directory_symlink(dir_ / "outside", dir_ / "link");
  EXPECT_TRUE(FsMakeDir(P("new").c_str()));
  EXPECT_TRUE(fs::is_directory(dir_ / "new"));
  EXPECT_FALSE(FsMakeDir(P("there").c_str()));
  EXPECT_FALSE(FsMakeDir(P("link").c_str()));
  EXPECT_TRUE(fs::is_symlink(dir_ / "link"));
}

TEST_P(FsPosixTest, MapsWholeFileAndEmptyFile) {
  // Small files are read, big ones mapped: both give the whole content.
  for (const std::string& content : {std::string("abcdef"), std::string(300000, 'x') + "end"}) {
    FsFile file = FsOpen(Write("data", content).c_str(), kFsReadShared, nullptr);
    ASSERT_NE(file, kNoFile);
    FsView view;
    ASSERT_TRUE(FsMap(file, &view));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(view.data), view.size), content);
    FsUnmap(&view);
    FsClose(file);
  }
  FsView view;
  FsFile file = FsOpen(Write("empty", "").c_str(), kFsReadShared, nullptr);
  ASSERT_TRUE(FsMap(file, &view));
  EXPECT_EQ(view.size, 0u);
  EXPECT_EQ(view.data, nullptr);
  FsUnmap(&view);
  FsClose(file);
}

// A size known from the open is not taken for one that writes through the file changed.
TEST_P(FsPosixTest, MapSeesWhatWasWrittenSinceTheOpen) {
  FsFile file = FsOpen(Write("grown", "").c_str(), kFsUpdateExclusive, nullptr);
  ASSERT_NE(file, kNoFile);
  ASSERT_TRUE(FsWrite(file, "abc", 3));
  FsView view;
  ASSERT_TRUE(FsMap(file, &view));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(view.data), view.size), "abc");
  FsUnmap(&view);
  FsClose(file);
}

// A held folder is let go when this layer removes or renames it: a folder made again under the
// name is the one that the calls reach. Whatever another process puts at the name of a folder
// found free of links, the calls stay in that folder.
TEST_P(FsPosixTest, HeldFoldersFollowTheLayerAndIgnoreLinksPutLater) {
  const size_t root = dir_.string().size();
  fs::create_directories(dir_ / "d");
  fs::create_directory(dir_ / "outside");
  ASSERT_TRUE(FsMakeParentDirsUnlessLinked(P("d\\f").c_str(), root));
  FsClose(FsOpen(P("d\\f").c_str(), kFsCreateNew, nullptr));
  ASSERT_EQ(FsMoveFile(P("d").c_str(), P("e").c_str()), kFsOk);
  ASSERT_TRUE(FsMakeDir(P("d").c_str()));
  FsClose(FsOpen(P("d\\g").c_str(), kFsCreateNew, nullptr));
  EXPECT_TRUE(fs::exists(dir_ / "d/g"));
  ASSERT_EQ(FsDeleteFile(P("d\\g").c_str()), kFsOk);
  ASSERT_TRUE(FsRemoveDir(P("d").c_str()));
  ASSERT_TRUE(FsMakeParentDirs(P("d\\h").c_str()));
  FsClose(FsOpen(P("d\\h").c_str(), kFsCreateNew, nullptr));
  EXPECT_TRUE(fs::exists(dir_ / "d/h"));
  EXPECT_EQ(fs::directory_iterator(dir_ / "e")->path().filename(), "f");

  // Another process swaps the folder for a link to one outside.
  ASSERT_TRUE(FsMakeParentDirsUnlessLinked(P("d\\h").c_str(), root));
  fs::rename(dir_ / "d", dir_ / "moved");
  fs::create_directory_symlink(dir_ / "outside", dir_ / "d");
  const bool linked = FsPathHasLink(P("d\\i").c_str(), root);
  FsClose(FsOpen(P("d\\i").c_str(), kFsCreateNew, nullptr));
  EXPECT_TRUE(fs::is_empty(dir_ / "outside") || linked);
  EXPECT_EQ(linked, !GetParam());
  EXPECT_EQ(fs::exists(dir_ / "moved/i"), GetParam());
}

// A held folder that another program removes is looked up again once a call missed it there,
// so that it can be made again.
TEST_P(FsPosixTest, AHeldFolderRemovedByAnotherProgramIsMadeAgain) {
  const size_t root = dir_.string().size();
  fs::create_directories(dir_ / "d");
  ASSERT_TRUE(FsMakeParentDirsUnlessLinked(P("d\\f").c_str(), root));
  fs::remove_all(dir_ / "d");
  EXPECT_EQ(FsOpen(P("d\\f").c_str(), kFsCreateNew, nullptr), kNoFile);
  ASSERT_TRUE(FsMakeParentDirsUnlessLinked(P("d\\f").c_str(), root));
  FsFile file = FsOpen(P("d\\f").c_str(), kFsCreateNew, nullptr);
  EXPECT_NE(file, kNoFile);
  if (file != kNoFile) FsClose(file);
  EXPECT_TRUE(fs::exists(dir_ / "d/f"));
}

// A thread that never held folders has none to let go: no descriptor of the process is closed.
TEST_P(FsPosixTest, ReleaseWithoutHoldClosesNothing) {
  if (fcntl(0, F_GETFD) == -1) GTEST_SKIP() << "no standard input to watch";
  std::thread([] { FsReleaseFolders(); }).join();
  EXPECT_NE(fcntl(0, F_GETFD), -1);
}

// Names in Latin-1 on the engine's side and in UTF-8 on the system's: two bytes there for each
// byte from 0x80 on.
bool Latin1ToUtf8(const char* in, char* out, size_t size) {
  size_t n = 0;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(in); *p; ++p) {
    if (n + 3 > size) return false;
    if (*p >= 0x80) out[n++] = char(0xC0 | (*p >> 6));
    out[n++] = char(*p < 0x80 ? *p : 0x80 | (*p & 0x3F));
  }
  out[n] = 0;
  return true;
}
bool Utf8ToLatin1(const char* in, char* out, size_t size) {
  size_t n = 0;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(in); *p; ++p) {
    if (n + 2 > size) return false;
    if (*p < 0x80) {
      out[n++] = char(*p);
      continue;
    }
    if ((*p & 0xFE) != 0xC2 || (p[1] & 0xC0) != 0x80) return false;
    out[n++] = char(((*p & 1) << 6) | (p[1] & 0x3F));
    ++p;
  }
  out[n] = 0;
  return true;
}

// The folder a caller owns may be reached through a link whatever its name holds; a link
// below it is found even where the system's names are longer than the engine's.
TEST_P(FsPosixTest, LinkWalkStartsBelowARootOfLongerSystemName) {
  const FsNameCodec codec = {Latin1ToUtf8, Utf8ToLatin1, "names latin1"};
  FsSetNameCodec(&codec);
  fs::create_directories(dir_ / "r\xC3\xA9" / "real" / "sub");
  fs::create_directory_symlink("real", dir_ / "r\xC3\xA9" / "app");
  fs::create_directory_symlink("sub", dir_ / "r\xC3\xA9" / "real" / "linked");
  const std::string root = P("r\xE9\\app");
  // A run holds its destination as the root, reached as the system finds it.
  if (GetParam()) {
    FsReleaseFolders();
    FsHoldFolders();
    FsHoldRoot(root.c_str());
  }
  const bool below = FsPathHasLink((root + "\\sub\\f").c_str(), root.size());
  const bool made = FsMakeParentDirsUnlessLinked((root + "\\sub\\f").c_str(), root.size());
  const bool linked = FsPathHasLink((root + "\\linked\\f").c_str(), root.size());
  FsSetNameCodec(nullptr);
  EXPECT_FALSE(below);
  EXPECT_TRUE(made);
  EXPECT_TRUE(linked);
}

// A file with another name outside: no call writes it or changes its mode. What replaces it
// at this name is a new file.
TEST_P(FsPosixTest, AFileWithOtherHardLinksIsNeverWrittenNorChanged) {
  const struct {
    const char* call;
    std::function<bool(const std::string& name)> act;
    bool replaced;  // the name holds a new file afterwards
  } kCalls[] = {
      {"create always",
       [](const std::string& n) {
         const FsFile f = FsOpen(n.c_str(), kFsCreateAlways, nullptr);
         return f != kNoFile && FsWrite(f, "new", 3) && FsClose(f);
       },
       true},
      {"update sole link", [](const std::string& n) {
         return FsOpen(n.c_str(), kFsUpdateSoleLink, nullptr) != kNoFile; }, false},
      {"normal attributes", [](const std::string& n) {
         return FsSetNormalAttributes(n.c_str()); }, false},
      {"copy over", [this](const std::string& n) {
         return FsCopyFile(Write("source", "new").c_str(), n.c_str(), true) == kFsOk; }, true},
  };
  for (const auto& c : kCalls) {
    SCOPED_TRACE(c.call);
    fs::remove_all(dir_ / "outside");
    fs::remove(dir_ / "name");
    vtt::PutFile(dir_ / "outside/file", "outside");
    fs::permissions(dir_ / "outside/file", fs::perms::owner_read);
    fs::create_hard_link(dir_ / "outside/file", dir_ / "name");
    EXPECT_EQ(c.act(P("name")), c.replaced);
    EXPECT_EQ(Read("outside/file"), "outside");
    EXPECT_EQ(fs::status(dir_ / "outside/file").permissions(), fs::perms::owner_read);
    EXPECT_EQ(Read("name"), c.replaced ? "new" : "outside");
    fs::permissions(dir_ / "outside/file", fs::perms::owner_all);
  }
}

// More folders than the layer keeps open at once, each reached again and again: every file
// lands in its own folder.
TEST_P(FsPosixTest, ManyFoldersEachTakeTheirOwnFiles) {
  const size_t root = dir_.string().size();
  for (int round = 0; round < 2; ++round) {
    for (int i = 0; i < 50; ++i) {
      const std::string file = "d" + std::to_string(i) + "\\f" + std::to_string(round);
      ASSERT_TRUE(FsMakeParentDirsUnlessLinked(P(file).c_str(), root));
      const FsFile f = FsOpen(P(file).c_str(), kFsCreateNew, nullptr);
      ASSERT_NE(f, kNoFile);
      FsWrite(f, file.data(), uint32_t(file.size()));
      FsClose(f);
    }
  }
  for (int i = 0; i < 50; ++i) {
    for (int round = 0; round < 2; ++round) {
      const std::string file = "d" + std::to_string(i) + "\\f" + std::to_string(round);
      EXPECT_EQ(Read("d" + std::to_string(i) + "/f" + std::to_string(round)), file);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(ByNameAndHeld, FsPosixTest, ::testing::Bool());

// Below a folder that the run made, nothing is reached through a link: not when another
// program renames the folder and puts one of its own with a link in its place, nor through a
// link inside it.
TEST(FsPosixHeldTest, BelowItsOwnFolderARunFollowsNoLink) {
  vtt::ScratchFolder scratch;
  const fs::path dir = scratch.path();
  auto P = [&](const std::string& relative) { return dir.string() + "\\" + relative; };
  fs::create_directory(dir / "outside");
  FsHoldFolders();
  ASSERT_TRUE(FsHoldRoot(dir.c_str()));
  ASSERT_TRUE(FsMakeDir(P("bak").c_str()) && FsHoldRoot(P("bak").c_str()));
  fs::rename(dir / "bak", dir / "real");
  fs::create_directory(dir / "bak");
  fs::create_directory_symlink(dir / "outside", dir / "bak/d");
  EXPECT_TRUE(FsMakeParentDirs(P("bak\\d\\f").c_str()));
  FsClose(FsOpen(P("bak\\d\\f").c_str(), kFsCreateNew, nullptr));
  EXPECT_TRUE(fs::exists(dir / "real/d/f"));
  // A link check of a path in it does not take up the folder now at its name.
  EXPECT_FALSE(FsPathHasLink(P("bak\\g").c_str(), dir.string().size()));
  FsClose(FsOpen(P("bak\\g").c_str(), kFsCreateNew, nullptr));
  EXPECT_TRUE(fs::exists(dir / "real/g"));

  fs::create_directory_symlink(dir / "outside", dir / "real/e");
  EXPECT_FALSE(FsMakeParentDirs(P("bak\\e\\f").c_str()));
  EXPECT_EQ(FsOpen(P("bak\\e\\f").c_str(), kFsCreateNew, nullptr), kNoFile);
  FsReleaseFolders();
  EXPECT_TRUE(fs::is_empty(dir / "outside"));
}

}  // namespace
}  // namespace vt
