// Paths in a double-byte ANSI code page: the name rules, joins, directory creation and the
// main-file rule step over two-byte characters whose second byte is 0x5C or 0x7C.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "builder/code_page.h"
#include "builder/payload_check.h"
#include "builder/payload_writer.h"
#include "format/ansi_chars.h"
#include "format/name_rules.h"
#include "patch/apply_entry.h"
#include "patch/crc32.h"
#include "patch/dir_tree.h"
#include "patch/patch_run.h"
#include "tests/common/script_builder.h"

namespace vt {
namespace {

namespace fs = std::filesystem;

// Code page 932 (Japanese) as the names below are written in it.
const char kHyo[] = "\x95\x5c";                                   // 表, second byte '\'
const char kSupport[] = "\x83\x54\x83\x7c\x81\x5b\x83\x67";        // サポート, a '|' inside
const char kSetsumei[] = "\x90\xe0\x96\xbe";                       // 説明

// Lead bytes of code page 932.
class Cp932Test : public ::testing::Test {
 protected:
  void SetUp() override {
    bool lead[256] = {};
    for (int c = 0x81; c <= 0x9F; ++c) lead[c] = true;
    for (int c = 0xE0; c <= 0xFC; ++c) lead[c] = true;
    SetLeadBytes(lead);
  }
  void TearDown() override { SetLeadBytes(nullptr); }
};

TEST_F(Cp932Test, NameRulesReadCharactersNotBytes) {
  struct Case {
    std::string name;
    bool safe;
  };
  const Case kCases[] = {
      {kHyo, true},
      {kSupport, true},
      {std::string(kSetsumei) + ".txt", true},
      {std::string("a") + kHyo + "b", true},
      {"\x95", false},                       // a lead byte cut off from its second byte
      {std::string(kHyo) + "\x83", false},
      {"a|b", false},                        // a '|' of its own is still refused
      {"a\\b", false},
      {std::string(kHyo) + ".", false},      // trailing dot after a double-byte character
      {std::string(kHyo) + " ", false},
      {"..", false},
      {"a:b", false},
      {"CON.txt", false},
  };
  for (const Case& c : kCases)
    EXPECT_EQ(IsSafeComponent(c.name.data(), c.name.size()), c.safe) << c.name;
  // In a single-byte code page the same bytes hold a backslash.
  SetLeadBytes(nullptr);
  EXPECT_FALSE(IsSafeComponent(kHyo, 2));
}

// A refused name is explained by the rule it broke, read by character; names whose second
// bytes differ only in ASCII case are different characters, not one name in two cases.
TEST_F(Cp932Test, RefusalsNameTheRuleAndCaseFoldsOnlySingleBytes) {
  const struct {
    std::string name;
    const char* why;
  } kCases[] = {
      {std::string(kHyo) + ".", "ends with a dot"},     // not the '\' inside 表
      {std::string("a") + kHyo + ":", "colon"},
      {"\x95", "first byte of a double-byte character"},  // not a device name
  };
  for (const auto& c : kCases)
    EXPECT_NE(WhyNotPlainFileName(c.name).find(c.why), std::string::npos)
        << WhyNotPlainFileName(c.name);
  const std::vector<uint8_t> stub(kStubSize, 'S');
  std::vector<uint8_t> image;
  std::string error;
  EXPECT_TRUE(BuildInstaller(stub, {{"\x83\x41", {}}, {"\x83\x61", {}}}, {}, &image, &error))
      << error;
}

TEST_F(Cp932Test, SeparatorsAndFileNamePartsAreCharacters) {
  const std::string dir = std::string("C:\\x\\") + kHyo;
  EXPECT_FALSE(EndsWithSeparator(dir.c_str()));
  EXPECT_TRUE(EndsWithSeparator((dir + "\\").c_str()));
  char joined[kMaxPath + 1];
  ASSERT_TRUE(JoinPath(dir.c_str(), "\\a.txt", joined));
  EXPECT_EQ(std::string(joined), dir + "\\a.txt");
  const std::string stored = std::string("\\") + kHyo + "\\" + kHyo + ".exe";
  EXPECT_STREQ(FileNamePart(stored.c_str()), (std::string(kHyo) + ".exe").c_str());
  EXPECT_STREQ(FileNamePart(kHyo), kHyo);
  // The main-file rule compares file-name parts: ASCII case folds, 表 stays one character.
  EXPECT_TRUE(FailsMainFile(kAccessDenied, stored.c_str(), (std::string(kHyo) + ".EXE").c_str()));
  EXPECT_FALSE(FailsMainFile(kAccessDenied, stored.c_str(), ".exe"));
  EXPECT_FALSE(FailsMainFile(kAccessDenied, (std::string("\\") + kSupport).c_str(), "|"));
}

// A whole entry: `\表\サポート\説明.txt` into a DestinationDir that ends in 表.
TEST_F(Cp932Test, EntryLandsInsideADestinationEndingInASecondByteBackslash) {
  BuildCrcTable();
  char tmpl[] = "/tmp/vt_cp932_XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const fs::path root = tmpl;
  const std::string dest = root.string() + "/" + kHyo;
  fs::create_directory(dest);
  const std::string backup = dest + "\\BAK1.tmp";
  const std::string stored = std::string("\\") + kHyo + "\\" + kSupport + "\\" + kSetsumei + ".txt";
  vtt::Script script;
  script.NewFile(stored, "x");
  uint32_t count;
  ScriptCursor cursor;
  ASSERT_TRUE(BeginScript(script.bytes().data(), script.bytes().size(), &count, &cursor));
  const ApplyContext context = {dest.c_str(), backup.c_str(), {nullptr, nullptr}};
  EXPECT_EQ(ApplyEntry(context, &cursor, nullptr), kInstalled);
  std::ifstream in(fs::path(dest) / kHyo / kSupport / (std::string(kSetsumei) + ".txt"));
  std::string content;
  in >> content;
  EXPECT_EQ(content, "x");
  // Nothing beside DestinationDir: its parent holds only it.
  EXPECT_EQ(std::distance(fs::directory_iterator(root), fs::directory_iterator()), 1);
  fs::remove_all(root);
}

// Windows reads ¹ ² ³ as digits of device names ("COM¹" is COM1): a device name where the code
// page holds them (a single byte or, in 949, two), and only there: the same bytes are other
// letters in 1250, 1253 (0xB9 only) and half-width katakana in 932.
TEST(SuperscriptDigits, AreDeviceDigitsWhereTheCodePageHoldsThem) {
  struct Case {
    unsigned codePage;
    const char* utf8;
    bool device;
  };
  const Case kCases[] = {
      {1252, "COM\xc2\xb9", true},           {1252, "lpt\xc2\xb2.txt", true},
      {1252, "Com\xc2\xb3.a.b", true},       {1252, "COM\xc2\xb9x", false},
      {1252, "LPT1", true},                   {1252, "LPT0", false},
      {1257, "LPT\xc2\xb3", true},           {1253, "COM\xc2\xb2", true},
      {1253, "COM\xce\x89", false},          {1250, "COM\xc4\x85", false},  // 0xB9: ą
      {1250, "LPT\xc5\x82.txt", false},      {932, "COM\xef\xbd\xb2", false},  // 0xB2: ｲ
      {949, "COM\xc2\xb2", true},            {949, "COM\xea\xb0\x80", false},  // 가
  };
  std::string error;
  for (const Case& c : kCases) {
    ASSERT_TRUE(SelectCodePage(c.codePage, &error)) << error;
    std::string ansi;
    ASSERT_TRUE(Utf8ToAnsi(c.utf8, &ansi)) << c.codePage << " " << c.utf8;
    EXPECT_EQ(CheckComponent(ansi.data(), ansi.size()) == kNameDevice, c.device)
        << c.codePage << " " << c.utf8;
  }
  // With no code page chosen a byte is a character of its own, taken as in 1252.
  ASSERT_TRUE(SelectCodePage(0, &error));
  EXPECT_EQ(CheckComponent("COM\xb9", 4), kNameDevice);
  EXPECT_EQ(WhyNotPlainFileName("LPT\xb2.txt"), "\"LPT\\xb2\" is a Windows device name");
}

}  // namespace
}  // namespace vt
