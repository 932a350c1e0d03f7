// Expected results follow the Unicode standard's rules for well-formed UTF-8
// (Table 3-7) and its recommended practice of one U+FFFD per maximal subpart of
// an ill-formed sequence (the example of Table 3-8 is checked verbatim).
#include <gtest/gtest.h>
#include <string>

#include "port/unicode.h"

using zavrin::Utf16ToUtf32;
using zavrin::Utf16ToUtf8;
using zavrin::Utf32ToUtf16;
using zavrin::Utf32ToUtf8;
using zavrin::Utf8ToUtf16;
using zavrin::Utf8ToUtf32;

namespace {

std::u16string To16(const std::string &utf8) {
  size_t need = Utf8ToUtf16(utf8.data(), utf8.size(), nullptr, 0);
  std::u16string out(need, u'\0');
  EXPECT_EQ(need, Utf8ToUtf16(utf8.data(), utf8.size(), &out[0], out.size()));
  return out;
}

std::u32string To32(const std::string &utf8) {
  size_t need = Utf8ToUtf32(utf8.data(), utf8.size(), nullptr, 0);
  std::u32string out(need, U'\0');
  EXPECT_EQ(need, Utf8ToUtf32(utf8.data(), utf8.size(), &out[0], out.size()));
  return out;
}

std::string From16(const std::u16string &utf16) {
  size_t need = Utf16ToUtf8(utf16.data(), utf16.size(), nullptr, 0);
  std::string out(need, '\0');
  EXPECT_EQ(need, Utf16ToUtf8(utf16.data(), utf16.size(), &out[0], out.size()));
  return out;
}

std::string From32(const std::u32string &utf32) {
  size_t need = Utf32ToUtf8(utf32.data(), utf32.size(), nullptr, 0);
  std::string out(need, '\0');
  EXPECT_EQ(need, Utf32ToUtf8(utf32.data(), utf32.size(), &out[0], out.size()));
  return out;
}

}  // namespace

TEST(Utf8Decode, ConvertsEveryLength) {
  // U+0041, U+00E9, U+20AC, U+1F600 take 1, 2, 3 and 4 bytes.
  EXPECT_EQ(u"A\u00E9\u20AC\xD83D\xDE00", To16("A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"));
  EXPECT_EQ(U"A\u00E9\u20AC\U0001F600", To32("A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"));
  // The ends of each range.
  EXPECT_EQ(U"\u007F\u0080\u07FF\u0800\uFFFF\U00010000\U0010FFFF",
            To32("\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF\xF0\x90\x80\x80\xF4\x8F\xBF\xBF"));
  EXPECT_EQ(u"\xDBFF\xDFFF", To16("\xF4\x8F\xBF\xBF"));
}

TEST(Utf8Decode, ReplacesMaximalSubparts) {
  // Unicode Table 3-8.
  EXPECT_EQ(U"a\uFFFD\uFFFD\uFFFDb\uFFFDc\uFFFD\uFFFDd",
            To32("\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64"));
  // Stray continuation bytes, one replacement each.
  EXPECT_EQ(U"\uFFFD\uFFFDx\uFFFD", To32("\x80\xBFx\xBF"));
  // Overlong forms: C0/C1 never lead; E0 needs A0..BF, F0 needs 90..BF.
  EXPECT_EQ(U"\uFFFD\uFFFD", To32("\xC0\x80"));
  EXPECT_EQ(U"\uFFFD\uFFFD", To32("\xC1\xBF"));
  EXPECT_EQ(U"\uFFFD\uFFFD\uFFFD", To32("\xE0\x80\x80"));
  EXPECT_EQ(U"\uFFFD\uFFFD\uFFFD\uFFFD", To32("\xF0\x8F\xBF\xBF"));
  // Encoded surrogates (ED A0..BF ..).
  EXPECT_EQ(U"\uFFFD\uFFFD\uFFFD", To32("\xED\xA0\x80"));
  EXPECT_EQ(u"\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD", To16("\xED\xA0\xBD\xED\xB8\x80"));
  // Above U+10FFFF: F4 90.., and F5..FF which never occur.
  EXPECT_EQ(U"\uFFFD\uFFFD\uFFFD\uFFFD", To32("\xF4\x90\x80\x80"));
  EXPECT_EQ(U"\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD", To32("\xF8\x88\x80\x80\x80"));
  EXPECT_EQ(U"\uFFFD\uFFFD", To32("\xFE\xFF"));
}

TEST(Utf8Decode, ReplacesTruncatedSequences) {
  // A sequence cut by the end of the input or by a byte that cannot continue it
  // gives one replacement; the interrupting byte is read on its own.
  EXPECT_EQ(U"\uFFFD", To32("\xE2\x82"));
  EXPECT_EQ(U"\uFFFD", To32("\xF0\x9F\x98"));
  EXPECT_EQ(U"\uFFFD", To32("\xC3"));
  EXPECT_EQ(U"\uFFFDA", To32("\xE2\x82\x41"));
  EXPECT_EQ(U"\uFFFD\u00E9", To32("\xF0\x9F\xC3\xA9"));
  // srcLen, not a terminator, ends the input: a NUL is an ordinary character.
  EXPECT_EQ(std::u32string(U"a\0b", 3), To32(std::string("a\0b", 3)));
}

TEST(Utf16Decode, PairsAndUnpairedSurrogates) {
  EXPECT_EQ("\xF0\x9F\x98\x80", From16(u"\xD83D\xDE00"));
  EXPECT_EQ("\xF4\x8F\xBF\xBF", From16(u"\xDBFF\xDFFF"));
  // A lone high, a lone low, a high at the end, two highs, reversed order.
  const std::string fffd = "\xEF\xBF\xBD";
  EXPECT_EQ(fffd + "a", From16(u"\xD800"
                               u"a"));
  EXPECT_EQ(fffd + "a", From16(u"\xDC00"
                               u"a"));
  EXPECT_EQ("a" + fffd, From16(u"a\xD83D"));
  EXPECT_EQ(fffd + "\xF0\x9F\x98\x80", From16(u"\xD83D\xD83D\xDE00"));
  EXPECT_EQ(fffd + fffd, From16(u"\xDE00\xD83D"));
  // U+FFFD itself and a non-character pass through.
  EXPECT_EQ(fffd + "\xEF\xBF\xBF", From16(u"\uFFFD\uFFFF"));

  char32_t out[4];
  const char16_t mixed[] = {0xD83D, 0xDE00, 0xDC00, 'z'};
  ASSERT_EQ(3u, Utf16ToUtf32(mixed, 4, out, 4));
  EXPECT_EQ(U'\U0001F600', out[0]);
  EXPECT_EQ(U'\uFFFD', out[1]);
  EXPECT_EQ(U'z', out[2]);
}

TEST(Utf32Decode, ReplacesSurrogatesAndOutOfRange) {
  const std::u32string input = {0x41, 0xD800, 0xDFFF, 0x110000, 0xFFFFFFFF, 0x10FFFF};
  EXPECT_EQ("A\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xF4\x8F\xBF\xBF", From32(input));
  char16_t out[8];
  ASSERT_EQ(7u, Utf32ToUtf16(input.data(), input.size(), out, 8));
  EXPECT_EQ(std::u16string(u"A\uFFFD\uFFFD\uFFFD\uFFFD\xDBFF\xDFFF"), std::u16string(out, 7));
}

TEST(ConversionLimits, NeverSplitsACharacter) {
  // "a" U+20AC U+1F600: 1 + 3 + 4 UTF-8 bytes, 1 + 1 + 2 UTF-16 units.
  const char16_t text16[] = {'a', 0x20AC, 0xD83D, 0xDE00};
  char out8[9];
  for (size_t limit = 0; limit <= 8; limit++) {
    memset(out8, 'x', sizeof(out8));
    size_t expected = limit < 1 ? 0 : limit < 4 ? 1 : limit < 8 ? 4 : 8;
    EXPECT_EQ(expected, Utf16ToUtf8(text16, 4, out8, limit)) << limit;
    EXPECT_EQ('x', out8[expected]) << "wrote past the whole characters, limit " << limit;
  }

  const char text8[] = "a\xE2\x82\xAC\xF0\x9F\x98\x80";
  char16_t out16[5];
  for (size_t limit = 0; limit <= 4; limit++) {
    for (auto &unit : out16) unit = u'x';
    size_t expected = limit < 3 ? limit : limit < 4 ? 2 : 4;
    EXPECT_EQ(expected, Utf8ToUtf16(text8, 8, out16, limit)) << limit;
    EXPECT_EQ(u'x', out16[expected]) << limit;
  }
  // A replacement character is whole too: three bytes or none.
  const char16_t lone[] = {'a', 0xD800};
  EXPECT_EQ(1u, Utf16ToUtf8(lone, 2, out8, 3));
  EXPECT_EQ(4u, Utf16ToUtf8(lone, 2, out8, 4));
}

TEST(ConversionLimits, CountIgnoresDestinationLength) {
  const char text8[] = "\xF0\x9F\x98\x80\xFF";
  EXPECT_EQ(3u, Utf8ToUtf16(text8, 5, nullptr, 0));
  EXPECT_EQ(2u, Utf8ToUtf32(text8, 5, nullptr, 1));
  EXPECT_EQ(0u, Utf8ToUtf16(text8, 0, nullptr, 0));
  const char32_t text32[] = {0x1F600, 0xD800};
  EXPECT_EQ(7u, Utf32ToUtf8(text32, 2, nullptr, 0));
  EXPECT_EQ(3u, Utf32ToUtf16(text32, 2, nullptr, 0));
}

TEST(ConversionRoundTrip, EveryScalarValueSurvives) {
  std::u32string all;
  for (char32_t c = 0; c <= 0x10FFFF; c++) {
    if (c < 0xD800 || c > 0xDFFF) all.push_back(c);
  }
  std::string utf8 = From32(all);
  EXPECT_EQ(all, To32(utf8));
  std::u16string utf16 = To16(utf8);
  EXPECT_EQ(utf8, From16(utf16));
  std::u32string back(utf16.size(), U'\0');
  back.resize(Utf16ToUtf32(utf16.data(), utf16.size(), &back[0], back.size()));
  EXPECT_EQ(all, back);
}
