#include <zavrin.h>

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "test_support.h"

using zavrin_test::TempFile;

#if !ZAVRIN_TEST_SANITIZED
// What glibc's malloc_usable_size may say about a block of another allocator
// (a program that replaces malloc, realloc and free): a size read from a header
// that is not there, here far more than the block holds.
extern "C" size_t malloc_usable_size(void *block) {
  return block != nullptr ? 1 << 20 : 0;
}
#endif

namespace {

// A template with an entry of every type, its targets, and a one-line summary
// of what they hold after loading.
struct Targets {
  int32_t port = -1;
  char name[8] = "init";
  char *servers = nullptr;
  DWORD flags = 0x05;
  WORD word = 7;
  CONFIG_TEMPLATE entries[7] = {
      {"Port", CFG_LONG, 0, 0, 0, &port},
      {"Name", CFG_STRING, 0, sizeof(name), 0, name},
      {"Server", CFG_STRING_LIST, ';', 0, 0, &servers},
      {"Enabled", CFG_FLAG, 0, 0x03, 0, &flags},
      {"Word", CFG_WORD, 0, 0, 0, &word},
      {"Ignored", 6, 0, 0, 0, nullptr},
      {"Never", CFG_END, 0, 0, 0, nullptr},
  };
  ~Targets() { free(servers); }

  std::string Summary() const {
    std::string list = servers != nullptr ? servers : "(null)";
    return "P=" + std::to_string(port) + " N=" + name + " L=" + list +
           " F=" + std::to_string(flags) + " W=" + std::to_string(word);
  }
};

struct Outcome {
  DWORD result;
  std::string summary;
  std::string printed;
};

// Loads the file twice, printing and silent: both must store the same.
Outcome Load(const std::string &path, const char *section) {
  Targets silent;
  DWORD silentResult = ZvLoadConfig(path.c_str(), section, silent.entries, FALSE);
  Targets printing;
  testing::internal::CaptureStdout();
  DWORD result = ZvLoadConfig(path.c_str(), section, printing.entries, TRUE);
  std::string printed = testing::internal::GetCapturedStdout();
  EXPECT_EQ(result, silentResult);
  EXPECT_EQ(printing.Summary(), silent.Summary());
  return {result, printing.Summary(), printed};
}

const char kDefaults[] = "P=-1 N=init L=(null) F=5 W=7";
const char kOk[] = "Configuration file OK\n";

}  // namespace

TEST(ZvLoadConfig, StoresTheSectionRead) {
  struct {
    const char *content;
    const char *section;
    DWORD result;
    const char *summary;
    const char *printed;
  } cases[] = {
      {"# only a comment\n\n \t \n", "", 0, kDefaults, kOk},
      {"Port = 4700\n*Other\nPort = 1\n", "", 0, "P=4700 N=init L=(null) F=5 W=7", kOk},
      {"Port=1\n*agent\nPort=2\n*Other\nPort=3\n", "Agent", 0, "P=2 N=init L=(null) F=5 W=7", kOk},
      // A lone '*' leads back to the unnamed section; "* S" is named " S".
      {"Port=1\n*S\nPort=2\n*\nPort=3\n* S\nPort=4\n", "", 0, "P=3 N=init L=(null) F=5 W=7", kOk},
      {"Port=1\n*S\nPort=2\n*\nPort=3\n* S\nPort=4\n", "S", 0, "P=2 N=init L=(null) F=5 W=7", kOk},
      {"port=0x10\nWORD=010\n", "", 0, "P=16 N=init L=(null) F=5 W=8", kOk},
      {"Port=\nWord=\n", "", 0, "P=0 N=init L=(null) F=5 W=0", kOk},
      {"Port=99999999999\nWord=70000\n", "", 0, "P=2147483647 N=init L=(null) F=5 W=4464", kOk},
      {"Port=-99999999999\nWord=-1\n", "", 0, "P=-2147483648 N=init L=(null) F=5 W=65535", kOk},
      {"Name = some value # comment\n", "", 0, "P=-1 N=some va L=(null) F=5 W=7", kOk},
      {"Name = a=b\n", "", 0, "P=-1 N=a=b L=(null) F=5 W=7", kOk},
      {"Enabled = ON\n", "", 0, "P=-1 N=init L=(null) F=7 W=7", kOk},
      {"Enabled = off\n", "", 0, "P=-1 N=init L=(null) F=4 W=7", kOk},
      {"Enabled =\n", "", 0, "P=-1 N=init L=(null) F=4 W=7", kOk},
      {"enabled=1\nEnabled=TRUE\nEnabled=Yes\n", "", 0, "P=-1 N=init L=(null) F=7 W=7", kOk},
      {"Server = x\nServer = y\nServer = z\n", "", 0, "P=-1 N=init L=x;y;z; F=5 W=7", kOk},
      {"Server=\nServer=a b\n", "", 0, "P=-1 N=init L=;a b; F=5 W=7", kOk},
      // A keyword repeated across sections counts where its section is read.
      {"*A\nServer=a\n*B\nServer=b\n*a\nServer=c\n", "a", 0, "P=-1 N=init L=a;c; F=5 W=7", kOk},
      {"Ignored = anything\n", "", 0, kDefaults, kOk},
      // Lines of other sections are not checked.
      {"*Other\nJust a word\nBogus=1\nPort=x\n", "", 0, kDefaults, kOk},
  };
  for (const auto &c : cases) {
    TempFile file(c.content);
    Outcome outcome = Load(file.path(), c.section);
    EXPECT_EQ(c.result, outcome.result) << c.content;
    EXPECT_EQ(c.summary, outcome.summary) << c.content;
    EXPECT_EQ(c.printed, outcome.printed) << c.content;
  }
}

TEST(ZvLoadConfig, CountsAndPrintsBadLines) {
  struct {
    const char *content;
    const char *summary;
    const char *printed;
  } cases[] = {
      {"Just a word\n", kDefaults, "Syntax error in configuration file at line 1\n"},
      {"\n  Bogus  = 1\n", kDefaults, "Invalid keyword Bogus in configuration file at line 2\n"},
      {"port=12ab\n", "P=12 N=init L=(null) F=5 W=7",
       "Invalid number '12ab' in configuration file at line 1\n"},
      {"Port=-\nWord=0x\n", "P=0 N=init L=(null) F=5 W=0",
       "Invalid number '-' in configuration file at line 1\n"
       "Invalid number '0x' in configuration file at line 2\n"},
      // Every good line is still stored, before and after the bad ones.
      {"Port=1\nbad\nName=n\n", "P=1 N=n L=(null) F=5 W=7",
       "Syntax error in configuration file at line 2\n"},
  };
  for (const auto &c : cases) {
    TempFile file(c.content);
    Outcome outcome = Load(file.path(), "");
    EXPECT_EQ(2u, outcome.result) << c.content;
    EXPECT_EQ(c.summary, outcome.summary) << c.content;
    EXPECT_EQ(c.printed, outcome.printed) << c.content;
  }
}

TEST(ZvLoadConfig, ReadsOddFiles) {
  const std::string a4087(4087, 'a');
  const std::string longComment =
      "#" + std::string(50000, 'x') + "Port=9" + std::string(49993, 'y');
  struct {
    std::string content;
    DWORD result;
    std::string summary;
    std::string printed;
  } cases[] = {
      {"Port=5", 0, "P=5 N=init L=(null) F=5 W=7", kOk},
      {"Port=5\r\nName=ab\r\n\r\nbad\r\n", 2, "P=5 N=ab L=(null) F=5 W=7",
       "Syntax error in configuration file at line 4\n"},
      // Only CR LF ends a line: a lone CR stays in it.
      {"Port=5\rName=ab\n", 2, "P=5 N=init L=(null) F=5 W=7",
       "Invalid number '5\rName=ab' in configuration file at line 1\n"},
      {"Name=ab\r", 0, "P=-1 N=ab\r L=(null) F=5 W=7", kOk},
      // A line ends for the loader at a zero byte; the next line is read as usual.
      {std::string("Name=ab\0Port=1\nPort=3\n", 22), 0, "P=3 N=ab L=(null) F=5 W=7", kOk},
      {std::string("\0\nPort=3", 8), 0, "P=3 N=init L=(null) F=5 W=7", kOk},
      // Lines of 4094, 4095 and 100000 characters: the first 4094 are read, the
      // rest of a longer line is skipped and makes it a syntax error (not in a
      // comment, nor in a section not read), and line numbers stay the file's.
      {"Server=" + a4087 + "\nbad\n", 2, "P=-1 N=init L=" + a4087 + "; F=5 W=7",
       "Syntax error in configuration file at line 2\n"},
      {"Server=" + a4087 + "b\nbad\n", 2, "P=-1 N=init L=" + a4087 + "; F=5 W=7",
       "Syntax error in configuration file at line 1\n"
       "Syntax error in configuration file at line 2\n"},
      {longComment + "\nbad\n", 2, kDefaults, "Syntax error in configuration file at line 2\n"},
      {"Server=" + a4087 + std::string(95906, 'c') + "\r\nPort=2", 2,
       "P=2 N=init L=" + a4087 + "; F=5 W=7", "Syntax error in configuration file at line 1\n"},
      {"*Other\nServer=" + a4087 + "b\n*\nPort=2", 0, "P=2 N=init L=(null) F=5 W=7", kOk},
  };
  for (const auto &c : cases) {
    TempFile file(c.content);
    Outcome outcome = Load(file.path(), "");
    EXPECT_EQ(c.result, outcome.result) << c.content.substr(0, 40);
    EXPECT_EQ(c.summary, outcome.summary) << c.content.substr(0, 40);
    EXPECT_EQ(c.printed, outcome.printed) << c.content.substr(0, 40);
  }
}

TEST(ZvLoadConfig, ReportsFilesThatCannotBeRead) {
  TempFile dir("");
  std::string missing = dir.path() + ".missing";
  Outcome outcome = Load(missing, "");
  EXPECT_EQ(1u, outcome.result);
  EXPECT_EQ(kDefaults, outcome.summary);
  EXPECT_EQ("Unable to open configuration file (" + missing + "): " + strerror(ENOENT) + "\n",
            outcome.printed);
}

TEST(ZvLoadConfig, ListGoesOnAcrossCallsAndStopsWhereItCannotGrow) {
  TempFile file("Server = x\nServer = y\nServer = z\n");
  Targets targets;
  CONFIG_TEMPLATE &list = targets.entries[2];
  EXPECT_EQ(0u, ZvLoadConfig(file.path().c_str(), "", targets.entries, FALSE));
  EXPECT_STREQ("x;y;z;", targets.servers);
  EXPECT_EQ(6u, list.used);
  EXPECT_EQ(1024u, list.size);
  EXPECT_EQ(0u, ZvLoadConfig(file.path().c_str(), "", targets.entries, FALSE));
  EXPECT_STREQ("x;y;z;x;y;z;", targets.servers);
  EXPECT_EQ(12u, list.used);
  EXPECT_EQ(1024u, list.size);

  // A list whose stated size cannot grow within 32 bits keeps what it has,
  // and each value it cannot take counts as an error.
  list.size = 0xFFFFFC00u;
  list.used = 0xFFFFFBFFu;
  EXPECT_EQ(2u, ZvLoadConfig(file.path().c_str(), "", targets.entries, FALSE));
  EXPECT_STREQ("x;y;z;x;y;z;", targets.servers);
  EXPECT_EQ(0xFFFFFBFFu, list.used);
  EXPECT_EQ(0xFFFFFC00u, list.size);
}

TEST(ZvLoadConfig, ListBlockHoldsTheSizeItStates) {
  if (ZAVRIN_TEST_SANITIZED) GTEST_SKIP() << "the sanitizer's allocator answers for its blocks";
  using UsableSize = size_t (*)(void *);
  auto glibcUsableSize = reinterpret_cast<UsableSize>(dlsym(RTLD_NEXT, "malloc_usable_size"));
  ASSERT_NE(nullptr, glibcUsableSize);
  std::string content;
  for (int i = 0; i < 3000; i++) content += "Server = x\n";
  TempFile file(content);
  Targets targets;
  EXPECT_EQ(0u, ZvLoadConfig(file.path().c_str(), "", targets.entries, FALSE));
  EXPECT_EQ(6000u, targets.entries[2].used);
  EXPECT_GE(glibcUsableSize(targets.servers), targets.entries[2].size);
}

TEST(ZvLoadConfig, ReadsA10MegabyteListWhole) {
  // The expected list is built beside the file, value by value.
  std::string content;
  std::string expected;
  for (int i = 0; content.size() < 10 * 1024 * 1024; i++) {
    std::string value = "host-" + std::to_string(i) + std::string(i % 97, 'v');
    content += "Server = " + value + "\n";
    expected += value + ";";
  }
  TempFile file(content);
  Targets targets;
  EXPECT_EQ(0u, ZvLoadConfig(file.path().c_str(), "", targets.entries, FALSE));
  ASSERT_NE(nullptr, targets.servers);
  EXPECT_TRUE(expected == targets.servers);
  const CONFIG_TEMPLATE &list = targets.entries[2];
  EXPECT_EQ(expected.size(), list.used);
  // The stated size grows by 1024 at a time: never more than that ahead.
  EXPECT_GT(list.size, list.used);
  EXPECT_LE(list.size, list.used + 1024 + 2);
}
