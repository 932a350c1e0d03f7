// String, Base64 and the XML writer and reader when memory runs out: allocations
// are made to fail in turn through a malloc of this executable that stands in front of
// glibc's. Sanitizer builds bring their own allocator, so the tests skip there.
#include <zavrin.h>

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <new>
#include <string>

#include "fail_alloc.h"

using zavrin_test::WithAllocations;

class OutOfMemory : public ::testing::Test {
 protected:
  void SetUp() override {
    if (ZAVRIN_TEST_SANITIZED) GTEST_SKIP() << "the sanitizer owns the allocator";
  }
};

TEST_F(OutOfMemory, StringKeepsItsText) {
  String s;
  s = "abc";
  char *sub = reinterpret_cast<char *>(1);
  WithAllocations(0, [&] {
    s += "def";
    s.AddString("x", 1);
    s.AddFormattedString("%d", 5);
    s.EscapeCharacter('b', '\\');
    s.Translate("b", "longer");
    s = "new";
    sub = s.SubStr(0, 2);
  });
  EXPECT_STREQ("abc", s);
  EXPECT_EQ(3u, s.Size());
  EXPECT_EQ(nullptr, sub);

  String empty;
  WithAllocations(0, [&] { empty += "x"; });
  EXPECT_STREQ("", empty);
  EXPECT_EQ(0u, empty.Size());
}

TEST_F(OutOfMemory, Base64AllocSignalsFailure) {
  // The encoder reports the size it needed with no block; the decoder reports
  // success with no block, so callers must test the pointer.
  char *out = reinterpret_cast<char *>(1);
  size_t needed = 99;
  WithAllocations(0, [&] { needed = base64_encode_alloc("abcd", 4, &out); });
  EXPECT_EQ(nullptr, out);
  EXPECT_EQ(9u, needed);

  out = reinterpret_cast<char *>(1);
  size_t outlen = 99;
  int rc = -1;
  WithAllocations(0, [&] { rc = base64_decode_alloc("YWJj", 4, &out, &outlen); });
  EXPECT_EQ(1, rc);
  EXPECT_EQ(nullptr, out);
  EXPECT_EQ(99u, outlen);
}

TEST_F(OutOfMemory, XmlWriterGivesAllOrNothing) {
  CSCPMessage message;
  message.SetCode(3);
  message.SetVariable(1, "text with <markup> & more");
  const BYTE bytes[] = {1, 2, 3, 4, 5, 6, 7};
  message.SetVariable(2, bytes, sizeof(bytes));
  message.SetVariable(3, static_cast<QWORD>(12345678901234ull));
  message.SetVariable(4, 2.5);
  char *full = message.CreateXML();
  ASSERT_NE(nullptr, full);

  bool completed = false;
  for (int allowed = 0; allowed < 200 && !completed; allowed++) {
    char *xml = nullptr;
    WithAllocations(allowed, [&] { xml = message.CreateXML(); });
    if (xml != nullptr) {
      EXPECT_STREQ(full, xml) << allowed;
      completed = true;
    }
    free(xml);
  }
  EXPECT_TRUE(completed);
  free(full);
}

TEST_F(OutOfMemory, XmlReaderKeepsOnlyWholeValues) {
  const std::string text(3000, 'q');
  std::string doc =
      "<zvcp version=\"2\"><message code=\"3\" id=\"9\">"
      "<variable id=\"1\" type=\"string\"><value>" +
      text +
      "</value></variable>"
      "<variable id=\"2\" type=\"binary\"><value>AQIDBAUGBw==</value></variable>"
      "<variable id=\"3\" type=\"int32\"><value>77</value></variable>"
      "</message></zvcp>";
  bool completed = false;
  for (int allowed = 0; allowed < 400 && !completed; allowed++) {
    // Built in place: operator new would throw once malloc fails.
    alignas(CSCPMessage) unsigned char storage[sizeof(CSCPMessage)];
    CSCPMessage *message = nullptr;
    WithAllocations(allowed, [&] { message = new (storage) CSCPMessage(doc.c_str()); });
    if (message->IsVariableExist(1)) {
      char *value = message->GetVariableStr(1);
      EXPECT_EQ(text, value) << allowed;
      free(value);
    }
    if (message->IsVariableExist(2)) {
      EXPECT_EQ(7u, message->GetVariableBinary(2, nullptr, 0)) << allowed;
    }
    if (message->IsVariableExist(3)) {
      EXPECT_EQ(77u, message->GetVariableLong(3)) << allowed;
      completed = message->IsVariableExist(1) && message->IsVariableExist(2);
    }
    message->~CSCPMessage();
  }
  EXPECT_TRUE(completed);
}
