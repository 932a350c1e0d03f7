// The converters underneath are checked in unicode_test; here the exported
// wrappers: their buffers, both names of the one encoding, and the two helpers.
#include <zavrin.h>

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/rsa.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "test_support.h"

using zavrin_test::FromHex;
using zavrin_test::ToHex;

namespace {

std::string Repeat(const std::string &s, size_t n) {
  std::string out;
  for (size_t k = 0; k < n; k++) out += s;
  return out;
}

std::wstring RepeatW(const std::wstring &s, size_t n) {
  std::wstring out;
  for (size_t k = 0; k < n; k++) out += s;
  return out;
}

}  // namespace

// Each row in both directions; wide strings are UTF-32 and the default code
// page is UTF-8, so both function pairs give the same.
TEST(CharsetConversion, BothWaysWithEitherName) {
  struct Case {
    std::string utf8;
    std::wstring wide;
  } cases[] = {
      {"", L""},
      {"A", L"A"},
      {"\xC3\xA9", L"\u00E9"},
      {"\xE2\x82\xAC", L"\u20AC"},
      {"\xF0\x9F\x98\x80", L"\U0001F600"},
      {"caf\xC3\xA9 \xE2\x82\xAC", L"caf\u00E9 \u20AC"},
      // No normalisation: a combining mark stays a character of its own.
      {"e\xCC\x81", L"e\u0301"},
      // Long texts of the widest characters: four bytes per character.
      {Repeat("\xF0\x9F\x98\x80", 1000), RepeatW(L"\U0001F600", 1000)},
      {Repeat("a\xC3\xA9", 3000), RepeatW(L"a\u00E9", 3000)},
  };
  for (const Case &c : cases) {
    const std::string where = ToHex(c.utf8.data(), c.utf8.size() < 16 ? c.utf8.size() : 16);
    for (auto toWide : {WideStringFromMBString, WideStringFromUTF8String}) {
      wchar_t *wide = toWide(c.utf8.c_str());
      ASSERT_NE(nullptr, wide) << where;
      EXPECT_EQ(c.wide, std::wstring(wide)) << where;
      free(wide);
    }
    for (auto toText : {MBStringFromWideString, UTF8StringFromWideString}) {
      char *text = toText(c.wide.c_str());
      ASSERT_NE(nullptr, text) << where;
      EXPECT_EQ(c.utf8, std::string(text)) << where;
      free(text);
    }
  }
}

TEST(CharsetConversion, InvalidInputBecomesReplacementCharacter) {
  struct ToWide {
    const char *utf8;
    std::wstring wide;
  } toWide[] = {
      {"\xFF", L"\uFFFD"},
      {"a\xC3", L"a\uFFFD"},  // cut after a lead byte
      {"\x80z", L"\uFFFDz"},
      {"\xED\xA0\x80", L"\uFFFD\uFFFD\uFFFD"},  // an encoded surrogate
  };
  for (const ToWide &c : toWide) {
    for (auto convert : {WideStringFromMBString, WideStringFromUTF8String}) {
      wchar_t *wide = convert(c.utf8);
      EXPECT_EQ(c.wide, std::wstring(wide)) << c.utf8;
      free(wide);
    }
  }
  struct ToText {
    std::vector<wchar_t> wide;  // terminated
    const char *utf8;
  } toText[] = {
      {{0xD800, 0}, "\xEF\xBF\xBD"},
      {{L'x', 0xDFFF, L'y', 0}, "x\xEF\xBF\xBDy"},
      {{0x110000, 0}, "\xEF\xBF\xBD"},
      {{static_cast<wchar_t>(-1), 0}, "\xEF\xBF\xBD"},
  };
  for (const ToText &c : toText) {
    for (auto convert : {MBStringFromWideString, UTF8StringFromWideString}) {
      char *text = convert(c.wide.data());
      EXPECT_STREQ(c.utf8, text);
      free(text);
    }
  }
  EXPECT_EQ(nullptr, WideStringFromMBString(nullptr));
  EXPECT_EQ(nullptr, WideStringFromUTF8String(nullptr));
  EXPECT_EQ(nullptr, MBStringFromWideString(nullptr));
  EXPECT_EQ(nullptr, UTF8StringFromWideString(nullptr));
}

TEST(InetAddrW, AsInetAddrOfTheText) {
  // Each text is also given to the socket library's inet_addr as 8-bit text,
  // except where its conversion takes 256 bytes or more and cannot be an address.
  struct Case {
    std::wstring wide;
    std::string narrow;  // null: no address at all
    bool tooLong;
  } cases[] = {
      {L"10.0.0.1", "10.0.0.1", false},
      {L"127.0.0.1", "127.0.0.1", false},
      {L"255.255.255.255", "255.255.255.255", false},
      {L"0x0A.0.0.1", "0x0A.0.0.1", false},
      {L"10.1", "10.1", false},
      {L"no.address", "no.address", false},
      {L"", "", false},
      {L"10.0.0.1\u00E9", "10.0.0.1\xC3\xA9", false},
      {L"10.0.0.1" + std::wstring(247, L' '), "10.0.0.1" + std::string(247, ' '), false},
      {L"10.0.0.1" + std::wstring(248, L' '), "", true},
      {L"10.0.0.1" + RepeatW(L"\u00E9", 123), "10.0.0.1" + Repeat("\xC3\xA9", 123), false},
      {L"10.0.0.1 " + RepeatW(L"\U0001F600", 100), "", true},
  };
  for (const Case &c : cases) {
    DWORD expected = c.tooLong ? 0xFFFFFFFFu : inet_addr(c.narrow.c_str());
    EXPECT_EQ(expected, inet_addr_w(c.wide.c_str())) << c.narrow << " (" << c.wide.size() << ")";
  }
  EXPECT_EQ(inet_addr("10.0.0.1"), htonl(0x0A000001));
}

TEST(ErrErrorStringW, TheCryptoLibrarysTextWidened) {
  const unsigned long codes[] = {
      0,
      ERR_PACK(ERR_LIB_RSA, 0, RSA_R_DATA_TOO_LARGE),
      ERR_PACK(ERR_LIB_EVP, 0, 0),
      0xFFFFFFFFul,
  };
  for (unsigned long code : codes) {
    char narrow[256];
    ERR_error_string_n(code, narrow, sizeof(narrow));
    std::vector<wchar_t> buffer(260, L'#');
    EXPECT_EQ(buffer.data(), ERR_error_string_W(static_cast<DWORD>(code), buffer.data()));
    EXPECT_EQ(std::wstring(narrow, narrow + strlen(narrow)), std::wstring(buffer.data())) << narrow;
    for (size_t k = 256; k < buffer.size(); k++) EXPECT_EQ(L'#', buffer[k]) << "past 256 at " << k;
  }
}
