#include <zavrin.h>

#include <gtest/gtest.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

TEST(ZvGetParameterArg, ExtractsQuotedAndPlainArguments) {
  const char *disk = "Disk.Free(C:, \"x y\" , 'a,b')";
  struct {
    const char *param;
    int index;
    int size;
    int result;
    const char *arg;  // checked only with the result 1
  } cases[] = {
      {disk, 1, 256, 1, "C:"},
      {disk, 2, 256, 1, "x y"},
      {disk, 3, 256, 1, "a,b"},
      {disk, 4, 256, 1, ""},
      {disk, 0, 256, 1, ""},
      {disk, -1, 256, 1, ""},
      {"Name(a\"b,c\"d)", 1, 256, 1, "ab,cd"},
      {"Name( \" padded \" )", 1, 256, 1, "padded"},
      {"Name('a\"(b)')tail", 1, 256, 1, "a\"(b)"},
      {"Name(abc", 1, 256, 0, nullptr},
      {"Name(\"abc)", 1, 256, 0, nullptr},
      {"Name(a,b", 1, 256, 1, "a"},  // the wanted argument ended before the text did
      {"Name(a,b", 3, 256, 0, nullptr},
      {"Name", 1, 256, 1, ""},
      {"Name()", 1, 256, 1, ""},
      {"Name(abcdef)", 1, 4, 1, "abc"},
      {"Name(\"abcdef\")", 1, 1, 1, ""},
  };
  for (const auto &c : cases) {
    // Guard bytes behind the stated size must stay as they are.
    std::vector<char> buffer(static_cast<size_t>(c.size) + 16, '#');
    EXPECT_EQ(c.result, ZvGetParameterArg(c.param, c.index, buffer.data(), c.size))
        << c.param << " #" << c.index;
    if (c.result == 1) {
      EXPECT_STREQ(c.arg, buffer.data()) << c.param << " #" << c.index;
    }
    for (size_t i = static_cast<size_t>(c.size); i < buffer.size(); i++)
      ASSERT_EQ('#', buffer[i]) << c.param;
  }
}

TEST(ResultSetters, WriteWithinTheResultBuffer) {
  struct {
    void (*set)(char *);
    std::string text;
  } cases[] = {
      {[](char *b) { ret_int(b, -5); }, "-5"},
      {[](char *b) { ret_uint(b, 4294967295u); }, "4294967295"},
      {[](char *b) { ret_int64(b, INT64_MIN); }, "-9223372036854775808"},
      {[](char *b) { ret_uint64(b, UINT64_MAX); }, "18446744073709551615"},
      {[](char *b) { ret_double(b, 1.5); }, "1.500000"},
      {[](char *b) { ret_string(b, std::string(300, 's').c_str()); }, std::string(255, 's')},
      // "%f" of 1e300 has 308 characters: the first 255 stay.
      {[](char *b) { ret_double(b, 1e300); },
       "1000000000000000052504760255204420248704468581108159154915854115511802457988908195786"
       "3713750804478640437044438328838781769425232353604305756447921847867069828483872009265"
       "7580373783023379478809005936895323497079994508111903896764088007465274278014249457925"},
  };
  for (const auto &c : cases) {
    std::vector<char> buffer(ZV_RESULT_BUFFER_SIZE + 16, '#');
    c.set(buffer.data());
    EXPECT_EQ(c.text, buffer.data());
    for (size_t i = ZV_RESULT_BUFFER_SIZE; i < buffer.size(); i++) ASSERT_EQ('#', buffer[i]);
  }
}

TEST(ValuesList, KeepsStringsInOrder) {
  VALUES_LIST *list = static_cast<VALUES_LIST *>(calloc(1, sizeof(VALUES_LIST)));
  for (const char *s : {"one", "two", "three"}) ZvAddResultString(list, s);
  ASSERT_EQ(3u, list->count);
  EXPECT_STREQ("one", list->strings[0]);
  EXPECT_STREQ("two", list->strings[1]);
  EXPECT_STREQ("three", list->strings[2]);
  ZvDestroyValuesList(list);  // the leak check of the sanitizer builds tells the rest
  ZvDestroyValuesList(nullptr);
}

TEST(ZvDCIDataTypeFromText, KnowsTheSixNames) {
  struct {
    const char *name;
    int code;
  } cases[] = {{"INT", 0},   {"uint", 1}, {"Int64", 2},   {"uint64", 3}, {"STRING", 4},
               {"Float", 5}, {"", -1},    {"DOUBLE", -1}, {"INT ", -1}};
  for (const auto &c : cases) EXPECT_EQ(c.code, ZvDCIDataTypeFromText(c.name)) << c.name;
}

namespace {

std::vector<std::string> calls;

void LogWriter(int level, const char *text) {
  calls.push_back("log " + std::to_string(level) + " " + text + " " + std::to_string(strlen(text)));
}

const char *trapFormat;
void TrapSender(DWORD event, const char *format, va_list args) {
  trapFormat = format;
  int first = va_arg(args, int);
  const char *second = va_arg(args, const char *);
  calls.push_back("trap " + std::to_string(event) + " " + std::to_string(first) + " " + second);
}

void TrapSender2(DWORD event, int count, char **args) {
  calls.push_back("trap2 " + std::to_string(event) + " " + std::to_string(count) + " " + args[0] +
                  args[1]);
}

}  // namespace

TEST(SubAgentHooks, PassCallsOnOnlyWhileRegistered) {
  char a[] = "a", b[] = "b";
  char *args[] = {a, b};
  const char *format = "%d %s";
  calls.clear();
  ZvWriteAgentLog(3, "%s=%d", "x", 5);
  ZvSendTrap(1000, format, 1, "s");
  ZvSendTrap2(1000, 2, args);
  EXPECT_TRUE(calls.empty());

  InitSubAgentsLogger(LogWriter);
  InitSubAgentsTrapSender(TrapSender2, TrapSender);
  ZvWriteAgentLog(3, "%s=%d", "x", 5);
  ZvWriteAgentLog(1, "%s", std::string(5000, 'm').c_str());
  ZvSendTrap(1000, format, 7, "seven");
  ZvSendTrap2(1001, 2, args);
  EXPECT_EQ(format, trapFormat);

  InitSubAgentsLogger(nullptr);
  InitSubAgentsTrapSender(nullptr, nullptr);
  ZvWriteAgentLog(3, "after");
  ZvSendTrap(1000, format, 1, "s");
  ZvSendTrap2(1000, 2, args);
  EXPECT_EQ((std::vector<std::string>{"log 3 x=5 3", "log 1 " + std::string(4095, 'm') + " 4095",
                                      "trap 1000 7 seven", "trap2 1001 2 ab"}),
            calls);
}
