#include <zavrin.h>

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <string>

TEST(String, NewStringIsEmptyButNotNull) {
  String s;
  const char *p = s;
  ASSERT_NE(nullptr, p);
  EXPECT_STREQ("", p);
  EXPECT_EQ(0u, s.Size());
  String other;
  // All empty strings share the one stand-in text.
  EXPECT_EQ(p, static_cast<const char *>(other));
}

TEST(String, AppendsAndAssigns) {
  String s;
  s += "abc";
  s += "de";
  EXPECT_STREQ("abcde", s);
  EXPECT_EQ(5u, s.Size());
  s = "xy";
  EXPECT_STREQ("xy", s);
  EXPECT_EQ(2u, s.Size());
  s += "";
  EXPECT_EQ(2u, s.Size());

  String fromEmpty;
  fromEmpty += "";
  EXPECT_STREQ("", fromEmpty);
  EXPECT_EQ(0u, fromEmpty.Size());
}

TEST(String, AppendsItself) {
  String s;
  s = "abc";
  s += s;
  EXPECT_STREQ("abcabc", s);
  s.AddString(static_cast<char *>(s) + 1, 2);
  EXPECT_STREQ("abcabcbc", s);
  s = static_cast<char *>(s) + 3;
  EXPECT_STREQ("abcbc", s);
}

TEST(String, AddStringKeepsZeroBytes) {
  String s;
  s.AddString("a\0b", 3);
  EXPECT_EQ(3u, s.Size());
  EXPECT_STREQ("a", s);
  EXPECT_EQ(0, memcmp("a\0b\0", static_cast<char *>(s), 4));
}

TEST(String, AddDynamicStringTakesOwnership) {
  String s;
  s.AddDynamicString(nullptr);
  EXPECT_EQ(0u, s.Size());
  s.AddDynamicString(strdup("heap"));  // freed by the string; the leak check would tell
  EXPECT_STREQ("heap", s);
}

TEST(String, SetBuffer) {
  String s;
  s = "old";
  s.SetBuffer(strdup("taken"));
  EXPECT_STREQ("taken", s);
  EXPECT_EQ(5u, s.Size());
  s.SetBuffer(nullptr);
  EXPECT_STREQ("", s);
  EXPECT_EQ(0u, s.Size());
  String empty;
  EXPECT_EQ(static_cast<char *>(empty), static_cast<char *>(s));
}

TEST(String, AddFormattedString) {
  String s;
  s.AddFormattedString("%d-%s", 7, "x");
  EXPECT_STREQ("7-x", s);

  // No '%' at all, and output far longer than the format: both are appended whole.
  String plain;
  plain.AddFormattedString("no conversions");
  EXPECT_STREQ("no conversions", plain);
  std::string big(5000, 'q');
  String longOut;
  longOut.AddFormattedString("%s|%s", big.c_str(), big.c_str());
  EXPECT_EQ(big + "|" + big, std::string(longOut));
  String padded;
  padded.AddFormattedString("%3000d", 1);
  EXPECT_EQ(3000u, padded.Size());
  EXPECT_EQ('1', static_cast<char *>(padded)[2999]);
  String percent;
  percent.AddFormattedString("100%%");
  EXPECT_STREQ("100%", percent);
}

TEST(String, EscapeCharacter) {
  String s;
  s.EscapeCharacter(',', ';');  // no text at all
  EXPECT_EQ(0u, s.Size());
  s = "a,b,c";
  s.EscapeCharacter(',', ';');
  EXPECT_STREQ("a;,b;,c", s);
  EXPECT_EQ(7u, s.Size());

  s = "50%";
  s.EscapeCharacter('%', '%');
  EXPECT_STREQ("50%%", s);

  s = "plain";
  s.EscapeCharacter(',', ';');
  EXPECT_STREQ("plain", s);

  s = ",,";
  s.EscapeCharacter(',', ',');
  EXPECT_STREQ(",,,,", s);

  // Bytes above 127 match only as negative values.
  s = "\xE9x\xE9";
  s.EscapeCharacter(0xE9, '\\');
  EXPECT_STREQ("\xE9x\xE9", s);
  s.EscapeCharacter(static_cast<signed char>(0xE9), '\\');
  EXPECT_STREQ("\\\xE9x\\\xE9", s);

  // Bytes behind an embedded zero are kept, not escaped.
  String zeros;
  zeros.AddString("a,\0,b", 5);
  zeros.EscapeCharacter(',', ';');
  EXPECT_EQ(6u, zeros.Size());
  EXPECT_EQ(0, memcmp("a;,\0,b\0", static_cast<char *>(zeros), 7));
}

TEST(String, Translate) {
  String s;
  s.Translate("a", "b");  // no text at all
  EXPECT_EQ(0u, s.Size());

  s = "abcab";
  s.Translate("ab", "xyz");
  EXPECT_STREQ("xyzcxyz", s);
  EXPECT_EQ(7u, s.Size());

  s = "aabb";
  s.Translate("ab", "");
  EXPECT_STREQ("ab", s);
  EXPECT_EQ(2u, s.Size());

  s = "aaa";
  s.Translate("aa", "b");
  EXPECT_STREQ("ba", s);

  s = "abc";
  s.Translate("b", "B");
  EXPECT_STREQ("aBc", s);
  s.Translate("abcd", "x");  // text shorter than the search text
  EXPECT_STREQ("aBc", s);
  s.Translate("b", "x");  // case matters
  EXPECT_STREQ("aBc", s);

  // The replacement contains the search text: inserted text is never searched.
  s = "aa";
  s.Translate("a", "aa");
  EXPECT_STREQ("aaaa", s);

  // An empty search text leaves the string as it is.
  s = "abc";
  s.Translate("", "x");
  EXPECT_STREQ("abc", s);
  EXPECT_EQ(3u, s.Size());

  // Search and replacement taken from the string itself.
  s = "abab";
  s.Translate(static_cast<char *>(s) + 2, static_cast<char *>(s) + 3);
  EXPECT_STREQ("bb", s);

  // Appending after a shrinking translation lands right after the text.
  s = "a--b";
  s.Translate("--", "-");
  s += "c";
  EXPECT_STREQ("a-bc", s);
  EXPECT_EQ(4u, s.Size());
}

TEST(String, SubStr) {
  String s;
  s = "hello";
  char *sub = s.SubStr(2, String::npos);
  EXPECT_STREQ("llo", sub);
  free(sub);
  sub = s.SubStr(1, 100);
  EXPECT_STREQ("ello", sub);
  free(sub);
  sub = s.SubStr(0, 0);
  EXPECT_STREQ("", sub);
  free(sub);
  for (int start : {5, -1, 1000}) {
    sub = s.SubStr(start, 2);
    ASSERT_NE(nullptr, sub);
    EXPECT_STREQ("", sub);
    free(sub);
  }
  char buffer[8];
  memset(buffer, 'x', sizeof(buffer));
  EXPECT_EQ(buffer, s.SubStr(1, 3, buffer));
  EXPECT_EQ(0, memcmp("ell\0xxxx", buffer, 8));
  EXPECT_EQ(buffer, s.SubStr(9, 3, buffer));
  EXPECT_EQ('\0', buffer[0]);

  String empty;
  sub = empty.SubStr(0, String::npos);
  EXPECT_STREQ("", sub);
  free(sub);
}

TEST(String, Find) {
  String s;
  EXPECT_EQ(String::npos, s.Find("", 0));
  s = "hello";
  EXPECT_EQ(2, s.Find("l", 0));
  EXPECT_EQ(3, s.Find("l", 3));
  EXPECT_EQ(-1, s.Find("x", 0));
  EXPECT_EQ(-1, s.Find("l", 5));
  EXPECT_EQ(-1, s.Find("l", -1));
  EXPECT_EQ(1, s.Find("ello", 0));
  // Multi-byte UTF-8 text is searched byte by byte.
  s = "\xC3\xA9\xC3\xA8";
  EXPECT_EQ(2, s.Find("\xC3\xA8", 0));
}
