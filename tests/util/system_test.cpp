#include <zavrin.h>

#include <arpa/inet.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <math.h>
#include <netdb.h>
#include <sched.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"

using zavrin_test::TempFile;

TEST(GetSystemErrorText, TextOrFallback) {
  struct Case {
    DWORD code;
    size_t size;
    const char *expected;
  } cases[] = {
      {ENOENT, 256, "No such file or directory"},
      {EACCES, 256, "Permission denied"},
      {0, 256, "Success"},
      {ENOENT, 5, "No s"},
      {ENOENT, 1, ""},
      {255, 256, "MSG 0x000000FF - Unable to find message text"},
      {0xFFFFFFFF, 256, "MSG 0xFFFFFFFF - Unable to find message text"},
      {0x12345678, 45, "MSG 0x12345678 - Unable to find message text"},
      {255, 10, "MSG 0x000"},
  };
  for (const Case &c : cases) {
    std::vector<char> buffer(c.size + 8, '#');
    EXPECT_EQ(buffer.data(), GetSystemErrorText(c.code, buffer.data(), c.size));
    EXPECT_STREQ(c.expected, buffer.data()) << c.code << " in " << c.size;
    for (size_t k = c.size; k < buffer.size(); k++) ASSERT_EQ('#', buffer[k]) << c.code;
  }
}

TEST(LoadFile, WholeContents) {
  std::string big;
  for (size_t k = 0; k < 40000; k++) big += static_cast<char>(k * 7 + k / 256);
  const std::string contents[] = {"",
                                  "x",
                                  "hello\nworld\r\n",
                                  std::string("a\0b", 3),
                                  std::string(16384, 'c'),
                                  std::string(16385, 'd'),
                                  big};
  for (const std::string &content : contents) {
    TempFile file(content);
    DWORD size = 0xDEADBEEF;
    BYTE *block = LoadFile(file.path().c_str(), &size);
    ASSERT_NE(nullptr, block) << content.size();
    ASSERT_EQ(content.size(), size);
    EXPECT_EQ(0, memcmp(block, content.data(), size));
    free(block);
  }

  // Nothing to read: null, and a file that cannot be opened leaves the size alone.
  DWORD size = 7;
  EXPECT_EQ(nullptr, LoadFile("/nonexistent/zavrin-file", &size));
  EXPECT_EQ(7u, size);
}

TEST(LoadFile, FileShorterThanItsSize) {
  // A sysfs attribute claims a page and delivers a few bytes: the reading
  // ends there, with what was read.
  const char *path = "/sys/devices/system/cpu/online";
  struct stat st;
  if (stat(path, &st) != 0) GTEST_SKIP() << "no " << path;
  std::ifstream in(path, std::ios::binary);
  std::stringstream read;
  read << in.rdbuf();
  std::string expected = read.str();
  if (static_cast<size_t>(st.st_size) <= expected.size())
    GTEST_SKIP() << path << " is no shorter than its size here";
  DWORD size = 0;
  BYTE *block = LoadFile(path, &size);
  ASSERT_NE(nullptr, block);
  EXPECT_EQ(expected, std::string(reinterpret_cast<char *>(block), size));
  free(block);
}

// A directory opens on Linux and a FIFO's plain open waits for a writer. Every
// reader of a named file refuses a directory as a file that cannot be opened,
// and reads a FIFO that has no writer as empty instead of waiting for one.
TEST(FilesToRead, RefuseDirectoriesAndDoNotWaitOnFifos) {
  TempFile file;
  std::string dir = file.path().substr(0, file.path().rfind('/'));
  std::string fifo = dir + "/fifo";
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
  auto digest = [](BOOL (*function)(const char *, BYTE *), size_t size) {
    return [=](const char *path) {
      BYTE hash[20];
      memset(hash, 0x5A, sizeof(hash));
      BOOL ok = function(path, hash);
      return std::to_string(ok) + " " + zavrin_test::ToHex(hash, size);
    };
  };
  struct {
    const char *what;
    std::function<std::string(const char *)> outcome;
    std::string onDirectory, onFifo;
  } cases[] = {
      {"ZvLoadConfig",
       [](const char *path) {
         CONFIG_TEMPLATE end[] = {{"", CFG_END, 0, 0, 0, nullptr}};
         return std::to_string(ZvLoadConfig(path, "", end, TRUE));
       },
       "Unable to open configuration file (" + dir + "): " + strerror(EISDIR) + "\n1",
       "Configuration file OK\n0"},
      {"CalculateFileMD5Hash", digest(CalculateFileMD5Hash, 16),
       "0 5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a", "1 d41d8cd98f00b204e9800998ecf8427e"},
      {"CalculateFileSHA1Hash", digest(CalculateFileSHA1Hash, 20),
       "0 5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a", "1 da39a3ee5e6b4b0d3255bfef95601890afd80709"},
      {"CalculateFileCRC32",
       [](const char *path) {
         DWORD crc = 0xDEADBEEF;
         BOOL ok = CalculateFileCRC32(path, &crc);
         return std::to_string(ok) + " " + std::to_string(crc);
       },
       "0 3735928559", "1 0"},
      {"LoadFile",
       [](const char *path) {
         DWORD size = 7;
         BYTE *block = LoadFile(path, &size);
         free(block);
         return std::string(block != nullptr ? "block" : "null") + " " + std::to_string(size);
       },
       "null 7", "block 0"},
      {"SetVariableFromFile",
       [](const char *path) {
         CSCPMessage msg;
         BOOL ok = msg.SetVariableFromFile(1, path);
         return std::to_string(ok) + " " + std::to_string(msg.IsVariableExist(1));
       },
       "0 0", "1 1"},
  };
  for (const auto &c : cases) {
    for (bool onFifo : {false, true}) {
      const std::string &path = onFifo ? fifo : dir;
      const std::string &expected = onFifo ? c.onFifo : c.onDirectory;
      std::string output;
      int status = zavrin_test::RunInChildCapturing(
          [&] {
            alarm(10);  // a reader that waits for a writer ends here
            fputs(c.outcome(path.c_str()).c_str(), stdout);
            fflush(stdout);
          },
          &output);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << c.what << " on " << path;
      EXPECT_EQ(expected, output) << c.what << " on " << path;
    }
  }
}

TEST(ResolveHostName, AddressesAndNames) {
  struct Case {
    const char *name;
    DWORD expected;  // network order
  } cases[] = {
      {"10.1.2.3", htonl(0x0A010203)},
      {"127.0.0.1", htonl(0x7F000001)},
      {"localhost", htonl(0x7F000001)},
      {"0.0.0.0", 0},
      {"255.255.255.255", 0xFFFFFFFF},
      {"no-such-host.invalid", 0xFFFFFFFF},
      {"", 0xFFFFFFFF},
  };
  const size_t n = sizeof(cases) / sizeof(cases[0]);
  // In a network of its own, so that a name not in the hosts file asks no
  // server outside: the results come back through shared memory.
  // The last slot: "localhost" as the C library resolves it there. A bare root file
  // system without a hosts file (a fresh chroot) knows no such name.
  DWORD *results = static_cast<DWORD *>(mmap(
      nullptr, (n + 1) * sizeof(DWORD), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(MAP_FAILED, static_cast<void *>(results));
  int status = zavrin_test::RunInChild([&] {
    if (unshare(CLONE_NEWNET) != 0) _exit(2);
    for (size_t k = 0; k < n; k++) results[k] = ResolveHostName(cases[k].name);
    addrinfo hints = {}, *found = nullptr;
    hints.ai_family = AF_INET;
    results[n] = getaddrinfo("localhost", nullptr, &hints, &found) == 0
                     ? reinterpret_cast<sockaddr_in *>(found->ai_addr)->sin_addr.s_addr
                     : 0xFFFFFFFF;
    if (found != nullptr) freeaddrinfo(found);
  });
  if (WIFEXITED(status) && WEXITSTATUS(status) == 2) {
    munmap(results, (n + 1) * sizeof(DWORD));
    GTEST_SKIP() << "cannot make a network namespace (needs CAP_SYS_ADMIN)";
  }
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  for (Case &c : cases) {
    if (strcmp(c.name, "localhost") == 0 && results[n] != htonl(0x7F000001))
      c.expected = 0xFFFFFFFF;
  }
  for (size_t k = 0; k < n; k++) EXPECT_EQ(cases[k].expected, results[k]) << cases[k].name;
  munmap(results, (n + 1) * sizeof(DWORD));
}

TEST(GetOSVersionString, KernelMajorAndMinor) {
  struct utsname info;
  ASSERT_EQ(0, uname(&info));
  std::string release = info.release;
  size_t dot = release.find('.');
  std::string expected = "Linux " + std::to_string(atoi(release.c_str())) + "." +
                         std::to_string(atoi(release.c_str() + dot + 1));
  for (size_t size : {size_t{64}, expected.size() + 1, expected.size(), size_t{3}, size_t{1}}) {
    std::vector<char> buffer(size + 4, '#');
    GetOSVersionString(buffer.data(), size);
    EXPECT_EQ(expected.substr(0, size - 1), std::string(buffer.data())) << size;
    for (size_t k = strlen(buffer.data()); k < size; k++) EXPECT_EQ(0, buffer[k]) << size;
    for (size_t k = size; k < buffer.size(); k++) EXPECT_EQ('#', buffer[k]) << size;
  }
}

TEST(DynamicLibraries, OpenLookUpAndFail) {
  char error[255];
  memset(error, 0, sizeof(error));
  void *libm = DLOpen("libm.so.6", error);
  ASSERT_NE(nullptr, libm) << error;
  typedef double (*Cos)(double);
  Cos cosine = reinterpret_cast<Cos>(DLGetSymbolAddr(libm, "cos", error));
  ASSERT_NE(nullptr, cosine) << error;
  EXPECT_EQ(1.0, cosine(0.0));
  // A null module searches nothing (dlsym would search the whole process).
  EXPECT_EQ(nullptr, DLGetSymbolAddr(nullptr, "printf", error));
  EXPECT_STREQ(strerror(EINVAL), error);

  struct Case {
    const char *library;
    const char *symbol;  // looked up in libm when library is null
    bool withBuffer;
  } failures[] = {
      {"libzavrin-missing.so", nullptr, true},
      {"libzavrin-missing.so", nullptr, false},
      {nullptr, "zavrin_no_such_symbol", true},
      {nullptr, "zavrin_no_such_symbol", false},
  };
  for (const Case &c : failures) {
    char text[300];
    memset(text, '#', sizeof(text));
    char *buffer = c.withBuffer ? text : nullptr;
    void *result =
        c.library != nullptr ? DLOpen(c.library, buffer) : DLGetSymbolAddr(libm, c.symbol, buffer);
    EXPECT_EQ(nullptr, result);
    const char *name = c.library != nullptr ? c.library : c.symbol;
    if (c.withBuffer) {
      EXPECT_NE(nullptr, strstr(text, name)) << text;  // the loader names what it missed
      EXPECT_LT(strlen(text), 255u);
      for (size_t k = 255; k < sizeof(text); k++) EXPECT_EQ('#', text[k]);
    } else {
      EXPECT_EQ('#', text[0]);
    }
  }
  DLClose(libm);
  DLClose(nullptr);
}
