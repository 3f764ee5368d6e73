// Building installers and reading them back under the stub's decompression and record rules.
#include "builder/payload_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "builder/patch_verify.h"
#include "builder/payload_check.h"
#include "format/file_format.h"
#include "format/payload_reader.h"

namespace vt {
namespace {

typedef std::vector<uint8_t> Bytes;

Bytes B(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes RandomBytes(size_t size, unsigned seed) {
  std::mt19937 rng(seed);
  Bytes out(size);
  for (uint8_t& b : out) b = uint8_t(rng());
  return out;
}

const Bytes kStub = B("MZ tiny stub");

std::vector<PayloadFile> SetupFiles() {
  return {{"Update.ini", B("[App]\r\nAppName=Demo\r\n")},
          {"License.txt", B("Use it well.")},
          {"Empty.txt", {}},
          {"Splash.bmp", RandomBytes(3000, 1)}};
}

// An image whose block 1 is `stream` stored with `rawSize`, followed by a good block 2.
Bytes ImageWithBlock1(const Bytes& stream, uint32_t rawSize) {
  Bytes image(kStubSize, 0);
  AppendBlock(&image, rawSize, stream);
  Bytes patch;
  std::string error;
  const Bytes raw2 = SerializeRecords({{kPatchRecordName, B("script")}});
  EXPECT_TRUE(CompressBlock(raw2, 9, &patch, &error)) << error;
  AppendBlock(&image, uint32_t(raw2.size()), patch);
  return image;
}

Bytes Compress(const Bytes& raw, int blockSize = 9) {
  Bytes stream;
  std::string error;
  EXPECT_TRUE(CompressBlock(raw, blockSize, &stream, &error)) << error;
  return stream;
}

TEST(SerializeRecords, WritesNameNulSizeDataAndOneClosingNul) {
  const Bytes raw = SerializeRecords({{"a", {1, 2}}, {"bc", {}}});
  const Bytes expected = {'a', 0, 2, 0, 0, 0, 1, 2, 'b', 'c', 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(raw, expected);
  EXPECT_EQ(SerializeRecords({}), Bytes(1, 0));
}

// The judge's size is the stored stream's, for no bytes, one block and several (whose
// output runs past the judge's own buffer), also on several threads at once.
TEST(CompressedSize, IsTheSizeOfTheStreamCompressBlockWrites) {
  Bytes zeros(2000000, 0), mixed = RandomBytes(1500000, 7);
  for (size_t k = 0; k < mixed.size(); k += 3) mixed[k] = 0;
  const std::vector<Bytes> inputs = {{}, B("a"), RandomBytes(5000, 3), zeros, mixed,
                                     RandomBytes(300000, 4)};
  for (int round = 0; round < 2; ++round)
    for (const Bytes& raw : inputs)
      EXPECT_EQ(CompressedSize(raw), Compress(raw).size()) << raw.size() << " bytes";
  std::vector<size_t> sizes(inputs.size());
  std::vector<std::thread> threads;
  for (size_t k = 0; k < inputs.size(); ++k)
    threads.emplace_back([&, k] { sizes[k] = CompressedSize(inputs[k]); });
  for (std::thread& t : threads) t.join();
  for (size_t k = 0; k < inputs.size(); ++k) EXPECT_EQ(sizes[k], Compress(inputs[k]).size());
}

TEST(BuildInstaller, RoundTripsThroughTheStubsReadingRules) {
  for (const Bytes& stub : {kStub, Bytes(kStubSize, 'S')}) {
    const std::vector<PayloadFile> files = SetupFiles();
    // Several bzip2 blocks' worth, so the stream is not a single 900k block.
    const Bytes patch = RandomBytes(2000000, 2);
    Bytes image;
    std::string error;
    ASSERT_TRUE(BuildInstaller(stub, files, patch, &image, &error)) << error;

    EXPECT_TRUE(std::equal(stub.begin(), stub.end(), image.begin()));
    EXPECT_TRUE(std::all_of(image.begin() + stub.size(), image.begin() + kStubSize,
                            [](uint8_t b) { return b == 0; }));
    Bytes raw;
    BlockFacts facts;
    ASSERT_TRUE(ReadInstallerBlock(image, 1, &raw, &error, &facts)) << error;
    EXPECT_EQ(raw, SerializeRecords(files));
    EXPECT_EQ(facts.offset, kStubSize);
    EXPECT_EQ(facts.signature, "BZh9");
    EXPECT_EQ(facts.produced, raw.size());
    ASSERT_TRUE(ReadInstallerBlock(image, 2, &raw, &error, &facts)) << error;
    EXPECT_EQ(raw, SerializeRecords({{"Patch.dat", patch}}));
    // Nothing follows block 2.
    EXPECT_EQ(facts.offset + 4 + facts.length, image.size());
  }
}

// Block 2 with bzip2 blocks ended where the script's large entries start and end: it reads back
// the same under the stub's rules, whatever ends are asked for, and two unlike large files kept
// in blocks of their own store smaller than run together.
TEST(BuildInstaller, BlockEndsReadBackTheSameAndKeepUnlikeFilesApart) {
  std::mt19937 rng(3);
  Bytes text, code;
  static const char* const kWords[] = {"alpha ", "beta ", "gamma ", "delta\r\n", "eps ", "zeta "};
  while (text.size() < 1300000) {
    const std::string w = kWords[rng() % 6];
    text.insert(text.end(), w.begin(), w.end());
  }
  const Bytes skew = RandomBytes(64, 4);
  for (size_t i = 0; i < 1300000; ++i) code.push_back(rng() % 8 ? skew[rng() % 64] : uint8_t(rng()));
  Bytes patch = text;
  patch.insert(patch.end(), code.begin(), code.end());
  const size_t cut = text.size();
  const auto block2 = [&](const std::vector<size_t>& ends) {
    Bytes image, raw;
    std::string error;
    EXPECT_TRUE(BuildInstaller(kStub, SetupFiles(), patch, &image, &error, ends)) << error;
    BlockFacts facts;
    EXPECT_TRUE(ReadInstallerBlock(image, 2, &raw, &error, &facts)) << error;
    EXPECT_EQ(raw, SerializeRecords({{"Patch.dat", patch}}));
    return facts.length;
  };
  const uint32_t together = block2({});
  EXPECT_LT(block2({cut}), together);
  for (const std::vector<size_t>& ends : std::vector<std::vector<size_t>>{
           {0, 1, 1, 7, cut}, {cut, 5}, {patch.size(), patch.size() + 9}, {899999, 900000}})
    block2(ends);
}

// One tool for both stubs: a stub padded to the 64-bit build's size is taken as it is, a
// smaller one padded to the product's, and the blocks are read back behind either.
TEST(BuildInstaller, TakesEitherKnownStubAndReadsBehindIt) {
  for (const size_t stub : {kStub.size(), size_t(kStubSize), size_t(kWideStubSize)}) {
    SCOPED_TRACE(stub);
    Bytes image, raw;
    std::string error;
    ASSERT_TRUE(BuildInstaller(Bytes(stub, 'S'), {{"Update.ini", B("x")}}, B("\0\0\0\0"),
                               &image, &error))
        << error;
    const uint32_t padded = stub == kWideStubSize ? kWideStubSize : kStubSize;
    EXPECT_EQ(FindStubSize(image.data(), image.size()), padded);
    EXPECT_TRUE(ReadInstallerBlock(image.data(), image.size(), 2, &raw, &error)) << error;
  }
}

TEST(BuildInstaller, RefusesWhatWouldNotExtractAsGivenSayingWhy) {
  const struct {
    Bytes stub;
    std::vector<PayloadFile> files;
    const char* errorMentions;
  } kCases[] = {
      {Bytes(), {}, "empty"},
      {Bytes(kStubSize + 1, 'S'), {}, "bytes, more than the"},
      {kStub,
       {{"sub/Update.ini", {}}},
       "setup file \"sub/Update.ini\" is not a plain file name: it has a folder part ('/')"},
      {kStub, {{"a\\b", {}}}, "folder part ('\\')"},
      {kStub, {{"bad.", {}}}, "ends with a dot"},
      {kStub, {{"bad ", {}}}, "ends with a blank"},
      {kStub, {{"a|b", {}}}, "'|'"},
      {kStub, {{"a\nb", {}}}, "\"a\\x0ab\""},
      {kStub, {{"LPT1.txt", {}}}, "\"LPT1\" is a Windows device name"},
      {kStub, {{"..", {}}}, "\"..\""},
      {kStub, {{"C:evil", {}}}, "colon"},
      {kStub, {{"nul.txt", {}}}, "device"},
      {kStub, {{"", {}}}, "empty"},
      {kStub, {{std::string(256, 'n'), {}}}, "256 bytes"},
      {kStub, {{"Update.ini", {}}, {"UPDATE.INI", {}}}, "differ only in case"},
      {kStub, {{"patch.DAT", {}}}, "block 2"},
  };
  for (const auto& c : kCases) {
    Bytes image = B("untouched");
    std::string error;
    EXPECT_FALSE(BuildInstaller(c.stub, c.files, B("p"), &image, &error)) << c.errorMentions;
    EXPECT_NE(error.find(c.errorMentions), std::string::npos) << error;
    EXPECT_EQ(image, B("untouched"));
  }
  Bytes image;
  std::string error;
  EXPECT_TRUE(BuildInstaller(kStub, {{std::string(255, 'n'), {}}}, {}, &image, &error)) << error;
}

TEST(ReadInstallerBlock, HoldsTheStoredSizeAndTheStreamToEachOther) {
  const Bytes raw = SerializeRecords(SetupFiles());
  const Bytes stream = Compress(raw);
  Bytes out;
  std::string error;
  BlockFacts facts;

  // One byte of room too few: the stub's buffer would overflow, so the block is refused.
  EXPECT_FALSE(ReadInstallerBlock(ImageWithBlock1(stream, uint32_t(raw.size() - 1)), 1, &out,
                                  &error, &facts));
  EXPECT_NE(error.find("holds " + std::to_string(raw.size()) + " bytes, more than its stored size"),
            std::string::npos)
      << error;
  EXPECT_TRUE(out.empty());

  // Fewer bytes than stored: accepted, and the records are walked in the bytes the stream gave.
  ASSERT_TRUE(ReadInstallerBlock(ImageWithBlock1(stream, uint32_t(raw.size() + 10)), 1, &out,
                                 &error, &facts))
      << error;
  EXPECT_EQ(out, raw);
  EXPECT_EQ(facts.produced, raw.size());
  EXPECT_EQ(facts.rawSize, raw.size() + 10);
  // So a record reaching into the unfilled rest of the buffer is refused, as the stub does.
  Bytes reaching = SerializeRecords({{"a.txt", B("abc")}});
  reaching.pop_back();
  WriteLe32(&reaching[6], 5);
  EXPECT_FALSE(ReadInstallerBlock(ImageWithBlock1(Compress(reaching), 100), 1, &out, &error));
  EXPECT_NE(error.find("its 5 data bytes run past the end of the data (3 bytes left)"),
            std::string::npos)
      << error;

  // The stub cannot size a buffer one byte longer than this.
  EXPECT_FALSE(ReadInstallerBlock(ImageWithBlock1(stream, 0xFFFFFFFFu), 1, &out, &error));
  EXPECT_NE(error.find("too large"), std::string::npos) << error;

  // An empty stream with a stored size of 0 is an empty block.
  ASSERT_TRUE(ReadInstallerBlock(ImageWithBlock1(Compress({}), 0), 1, &out, &error)) << error;
  EXPECT_TRUE(out.empty());
}

TEST(ReadInstallerBlock, RefusesStreamsTheStubRefuses) {
  const Bytes raw = SerializeRecords(SetupFiles());
  const Bytes good = Compress(raw);
  Bytes corrupt = good;
  corrupt[good.size() / 2] ^= 0x55;
  const Bytes truncated(good.begin(), good.end() - 10);
  Bytes wrongCrc = good;
  // The stream's last bytes hold the combined CRC (and padding bits).
  wrongCrc[good.size() - 2] ^= 0x01;
  const struct {
    Bytes stream;
    const char* errorMentions;
  } kCases[] = {
      {Compress(raw, 1), "\"BZh1\""},  // valid bzip2, but not block size 9
      {Compress(raw, 8), "\"BZh8\""},
      {B("BZ"), "too short"},
      {B("PK\x03\x04rest"), "not a bzip2 stream"},
      {corrupt, "corrupt"},
      {wrongCrc, "corrupt"},
      {truncated, "truncated"},
  };
  for (const auto& c : kCases) {
    Bytes out;
    std::string error;
    EXPECT_FALSE(
        ReadInstallerBlock(ImageWithBlock1(c.stream, uint32_t(raw.size())), 1, &out, &error))
        << c.errorMentions;
    EXPECT_NE(error.find(c.errorMentions), std::string::npos) << c.errorMentions << ": " << error;
    EXPECT_NE(error.find("block 1"), std::string::npos) << error;
  }
  // A huge stored size costs nothing until the stream fills it.
  std::string error;
  Bytes out;
  EXPECT_FALSE(ReadInstallerBlock(ImageWithBlock1(truncated, 0xFFFFFFF0u), 1, &out, &error));
}

TEST(ReadInstallerBlock, NamesTheDamagedRecord) {
  Bytes longData = SerializeRecords({{"Good.txt", B("x")}, {"Long.txt", B("12345")}});
  WriteLe32(&longData[9 + 4 + 1 + 9], 50);
  const struct {
    Bytes raw;
    const char* errorMentions;
  } kCases[] = {
      {SerializeRecords({{"Good.txt", B("x")}, {"..\\evil.dll", B("x")}}),
       "record 2 (offset 14): name \"..\\\\evil.dll\" is not a plain file name: it has a folder"},
      {SerializeRecords({{"CON", B("x")}}), "\"CON\" is a Windows device name"},
      {longData, "record 2 (offset 14) \"Long.txt\": its 50 data bytes run past"},
      {B("NoNul"), "record 1 (offset 0): its name runs past"},
  };
  for (const auto& c : kCases) {
    Bytes out;
    std::string error;
    EXPECT_FALSE(ReadInstallerBlock(ImageWithBlock1(Compress(c.raw), uint32_t(c.raw.size())), 1,
                                    &out, &error));
    EXPECT_NE(error.find(c.errorMentions), std::string::npos) << error;
  }
}

TEST(ReadInstallerBlock, EveryTruncatedImageIsRefusedWithAReason) {
  Bytes image;
  std::string error;
  ASSERT_TRUE(BuildInstaller(kStub, SetupFiles(), B("patch script"), &image, &error));
  BlockFacts facts;
  Bytes out;
  ASSERT_TRUE(ReadInstallerBlock(image, 1, &out, &error, &facts));
  const size_t block1End = kStubSize + 4 + facts.length;
  for (size_t cut = 0; cut < image.size(); cut += cut < kStubSize - 8 ? 1021 : 1) {
    const Bytes prefix(image.begin(), image.begin() + cut);
    for (int n = 1; n <= 2; ++n) {
      error.clear();
      const bool ok = ReadInstallerBlock(prefix, n, &out, &error);
      EXPECT_EQ(ok, n == 1 && cut >= block1End) << "cut " << cut << " block " << n;
      EXPECT_EQ(ok, error.empty()) << "cut " << cut << " block " << n;
    }
  }
  EXPECT_TRUE(ReadInstallerBlock(image, 2, &out, &error));
}

// The stub writes every record of block 2 in turn and Windows ignores case, so the script that
// runs is the last one named Patch.dat in any case; verify must check that one.
TEST(ExtractPatchDat, TakesTheLastRecordOfItsNameInAnyCase) {
  const auto imageWithBlock2 = [](const std::vector<PayloadFile>& files) {
    Bytes image(kStubSize, 0);
    const Bytes raw1(1, 0);
    AppendBlock(&image, 1, Compress(raw1));
    const Bytes raw2 = SerializeRecords(files);
    AppendBlock(&image, uint32_t(raw2.size()), Compress(raw2));
    return image;
  };
  Bytes script;
  std::string error;
  ASSERT_TRUE(ExtractPatchDat(imageWithBlock2({{"Patch.dat", B("first")},
                                               {"PATCH.DAT", B("second")},
                                               {"Other.txt", B("other")}}),
                              &script, &error))
      << error;
  EXPECT_EQ(script, B("second"));
  EXPECT_FALSE(ExtractPatchDat(imageWithBlock2({{"Patch.dat.txt", B("x")}}), &script, &error));
  EXPECT_NE(error.find("block 2 holds no Patch.dat"), std::string::npos) << error;
}

}  // namespace
}  // namespace vt
