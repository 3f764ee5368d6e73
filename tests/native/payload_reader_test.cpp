// Block location, the signature check and the file record walk of the installer payload.
#include "format/payload_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "format/file_format.h"

namespace vt {
namespace {

typedef std::vector<uint8_t> Bytes;

void PutLe32(Bytes* out, uint32_t v) {
  uint8_t b[4];
  WriteLe32(b, v);
  out->insert(out->end(), b, b + 4);
}

void PutBytes(Bytes* out, const std::string& s) { out->insert(out->end(), s.begin(), s.end()); }

// A zero stub followed by blocks given as (length field, size field, stream bytes); the length
// field is written as given so that tests can make it lie.
struct RawBlock {
  uint32_t length;
  uint32_t rawSize;
  std::string stream;
};

Bytes Image(const std::vector<RawBlock>& blocks) {
  Bytes image(kStubSize, 0);
  for (const RawBlock& block : blocks) {
    PutLe32(&image, block.length);
    PutLe32(&image, block.rawSize);
    PutBytes(&image, block.stream);
  }
  return image;
}

RawBlock Honest(uint32_t rawSize, const std::string& stream) {
  return {uint32_t(stream.size() + 4), rawSize, stream};
}

bool Locate(const Bytes& image, int n, BlockView* view) {
  return LocateBlock(image.data(), image.size(), n, view);
}

TEST(LocateBlock, FindsBothBlocksAndSkipsBlockOneByItsLengthAlone) {
  // Block 1's stream is not bzip2 at all: finding block 2 must not look inside it.
  const Bytes image = Image({Honest(100, "junk!"), Honest(7, "BZh9xy")});
  BlockView view;
  ASSERT_TRUE(Locate(image, 1, &view));
  EXPECT_EQ(view.stream, image.data() + kStubSize + 8);
  EXPECT_EQ(view.streamSize, 5u);
  EXPECT_EQ(view.rawSize, 100u);
  ASSERT_TRUE(Locate(image, 2, &view));
  EXPECT_EQ(view.stream, image.data() + kStubSize + 4 + 9 + 8);
  EXPECT_EQ(view.streamSize, 6u);
  EXPECT_EQ(view.rawSize, 7u);
}

TEST(LocateBlock, RefusesImagesWithoutRoomForTheBlock) {
  BlockView view;
  EXPECT_FALSE(Locate(Bytes(), 1, &view));
  EXPECT_FALSE(Locate(Bytes(kStubSize - 1, 0), 1, &view));
  EXPECT_FALSE(Locate(Bytes(kStubSize, 0), 1, &view));  // no payload at all
  Bytes cut = Bytes(kStubSize, 0);
  PutBytes(&cut, "\x09\x00\x00");  // a length field cut short
  EXPECT_FALSE(Locate(cut, 1, &view));

  // A length one past the end, or large enough to wrap a 32-bit cursor, loses both blocks.
  for (uint32_t length : {10u, 0xFFFFFFFFu, 0xFFFFFFFCu}) {
    const Bytes image = Image({{length, 1, "BZh9x"}});
    EXPECT_FALSE(Locate(image, 1, &view)) << length;
    EXPECT_FALSE(Locate(image, 2, &view)) << length;
  }
  // Block 1 whole, block 2 missing or running past the end.
  const Bytes onlyOne = Image({Honest(1, "BZh9x")});
  EXPECT_TRUE(Locate(onlyOne, 1, &view));
  EXPECT_FALSE(Locate(onlyOne, 2, &view));
  const Bytes longTwo = Image({Honest(1, "BZh9x"), {9, 1, "BZh9"}});
  EXPECT_TRUE(Locate(longTwo, 1, &view));
  EXPECT_FALSE(Locate(longTwo, 2, &view));
}

TEST(LocateBlock, RefusesLengthsThatCannotHoldTheSizeField) {
  BlockView view;
  for (uint32_t length = 0; length < 4; ++length) {
    Bytes image = Image({});
    PutLe32(&image, length);
    PutBytes(&image, "BZh9BZh9");
    EXPECT_FALSE(Locate(image, 1, &view)) << length;
  }
  // Exactly the size field: an empty stream, located, and then refused by the signature check.
  const Bytes image = Image({{4, 0, ""}});
  ASSERT_TRUE(Locate(image, 1, &view));
  EXPECT_EQ(view.streamSize, 0u);
  EXPECT_FALSE(HasBlockSignature(view));
}

TEST(BlockSignature, AcceptsOnlyBzip2OfBlockSizeNine) {
  const std::pair<std::string, bool> kCases[] = {
      {"BZh91AY&SY", true}, {"BZh9", true}, {"BZh1", false}, {"BZh8rest", false},
      {"bzh9", false},      {"BZh", false}, {"", false},     {std::string("\0Zh9", 4), false}};
  for (const auto& [stream, accepted] : kCases) {
    const Bytes image = Image({Honest(1, stream)});
    BlockView view;
    ASSERT_TRUE(Locate(image, 1, &view));
    EXPECT_EQ(HasBlockSignature(view), accepted) << stream;
  }
}

// ---- Record walk ----

Bytes Record(const std::string& name, const std::string& data) {
  Bytes out;
  PutBytes(&out, name);
  out.push_back(0);
  PutLe32(&out, uint32_t(data.size()));
  PutBytes(&out, data);
  return out;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

struct Seen {
  std::vector<std::string> names;
  std::vector<std::string> data;
  size_t stopAfter = 1000;
};

bool Collect(const FileRecord& record, void* context) {
  Seen* seen = static_cast<Seen*>(context);
  seen->names.push_back(record.name);
  seen->data.push_back(std::string(reinterpret_cast<const char*>(record.data), record.size));
  return seen->names.size() < seen->stopAfter;
}

// Walks an exact-size heap copy, so that the sanitizer sees any read past the bytes.
RecordWalkResult Walk(const Bytes& bytes, Seen* seen) {
  std::unique_ptr<uint8_t[]> copy(new uint8_t[bytes.size() + 1]);
  std::copy(bytes.begin(), bytes.end(), copy.get());
  return WalkRecords(bytes.empty() ? nullptr : copy.get(), bytes.size(), Collect, seen);
}

TEST(WalkRecords, VisitsRecordsInOrderUpToTheFirstEmptyName) {
  const Bytes block = Concat({Record("Update.ini", "[App]"), Record("Empty.txt", ""),
                              Record("Guide.txt", std::string("a\0b", 3)), Bytes(1, 0),
                              Record("After.txt", "never")});
  Seen seen;
  EXPECT_EQ(Walk(block, &seen), kRecordsOk);
  EXPECT_EQ(seen.names, (std::vector<std::string>{"Update.ini", "Empty.txt", "Guide.txt"}));
  EXPECT_EQ(seen.data, (std::vector<std::string>{"[App]", "", std::string("a\0b", 3)}));

  Seen first;
  first.stopAfter = 1;
  EXPECT_EQ(Walk(block, &first), kRecordsOk);
  EXPECT_EQ(first.names.size(), 1u);
}

TEST(WalkRecords, EmptyBlocksAndZeroTailsEndTheRunQuietly) {
  Seen seen;
  EXPECT_EQ(Walk(Bytes(), &seen), kRecordsOk);
  EXPECT_EQ(Walk(Bytes(1, 0), &seen), kRecordsOk);
  // A stream that gave fewer bytes than its stored size: the zero-filled rest ends the walk.
  EXPECT_EQ(Walk(Concat({Record("a.txt", "x"), Bytes(50, 0)}), &seen), kRecordsOk);
  // The end of the bytes counts as the empty name.
  EXPECT_EQ(Walk(Record("b.txt", "y"), &seen), kRecordsOk);
  EXPECT_EQ(seen.names, (std::vector<std::string>{"a.txt", "b.txt"}));
}

TEST(WalkRecords, DamagedRecordsReachNoVisitor) {
  const Bytes good = Record("Good.txt", "fine");
  Bytes longData = Record("Long.txt", "12345");
  WriteLe32(&longData[9], 6);  // one byte more than there is
  Bytes hugeData = Record("Huge.txt", "12345");
  WriteLe32(&hugeData[9], 0xFFFFFFFFu);  // must not wrap the position
  const Bytes cases[] = {
      Concat({good, longData}),
      Concat({good, hugeData}),
      Concat({good, Bytes{'N', 'o', 'N', 'u', 'l'}}),
      Concat({good, Bytes{'S', 'z', 0, 1, 0}}),
  };
  for (const Bytes& block : cases) {
    Seen seen;
    EXPECT_EQ(Walk(block, &seen), kRecordTruncated);
    EXPECT_TRUE(seen.names.empty());
  }
}

TEST(WalkRecords, RefusesNamesThatAreNotPlainFileNames) {
  const char* const kBad[] = {
      "a\\b", "a/b", "..",      ".",    "C:x",      "C:",   "\\abs",     "/abs",
      "CON",  "con", "nul.txt", "Com1", "LPT9.log", "AUX.", "trail.",    "trail ",
      "a*b",  "a?b", "a|b",     "a<b",  "a>b",      "a\"b", "tab\tname", "x\x7f"};
  for (const char* name : kBad) {
    Seen seen;
    EXPECT_EQ(Walk(Concat({Record("Good.txt", "ok"), Record(name, "data")}), &seen), kRecordBadName)
        << name;
    EXPECT_TRUE(seen.names.empty()) << name;
  }
  const char* const kGood[] = {"Update.ini", ".hidden",     "a..b",          "COM0", "CONFIG.SYS",
                               "NULL",       "Console.txt", "\xe9t\xe9.txt", " lead"};
  for (const char* name : kGood) {
    Seen seen;
    EXPECT_EQ(Walk(Record(name, "data"), &seen), kRecordsOk) << name;
  }
}

TEST(WalkRecords, EveryTruncationIsOkOnlyAtARecordBoundary) {
  const Bytes records[] = {Record("Update.ini", "[App]\r\nAppName=X\r\n"), Record("E.txt", ""),
                           Record("Splash.bmp", std::string(40, 'B'))};
  Bytes block;
  std::vector<size_t> boundaries = {0};
  for (const Bytes& r : records) {
    block.insert(block.end(), r.begin(), r.end());
    boundaries.push_back(block.size());
  }
  block.push_back(0);
  boundaries.push_back(block.size());
  for (size_t cut = 0; cut <= block.size(); ++cut) {
    Seen seen;
    const Bytes prefix(block.begin(), block.begin() + cut);
    const bool atBoundary =
        std::find(boundaries.begin(), boundaries.end(), cut) != boundaries.end();
    EXPECT_EQ(Walk(prefix, &seen), atBoundary ? kRecordsOk : kRecordTruncated) << cut;
  }
}

}  // namespace
}  // namespace vt
