// The message code when memory runs out: every allocation that can fail is made
// to fail in turn, through a malloc of this executable that stands in front of
// glibc's. Sanitizer builds bring their own allocator, so the tests skip there.
#include <zavrin.h>

#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "fail_alloc.h"
#include "test_support.h"

using zavrin_test::WithAllocations;

namespace {

class OutOfMemory : public testing::Test {
 protected:
  void SetUp() override {
    if (ZAVRIN_TEST_SANITIZED) GTEST_SKIP() << "the sanitizer's allocator cannot be limited here";
  }
};

DWORD CountOf(const CSCPMessage &msg) {
  CSCP_MESSAGE *block = msg.CreateMessage();
  DWORD count = ntohl(block->numVariables);
  free(block);
  return count;
}

}  // namespace

TEST_F(OutOfMemory, ReaderKeepsWhatItCouldStore) {
  // int32 1 = 1, int16 2 = 2, string 3 = "ab": one allocation for the array, then
  // one per variable.
  std::vector<unsigned char> wire = zavrin_test::FromHex(
      "0000 0000 00000038 00000000 00000003"
      "00000001 00 00 0000 00000001 00000000 00000002 03 00 0002"
      "00000003 01 00 0000 00000004 0061 0062 00000000");
  for (int allowed = 0; allowed <= 4; allowed++) {
    CSCPMessage *msg = nullptr;
    WithAllocations(allowed, [&] {
      msg = new (std::nothrow) CSCPMessage(reinterpret_cast<CSCP_MESSAGE *>(wire.data()), 2);
    });
    if (msg == nullptr) continue;  // the object itself could not be allocated
    // operator new took one allocation; the reader had allowed - 1.
    DWORD expected = allowed < 3 ? 0 : static_cast<DWORD>(allowed - 2);
    EXPECT_EQ(expected, CountOf(*msg)) << allowed;
    EXPECT_EQ(expected >= 1 ? 1u : 0u, msg->GetVariableLong(1));
    EXPECT_EQ(expected >= 2 ? 2 : 0, msg->GetVariableShort(2));
    delete msg;
  }
}

TEST_F(OutOfMemory, ReaderSizesNothingFromNumVariables) {
  // numVariables far above what a 16- or 24-byte message can hold: no request,
  // not even one that fails or is given back, may follow the claimed count.
  for (const char *count : {"00000400", "00100000", "FFFFFFFF"}) {
    for (const char *body : {"", "00000001 03 00 0002"}) {
      std::string hex =
          std::string("0000 0000 000000") + (*body ? "18" : "10") + " 00000000 " + count + body;
      std::vector<unsigned char> wire = zavrin_test::FromHex(hex);
      zavrin_test::largestRequest = 0;
      CSCPMessage msg(reinterpret_cast<CSCP_MESSAGE *>(wire.data()), 2);
      EXPECT_LT(zavrin_test::largestRequest.load(), 64u) << hex;
      EXPECT_EQ(*body ? 2 : 0, msg.GetVariableShort(1)) << hex;
    }
  }
}

TEST_F(OutOfMemory, SettersStoreNothingAndKeepTheOldValue) {
  CSCPMessage msg;
  msg.SetVariable(1, static_cast<DWORD>(5));
  const BYTE data[] = {1, 2, 3};
  const DWORD values[] = {7, 8};
  WithAllocations(0, [&] {
    msg.SetVariable(1, "replacement");
    msg.SetVariable(1, data, 3);
    msg.SetVariableToInt32Array(1, 2, values);
    msg.SetVariable(2, static_cast<QWORD>(9));
  });
  EXPECT_EQ(5u, msg.GetVariableLong(1));
  EXPECT_FALSE(msg.IsVariableExist(2));
  // The record could be built but the array not grown: from empty, and when
  // the grown array is full again.
  CSCPMessage empty;
  WithAllocations(1, [&] { empty.SetVariable(3, "new"); });
  EXPECT_FALSE(empty.IsVariableExist(3));
  EXPECT_EQ(0u, CountOf(empty));
  for (DWORD id = 2; id <= 8; id++) msg.SetVariable(id, id);
  WithAllocations(1, [&] { msg.SetVariable(9, "new"); });
  EXPECT_FALSE(msg.IsVariableExist(9));
  EXPECT_EQ(8u, CountOf(msg));
  msg.SetVariable(9, static_cast<DWORD>(9));
  EXPECT_EQ(9u, msg.GetVariableLong(9));
  EXPECT_EQ(8u, msg.GetVariableLong(8));
}

TEST_F(OutOfMemory, WriterAndCopiesReportIt) {
  CSCPMessage msg;
  for (DWORD id = 1; id <= 3; id++) msg.SetVariable(id, id);
  msg.SetVariable(4, "text");
  CSCP_MESSAGE *block = reinterpret_cast<CSCP_MESSAGE *>(1);
  char *text = reinterpret_cast<char *>(1);
  WithAllocations(0, [&] {
    block = msg.CreateMessage();
    text = msg.GetVariableStr(4);
  });
  EXPECT_EQ(nullptr, block);
  EXPECT_EQ(nullptr, text);

  for (int allowed = 0; allowed <= 5; allowed++) {
    CSCPMessage *copy = nullptr;
    WithAllocations(allowed + 1, [&] { copy = new (std::nothrow) CSCPMessage(&msg); });
    ASSERT_NE(nullptr, copy);
    // The array, then one duplicate per variable: the copy is a leading part.
    DWORD expected = allowed < 1 ? 0 : static_cast<DWORD>(allowed - 1 < 4 ? allowed - 1 : 4);
    EXPECT_EQ(expected, CountOf(*copy)) << allowed;
    for (DWORD id = 1; id <= expected && id <= 3; id++) EXPECT_EQ(id, copy->GetVariableLong(id));
    delete copy;
  }
}

TEST_F(OutOfMemory, SetVariableFromFileFailsCleanly) {
  zavrin_test::TempFile file("0123456789");
  for (int allowed = 0; allowed <= 6; allowed++) {
    CSCPMessage msg;
    BOOL result = TRUE;
    WithAllocations(allowed, [&] { result = msg.SetVariableFromFile(1, file.path().c_str()); });
    BYTE data[10];
    if (result) {
      ASSERT_EQ(10u, msg.GetVariableBinary(1, data, sizeof(data))) << allowed;
      EXPECT_EQ(0, memcmp(data, "0123456789", 10));
    }
  }
}
