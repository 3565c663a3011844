#include "StringUtils.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <random>
#include <string>

namespace corvane {
namespace {

TEST(FormatStringTest, FormatsAcrossTheStackBufferBoundary) {
  EXPECT_EQ(FormatString("%s-%d-%04x", "abc", -7, 0xBEu), "abc--7-00be");
  EXPECT_EQ(FormatString("%s", ""), "");
  // 511 characters fit the stack buffer with its terminator, 512 and more
  // take the measured path; every length must come back whole.
  for (size_t n : {size_t{510}, size_t{511}, size_t{512}, size_t{513}, size_t{4096}}) {
    std::string text(n, 'x');
    text.back() = 'y';
    EXPECT_EQ(FormatString("%s", text.c_str()), text) << n;
    EXPECT_EQ(FormatString("<%s>", text.c_str()), "<" + text + ">") << n;
  }
}

TEST(FormatStringTest, LargeOutputIsNeverCut) {
  std::string big(1 << 20, 'm');
  std::string out = FormatString("%s|%d", big.c_str(), 42);
  ASSERT_EQ(out.size(), big.size() + 3);
  EXPECT_EQ(out.substr(out.size() - 3), "|42");
}

TEST(FormatStringTest, EndsAtTheFirstNulProduced) {
  EXPECT_EQ(FormatString("ab%cde", 0), "ab");
  EXPECT_EQ(FormatString("%c", 0), "");
  // Same on the long path.
  std::string big(2000, 'q');
  EXPECT_EQ(FormatString("%s%c%s", big.c_str(), 0, big.c_str()), big);
}

TEST(FormatStringTest, ArgumentsAreNeverReadAsFormats) {
  EXPECT_EQ(FormatString("%s", "%n%s%x"), "%n%s%x");
}

std::string FormatThroughVaList(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string out = FormatStringV(format, args);
  va_end(args);
  return out;
}

TEST(FormatStringTest, NullFormatGivesEmpty) { EXPECT_EQ(FormatThroughVaList(nullptr, 1), ""); }

TEST(ReplaceAllTest, ReplacesLeftToRightWithoutRescanning) {
  EXPECT_EQ(ReplaceAll("x%3Ay%3A", "%3A", ":"), "x:y:");
  EXPECT_EQ(ReplaceAll("aa", "a", "ba"), "baba");
  EXPECT_EQ(ReplaceAll("aaa", "aa", "x"), "xa");
  EXPECT_EQ(ReplaceAll("abcabc", "b", ""), "acac");
  EXPECT_EQ(ReplaceAll("abc", "", "z"), "abc");
  EXPECT_EQ(ReplaceAll("abc", "b", "b"), "abc");
  EXPECT_EQ(ReplaceAll("", "a", "b"), "");
  EXPECT_EQ(ReplaceAll("abc", "abcd", "x"), "abc");
}

TEST(CaseTest, AsciiOnlyAndSafeForHighBytes) {
  std::string text = "Server.LOG \xC3\x89\xFF\x80 Zz";
  std::string lower = text;
  ToLower(lower);
  EXPECT_EQ(lower, "server.log \xC3\x89\xFF\x80 zz");
  EXPECT_EQ(ToUpper(text), "SERVER.LOG \xC3\x89\xFF\x80 ZZ");
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  std::string lowered = all;
  ToLower(lowered);
  std::string uppered = ToUpper(all);
  for (int b = 0; b < 256; ++b) {
    unsigned char l = static_cast<unsigned char>(lowered[b]);
    unsigned char u = static_cast<unsigned char>(uppered[b]);
    EXPECT_EQ(l, b >= 'A' && b <= 'Z' ? b + 32 : b);
    EXPECT_EQ(u, b >= 'a' && b <= 'z' ? b - 32 : b);
  }
}

TEST(WidenStringTest, WidensByteByByte) {
  EXPECT_EQ(WidenString("a\xE9z"), std::wstring(L"a\u00E9z"));
  EXPECT_EQ(WidenString("\xC3\xA9").size(), 2u);
}

TEST(Utf8ToUtf16Test, DecodesAndDropsWhatIsInvalid) {
  EXPECT_EQ(Utf8ToUtf16("\xF0\x9F\x98\x80"), (std::u16string{0xD83D, 0xDE00}));
  EXPECT_EQ(Utf8ToUtf16("A\xC3\xA9\xE2\x82\xAC"), (std::u16string{u'A', 0xE9, 0x20AC}));
  // Stops at the first zero byte.
  EXPECT_EQ(Utf8ToUtf16(std::string("ab\0cd", 5)), u"ab");
  // Above 0x10FFFF and surrogates are dropped; neighbours survive.
  EXPECT_EQ(Utf8ToUtf16("x\xF4\x90\x80\x80y"), u"xy");
  EXPECT_EQ(Utf8ToUtf16("x\xED\xA0\x80y"), u"xy");
  EXPECT_EQ(Utf8ToUtf16("\xF4\x8F\xBF\xBF"), (std::u16string{0xDBFF, 0xDFFF}));
  // Overlong forms decode as they read.
  EXPECT_EQ(Utf8ToUtf16("\xC1\x81"), u"A");
  // A stray continuation byte has no lead: dropped.
  EXPECT_EQ(Utf8ToUtf16("a\x80\xBF" "b"), u"ab");
}

TEST(Utf8ToUtf16Test, LongContinuationRunsSaturateInsteadOfWrapping) {
  // F0 84 then k bytes 80: 4, 0x100, 0x4000, 0x100000, then out of range.
  // Unsaturated 32-bit arithmetic wraps at k = 5 back to 0 and would emit it.
  const std::u16string expected[] = {std::u16string{u'<', 4, u'>'}, std::u16string{u'<', 0x100, u'>'},
                                     std::u16string{u'<', 0x4000, u'>'}, std::u16string{u'<', 0xDBC0, 0xDC00, u'>'}};
  for (size_t k = 0; k < 40; ++k) {
    std::string text = "<\xF0\x84";
    text.append(k, '\x80');
    text += ">";
    if (k < 4) {
      EXPECT_EQ(Utf8ToUtf16(text), expected[k]) << k;
    } else {
      EXPECT_EQ(Utf8ToUtf16(text), u"<>") << k;
    }
  }
  std::string maxed = "\xFF";
  maxed.append(1000, '\xBF');
  EXPECT_EQ(Utf8ToUtf16(maxed + "z"), u"z");
}

TEST(Utf8ToUtf16Test, RandomBytesGiveOnlyWellFormedUtf16) {
  std::mt19937 rng(1234);
  for (int round = 0; round < 2000; ++round) {
    std::string text(rng() % 64, '\0');
    for (char& c : text) c = static_cast<char>(rng() % 255 + 1);
    std::u16string out = Utf8ToUtf16(text);
    ASSERT_LE(out.size(), text.size());
    for (size_t i = 0; i < out.size(); ++i) {
      char16_t u = out[i];
      if (u >= 0xD800 && u <= 0xDBFF) {
        ASSERT_LT(i + 1, out.size());
        ASSERT_TRUE(out[i + 1] >= 0xDC00 && out[i + 1] <= 0xDFFF);
        ++i;
      } else {
        ASSERT_FALSE(u >= 0xDC00 && u <= 0xDFFF) << "lone low surrogate";
      }
    }
  }
}

TEST(FormatIPv4Test, DottedDecimalFromTheTopByte) {
  EXPECT_EQ(FormatIPv4(0xC0A80001u), "192.168.0.1");
  EXPECT_EQ(FormatIPv4(0), "0.0.0.0");
  EXPECT_EQ(FormatIPv4(0xFFFFFFFFu), "255.255.255.255");
  EXPECT_EQ(FormatIPv4(0x0A00FF07u), "10.0.255.7");
}

}  // namespace
}  // namespace corvane
