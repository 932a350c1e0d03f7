// Every comparison without regard to case folds ASCII letters alone, whatever
// the program's locale. In the Turkish locale the C library's comparisons tell
// "I" from "i" (their pairs there are dotless i and dotted I), so each case
// below names its text with the other letter case of an "i".
#include <zavrin.h>

#include <gtest/gtest.h>
#include <locale.h>
#include <string.h>

#include <functional>
#include <string>

#include "test_support.h"

using zavrin_test::TempFile;

namespace {

// A configuration file with a keyword and a section name written in another case.
bool ConfigMatches() {
  TempFile file("*Agent_Id\nPid = 5\n");
  int32_t pid = 0;
  CONFIG_TEMPLATE entries[] = {{"PID", CFG_LONG, 0, 0, 0, &pid}, {"", CFG_END, 0, 0, 0, nullptr}};
  return ZvLoadConfig(file.path().c_str(), "AGENT_ID", entries, FALSE) == 0 && pid == 5;
}

bool XmlMatches() {
  CSCPMessage msg(
      "<zvcp version=\"2\"><message code=\"1\" ID=\"7\">"
      "<variable ID=\"3\" type=\"INT32\"><value>9</value></variable></message></zvcp>");
  return msg.GetId() == 7 && msg.GetVariableLong(3) == 9;
}

}  // namespace

TEST(AsciiCase, FoldsOnlyAsciiLettersInTheTurkishLocale) {
  if (setlocale(LC_ALL, "tr_TR.UTF-8") == nullptr)
    GTEST_SKIP() << "no locale tr_TR.UTF-8 for this C library (.ci/install-deps generates it"
                    " for the host's; under qemu-user the host's locale files do not serve)";
  char value[8] = "";
  StringMap map;
  map.Set("id", "1");
  map.Set("\xC3\xA9", "e-acute");  // é and É are not ASCII letters: two keys
  map.Set("\xC3\x89", "E-acute");
  struct {
    const char *what;
    std::function<bool()> holds;
  } cases[] = {
      {"named option",
       [&] { return ExtractNamedOptionValue("pid=5", "PID", value, sizeof(value)) == 1; }},
      {"named integer option",
       [] { return ExtractNamedOptionValueAsInt("limit=7", "LIMIT", 0) == 7; }},
      {"configuration keyword and section", ConfigMatches},
      {"StringMap key", [&] { return map.Get("ID") != nullptr; }},
      {"StringMap keeps non-ASCII letters apart", [&] { return map.Size() == 3; }},
      {"data type name", [] { return ZvDCIDataTypeFromText("int") == 0; }},
      {"XML attribute and type names", XmlMatches},
      {"wildcard match without case", [] { return MatchString("PID*", "pid=5", FALSE) == TRUE; }},
  };
  for (const auto &c : cases) EXPECT_TRUE(c.holds()) << c.what;
  setlocale(LC_ALL, "C");
}
