#include <zavrin.h>

#include <gtest/gtest.h>
#include <string.h>
#include <time.h>

#include <type_traits>

#include "test_support.h"

TEST(StrStrip, RemovesBlanksAndTabsOnly) {
  char blanks[] = " \t \t";
  StrStrip(blanks);
  EXPECT_STREQ("", blanks);

  char inner[] = "\t a b \t";
  StrStrip(inner);
  EXPECT_STREQ("a b", inner);

  char crlf[] = "  value\r\n";
  StrStrip(crlf);
  EXPECT_STREQ("value\r\n", crlf);

  char empty[] = "";
  StrStrip(empty);
  EXPECT_STREQ("", empty);
}

TEST(ZvStrncpy, AlwaysTerminates) {
  char dest[8];
  memset(dest, 'x', sizeof(dest));
  EXPECT_EQ(dest, zv_strncpy(dest, "abc", 1));
  EXPECT_STREQ("", dest);
  EXPECT_EQ('x', dest[1]);

  zv_strncpy(dest, "abcdefghijk", sizeof(dest));
  EXPECT_STREQ("abcdefg", dest);

  // A shorter source: the rest of the destination up to size is zeroed.
  memset(dest, 'x', sizeof(dest));
  zv_strncpy(dest, "ab", sizeof(dest));
  EXPECT_EQ("6162000000000000", zavrin_test::ToHex(dest, sizeof(dest)));
}

TEST(NumChars, CountsSignedBytes) {
  EXPECT_EQ(3, NumChars("a,b,,c", ','));
  EXPECT_EQ(0, NumChars("", ','));
  // A byte above 127 matches only its negative (signed char) value.
  EXPECT_EQ(0, NumChars("\xe9\xe9", 0xE9));
  EXPECT_EQ(2, NumChars("\xe9\xe9", static_cast<signed char>(0xE9)));
}

TEST(MemoryBlocks, DupAndSwap) {
  const char text[] = "hello";
  char *copy = static_cast<char *>(zv_memdup(text, sizeof(text)));
  ASSERT_NE(nullptr, copy);
  EXPECT_STREQ(text, copy);
  free(copy);

  std::vector<unsigned char> a(1000, 1), b(1000, 2);
  zv_memswap(a.data(), b.data(), a.size());
  EXPECT_EQ(std::vector<unsigned char>(1000, 2), a);
  EXPECT_EQ(std::vector<unsigned char>(1000, 1), b);
}

TEST(GetCurrentTimeMs, FollowsTheUtcClock) {
  // time() may read a coarser clock that lags by a tick: allow a second either side.
  INT64 before = static_cast<INT64>(time(nullptr)) * 1000 - 1000;
  INT64 now = GetCurrentTimeMs();
  INT64 after = static_cast<INT64>(time(nullptr)) * 1000 + 2000;
  EXPECT_GE(now, before);
  EXPECT_LT(now, after);
}

TEST(FileSize, MissingAndEmptyGiveZero) {
  EXPECT_EQ(0u, FileSize("/nonexistent/zavrin/file"));
  zavrin_test::TempFile empty;
  EXPECT_EQ(0u, FileSize(empty.path().c_str()));
  zavrin_test::TempFile five("12345");
  EXPECT_EQ(5u, FileSize(five.path().c_str()));
}

TEST(Types, WidthsAndConstants) {
  // The interface widths callers and peers rely on: unsigned 8, 16, 32 and 64
  // bits, 32-bit int booleans, int descriptors.
  static_assert(std::is_same<BYTE, uint8_t>::value && std::is_same<WORD, uint16_t>::value &&
                    std::is_same<DWORD, uint32_t>::value && std::is_same<QWORD, uint64_t>::value,
                "integer widths");
  static_assert(std::is_same<BOOL, int>::value && sizeof(BOOL) == 4, "BOOL");
  static_assert(std::is_same<SOCKET, int>::value, "SOCKET");
  EXPECT_EQ(1, TRUE);
  EXPECT_EQ(0, FALSE);
  EXPECT_EQ(0xFFFFFFFFu, static_cast<DWORD>(INFINITE));
  SOCKET invalid = INVALID_SOCKET;
  EXPECT_EQ(-1, invalid);
  EXPECT_EQ(0xFFFFFFFFu, static_cast<unsigned int>(invalid));
}
