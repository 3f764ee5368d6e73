// Files for tests: a private scratch folder per test, and putting, getting and listing files in
// it. Shared by the tests that work on real folders; std::filesystem only.
#ifndef VANTREL_TESTS_COMMON_TEST_FILES_H
#define VANTREL_TESTS_COMMON_TEST_FILES_H

#include <gtest/gtest.h>
#include <stdint.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <system_error>
#include <vector>

namespace vtt {

// Relative path -> content for files, "<dir>" for folders.
typedef std::map<std::string, std::string> FileTree;

// A new folder under the system's temporary folder, made by this object alone and removed with
// everything in it when the object goes. Its name is short: the engine's paths are limited to
// kMaxPath characters, and tests go near that limit below it.
class ScratchFolder {
 public:
  ScratchFolder() {
    std::random_device random;
    std::error_code ec;
    do {
      path_ = std::filesystem::temp_directory_path() /
              ("vt_" + std::to_string(100000 + random() % 900000));
    } while (!std::filesystem::create_directory(path_, ec) && !ec);
    EXPECT_FALSE(ec) << ec.message();
  }
  ~ScratchFolder() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string str() const { return path_.string(); }

 private:
  std::filesystem::path path_;
};

// Writes `bytes` to `path`, making the folders it needs.
template <typename Container>
void PutFile(const std::filesystem::path& path, const Container& bytes) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  EXPECT_TRUE(out.good()) << path;
}
inline void PutFile(const std::filesystem::path& path, const char* text) {
  PutFile(path, std::string(text));
}

// The file's bytes; empty when it cannot be read.
inline std::string GetFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}
inline std::vector<uint8_t> GetBytes(const std::filesystem::path& path) {
  const std::string text = GetFile(path);
  return std::vector<uint8_t>(text.begin(), text.end());
}

// Everything below `dir`; empty when `dir` does not exist.
inline FileTree Snapshot(const std::filesystem::path& dir) {
  FileTree tree;
  if (!std::filesystem::exists(dir)) return tree;
  for (const auto& e : std::filesystem::recursive_directory_iterator(dir)) {
    const std::string relative = std::filesystem::relative(e.path(), dir).string();
    tree[relative] = e.is_directory() ? "<dir>" : GetFile(e.path());
  }
  return tree;
}

}  // namespace vtt

#endif  // VANTREL_TESTS_COMMON_TEST_FILES_H
