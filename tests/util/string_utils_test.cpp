#include <zavrin.h>

#include <gtest/gtest.h>
#include <string.h>

#include <random>
#include <string>
#include <vector>

#include "../../fuzz/match_string_reference.h"
#include "test_support.h"

using zavrin_test::FromHex;
using zavrin_test::ToHex;

TEST(MatchString, FollowsTheSingleChoiceRules) {
  struct Case {
    const char *pattern;
    const char *text;
    BOOL matchCase;
    BOOL expected;
  } cases[] = {
      {"*", "", 1, 1},
      {"", "", 1, 1},
      {"", "a", 1, 0},
      {"?", "", 1, 0},
      {"a*c", "ac", 1, 1},
      {"*.txt", "a.txt.txt", 1, 1},
      {"*.txt", "a.txt.bak", 1, 0},
      {"*?", "ab", 1, 1},
      {"*?", "a", 1, 0},
      {"*?", "abc", 1, 0},
      {"*?*", "a", 1, 0},
      {"*aa", "aaa", 1, 0},
      {"*aa*", "aaa", 1, 1},
      {"*a?b*", "acbxa", 1, 0},
      {"ABC", "abc", 0, 1},
      {"ABC", "abc", 1, 0},
      {"a?c", "abc", 1, 1},
      {"***b", "ab", 1, 1},
      {"a*b*c", "axbyc", 1, 1},
      {"*b", "abab", 1, 1},
      {"ab", "abc", 1, 0},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(c.expected, MatchString(c.pattern, c.text, c.matchCase))
        << c.pattern << " / " << c.text << " case " << c.matchCase;
  }
}

TEST(MatchString, AgreesWithTheReferenceOnShortRandomInput) {
  std::mt19937 gen(20261209);
  auto randomText = [&gen](const char *alphabet, size_t maxLen) {
    std::string s(gen() % (maxLen + 1), ' ');
    for (char &c : s) c = alphabet[gen() % strlen(alphabet)];
    return s;
  };
  for (int round = 0; round < 40000; round++) {
    bool matchCase = round % 2 == 0;
    std::string pattern = randomText("aAb*?", 7);
    std::string text = randomText("aAb", 8);
    ASSERT_EQ(zavrin_reference::Match(pattern, text, matchCase),
              MatchString(pattern.c_str(), text.c_str(), matchCase) == TRUE)
        << pattern << " / " << text << " case " << matchCase;
  }
}

TEST(BitsInMask, CountsFromTheLowestSetBit) {
  struct Case {
    DWORD mask;
    int bits;
  } cases[] = {{0, 0},           {0xFFFFFFFF, 32}, {0xFFFFFF00, 24},
               {0x80000001, 32}, {0x80000000, 1},  {0xFFFF0000, 16}};
  for (const Case &c : cases) EXPECT_EQ(c.bits, BitsInMask(c.mask)) << std::hex << c.mask;
}

TEST(AddressText, IpAndMacForms) {
  struct IpCase {
    DWORD addr;
    const char *text;
  } ips[] = {{0x0A000001, "10.0.0.1"},
             {0xFFFFFFFF, "255.255.255.255"},
             {0, "0.0.0.0"},
             {0xC0A80180, "192.168.1.128"}};
  for (const IpCase &c : ips) {
    char buffer[32];
    EXPECT_EQ(buffer, IpToStr(c.addr, buffer));
    EXPECT_STREQ(c.text, buffer);
    const char *shared = IpToStr(c.addr, nullptr);
    EXPECT_STREQ(c.text, shared);
    EXPECT_EQ(shared, IpToStr(0, nullptr));  // one static buffer
  }

  struct MacCase {
    const char *hex;
    const char *text;
  } macs[] = {{"001a2b3c4d5e", "00:1A:2B:3C:4D:5E"}, {"ffffffffffff", "FF:FF:FF:FF:FF:FF"}};
  for (const MacCase &c : macs) {
    char buffer[19];
    memset(buffer, '#', sizeof(buffer));
    MACToStr(FromHex(c.hex).data(), buffer);
    EXPECT_STREQ(c.text, buffer);
    EXPECT_EQ('#', buffer[18]);
  }
}

TEST(HexText, BinToStrWritesTwoDigitsPerByte) {
  struct Case {
    const char *hex;
    const char *text;
  } cases[] = {{"", ""}, {"00ab7f", "00AB7F"}, {"0123456789abcdef", "0123456789ABCDEF"}};
  for (const Case &c : cases) {
    std::vector<unsigned char> data = FromHex(c.hex);
    std::vector<char> buffer(2 * data.size() + 2, '#');
    EXPECT_EQ(buffer.data(), BinToStr(data.data(), data.size(), buffer.data()));
    EXPECT_STREQ(c.text, buffer.data());
    EXPECT_EQ('#', buffer.back());
  }
}

TEST(HexText, StrToBinStaysInsideTheBuffer) {
  struct Case {
    const char *text;
    size_t size;
    size_t written;
    const char *bytes;  // the whole buffer afterwards
  } cases[] = {
      {"1a2", 4, 2, "1a200000"},  {"zz", 1, 1, "00"},  {"", 2, 0, "0000"},
      {"A1b2C3", 2, 2, "a1b2"},   {"ff", 0, 0, ""},    {"0g9", 3, 2, "009000"},
      {"abcdef", 3, 3, "abcdef"}, {"F", 2, 1, "f000"},
  };
  for (const Case &c : cases) {
    std::vector<BYTE> buffer(c.size + 4, 0xEE);
    EXPECT_EQ(c.written, StrToBin(c.text, buffer.data(), c.size)) << c.text;
    EXPECT_EQ(ToHex(FromHex(c.bytes).data(), c.size), ToHex(buffer.data(), c.size)) << c.text;
    EXPECT_EQ("eeeeeeee", ToHex(buffer.data() + c.size, 4)) << c.text;
  }
}

TEST(TranslateStr, ReplacesInPlaceLeftToRight) {
  struct Case {
    const char *str;
    const char *search;
    const char *replacement;
    const char *expected;
  } cases[] = {
      {"aXbXc", "X", "", "abc"},
      {"hello world", "world", "there", "hello there"},
      {"aaaa", "aa", "b", "bb"},
      {"aaa", "aa", "x", "xa"},
      {"abab", "ab", "ab", "abab"},
      {"", "a", "", ""},
      {"tail", "il", "", "ta"},
      // Cannot be done in place: the string stays as it is.
      {"abc", "", "x", "abc"},
      {"abc", "b", "longer", "abc"},
  };
  for (const Case &c : cases) {
    std::string buffer(c.str);
    buffer.resize(buffer.size() + 8, '\0');
    TranslateStr(&buffer[0], c.search, c.replacement);
    EXPECT_STREQ(c.expected, buffer.c_str()) << c.str << " " << c.search;
  }
}

TEST(Words, ExtractWordAndCleanFileName) {
  struct WordCase {
    const char *line;
    const char *word;
    size_t stop;
  } words[] = {
      {" \tword rest", "word", 6}, {"", "", 0}, {"abc", "abc", 3}, {"  ", "", 2}, {"a\tb", "a", 1}};
  for (const WordCase &c : words) {
    char buffer[16];
    EXPECT_EQ(c.line + c.stop, ExtractWord(c.line, buffer)) << c.line;
    EXPECT_STREQ(c.word, buffer);
  }

  struct NameCase {
    const char *name;
    size_t offset;
  } names[] = {{"C:\\dir/file.txt", 7}, {"name", 0}, {"dir/", 4}, {"a:b", 2}, {"", 0}, {"x\\y", 2}};
  for (const NameCase &c : names) EXPECT_EQ(c.name + c.offset, GetCleanFileName(c.name)) << c.name;
}

TEST(NameChecks, ObjectAndScriptNames) {
  struct ObjectCase {
    const char *name;
    BOOL extended;
    BOOL valid;
  } objects[] = {
      {"Node (1).x", 0, 1},  {"a#b", 0, 0},         {"", 0, 0},          {"", 1, 0},
      {"caf\xc3\xa9", 1, 1}, {"caf\xc3\xa9", 0, 0}, {"a;b", 1, 0},       {"a\tb", 1, 0},
      {"a b#", 1, 0},        {"a=b", 1, 0},         {"a_b-c@d/e", 0, 1}, {"a:b", 1, 1},
  };
  for (const ObjectCase &c : objects)
    EXPECT_EQ(c.valid, IsValidObjectName(c.name, c.extended)) << c.name << " " << c.extended;

  struct ScriptCase {
    const char *name;
    BOOL valid;
  } scripts[] = {{"1abc", 0}, {":abc", 0}, {"abc:def", 1}, {"", 0}, {"a-b", 0}, {"_x9", 1}};
  for (const ScriptCase &c : scripts) EXPECT_EQ(c.valid, IsValidScriptName(c.name)) << c.name;
}

TEST(RegexpMatch, ExtendedSyntaxUnanchored) {
  struct Case {
    const char *text;
    const char *expr;
    BOOL matchCase;
    BOOL expected;
  } cases[] = {
      {"hello world", "wor", 1, 1}, {"hello", "^h.*o$", 1, 1}, {"Hello", "hello", 1, 0},
      {"Hello", "hello", 0, 1},     {"abc", "(", 1, 0},        {"abc", "x|c", 1, 1},
      {"aa", "^a+$", 1, 1},         {"aaa", "^a{2}$", 1, 0},   {"", "^$", 1, 1},
  };
  for (const Case &c : cases)
    EXPECT_EQ(c.expected, RegexpMatch(c.text, c.expr, c.matchCase)) << c.text << " " << c.expr;
}

TEST(CodeToText, FirstMatchingRowOrDefault) {
  const CODE_TEXT_PAIR table[] = {
      {1, "one"}, {2, "two"}, {-5, "minus five"}, {2, "second two"}, {0, nullptr}};
  const CODE_TEXT_PAIR empty[] = {{7, nullptr}};
  struct Case {
    int code;
    const CODE_TEXT_PAIR *table;
    const char *expected;
  } cases[] = {{1, table, "one"},   {2, table, "two"},   {-5, table, "minus five"},
               {3, table, "other"}, {0, table, "other"}, {7, empty, "other"}};
  for (const Case &c : cases) EXPECT_STREQ(c.expected, CodeToText(c.code, c.table, "other"));
}
