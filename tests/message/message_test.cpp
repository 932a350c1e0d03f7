// Expected wire bytes are written out by hand from the layout: a 16-byte header
// (code, flags, size, id, numVariables, big-endian), then per variable id, type,
// a pad byte, the int16 field, and the value, length or data; version 2 pads each
// variable to 8 bytes, version 1 only the whole message.
#include <zavrin/message.h>

#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "message/message_layout.h"
#include "test_support.h"

using zavrin_test::FromHex;
using zavrin_test::TempFile;
using zavrin_test::ToHex;

namespace {

// A copy of some bytes that ends right where an inaccessible page begins, so
// that any read at or past the end faults. The start is usually unaligned.
class GuardedBlock {
 public:
  explicit GuardedBlock(const std::vector<unsigned char> &bytes) {
    size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    size_t dataPages = bytes.size() / page + 1;
    length_ = (dataPages + 1) * page;
    base_ = static_cast<unsigned char *>(
        mmap(nullptr, length_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    EXPECT_NE(MAP_FAILED, static_cast<void *>(base_));
    EXPECT_EQ(0, mprotect(base_ + dataPages * page, page, PROT_NONE));
    data_ = base_ + dataPages * page - bytes.size();
    memcpy(data_, bytes.data(), bytes.size());
  }
  ~GuardedBlock() { munmap(base_, length_); }
  GuardedBlock(const GuardedBlock &) = delete;
  GuardedBlock &operator=(const GuardedBlock &) = delete;
  CSCP_MESSAGE *message() { return reinterpret_cast<CSCP_MESSAGE *>(data_); }

 private:
  unsigned char *base_;
  unsigned char *data_;
  size_t length_;
};

// The wire form of msg as hex.
std::string Wire(const CSCPMessage &msg) {
  CSCP_MESSAGE *block = msg.CreateMessage();
  if (block == nullptr) return "(null)";
  std::string hex = ToHex(block, ntohl(block->size));
  free(block);
  return hex;
}

// Normalises hand-written hex (blanks, upper case) for comparison with Wire.
std::string Hex(const std::string &text) {
  std::vector<unsigned char> bytes = FromHex(text);
  return ToHex(bytes.data(), bytes.size());
}

std::string Str(const CSCPMessage &msg, DWORD id) {
  char *text = msg.GetVariableStr(id);
  if (text == nullptr) return "(null)";
  std::string result(text);
  free(text);
  return result;
}

// Number of variables, as the writer states it.
DWORD CountOf(const CSCPMessage &msg) {
  CSCP_MESSAGE *block = msg.CreateMessage();
  DWORD count = ntohl(block->numVariables);
  free(block);
  return count;
}

// One variable of each type: int32 1 = 0x11223344; string 2 = "A" U+1F600;
// int64 3 = 0x8000000000000001; int16 4 = 0xBEEF; binary 5 = AA BB CC;
// float 6 = -2.0. Code 0x21, end-of-sequence and reverse-order flags, id 0x99.
const char kEveryTypeV2[] =
    "0021 0018 00000070 00000099 00000006"
    "00000001 00 00 0000 11223344 00000000"
    "00000002 01 00 0000 00000006 0041 D83D DE00 000000000000"
    "00000003 02 00 0000 8000000000000001"
    "00000004 03 00 BEEF"
    "00000005 04 00 0000 00000003 AABBCC 00"
    "00000006 05 00 0000 C000000000000000";
const char kEveryTypeV1[] =
    "0021 0018 00000068 00000099 00000006"
    "00000001 00 00 0000 11223344"
    "00000002 01 00 0000 00000006 0041 D83D DE00"
    "00000003 02 00 0000 8000000000000001"
    "00000004 03 00 BEEF"
    "00000005 04 00 0000 00000003 AABBCC"
    "00000006 05 00 0000 C000000000000000"
    "000000";
// Where each variable above ends, counted from the start of the message.
const uint32_t kEveryTypeEndsV2[] = {28, 50, 72, 80, 95, 112};
const uint32_t kEveryTypeEndsV1[] = {28, 46, 62, 70, 85, 101};

void BuildEveryType(CSCPMessage *msg) {
  msg->SetCode(0x21);
  msg->SetId(0x99);
  msg->SetEndOfSequence();
  msg->SetReverseOrderFlag();
  msg->SetVariable(1, static_cast<DWORD>(0x11223344));
  msg->SetVariable(2, "A\xF0\x9F\x98\x80");
  msg->SetVariable(3, static_cast<QWORD>(0x8000000000000001ull));
  msg->SetVariable(4, static_cast<WORD>(0xBEEF));
  const BYTE data[] = {0xAA, 0xBB, 0xCC};
  msg->SetVariable(5, data, 3);
  msg->SetVariable(6, -2.0);
}

void ExpectEveryType(const CSCPMessage &msg, size_t variables) {
  EXPECT_EQ(0x21, msg.GetCode());
  EXPECT_EQ(0x99u, msg.GetId());
  EXPECT_TRUE(msg.IsEndOfSequence());
  EXPECT_TRUE(msg.IsReverseOrder());
  EXPECT_EQ(variables, CountOf(msg));
  if (variables > 0) {
    EXPECT_EQ(0x11223344u, msg.GetVariableLong(1));
  }
  if (variables > 1) {
    EXPECT_EQ("A\xF0\x9F\x98\x80", Str(msg, 2));
  }
  if (variables > 2) {
    EXPECT_EQ(0x8000000000000001ull, msg.GetVariableInt64(3));
  }
  if (variables > 3) {
    EXPECT_EQ(0xBEEF, msg.GetVariableShort(4));
  }
  if (variables > 4) {
    BYTE data[4] = {0, 0, 0, 0x55};
    EXPECT_EQ(3u, msg.GetVariableBinary(5, data, sizeof(data)));
    EXPECT_EQ("aabbcc55", ToHex(data, 4));
  }
  if (variables > 5) {
    EXPECT_EQ(-2.0, msg.GetVariableDouble(6));
  }
  for (DWORD id = static_cast<DWORD>(variables) + 1; id <= 6; id++) {
    EXPECT_FALSE(msg.IsVariableExist(id)) << id;
  }
}

// Reads hand-written hex from a guarded block.
struct GuardedRead {
  GuardedRead(const std::string &hex, int version)
      : block(FromHex(hex)), msg(block.message(), version) {}
  GuardedBlock block;
  CSCPMessage msg;
};

}  // namespace

TEST(WireWriter, EmptyMessageIsTheHeaderAlone) {
  for (int version : {1, 2}) {
    CSCPMessage msg(version);
    msg.SetCode(0x11);
    msg.SetId(0x01020304);
    EXPECT_EQ(Hex("0011 0000 00000010 01020304 00000000"), Wire(msg)) << version;
  }
}

TEST(WireWriter, EveryTypeInBothVersions) {
  CSCPMessage v2;
  BuildEveryType(&v2);
  EXPECT_EQ(Hex(kEveryTypeV2), Wire(v2));
  CSCPMessage v1(1);
  BuildEveryType(&v1);
  EXPECT_EQ(Hex(kEveryTypeV1), Wire(v1));
}

TEST(WireWriter, SizesOfSingleVariables) {
  CSCPMessage int32;
  int32.SetVariable(10, static_cast<DWORD>(0xDEADBEEF));
  EXPECT_EQ(Hex("0000 0000 00000020 00000000 00000001 0000000A 00 00 0000 DEADBEEF 00000000"),
            Wire(int32));

  CSCPMessage text;
  text.SetVariable(3, "abc");
  EXPECT_EQ(Hex("0000 0000 00000028 00000000 00000001"
                "00000003 01 00 0000 00000006 0061 0062 0063 000000000000"),
            Wire(text));

  CSCPMessage empty;
  empty.SetVariable(3, "");
  EXPECT_EQ(Hex("0000 0000 00000020 00000000 00000001 00000003 01 00 0000 00000000 00000000"),
            Wire(empty));
  EXPECT_EQ("", Str(empty, 3));

  CSCPMessage five;
  const BYTE data[] = {1, 2, 3, 4, 5};
  five.SetVariable(4, data, 5);
  EXPECT_EQ(Hex("0000 0000 00000028 00000000 00000001"
                "00000004 04 00 0000 00000005 0102030405 00000000000000"),
            Wire(five));

  CSCPMessage none;
  none.SetVariable(4, data, 0);
  EXPECT_EQ(Hex("0000 0000 00000020 00000000 00000001 00000004 04 00 0000 00000000 00000000"),
            Wire(none));

  CSCPMessage wide;
  wide.SetVariable(5, static_cast<QWORD>(0x0102030405060708ull));
  wide.SetVariable(6, 1.5);
  EXPECT_EQ(Hex("0000 0000 00000030 00000000 00000002"
                "00000005 02 00 0000 0102030405060708"
                "00000006 05 00 0000 3FF8000000000000"),
            Wire(wide));
}

// Sizes near 4 GiB, through the writer's sizing alone: a record head carries the
// length, so no 4 GiB block is needed. CreateMessage writes nothing above 2^32 - 1.
TEST(WireWriter, SizesNear4GiBDoNotWrap) {
  struct {
    uint32_t length;
    int version;
    uint64_t size;
  } cases[] = {
      {0xFFFFFFDC, 2, 0xFFFFFFF8},   // 12 + length = 2^32 - 24: the largest that fits
      {0xFFFFFFF3, 2, 0x100000010},  // 2^32 - 1 pads to 2^32
      {0xFFFFFFEC, 2, 0x100000008},  // 2^32 - 8 needs no padding
      {0xFFFFFFF3, 1, 0x100000010},  // version 1 pads the message as a whole
  };
  for (const auto &c : cases) {
    CSCP_VARIABLE head = {};
    head.type = VAR_TYPE_BINARY;
    head.length = c.length;
    const CSCP_VARIABLE *records[] = {&head};
    EXPECT_EQ(c.size, zavrin::WireMessageSize(records, 1, c.version)) << std::hex << c.length;
  }
}

TEST(WireWriter, VersionDecidesAlignment) {
  // int32 then int16: 16 + 12 + 8 = 36 bytes, padded to 40 as a whole in version
  // 1; in version 2 the int32 takes 16 and the int16 starts at 32.
  CSCPMessage v1(1), v2(2);
  for (CSCPMessage *msg : {&v1, &v2}) {
    msg->SetVariable(2, static_cast<DWORD>(7));
    msg->SetVariable(1, static_cast<WORD>(0xFFFF));
  }
  EXPECT_EQ(Hex("0000 0000 00000028 00000000 00000002"
                "00000002 00 00 0000 00000007 00000001 03 00 FFFF 00000000"),
            Wire(v1));
  EXPECT_EQ(Hex("0000 0000 00000028 00000000 00000002"
                "00000002 00 00 0000 00000007 00000000 00000001 03 00 FFFF"),
            Wire(v2));

  // int16 then int32 in version 1: 36 bytes, the int32 at offset 24, size 40.
  CSCPMessage shortFirst(1);
  shortFirst.SetVariable(1, static_cast<WORD>(0xFFFF));
  shortFirst.SetVariable(2, static_cast<DWORD>(7));
  EXPECT_EQ(Hex("0000 0000 00000028 00000000 00000002"
                "00000001 03 00 FFFF 00000002 00 00 0000 00000007 00000000"),
            Wire(shortFirst));
}

TEST(WireWriter, CarriesEveryFlagBit) {
  // The bits without a meaning to the library pass through both conversions.
  std::vector<unsigned char> bytes = FromHex("1234 FFC0 00000010 00000007 00000000");
  CSCPMessage msg(reinterpret_cast<CSCP_MESSAGE *>(bytes.data()), 2);
  EXPECT_FALSE(msg.IsEndOfSequence());
  msg.DisableEncryption();
  msg.SetEndOfSequence();
  EXPECT_TRUE(msg.IsEndOfSequence());
  EXPECT_FALSE(msg.IsReverseOrder());
  EXPECT_EQ(Hex("1234 FFCC 00000010 00000007 00000000"), Wire(msg));
}

TEST(WireReader, ReadsEveryTypeInBothVersions) {
  GuardedRead v2(kEveryTypeV2, 2);
  ExpectEveryType(v2.msg, 6);
  EXPECT_EQ(Hex(kEveryTypeV2), Wire(v2.msg));
  GuardedRead v1(kEveryTypeV1, 1);
  ExpectEveryType(v1.msg, 6);
  EXPECT_EQ(Hex(kEveryTypeV1), Wire(v1.msg));
}

TEST(WireReader, KeepsTheVariablesThatFitInSize) {
  // Every cut of the message, its size field set to the cut: the variables that
  // end within it are read, the rest dropped, nothing past the cut is touched.
  for (int version : {1, 2}) {
    std::vector<unsigned char> full = FromHex(version == 2 ? kEveryTypeV2 : kEveryTypeV1);
    const uint32_t *ends = version == 2 ? kEveryTypeEndsV2 : kEveryTypeEndsV1;
    for (uint32_t cut = 16; cut <= full.size(); cut++) {
      std::vector<unsigned char> bytes(full.begin(), full.begin() + cut);
      bytes[4] = static_cast<unsigned char>(cut >> 24);
      bytes[5] = static_cast<unsigned char>(cut >> 16);
      bytes[6] = static_cast<unsigned char>(cut >> 8);
      bytes[7] = static_cast<unsigned char>(cut);
      GuardedBlock block(bytes);
      CSCPMessage msg(block.message(), version);
      size_t expected = 0;
      while (expected < 6 && ends[expected] <= cut) expected++;
      SCOPED_TRACE(testing::Message() << "version " << version << ", size " << cut);
      ExpectEveryType(msg, expected);
    }
  }
}

TEST(WireReader, StopsAtTruncatedHeader) {
  // A size below 16 covers no variables, and its id only where it covers it: the
  // block holds exactly size bytes.
  GuardedRead eight("0102 0008 00000008", 2);
  EXPECT_EQ(0x0102, eight.msg.GetCode());
  EXPECT_EQ(0u, eight.msg.GetId());
  EXPECT_EQ(0u, CountOf(eight.msg));
  GuardedRead twelve("0102 0008 0000000C 00000005", 2);
  EXPECT_EQ(5u, twelve.msg.GetId());
  EXPECT_EQ(0u, CountOf(twelve.msg));
  // A 16-byte block that claims variables holds none.
  GuardedRead sixteen("0000 0000 00000010 00000000 00000003", 2);
  EXPECT_EQ(0u, CountOf(sixteen.msg));
  // A size below 16 with a body after it: the body is not read.
  GuardedRead small("0000 0000 0000000F 00000000 00000001 00000001 00 00 0000 00000005 00000000",
                    2);
  EXPECT_FALSE(small.msg.IsVariableExist(1));
}

TEST(WireReader, StopsAtTruncatedString) {
  // The string's length field would lie past size (24).
  GuardedRead cut("0000 0000 00000018 00000000 00000001 00000001 01 00 0000", 2);
  EXPECT_EQ(0u, CountOf(cut.msg));
  // The same with a binary, after an int16 that is kept.
  GuardedRead kept(
      "0000 0000 00000020 00000000 00000002 00000007 03 00 1234 00000001 04 00 0000 0000", 1);
  EXPECT_EQ(1u, CountOf(kept.msg));
  EXPECT_EQ(0x1234, kept.msg.GetVariableShort(7));
}

TEST(WireReader, StopsAtHugeLength) {
  // Size 40: an int16 at 16, then a string or binary at 24 whose length field
  // (32..36) lies within size and leaves 4 bytes of data. Added in 32 bits,
  // 24 + 12 + 0xFFFFFFF8 wraps to 28 and 24 + 12 + 0xFFFFFFF4 to 24.
  for (const char *type : {"01", "04"}) {
    for (const char *length : {"FFFFFFF8", "FFFFFFFF", "FFFFFFF4", "00000005"}) {
      GuardedRead read(std::string("0000 0000 00000028 00000000 00000002 00000001 03 00 0001"
                                   "00000002 ") +
                           type + " 00 0000 " + length + "00410042",
                       2);
      SCOPED_TRACE(testing::Message() << "type " << type << ", length " << length);
      EXPECT_EQ(1u, CountOf(read.msg));
      EXPECT_EQ(1, read.msg.GetVariableShort(1));
      EXPECT_FALSE(read.msg.IsVariableExist(2));
    }
    // A length that reaches exactly to size is read.
    GuardedRead exact(std::string("0000 0000 00000028 00000000 00000002 00000001 03 00 0001"
                                  "00000002 ") +
                          type + " 00 0000 00000004 00410042",
                      2);
    EXPECT_EQ(2u, CountOf(exact.msg));
    bool isString = std::string(type) == "01";
    EXPECT_EQ(isString ? "AB" : "(null)", Str(exact.msg, 2));
    EXPECT_EQ(isString ? 0u : 4u, exact.msg.GetVariableBinary(2, nullptr, 0));
  }
}

TEST(WireReader, NumVariablesIsOnlyAnUpperBound) {
  GuardedRead one("0000 0000 00000018 00000000 FFFFFFFF 00000001 03 00 0002", 2);
  EXPECT_EQ(1u, CountOf(one.msg));
  // Fewer claimed than held: the rest is not read.
  GuardedRead claimsOne(
      "0000 0000 00000020 00000000 00000001 00000001 03 00 0002 00000002 03 00 0003 00000000", 1);
  EXPECT_EQ(1u, CountOf(claimsOne.msg));
  EXPECT_FALSE(claimsOne.msg.IsVariableExist(2));
}

TEST(WireReader, KeepsUnknownTypesAsEightBytes) {
  // Types 6, 9 and 255 carry no value: 8 bytes each, read and written back with
  // only the id converted (the writer zeroes the bytes without meaning).
  GuardedRead read(
      "0000 0000 00000038 00000000 00000004"
      "00000007 09 AB CDEF 00000008 06 00 0000 000000FF FF 00 0001"
      "00000009 00 00 0000 0000002A 00000000",
      2);
  EXPECT_EQ(4u, CountOf(read.msg));
  EXPECT_TRUE(read.msg.IsVariableExist(7));
  EXPECT_EQ(0u, read.msg.GetVariableLong(7));
  EXPECT_EQ(0, read.msg.GetVariableShort(7));
  EXPECT_EQ(0u, read.msg.GetVariableBinary(7, nullptr, 0));
  EXPECT_EQ(42u, read.msg.GetVariableLong(9));
  EXPECT_EQ(Hex("0000 0000 00000038 00000000 00000004"
                "00000007 09 00 0000 00000008 06 00 0000 000000FF FF 00 0000"
                "00000009 00 00 0000 0000002A 00000000"),
            Wire(read.msg));
}

TEST(WireReader, KeepsRepeatedIds) {
  GuardedRead read(
      "0000 0000 00000030 00000000 00000002"
      "00000001 00 00 0000 00000005 00000000 00000001 03 00 0006 00000000"
      "FFFFFFFF FFFFFFFF FFFFFFFF FFFFFFFF",
      2);
  // Every lookup finds the first record; the second stays in the message.
  EXPECT_EQ(5u, read.msg.GetVariableLong(1));
  EXPECT_EQ(0, read.msg.GetVariableShort(1));
  EXPECT_EQ(Hex("0000 0000 00000028 00000000 00000002"
                "00000001 00 00 0000 00000005 00000000 00000001 03 00 0006"),
            Wire(read.msg));
}

TEST(WireReader, OddStringLengthKeepsTheLastByte) {
  const char hex[] =
      "0000 0000 00000028 00000000 00000001"
      "00000001 01 00 0000 00000005 0061 0062 7A 00000000000000";
  GuardedRead read(hex, 2);
  EXPECT_EQ("ab", Str(read.msg, 1));
  EXPECT_EQ(Hex(hex), Wire(read.msg));
}

TEST(WireReader, VersionMustMatchTheWriter) {
  // The version-2 form read as version 1: the string is read, then its padding
  // is taken for the next variable (id 0, type 0) and everything after is off.
  GuardedRead read(kEveryTypeV2, 1);
  EXPECT_EQ(0x11223344u, read.msg.GetVariableLong(1));
  EXPECT_FALSE(read.msg.IsVariableExist(2));
  EXPECT_TRUE(read.msg.IsVariableExist(0));
}

TEST(WireText, ConvertsToUtf16AndBack) {
  CSCPMessage msg;
  // Outside the BMP, then a byte that is not UTF-8 and a truncated sequence.
  msg.SetVariable(1, "A\xF0\x9F\x98\x80\xFFz\xE2\x82");
  EXPECT_EQ(Hex("0000 0000 00000028 00000000 00000001"
                "00000001 01 00 0000 0000000C 0041 D83D DE00 FFFD 007A FFFD"),
            Wire(msg));
  EXPECT_EQ("A\xF0\x9F\x98\x80\xEF\xBF\xBDz\xEF\xBF\xBD", Str(msg, 1));

  // Unpaired surrogates from the wire come out as U+FFFD.
  GuardedRead read("0000 0000 00000020 00000000 00000001 00000001 01 00 0000 00000004 D800 0041",
                   2);
  EXPECT_EQ(
      "\xEF\xBF\xBD"
      "A",
      Str(read.msg, 1));
}

TEST(WireText, BufferNeverSplitsACharacter) {
  CSCPMessage msg;
  msg.SetVariable(1, "abcdef");
  msg.SetVariable(2, "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");  // 2, 3 and 4 bytes
  char buffer[16];

  memset(buffer, 'x', sizeof(buffer));
  EXPECT_EQ(buffer, msg.GetVariableStr(1, buffer, 4));
  EXPECT_STREQ("abc", buffer);
  EXPECT_EQ('x', buffer[4]);

  // Limits inside each character: only whole characters, then the terminator.
  const size_t expected[] = {0, 0, 0, 2, 2, 2, 5, 5, 5, 5, 9, 9};
  for (DWORD size = 1; size < 12; size++) {
    memset(buffer, 'x', sizeof(buffer));
    ASSERT_EQ(buffer, msg.GetVariableStr(2, buffer, size));
    EXPECT_EQ(expected[size], strlen(buffer)) << size;
    for (size_t i = expected[size] + 1; i < sizeof(buffer); i++) {
      EXPECT_EQ('x', buffer[i]) << "size " << size << ", byte " << i;
    }
  }

  memset(buffer, 'x', sizeof(buffer));
  EXPECT_EQ(nullptr, msg.GetVariableStr(1, buffer, 0));
  EXPECT_EQ('x', buffer[0]);
  EXPECT_EQ(buffer, msg.GetVariableStr(1, buffer, 1));
  EXPECT_STREQ("", buffer);
}

TEST(MessageObject, GettersRequireTheExactType) {
  CSCPMessage msg;
  msg.SetVariable(1, static_cast<WORD>(0xFFFF));
  msg.SetVariable(2, static_cast<DWORD>(0xFFFFFFFF));
  EXPECT_EQ(0u, msg.GetVariableLong(1));
  EXPECT_EQ(0, msg.GetVariableShort(2));
  EXPECT_EQ(65535, msg.GetVariableShort(1));
  EXPECT_EQ(-1, msg.GetVariableShortAsInt32(1));
  EXPECT_EQ(0, msg.GetVariableShortAsInt32(2));
  EXPECT_EQ(0u, msg.GetVariableInt64(2));
  EXPECT_EQ(0.0, msg.GetVariableDouble(2));
  EXPECT_EQ(0u, msg.GetVariableBinary(2, nullptr, 0));
  EXPECT_EQ(nullptr, msg.GetVariableStr(2));
  EXPECT_EQ(nullptr, msg.GetVariableStr(3));
  char buffer[4] = "xyz";
  EXPECT_EQ(buffer, msg.GetVariableStr(3, buffer, sizeof(buffer)));
  EXPECT_STREQ("", buffer);
}

TEST(MessageObject, ReplacingKeepsThePlace) {
  CSCPMessage msg;
  msg.SetVariable(5, static_cast<DWORD>(1));
  msg.SetVariable(6, static_cast<DWORD>(2));
  msg.SetVariable(5, "x");
  EXPECT_EQ(0u, msg.GetVariableLong(5));
  EXPECT_TRUE(msg.IsVariableExist(5));
  EXPECT_EQ("x", Str(msg, 5));
  EXPECT_EQ(Hex("0000 0000 00000030 00000000 00000002"
                "00000005 01 00 0000 00000002 0078 0000"
                "00000006 00 00 0000 00000002 00000000"),
            Wire(msg));
}

TEST(MessageObject, BinaryAndInt32Arrays) {
  CSCPMessage msg;
  const BYTE ten[10] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
  msg.SetVariable(1, ten, sizeof(ten));
  BYTE four[5] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
  EXPECT_EQ(10u, msg.GetVariableBinary(1, four, 4));
  EXPECT_EQ("00010203ee", ToHex(four, 5));
  EXPECT_EQ(10u, msg.GetVariableBinary(1, nullptr, 0));
  EXPECT_EQ(0u, msg.GetVariableBinary(2, four, 4));
  EXPECT_EQ("00010203ee", ToHex(four, 5));

  const DWORD values[5] = {1, 0x01020304, 3, 4, 0xFFFFFFFE};
  msg.SetVariableToInt32Array(3, 5, values);
  DWORD two[3] = {0, 0, 77};
  EXPECT_EQ(5u, msg.GetVariableInt32Array(3, 2, two));
  EXPECT_EQ(1u, two[0]);
  EXPECT_EQ(0x01020304u, two[1]);
  EXPECT_EQ(77u, two[2]);
  EXPECT_EQ(0u, msg.GetVariableInt32Array(4, 2, two));
  // A count whose byte size wraps 32 bits still copies only what is stored.
  DWORD all[5];
  EXPECT_EQ(5u, msg.GetVariableInt32Array(3, 0x40000001, all));
  EXPECT_EQ(0xFFFFFFFEu, all[4]);
  // The bytes after the last whole element are copied as they are, like
  // GetVariableBinary copies them; only whole elements are converted.
  const BYTE nine[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  msg.SetVariable(6, nine, sizeof(nine));
  DWORD three[3] = {0xEEEEEEEE, 0xEEEEEEEE, 0xEEEEEEEE};
  EXPECT_EQ(2u, msg.GetVariableInt32Array(6, 3, three));
  EXPECT_EQ(0x01020304u, three[0]);
  EXPECT_EQ(0x05060708u, three[1]);
  EXPECT_EQ("09eeeeee", ToHex(three + 2, 4));

  // Without data the bytes are zero.
  msg.SetVariable(5, nullptr, 3);
  EXPECT_EQ(3u, msg.GetVariableBinary(5, four, 4));
  EXPECT_EQ("000000", ToHex(four, 3));

  CSCPMessage wire;
  wire.SetVariableToInt32Array(1, 2, values);
  wire.SetVariableToInt32Array(2, 0, values);
  EXPECT_EQ(Hex("0000 0000 00000038 00000000 00000002"
                "00000001 04 00 0000 00000008 00000001 01020304 00000000"
                "00000002 04 00 0000 00000000 00000000"),
            Wire(wire));
}

TEST(MessageObject, SetVariableFromFile) {
  TempFile file(std::string("file\0content", 12));
  CSCPMessage msg;
  EXPECT_TRUE(msg.SetVariableFromFile(8, file.path().c_str()));
  BYTE data[16];
  ASSERT_EQ(12u, msg.GetVariableBinary(8, data, sizeof(data)));
  EXPECT_EQ(0, memcmp(data, "file\0content", 12));

  TempFile empty;
  EXPECT_TRUE(msg.SetVariableFromFile(9, empty.path().c_str()));
  EXPECT_EQ(0u, msg.GetVariableBinary(9, data, sizeof(data)));
  EXPECT_TRUE(msg.IsVariableExist(9));

  EXPECT_FALSE(msg.SetVariableFromFile(10, (file.path() + ".missing").c_str()));
  EXPECT_FALSE(msg.IsVariableExist(10));
  EXPECT_EQ(2u, CountOf(msg));

  // A file whose size does not fit a variable is refused, not cut to 32 bits.
  TempFile huge;
  ASSERT_EQ(0, truncate(huge.path().c_str(), 0x100000010ll));
  msg.SetVariable(11, static_cast<DWORD>(4));
  EXPECT_FALSE(msg.SetVariableFromFile(11, huge.path().c_str()));
  EXPECT_EQ(4u, msg.GetVariableLong(11));
}

TEST(MessageObject, CopyIsDeep) {
  CSCPMessage *source = new CSCPMessage(1);
  BuildEveryType(source);
  source->DisableEncryption();
  CSCPMessage copy(source);
  delete source;
  ExpectEveryType(copy, 6);
  EXPECT_EQ(Hex("0021 001C 00000068 00000099 00000006") + Hex(kEveryTypeV1).substr(32), Wire(copy));
}

TEST(MessageObject, DeleteAllVariables) {
  CSCPMessage msg;
  BuildEveryType(&msg);
  msg.DeleteAllVariables();
  for (DWORD id = 0; id <= 7; id++) EXPECT_FALSE(msg.IsVariableExist(id));
  EXPECT_EQ(Hex("0021 0018 00000010 00000099 00000000"), Wire(msg));
  msg.DeleteAllVariables();
  msg.SetVariable(1, static_cast<DWORD>(3));
  EXPECT_EQ(3u, msg.GetVariableLong(1));
}

TEST(MessageObject, AppendsPastEveryArraySizeWhereverTheArrayCameFrom) {
  // The pointer array starts at the size the reader, the copy or the setters
  // gave it and grows as ids are appended; sizes around the growth points.
  for (DWORD first : {0u, 1u, 7u, 8u, 9u, 16u, 33u}) {
    CSCPMessage built;
    for (DWORD id = 1; id <= first; id++) built.SetVariable(id, id * 3);
    CSCP_MESSAGE *block = built.CreateMessage();
    ASSERT_NE(nullptr, block);
    CSCPMessage read(block, ZVCP_PROTOCOL_VERSION);
    free(block);
    CSCPMessage copy(&built);
    CSCPMessage cleared(&built);
    cleared.DeleteAllVariables();
    for (CSCPMessage *msg : {&built, &read, &copy, &cleared}) {
      DWORD from = msg == &cleared ? 0 : first;
      for (DWORD id = from + 1; id <= 70; id++) msg->SetVariable(id, id * 3);
      msg->SetVariable(first > 0 ? first : 1, "replaced");
      EXPECT_EQ(70u, CountOf(*msg)) << first;
      for (DWORD id = 1; id <= 70; id++) {
        if (id == (first > 0 ? first : 1)) continue;
        ASSERT_EQ(id * 3, msg->GetVariableLong(id)) << first << " " << id;
      }
      EXPECT_EQ("replaced", Str(*msg, first > 0 ? first : 1));
    }
  }
}

TEST(ByteSwap, DoubleAndWideString) {
  // The 8 bytes in memory reversed, whatever the host's order.
  const struct {
    const char *in, *out;
  } doubles[] = {
      {"3ff8000000000000", "000000000000f83f"},  // 1.5 in network order
      {"000000000000f83f", "3ff8000000000000"},  // 1.5 on a little-endian host
      {"0102030405060708", "0807060504030201"},
      {"c00921fb54442d18", "182d4454fb2109c0"},  // -pi
  };
  for (const auto &d : doubles) {
    double value;
    memcpy(&value, FromHex(d.in).data(), 8);
    double swapped = __bswap_double(value);
    EXPECT_EQ(d.out, ToHex(&swapped, 8));
    double back = __bswap_double(swapped);
    EXPECT_EQ(d.in, ToHex(&back, 8));
  }

  // Network order up to the zero unit; what follows it is untouched.
  WORD text[] = {0x0041, 0xD83D, 0x1234, 0, 0x5678};
  __bswap_wstr(text);
  EXPECT_EQ("0041d83d12340000", ToHex(text, 8));
  EXPECT_EQ(0x5678, text[4]);
  __bswap_wstr(nullptr);
}
