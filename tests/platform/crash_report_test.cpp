#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zavrin.h>

#include <atomic>
#include <chrono>
#include <sstream>
#include <thread>
#include <string>
#include <vector>

#include "platform/crash_guard.h"
#include "test_support.h"

#if ZAVRIN_TEST_TSAN
// The thread sanitizer waits a second at every exit of a process with
// threads; the crash tests measure the time from a crash to the exit.
extern "C" const char *__tsan_default_options() {
  return "atexit_sleep_ms=0";
}
#endif

namespace {

TEST(CrashReport, ExceptionNames) {
  const struct {
    DWORD code;
    const char *name;
  } table[] = {
      {0xC0000005, "Access violation"},
      {0xC000008C, "Array bounds exceeded"},
      {0x80000003, "Breakpoint"},
      {0x80000002, "Alignment error"},
      {0xC000008D, "FLT_DENORMAL_OPERAND"},
      {0xC000008E, "FLT_DIVIDE_BY_ZERO"},
      {0xC000008F, "FLT_INEXACT_RESULT"},
      {0xC0000090, "FLT_INVALID_OPERATION"},
      {0xC0000091, "Floating point overflow"},
      {0xC0000092, "FLT_STACK_CHECK"},
      {0xC0000093, "Floating point underflow"},
      {0xC000001D, "Illegal instruction"},
      {0xC0000006, "Page error"},
      {0xC0000094, "Divide by zero"},
      {0xC0000095, "Integer overflow"},
      {0xC0000026, "Invalid disposition"},
      {0xC0000025, "Non-continuable exception"},
      {0xC0000096, "Priveledged instruction"},
      {0x80000004, "Single step"},
      {0xC00000FD, "Stack overflow"},
      {0, "Unknown"},
      {0xC0000001, "Unknown"},
      {0xFFFFFFFF, "Unknown"},
  };
  for (const auto &row : table) {
    EXPECT_STREQ(row.name, SEHExceptionName(row.code)) << std::hex << row.code;
  }
}

// Where the registered output writer puts the text it is given.
int writerFd = -1;

void WriteToFile(const char *text) {
  if (write(writerFd, text, strlen(text)) < 0) _exit(3);
}

std::vector<std::string> Lines(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string ReadFile(const std::string &path) {
  std::string content;
  int fd = open(path.c_str(), O_RDONLY);
  char buffer[4096];
  ssize_t n;
  while (fd >= 0 && (n = read(fd, buffer, sizeof(buffer))) > 0) content.append(buffer, n);
  if (fd >= 0) close(fd);
  return content;
}

// Checks the call-stack part: lines indented by two spaces, each naming a
// module and a function and each ended in its own line end, one of them the
// crashing function of the test with its source file.
void ExpectCallStack(const std::string &stack, const char *function, const char *source) {
  std::vector<std::string> lines = Lines(stack);
  ASSERT_FALSE(lines.empty());
  bool named = false;
  for (const std::string &line : lines) {
    EXPECT_EQ(0u, line.find("  [")) << line;
    EXPECT_NE(std::string::npos, line.find("]: ")) << line;
    EXPECT_EQ(std::string::npos, line.find("  [", 1)) << line;
    EXPECT_LE(line.size(), 2u + 1023u) << line;
    if (line.find(function) != std::string::npos && line.find(source) != std::string::npos)
      named = true;
  }
  EXPECT_TRUE(named) << "no frame of " << function << " with its source line in\n" << stack;
}

// ---- Crash kinds, each run in a guarded thread of a child ----

// Another thread holds the allocator's lock for good: it prints the
// allocator's statistics, which takes the lock and then writes to standard
// error, here a pipe that is full and never read.
DWORD CrashWhileAllocatorLocked(void *) {
  int full[2];
  if (pipe(full) != 0) return 0;
  fcntl(full[1], F_SETFL, O_NONBLOCK);
  char block[4096] = {};
  while (write(full[1], block, sizeof(block)) > 0) {
  }
  fcntl(full[1], F_SETFL, 0);
  dup2(full[1], STDERR_FILENO);
  static std::atomic<bool> locking{false};
  std::thread([] {
    locking = true;
    malloc_stats();
  }).detach();
  while (!locking) {
  }
  usleep(100 * 1000);
  return zavrin_test::CrashWritingNull(nullptr);
}

// Two guarded threads crash at the same moment.
DWORD CrashTogether(void *) {
  static std::atomic<int> ready{0};
  DWORD(*both)
  (void *) = [](void *) -> DWORD {
    ready++;
    while (ready < 2) {
    }
    return zavrin_test::CrashWritingNull(nullptr);
  };
  static THREAD_START_RECORD other = {both, nullptr};
  std::thread(SEHThreadStarter, &other).detach();
  return both(nullptr);
}

// A crash in a module that was loaded after the handler was registered.
DWORD CrashInModule(void *) {
  void *module = dlopen(ZAVRIN_TEST_CRASH_MODULE, RTLD_NOW);
  if (module == nullptr) return 0;
  auto crash = reinterpret_cast<DWORD (*)(void *)>(dlsym(module, "CrashInLoadedModule"));
  return crash != nullptr ? crash(nullptr) : 0;
}

struct Crash {
  const char *what;
  DWORD (*routine)(void *);
  const char *header;             // the header line up to the address
  const char *function;           // a function on the call stack
  const char *source;             // its source file
  const char *notUnderSanitizer;  // why the kind is left out under a sanitizer, if it is
};

const char kAccessViolation[] = "EXCEPTION: C0000005 (Access violation) at 0x";
const char kOwnAllocator[] =
    "the sanitizer's allocator replaces the one this kind damages or locks";

const Crash kCrashes[] = {
    {"null write", zavrin_test::CrashWritingNull, kAccessViolation, "CrashWritingNull(void*)",
     "test_support.cpp:", nullptr},
    {"division by zero", zavrin_test::CrashDividingByZero,
     "EXCEPTION: C0000094 (Divide by zero) at 0x", "CrashDividingByZero(void*)",
     "test_support.cpp:", nullptr},
    {"heap corruption", zavrin_test::CrashInAllocator, kAccessViolation, "CrashInAllocator(void*)",
     "test_support.cpp:", kOwnAllocator},
    {"allocator locked", CrashWhileAllocatorLocked, kAccessViolation, "CrashWritingNull(void*)",
     "test_support.cpp:", kOwnAllocator},
    {"two at once", CrashTogether, kAccessViolation, "CrashWritingNull(void*)",
     "test_support.cpp:", nullptr},
    {"stack overflow", zavrin_test::CrashOverflowingStack,
     "EXCEPTION: C00000FD (Stack overflow) at 0x", "CrashRecursing(int)",
     "test_support.cpp:", nullptr},
    {"module loaded later", CrashInModule, kAccessViolation, "CrashInLoadedModule",
     "crash_module.cpp:", nullptr},
    {"long name", zavrin_test::CrashWithLongName, kAccessViolation,
     "CrashNamedByTag<zavrin_test::(anonymous namespace)::TagWithARatherLongNameForTheTest<",
     "test_support.cpp:", nullptr},
};

// How the child reports.
struct ReportSetup {
  CRASH_OUTPUT_WRITER writer = nullptr;
  const std::string *writerPath = nullptr;        // where WriteToFile writes
  const char *helper = ZAVRIN_TEST_CRASH_HELPER;  // the crash helper to use
};

// Runs routine in a guarded thread of a child with the console handler
// registered; the child's standard output, its status and the time from the
// crash to its end.
int RunReport(DWORD (*routine)(void *), const ReportSetup &setup, std::string *output,
              double *seconds = nullptr) {
  // The child notes the moment it crashes; the time to its exit is measured
  // from there.
  int crashTime[2];
  if (pipe(crashTime) != 0) return -1;
  int status = zavrin_test::RunInChildCapturing(
      [&] {
        struct rlimit none = {0, 0};
        setrlimit(RLIMIT_CORE, &none);
        prctl(PR_SET_DUMPABLE, 0);
        mallopt(M_ARENA_MAX, 1);  // one allocator lock for all threads
        if (setup.writerPath != nullptr)
          writerFd = open(setup.writerPath->c_str(), O_WRONLY | O_TRUNC);
        zavrin::UseCrashHelper(setup.helper);
        SetExceptionHandler(SEHDefaultConsoleHandler, setup.writer);
        int64_t now = std::chrono::steady_clock::now().time_since_epoch().count();
        if (write(crashTime[1], &now, sizeof(now)) != sizeof(now)) _exit(3);
        zavrin_test::RunGuarded(routine);
      },
      output);
  int64_t ended = std::chrono::steady_clock::now().time_since_epoch().count(), crashed = ended;
  close(crashTime[1]);
  if (read(crashTime[0], &crashed, sizeof(crashed)) != sizeof(crashed)) crashed = ended;
  close(crashTime[0]);
  if (seconds != nullptr) {
    *seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::duration(ended - crashed)).count();
  }
  return status;
}

// Checks the whole report: the header, the registers, "Call stack:" and the
// termination line, once each; gives the call-stack part.
std::string ExpectReport(int status, const std::string &output, const char *header) {
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 99) << status << "\n" << output;
  EXPECT_EQ(0u, output.find(header)) << output;
  EXPECT_EQ(std::string::npos, output.find("EXCEPTION: ", 1)) << output;
  size_t registers = output.find("\n\nRegister information:\n  ");
  size_t stack = output.find("\n\nCall stack:\n");
  size_t end = output.find("\n\nPROCESS TERMINATED\n");
  if (registers == std::string::npos || stack == std::string::npos || end == std::string::npos) {
    ADD_FAILURE() << "incomplete report:\n" << output;
    return std::string();
  }
  EXPECT_LT(registers, stack);
  EXPECT_LT(stack, end);
  EXPECT_EQ(output.size(), end + strlen("\n\nPROCESS TERMINATED\n"));
#if defined(__x86_64__)
  EXPECT_NE(std::string::npos, output.find("  rax=", registers)) << output;
  EXPECT_NE(std::string::npos, output.find("  flags=", registers)) << output;
#endif
  size_t first = stack + strlen("\n\nCall stack:\n");
  return output.substr(first, end + 1 - first);
}

TEST(CrashReport, EveryKindOfCrashEndsWithACompleteReport) {
  ZAVRIN_SKIP_UNDER_QEMU("the crash helper cannot read an emulated process");
  for (const Crash &crash : kCrashes) {
    SCOPED_TRACE(crash.what);
    if (ZAVRIN_TEST_SANITIZED && crash.notUnderSanitizer != nullptr) {
      printf("[ skipped  ] %s: %s\n", crash.what, crash.notUnderSanitizer);
      continue;
    }
    std::string output;
    double seconds = 0;
    int status = RunReport(crash.routine, ReportSetup(), &output, &seconds);
    std::string stack = ExpectReport(status, output, crash.header);
    ExpectCallStack(stack, crash.function, crash.source);
    EXPECT_LT(seconds, 5.0);
    printf("[ crash    ] %-20s %4.0f ms to exit 99\n", crash.what, seconds * 1000);
  }
}

TEST(CrashReport, CallStackGoesThroughTheOutputWriter) {
  ZAVRIN_SKIP_UNDER_QEMU("the crash helper cannot read an emulated process");
  zavrin_test::TempFile written;
  const Crash &crash = kCrashes[0];
  ReportSetup setup;
  setup.writer = WriteToFile;
  setup.writerPath = &written.path();
  std::string output;
  int status = RunReport(crash.routine, setup, &output);
  // The header, registers and end on standard output; the frames only in
  // the writer's text.
  ExpectReport(status, output, crash.header);
  EXPECT_NE(std::string::npos, output.find("\n\nCall stack:\n\nPROCESS TERMINATED\n")) << output;
  ExpectCallStack(ReadFile(written.path()), crash.function, crash.source);
}

TEST(CrashReport, WithoutTheHelperFramesShowModuleAndOffset) {
  const struct {
    const char *helper;
    const char *reason;
  } table[] = {
      {"", "no crash helper installed"},
      {"/nonexistent/zavrin-crash-helper", "the crash helper could not be started"},
      {"/bin/false", "the crash helper failed"},
      {"/bin/sleep", "the crash helper did not finish in time"},  // sleeps pid + tid seconds
  };
  for (const auto &row : table) {
    SCOPED_TRACE(row.helper);
    if (zavrin_test::UnderQemu() && row.helper[0] != '\0') {
      printf("[ skipped  ] %s: under qemu-user no helper can be started\n", row.helper);
      continue;
    }
    std::string output;
    ReportSetup setup;
    setup.helper = row.helper;
    double seconds = 0;
    int status = RunReport(zavrin_test::CrashWritingNull, setup, &output, &seconds);
    std::vector<std::string> lines = Lines(ExpectReport(status, output, kAccessViolation));
    EXPECT_LT(seconds, 5.0);
    ASSERT_GE(lines.size(), 2u) << output;
    EXPECT_EQ(std::string("  (function names not available: ") + row.reason +
                  "; addresses are offsets in their modules)",
              lines[0]);
    EXPECT_EQ(0u, lines[1].find("  [crash_report_test:0x")) << output;
    for (size_t i = 1; i < lines.size(); i++) {
      EXPECT_NE(std::string::npos, lines[i].find("]: (function-name not available)")) << lines[i];
    }
  }
}

TEST(CrashReport, AHangingWriterStillEnds99WithTheTerminationLine) {
  std::string output;
  ReportSetup setup;
  setup.writer = [](const char *) {
    for (;;) pause();
  };
  double seconds = 0;
  int status = RunReport(zavrin_test::CrashWritingNull, setup, &output, &seconds);
  ExpectReport(status, output, kAccessViolation);
  EXPECT_LT(seconds, 5.0);
}

// Before any registration in this process: the first one notes the
// program's choice.
TEST(CrashReport, TheHelperDownloadsDebugInformationOnlyWhenTheProgramAsks) {
  ZAVRIN_SKIP_UNDER_QEMU("no helper can be started under qemu-user");
  // A helper that shows its environment as its frame lines.
  zavrin_test::TempFile helper("#!/bin/sh\nenv\n");
  ASSERT_EQ(0, chmod(helper.path().c_str(), 0755));
  setenv("DEBUGINFOD_URLS", "http://127.0.0.1:9/", 1);
  for (const char *asked : {static_cast<const char *>(nullptr), "http://127.0.0.1:9/"}) {
    SCOPED_TRACE(asked != nullptr ? asked : "not asked");
    if (asked != nullptr) setenv("ZAVRIN_DEBUGINFOD_URLS", asked, 1);
    std::string output;
    ReportSetup setup;
    setup.helper = helper.path().c_str();
    std::string stack = ExpectReport(RunReport(zavrin_test::CrashWritingNull, setup, &output),
                                     output, kAccessViolation);
    unsetenv("ZAVRIN_DEBUGINFOD_URLS");
    if (asked != nullptr) {
      EXPECT_NE(std::string::npos, stack.find("  DEBUGINFOD_URLS=http://127.0.0.1:9/\n")) << stack;
    } else {
      EXPECT_EQ(std::string::npos, stack.find("DEBUGINFOD_URLS")) << stack;
    }
  }
  unsetenv("DEBUGINFOD_URLS");
}

std::string shownStack;

__attribute__((noinline)) void ShowStackFromHere() {
  SEHShowCallStack(nullptr);
  __asm__ volatile("");  // keeps the call from becoming a tail call
}

TEST(CrashReport, ShowCallStackOfTheCallerGoesThroughTheWriter) {
  ZAVRIN_SKIP_UNDER_QEMU("the crash helper cannot read an emulated process");
  shownStack.clear();
  zavrin::UseCrashHelper(ZAVRIN_TEST_CRASH_HELPER);
  SetExceptionHandler(nullptr, [](const char *text) { shownStack += text; });
  ShowStackFromHere();
  SetExceptionHandler(nullptr, nullptr);
  std::vector<std::string> lines = Lines(shownStack);
  ASSERT_FALSE(lines.empty());
  bool named = false;
  for (const std::string &line : lines) {
    EXPECT_EQ(0u, line.find("  [")) << line;
    if (line.find("ShowStackFromHere()") != std::string::npos) named = true;
  }
  EXPECT_TRUE(named) << shownStack;
}

}  // namespace
