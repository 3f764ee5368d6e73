// Block location, the signature check and the file record walk of the installer payload, and
// the fault each refusal reports.
#include "format/payload_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "format/file_format.h"
#include "format/script_writer.h"

namespace vt {
namespace {

typedef std::vector<uint8_t> Bytes;

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

// Locates block n; the fault's kind, kPayloadOk when found.
PayloadFaultKind Locate(const Bytes& image, int n, BlockView* view, PayloadFault* fault = nullptr) {
  PayloadFault local;
  if (!fault) fault = &local;
  const bool found = LocateBlock(image.data(), image.size(), kStubSize, n, view, fault);
  EXPECT_EQ(found, fault->kind == kPayloadOk);
  return fault->kind;
}

TEST(LocateBlock, FindsBothBlocksAndSkipsBlockOneByItsLengthAlone) {
  // Block 1's stream is not bzip2 at all: finding block 2 must not look inside it.
  const Bytes image = Image({Honest(100, "junk!"), Honest(7, "BZh9xy")});
  BlockView view;
  ASSERT_EQ(Locate(image, 1, &view), kBadSignature);
  EXPECT_EQ(view.stream, image.data() + kStubSize + 8);
  EXPECT_EQ(view.streamSize, 5u);
  EXPECT_EQ(view.rawSize, 100u);
  ASSERT_EQ(Locate(image, 2, &view), kPayloadOk);
  EXPECT_EQ(view.stream, image.data() + kStubSize + 4 + 9 + 8);
  EXPECT_EQ(view.streamSize, 6u);
  EXPECT_EQ(view.rawSize, 7u);
}

TEST(LocateBlock, RefusesImagesWithoutRoomForTheBlock) {
  BlockView view;
  EXPECT_NE(kPayloadOk, Locate(Bytes(), 1, &view));
  EXPECT_NE(kPayloadOk, Locate(Bytes(kStubSize - 1, 0), 1, &view));
  EXPECT_NE(kPayloadOk, Locate(Bytes(kStubSize, 0), 1, &view));  // no payload at all
  Bytes cut = Bytes(kStubSize, 0);
  PutBytes(&cut, "\x09\x00\x00");  // a length field cut short
  EXPECT_NE(kPayloadOk, Locate(cut, 1, &view));

  // A length one past the end, or large enough to wrap a 32-bit cursor, loses both blocks.
  for (uint32_t length : {10u, 0xFFFFFFFFu, 0xFFFFFFFCu}) {
    const Bytes image = Image({{length, 1, "BZh9x"}});
    EXPECT_NE(kPayloadOk, Locate(image, 1, &view)) << length;
    EXPECT_NE(kPayloadOk, Locate(image, 2, &view)) << length;
  }
  // Block 1 whole, block 2 missing or running past the end.
  const Bytes onlyOne = Image({Honest(1, "BZh9x")});
  EXPECT_EQ(kPayloadOk, Locate(onlyOne, 1, &view));
  EXPECT_NE(kPayloadOk, Locate(onlyOne, 2, &view));
  const Bytes longTwo = Image({Honest(1, "BZh9x"), {9, 1, "BZh9"}});
  EXPECT_EQ(kPayloadOk, Locate(longTwo, 1, &view));
  EXPECT_NE(kPayloadOk, Locate(longTwo, 2, &view));
}

TEST(LocateBlock, RefusesLengthsThatCannotHoldTheSizeField) {
  BlockView view;
  for (uint32_t length = 0; length < 4; ++length) {
    Bytes image = Image({});
    PutLe32(&image, length);
    PutBytes(&image, "BZh9BZh9");
    EXPECT_NE(kPayloadOk, Locate(image, 1, &view)) << length;
  }
  // Exactly the size field: an empty stream, located, and then refused by the signature check.
  const Bytes image = Image({{4, 0, ""}});
  ASSERT_EQ(Locate(image, 1, &view), kBadSignature);
  EXPECT_EQ(view.streamSize, 0u);
}

TEST(BlockSignature, AcceptsOnlyBzip2OfBlockSizeNine) {
  const std::pair<std::string, bool> kCases[] = {
      {"BZh91AY&SY", true}, {"BZh9", true}, {"BZh1", false}, {"BZh8rest", false},
      {"bzh9", false},      {"BZh", false}, {"", false},     {std::string("\0Zh9", 4), false}};
  for (const auto& [stream, accepted] : kCases) {
    const Bytes image = Image({Honest(1, stream)});
    BlockView view;
    EXPECT_EQ(Locate(image, 1, &view), accepted ? kPayloadOk : kBadSignature) << stream;
  }
}

TEST(LocateBlock, EachRefusalNamesItsFieldAndBlock) {
  const Bytes good = Image({Honest(1, "BZh9x"), Honest(2, "BZh9yz")});
  const size_t block2 = kStubSize + 13;  // block 2's length field
  Bytes cutField(good.begin(), good.begin() + block2 + 2);
  Bytes tooSmall = good;
  WriteLe32(&tooSmall[block2], 3);
  const Bytes longOne = Image({{100, 1, "BZh9x"}});
  const struct {
    Bytes image;
    int n;
    PayloadFaultKind kind;
    int block;
    size_t offset;
    uint32_t value;
  } kCases[] = {
      {Bytes(100, 0), 1, kShorterThanStub, 0, 100, 0},
      {Bytes(kStubSize, 0), 1, kLengthCutOff, 1, kStubSize, 0},
      {cutField, 2, kLengthCutOff, 2, block2, 0},
      {tooSmall, 2, kLengthTooSmall, 2, block2, 3},
      {longOne, 1, kBlockPastEnd, 1, kStubSize, 100},
      {longOne, 2, kBlockPastEnd, 1, kStubSize, 100},  // block 2 is lost with block 1
      {Image({Honest(1, "BZh1x")}), 1, kBadSignature, 1, kStubSize + 8, 0},
  };
  for (const auto& c : kCases) {
    BlockView view;
    PayloadFault fault;
    EXPECT_EQ(Locate(c.image, c.n, &view, &fault), c.kind) << c.kind;
    EXPECT_EQ(fault.block, c.block) << c.kind;
    EXPECT_EQ(fault.offset, c.offset) << c.kind;
    EXPECT_EQ(fault.value, c.value) << c.kind;
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

// Walks an exact-size heap copy, so that the sanitizer sees any read past the bytes. Returns
// the fault's kind, kPayloadOk for a sound block.
PayloadFaultKind Walk(const Bytes& bytes, Seen* seen, PayloadFault* fault = nullptr) {
  std::unique_ptr<uint8_t[]> copy(new uint8_t[bytes.size() + 1]);
  std::copy(bytes.begin(), bytes.end(), copy.get());
  PayloadFault local;
  if (!fault) fault = &local;
  const bool ok =
      WalkRecords(bytes.empty() ? nullptr : copy.get(), bytes.size(), Collect, seen, fault);
  EXPECT_EQ(ok, fault->kind == kPayloadOk);
  return fault->kind;
}

bool Truncated(PayloadFaultKind kind) {
  return kind == kRecordNameCutOff || kind == kRecordSizeCutOff || kind == kRecordDataPastEnd;
}

TEST(WalkRecords, VisitsRecordsInOrderUpToTheFirstEmptyName) {
  const Bytes block = Concat({Record("Update.ini", "[App]"), Record("Empty.txt", ""),
                              Record("Guide.txt", std::string("a\0b", 3)), Bytes(1, 0),
                              Record("After.txt", "never")});
  Seen seen;
  EXPECT_EQ(Walk(block, &seen), kPayloadOk);
  EXPECT_EQ(seen.names, (std::vector<std::string>{"Update.ini", "Empty.txt", "Guide.txt"}));
  EXPECT_EQ(seen.data, (std::vector<std::string>{"[App]", "", std::string("a\0b", 3)}));

  Seen first;
  first.stopAfter = 1;
  EXPECT_EQ(Walk(block, &first), kPayloadOk);
  EXPECT_EQ(first.names.size(), 1u);
}

TEST(WalkRecords, EmptyBlocksAndZeroTailsEndTheRunQuietly) {
  Seen seen;
  EXPECT_EQ(Walk(Bytes(), &seen), kPayloadOk);
  EXPECT_EQ(Walk(Bytes(1, 0), &seen), kPayloadOk);
  // A stream that gave fewer bytes than its stored size: the zero-filled rest ends the walk.
  EXPECT_EQ(Walk(Concat({Record("a.txt", "x"), Bytes(50, 0)}), &seen), kPayloadOk);
  // The end of the bytes counts as the empty name.
  EXPECT_EQ(Walk(Record("b.txt", "y"), &seen), kPayloadOk);
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
    EXPECT_TRUE(Truncated(Walk(block, &seen)));
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
    EXPECT_EQ(Walk(Record(name, "data"), &seen), kPayloadOk) << name;
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
    const PayloadFaultKind kind = Walk(prefix, &seen);
    EXPECT_TRUE(atBoundary ? kind == kPayloadOk : Truncated(kind)) << cut;
  }
}

TEST(WalkRecords, EachRefusalNamesItsRecordAndOffset) {
  const Bytes good = Record("Good.txt", "fine");  // 17 bytes
  Bytes longData = Record("Long.txt", "12345");
  WriteLe32(&longData[9], 6);
  const struct {
    Bytes block;
    PayloadFaultKind kind;
    uint32_t value;
  } kCases[] = {
      {Concat({good, Bytes{'N', 'o', 'N', 'u', 'l'}}), kRecordNameCutOff, 0},
      {Concat({good, Record("CON", "x")}), kRecordBadName, 0},
      {Concat({good, Bytes{'S', 'z', 0, 1, 0}}), kRecordSizeCutOff, 0},
      {Concat({good, longData}), kRecordDataPastEnd, 6},
  };
  for (const auto& c : kCases) {
    Seen seen;
    PayloadFault fault;
    EXPECT_EQ(Walk(c.block, &seen, &fault), c.kind);
    EXPECT_EQ(fault.record, 2u) << c.kind;
    EXPECT_EQ(fault.offset, good.size()) << c.kind;
    EXPECT_EQ(fault.value, c.value) << c.kind;
  }
}

}  // namespace
}  // namespace vt
