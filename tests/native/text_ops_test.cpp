// ReplaceAll and the Language.ini section and key names.
#include "format/text_ops.h"

#include <gtest/gtest.h>

#include <string>

namespace vt {
namespace {

std::string Replace(std::string text, size_t size, const char* pattern, const char* with,
                    int* result) {
  std::string buf(size, '\x7f');
  buf.replace(0, text.size() + 1, text.c_str(), text.size() + 1);
  *result = ReplaceAll(&buf[0], size, pattern, with);
  EXPECT_LT(buf.find('\0'), size);
  return std::string(buf.c_str());
}

TEST(ReplaceAll, ReplacesEveryOccurrenceInOnePass) {
  int r;
  EXPECT_EQ(Replace("a %p b %p", 64, "%p", "App", &r), "a App b App");
  EXPECT_EQ(r, 1);
  // What a replacement leaves, alone or with its neighbours, is never searched again.
  EXPECT_EQ(Replace("%%pp", 64, "%p", "", &r), "%p");
  EXPECT_EQ(r, 1);
  EXPECT_EQ(Replace("%%%%pppp", 64, "%p", "p%", &r), "%%%p%ppp");
  EXPECT_EQ(r, 1);
}

TEST(ReplaceAll, MissingPatternLeavesTextUntouched) {
  int r;
  EXPECT_EQ(Replace("nothing here", 64, "%1", "Vantrel", &r), "nothing here");
  EXPECT_EQ(r, 1);
  EXPECT_EQ(Replace("", 8, "%1", "Vantrel", &r), "");
  EXPECT_EQ(r, 1);
}

TEST(ReplaceAll, StopsBeforeOverflowKeepingEarlierReplacements) {
  int r;
  // size 11 holds 10 characters: the first replacement makes 9, the second would make 11.
  EXPECT_EQ(Replace("x%1y%1z", 11, "%1", "ABCD", &r), "xABCDy%1z");
  EXPECT_EQ(r, 0);
  // Exactly filling the buffer still fits.
  EXPECT_EQ(Replace("%1", 5, "%1", "ABCD", &r), "ABCD");
  EXPECT_EQ(r, 1);
  EXPECT_EQ(Replace("%1", 4, "%1", "ABCD", &r), "%1");
  EXPECT_EQ(r, 0);
}

TEST(ReplaceAll, LineBreakEscapeAndDoubledBackslash) {
  int r;
  EXPECT_EQ(Replace("one\\ntwo", 64, "\\n", "\n", &r), "one\ntwo");
  EXPECT_EQ(Replace("a\\\\nb", 64, "\\n", "\n", &r), "a\\\nb");
}

TEST(ReplaceAll, ReplacementContainingThePatternEnds) {
  int r;
  EXPECT_EQ(Replace("%p and %p", 64, "%p", "[%p]", &r), "[%p] and [%p]");
  EXPECT_EQ(r, 1);
  EXPECT_EQ(Replace("x", 64, "", "y", &r), "x");
  EXPECT_EQ(r, 1);
}

TEST(LanguageNames, SectionIsDollarAndFourUpperHexDigits) {
  char out[6];
  FormatLanguageSection(0x0409, out);
  EXPECT_STREQ(out, "$0409");
  FormatLanguageSection(0x040C, out);
  EXPECT_STREQ(out, "$040C");
  FormatLanguageSection(0x0804, out);
  EXPECT_STREQ(out, "$0804");
  FormatLanguageSection(0xFFFF, out);
  EXPECT_STREQ(out, "$FFFF");
}

TEST(LanguageNames, KeyIsIdAndSignedDecimal) {
  char out[16];
  FormatIdKey(201, out);
  EXPECT_STREQ(out, "ID201");
  FormatIdKey(65535, out);
  EXPECT_STREQ(out, "ID65535");
  FormatIdKey(0, out);
  EXPECT_STREQ(out, "ID0");
  FormatIdKey(-1, out);
  EXPECT_STREQ(out, "ID-1");
  FormatIdKey(-2147483647 - 1, out);
  EXPECT_STREQ(out, "ID-2147483648");
}

}  // namespace
}  // namespace vt
