#include <zavrin.h>

#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>

#include <array>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"
#include "util/uuid_internal.h"

using zavrin_test::FromHex;
using zavrin_test::ToHex;

namespace {

typedef std::array<unsigned char, 16> Bytes;

// The fields as RFC 4122 lays them out, read here from the bytes themselves.
uint64_t Timestamp(const unsigned char *uu) {
  uint64_t low = (uint64_t{uu[0]} << 24) | (uint64_t{uu[1]} << 16) | (uint64_t{uu[2]} << 8) | uu[3];
  uint64_t mid = (uint64_t{uu[4]} << 8) | uu[5];
  uint64_t high = (uint64_t{uu[6] & 0x0Fu} << 8) | uu[7];
  return low | (mid << 32) | (high << 48);
}
unsigned ClockSequence(const unsigned char *uu) {
  return ((uu[8] & 0x1Fu) << 8) | uu[9];
}

// 100-ns intervals from 1582-10-15 to the given time since 1970.
uint64_t Intervals(uint64_t seconds, uint32_t microseconds) {
  return (seconds + 12219292800ULL) * 10000000ULL + microseconds * 10ULL;
}

// A scripted clock for the generator: microsecond offsets from a base time,
// read one per call; the last one repeats.
const uint64_t kBaseSeconds = 1700000000;
const uint32_t kBaseMicros = 999998;  // so that +2 us carries into the next second
std::vector<int64_t> script;
size_t scriptReads;

zavrin::UuidClockTime AtOffset(int64_t offset) {
  int64_t micros = static_cast<int64_t>(kBaseSeconds) * 1000000 + kBaseMicros + offset;
  return zavrin::UuidClockTime{static_cast<uint64_t>(micros / 1000000),
                               static_cast<uint32_t>(micros % 1000000)};
}

zavrin::UuidClockTime ScriptedClock() {
  size_t at = scriptReads < script.size() ? scriptReads : script.size() - 1;
  scriptReads++;
  return AtOffset(script[at]);
}

class UuidClock : public ::testing::Test {
 protected:
  void TearDown() override { zavrin::SetUuidClockForTesting(nullptr); }
  void Drive(const std::vector<int64_t> &readings) {
    script = readings;
    scriptReads = 0;
    zavrin::SetUuidClockForTesting(ScriptedClock);
  }
};

}  // namespace

TEST(UuidGenerate, LayoutBitsAndDistinctValues) {
  const int kThreads = 4;
  const int kEach = 2500;
  std::vector<std::vector<Bytes>> made(kThreads, std::vector<Bytes>(kEach));
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; t++) {
    threads.emplace_back([&made, t] {
      for (Bytes &b : made[t]) uuid_generate(b.data());
    });
  }
  for (std::thread &t : threads) t.join();

  std::set<Bytes> distinct;
  const Bytes &first = made[0][0];
  for (const std::vector<Bytes> &list : made) {
    for (const Bytes &b : list) {
      ASSERT_EQ(0x10, b[6] & 0xF0) << ToHex(b.data(), 16);  // version 1
      ASSERT_EQ(0x80, b[8] & 0xE0) << ToHex(b.data(), 16);  // variant, 13-bit sequence
      ASSERT_EQ(0x80, b[10] & 0x80) << ToHex(b.data(), 16);
      ASSERT_EQ(0, memcmp(first.data() + 10, b.data() + 10, 6)) << "one node id per process";
      distinct.insert(b);
    }
  }
  EXPECT_EQ(size_t{kThreads * kEach}, distinct.size());
}

TEST(UuidGenerate, ChildOfForkDrawsItsOwnNode) {
  uuid_t parent, child, later;
  uuid_generate(parent);
  std::string text;
  int status = zavrin_test::RunInChildCapturing(
      [] {
        uuid_t uu;
        uuid_generate(uu);
        char buffer[37];
        fputs(uuid_to_string(uu, buffer), stdout);
        fflush(stdout);
      },
      &text);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  ASSERT_EQ(0, uuid_parse(text.c_str(), child)) << text;
  uuid_generate(later);
  // Node ids are 47 random bits: the child's is its own; the parent keeps its.
  EXPECT_NE(zavrin_test::ToHex(parent + 10, 6), zavrin_test::ToHex(child + 10, 6));
  EXPECT_EQ(zavrin_test::ToHex(parent + 10, 6), zavrin_test::ToHex(later + 10, 6));
}

TEST(UuidText, ParseAndPrintRoundTrip) {
  struct Case {
    const char *text;
    const char *bytes;
    const char *printed;
  } cases[] = {
      {"0123ABCD-89ab-cdef-0123-456789abcdef", "0123abcd89abcdef0123456789abcdef",
       "0123abcd-89ab-cdef-0123-456789abcdef"},
      {"00000000-0000-0000-0000-000000000000", "00000000000000000000000000000000",
       "00000000-0000-0000-0000-000000000000"},
      {"FFFFFFFF-FFFF-FFFF-FFFF-FFFFFFFFFFFF", "ffffffffffffffffffffffffffffffff",
       "ffffffff-ffff-ffff-ffff-ffffffffffff"},
      {"6ba7b810-9dad-11d1-80b4-00c04fd430c8", "6ba7b8109dad11d180b400c04fd430c8",
       "6ba7b810-9dad-11d1-80b4-00c04fd430c8"},
  };
  for (const Case &c : cases) {
    uuid_t uu;
    ASSERT_EQ(0, uuid_parse(c.text, uu)) << c.text;
    EXPECT_EQ(c.bytes, ToHex(uu, 16)) << c.text;
    char out[37];
    EXPECT_EQ(out, uuid_to_string(uu, out));
    EXPECT_STREQ(c.printed, out);
  }

  // A generated identifier survives printing and parsing.
  uuid_t made, back;
  uuid_generate(made);
  char text[37];
  uuid_to_string(made, text);
  ASSERT_EQ(36u, strlen(text));
  ASSERT_EQ(0, uuid_parse(text, back));
  EXPECT_EQ(0, uuid_compare(made, back));
}

TEST(UuidText, RejectsWhatIsNoUuid) {
  const char *invalid[] = {
      "0123abcd-89ab-cdef-0123-456789abcde",    // 35 characters
      "0123abcd-89ab-cdef-0123-456789abcdef0",  // 37 characters
      "0123abcd-89ab-cdef-0123-456789abcdeg",   // a letter g
      "0123abcd089ab-cdef-0123-456789abcdef",   // a digit for the hyphen at 8
      "0123abcd-89abacdef-0123-456789abcdef",   // at 13
      "0123abcd-89ab-cdef00123-456789abcdef",   // at 18
      "0123abcd-89ab-cdef-0123f456789abcdef",   // at 23
      "0123abcd-89ab-cdef-0123-456789abcd-f",   // a hyphen in a digit's place
      "0123abc -89ab-cdef-0123-456789abcdef",   // a blank
      "{0123abcd-89ab-cdef-0123-456789abcd}",   // braces
      "0x23abcd-89ab-cdef-0123-456789abcdef",   // a hex prefix
      "",
  };
  for (const char *text : invalid) {
    uuid_t uu;
    memset(uu, 0xA5, sizeof(uu));
    EXPECT_EQ(-1, uuid_parse(text, uu)) << text;
    EXPECT_EQ("a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5", ToHex(uu, 16)) << "written on failure: " << text;
  }
}

TEST(UuidCompare, OrderOfTheBytes) {
  struct Case {
    const char *a;
    const char *b;
    int expected;
  } cases[] = {
      {"00112233445566778899aabbccddeeff", "00112233445566778899aabbccddeeff", 0},
      {"00112233445566778899aabbccddeeff", "00112233445566778899aabbccddeef0", 1},
      {"00112233445566778899aabbccddeef0", "00112233445566778899aabbccddeeff", -1},
      {"80000000000000000000000000000000", "7fffffffffffffffffffffffffffffff", 1},
      {"00000000000100000000000000000000", "0000000000007fff0000000000000000", 1},
      {"00000000000000000000000000000000", "00000000000000000000000000000001", -1},
  };
  for (const Case &c : cases) {
    std::vector<unsigned char> a = FromHex(c.a), b = FromHex(c.b);
    EXPECT_EQ(c.expected, uuid_compare(a.data(), b.data())) << c.a << " " << c.b;
  }

  uuid_t uu;
  uuid_generate(uu);
  EXPECT_EQ(0, uuid_is_null(uu));
  uuid_clear(uu);
  EXPECT_EQ(1, uuid_is_null(uu));
  EXPECT_EQ("00000000000000000000000000000000", ToHex(uu, 16));
}

// Each row: the clock readings (microseconds from the base time; the last one
// repeats) and, per identifier made, the reading its timestamp comes from, the
// adjustment added to it and the step of the clock sequence since the first.
TEST_F(UuidClock, SameMicrosecondAndClockBack) {
  struct Expect {
    int64_t offset;
    unsigned adjustment;
    unsigned sequenceStep;
  };
  // Ten identifiers of the base microsecond, then the one given.
  auto TenInOneMicrosecond = [](Expect next) {
    std::vector<Expect> ids;
    for (unsigned k = 0; k < 10; k++) ids.push_back(Expect{0, k, 0});
    ids.push_back(next);
    return ids;
  };
  // The base time read `same` times, then the given offset.
  auto Readings = [](size_t same, int64_t then) {
    std::vector<int64_t> readings(same, 0);
    readings.push_back(then);
    return readings;
  };
  struct Case {
    const char *name;
    std::vector<int64_t> readings;
    std::vector<Expect> ids;
  } cases[] = {
      // Adjustment 10 would repeat the timestamp of the next microsecond's
      // first identifier, so ten are made per microsecond, not eleven.
      {"eleven in one microsecond: the eleventh waits for the clock", Readings(13, 2),
       TenInOneMicrosecond({2, 0, 0})},
      {"the eleventh after a wait of one microsecond differs from the tenth", Readings(11, 1),
       TenInOneMicrosecond({1, 0, 0})},
      {"a later reading starts the adjustment again", {0, 0, 1}, {{0, 0, 0}, {0, 1, 0}, {1, 0, 0}}},
      {"clock set back a second", {0, -1000000}, {{0, 0, 0}, {-1000000, 0, 1}}},
      {"clock set back within the adjustments",
       {0, 0, 0, -1},
       {{0, 0, 0}, {0, 1, 0}, {0, 2, 0}, {-1, 0, 1}}},
      {"back twice, then the same microsecond",
       {0, -5, -9, -9},
       {{0, 0, 0}, {-5, 0, 1}, {-9, 0, 2}, {-9, 1, 2}}},
      {"back and forward again: the sequence stays",
       {0, -3, 7},
       {{0, 0, 0}, {-3, 0, 1}, {7, 0, 1}}},
  };
  for (const Case &c : cases) {
    Drive(c.readings);
    unsigned firstSequence = 0;
    for (size_t n = 0; n < c.ids.size(); n++) {
      uuid_t uu;
      uuid_generate(uu);
      const Expect &e = c.ids[n];
      zavrin::UuidClockTime at = AtOffset(e.offset);
      EXPECT_EQ(Intervals(at.seconds, at.microseconds) + e.adjustment, Timestamp(uu))
          << c.name << ", identifier " << n;
      if (n == 0) firstSequence = ClockSequence(uu);
      EXPECT_EQ((firstSequence + e.sequenceStep) & 0x1FFF, ClockSequence(uu))
          << c.name << ", identifier " << n;
      EXPECT_EQ(0x10, uu[6] & 0xF0);
      EXPECT_EQ(0x80, uu[8] & 0xE0);
    }
  }
}

TEST_F(UuidClock, SequenceWrapsInThirteenBits) {
  // A clock that goes back at every reading steps the sequence each time, so
  // 0x2001 identifiers pass 0x1FFF whatever the random start.
  std::vector<int64_t> readings;
  for (int64_t k = 0; k <= 0x2000; k++) readings.push_back(-k);
  Drive(readings);
  unsigned previous = 0;
  bool wrapped = false;
  for (size_t n = 0; n < readings.size(); n++) {
    uuid_t uu;
    uuid_generate(uu);
    unsigned sequence = ClockSequence(uu);
    if (n > 0) {
      ASSERT_EQ((previous + 1) & 0x1FFF, sequence) << "identifier " << n;
      if (sequence == 0) wrapped = true;
    }
    ASSERT_EQ(0x80, uu[8] & 0xE0);
    previous = sequence;
  }
  EXPECT_TRUE(wrapped);
}
