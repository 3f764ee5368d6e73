// Copying and removing directory trees: links are never followed out of the tree, and a copy
// counts the files it could not copy.
#include "patch/dir_tree.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "format/file_format.h"
#include "tests/common/fs_faults.h"
#include "tests/common/test_files.h"

namespace vt {
namespace {

namespace fs = std::filesystem;

class DirTreeTest : public ::testing::Test {
 protected:
  void TearDown() override { FsClearFaults(); }
  void Put(const fs::path& p, const std::string& content) { vtt::PutFile(p, content); }
  vtt::ScratchFolder scratch_;
  fs::path root_ = scratch_.path();
};

TEST_F(DirTreeTest, JoinPathPutsExactlyOneSeparatorAndRefusesOverlongPaths) {
  char out[kMaxPath + 1];
  ASSERT_TRUE(JoinPath("C:\\dest", "\\sub\\a.txt", out));
  EXPECT_STREQ(out, "C:\\dest\\sub\\a.txt");
  ASSERT_TRUE(JoinPath("C:\\dest\\", "a.txt", out));
  EXPECT_STREQ(out, "C:\\dest\\a.txt");
  ASSERT_TRUE(JoinPath("/tmp/d/", "\\a", out));
  EXPECT_STREQ(out, "/tmp/d/a");
  EXPECT_FALSE(JoinPath("", "a", out));
  const std::string dir(kMaxPath - 2, 'd');
  EXPECT_TRUE(JoinPath(dir.c_str(), "a", out));  // exactly kMaxPath characters
  EXPECT_FALSE(JoinPath(dir.c_str(), "ab", out));
}

TEST_F(DirTreeTest, CopyMergesIntoTheDestinationAndCountsFailures) {
  Put(root_ / "from/a.txt", "a");
  Put(root_ / "from/sub/deeper/b.txt", "b");
  fs::create_directories(root_ / "from/empty");
  Put(root_ / "to/a.txt", "older a");
  Put(root_ / "to/other.txt", "stays");
  EXPECT_EQ(CopyTree((root_ / "from").c_str(), (root_ / "to").c_str()), 0);
  std::ifstream a(root_ / "to/a.txt"), b(root_ / "to/sub/deeper/b.txt"), o(root_ / "to/other.txt");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(a), {}), "a");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(b), {}), "b");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(o), {}), "stays");
  // A folder without entries has nothing to copy, so it is not made.
  EXPECT_FALSE(fs::exists(root_ / "to/empty"));

  FsInjectFault(kFaultCopy, 0, 1);
  EXPECT_EQ(CopyTree((root_ / "from").c_str(), (root_ / "again").c_str()), 1);
  EXPECT_EQ(CopyTree((root_ / "missing").c_str(), (root_ / "again").c_str()), 1);
}

TEST_F(DirTreeTest, LinksAreRemovedOrSkippedButNeverFollowed) {
  Put(root_ / "outside/precious.txt", "keep me");
  Put(root_ / "tree/file.txt", "f");
  fs::create_directories(root_ / "tree/sub");
  fs::create_directory_symlink(root_ / "outside", root_ / "tree/sub/link");
  fs::create_symlink(root_ / "outside/precious.txt", root_ / "tree/filelink");
  chmod((root_ / "outside/precious.txt").c_str(), 0444);

  EXPECT_EQ(CopyTree((root_ / "tree").c_str(), (root_ / "copy").c_str()), 0);
  EXPECT_FALSE(fs::exists(fs::symlink_status(root_ / "copy/sub/link")));
  EXPECT_FALSE(fs::exists(fs::symlink_status(root_ / "copy/filelink")));

  EXPECT_TRUE(RemoveTree((root_ / "tree").c_str()));
  EXPECT_FALSE(fs::exists(fs::symlink_status(root_ / "tree")));
  EXPECT_TRUE(fs::exists(root_ / "outside/precious.txt"));
  // Making the links' files deletable must not have touched the file they point to.
  EXPECT_EQ(fs::status(root_ / "outside/precious.txt").permissions() & fs::perms::owner_write,
            fs::perms::none);
}

}  // namespace
}  // namespace vt
