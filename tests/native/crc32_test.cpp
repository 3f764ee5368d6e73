// CRC-32 of bytes and files: check values, table entries, the sliced loop against a bitwise one.
#include "patch/crc32.h"
#include "patch/crc32_fold.h"
#include "tests/common/test_files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace vt {
namespace {

namespace fs = std::filesystem;

uint32_t Crc(const std::string& s) {
  return CrcBytes(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

// Straight from the definition, one bit at a time, without any table.
uint32_t BitwiseCrc(const std::vector<uint8_t>& bytes) {
  uint32_t r = 0xFFFFFFFF;
  for (uint8_t b : bytes) {
    r ^= uint32_t(b) << 24;
    for (int i = 0; i < 8; ++i) r = (r & 0x80000000u) ? (r << 1) ^ 0x04C11DB7u : r << 1;
  }
  return ~r;
}

class Crc32Test : public ::testing::Test {
 protected:
  void SetUp() override {
    BuildCrcTable();
  }

  std::string Write(const std::string& name, const std::string& content) {
    vtt::PutFile(dir_ / name, content);
    return (dir_ / name).string();
  }

  vtt::ScratchFolder scratch_;
  fs::path dir_ = scratch_.path();
};

TEST_F(Crc32Test, CheckValuesAndTableEntries) {
  EXPECT_EQ(Crc("123456789"), 0xFC891918u);
  EXPECT_EQ(Crc("abc"), 0x648CBB73u);
  EXPECT_EQ(Crc(""), 0u);
  EXPECT_EQ(Crc("ab\x58" "c"), 0xEB5AD2FAu);
  const uint32_t* table = CrcTable();
  EXPECT_EQ(table[0], 0x00000000u);
  EXPECT_EQ(table[1], 0x04C11DB7u);
  EXPECT_EQ(table[2], 0x09823B6Eu);
  EXPECT_EQ(table[255], 0xB1F740B4u);
}

TEST_F(Crc32Test, SlicedLoopMatchesBitwiseDefinitionAtEveryLengthAndSplit) {
  std::mt19937 random(7);
  std::vector<uint8_t> bytes(300);
  for (auto& b : bytes) b = uint8_t(random());
  for (size_t length = 0; length <= bytes.size(); length += (length < 40 ? 1 : 37)) {
    std::vector<uint8_t> part(bytes.begin(), bytes.begin() + length);
    uint32_t expected = BitwiseCrc(part);
    // Every start offset too, so that the eight-byte steps meet every alignment.
    ASSERT_EQ(CrcBytes(part.data(), length), expected) << length;
    for (size_t split = 0; split <= length; split += 3)
      ASSERT_EQ(CrcUpdate(CrcBytes(part.data(), split), part.data() + split, length - split),
                expected)
          << length << " split " << split;
  }
  for (size_t start = 1; start < 9; ++start) {
    std::vector<uint8_t> tail(bytes.begin() + start, bytes.end());
    EXPECT_EQ(CrcBytes(bytes.data() + start, tail.size()), BitwiseCrc(tail));
  }
}

TEST_F(Crc32Test, LongRunsInInterleavedStreamsMatchBitwiseDefinition) {
  // Long enough for two rounds of the three-stream loop and a tail, whole or in pieces.
  std::mt19937 random(11);
  std::vector<uint8_t> bytes(2 * 3 * 16384 + 1237);
  for (auto& b : bytes) b = uint8_t(random());
  uint32_t expected = BitwiseCrc(bytes);
  std::vector<uint8_t> zeros(3 * 16384, 0);
  // The widest folding the processor offers, then the 128-bit one that others take.
  for (bool narrow : {false, true}) {
    SCOPED_TRACE(narrow ? "128-bit folding" : "widest folding");
    if (narrow) LimitCrcFoldWidth();
    EXPECT_EQ(CrcBytes(bytes.data(), bytes.size()), expected);
    for (size_t split : {size_t(1), size_t(5), size_t(16384), size_t(49151), size_t(50000)})
      EXPECT_EQ(
          CrcUpdate(CrcBytes(bytes.data(), split), bytes.data() + split, bytes.size() - split),
          expected)
          << split;
    EXPECT_EQ(CrcBytes(zeros.data(), zeros.size()), BitwiseCrc(zeros));
  }
  BuildCrcTable();
}

TEST_F(Crc32Test, FileByPathAndByOpenHandle) {
  std::string digits = Write("digits", "123456789");
  std::string empty = Write("empty", "");
  EXPECT_EQ(CrcOfFile(digits.c_str()), 0xFC891918u);
  EXPECT_EQ(CrcOfFile(empty.c_str()), 0u);

  FsFile file = FsOpen(digits.c_str(), kFsReadShared, nullptr);
  ASSERT_NE(file, kNoFile);
  EXPECT_EQ(CrcOfOpenFile(file), 0xFC891918u);
  // The handle stays open and can be used again.
  EXPECT_EQ(CrcOfOpenFile(file), 0xFC891918u);
  FsView view;
  ASSERT_TRUE(FsMap(file, &view));
  EXPECT_EQ(view.size, 9u);
  FsUnmap(&view);
  EXPECT_TRUE(FsClose(file));

  file = FsOpen(empty.c_str(), kFsReadShared, nullptr);
  ASSERT_NE(file, kNoFile);
  EXPECT_EQ(CrcOfOpenFile(file), 0u);
  FsClose(file);
}

TEST_F(Crc32Test, FileThatCannotBeOpenedGivesZero) {
  std::string digits = Write("digits", "123456789");
  uint32_t crc = 1;
  EXPECT_EQ(CrcOfFile((dir_ / "missing").c_str()), 0u);
  EXPECT_FALSE(TryCrcOfFile((dir_ / "missing").c_str(), &crc));
  EXPECT_EQ(CrcOfFile(dir_.c_str()), 0u);  // a directory

  // Held by another opener without sharing: refused while held, readable afterwards.
  FsFile holder = FsOpen(digits.c_str(), kFsUpdateExclusive, nullptr);
  ASSERT_NE(holder, kNoFile);
  EXPECT_EQ(CrcOfFile(digits.c_str()), 0u);
  EXPECT_FALSE(TryCrcOfFile(digits.c_str(), &crc));
  FsClose(holder);
  EXPECT_EQ(CrcOfFile(digits.c_str()), 0xFC891918u);
}

}  // namespace
}  // namespace vt
