#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zavrin.h>

#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"

#if ZAVRIN_TEST_TSAN
// The report unwinds with libdw, which allocates a state for every frame
// inside the crash signal's handler: a known cost of the report in a process
// that is ending anyway, which the thread sanitizer would otherwise report at
// every frame.
extern "C" const char *__tsan_default_options() {
  return "report_signal_unsafe=0";
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
// module and a function, one of them the crashing function of the test with
// its source file.
void ExpectCallStack(const std::string &stack, const char *function) {
  std::vector<std::string> lines = Lines(stack);
  ASSERT_FALSE(lines.empty());
  bool named = false;
  for (const std::string &line : lines) {
    EXPECT_EQ(0u, line.find("  [")) << line;
    EXPECT_NE(std::string::npos, line.find("]: ")) << line;
    if (line.find(function) != std::string::npos &&
        line.find("test_support.cpp:") != std::string::npos)
      named = true;
  }
  EXPECT_TRUE(named) << "no frame of " << function << " with its source line in\n" << stack;
}

struct Crash {
  const char *what;
  DWORD (*routine)(void *);
  const char *header;    // the header line up to the address
  const char *function;  // a function on the call stack
};

const Crash kCrashes[] = {
    {"null write", zavrin_test::CrashWritingNull, "EXCEPTION: C0000005 (Access violation) at 0x",
     "CrashWritingNull(void*)"},
    {"division by zero", zavrin_test::CrashDividingByZero,
     "EXCEPTION: C0000094 (Divide by zero) at 0x", "CrashDividingByZero(void*)"},
    {"stack overflow", zavrin_test::CrashOverflowingStack,
     "EXCEPTION: C00000FD (Stack overflow) at 0x", "CrashRecursing(int)"},
};

// Runs the crash in a guarded thread of a child with the console handler
// registered (and the output writer, when writerPath is given).
int RunReport(const Crash &crash, std::string *output, const std::string *writerPath) {
  return zavrin_test::RunInChildCapturing(
      [&] {
        struct rlimit none = {0, 0};
        setrlimit(RLIMIT_CORE, &none);
        prctl(PR_SET_DUMPABLE, 0);
        CRASH_OUTPUT_WRITER writer = nullptr;
        if (writerPath != nullptr) {
          writerFd = open(writerPath->c_str(), O_WRONLY | O_TRUNC);
          writer = WriteToFile;
        }
        SetExceptionHandler(SEHDefaultConsoleHandler, writer);
        zavrin_test::RunGuarded(crash.routine);
      },
      output);
}

TEST(CrashReport, ConsoleHandlerPrintsTheReportAndEnds99) {
  for (const Crash &crash : kCrashes) {
    SCOPED_TRACE(crash.what);
    std::string output;
    int status = RunReport(crash, &output, nullptr);
    ASSERT_TRUE(WIFEXITED(status)) << status << "\n" << output;
    EXPECT_EQ(99, WEXITSTATUS(status)) << output;

    EXPECT_EQ(0u, output.find(crash.header)) << output;
    size_t registers = output.find("\n\nRegister information:\n  ");
    size_t stack = output.find("\n\nCall stack:\n");
    size_t end = output.find("\n\nPROCESS TERMINATED\n");
    ASSERT_NE(std::string::npos, registers) << output;
    ASSERT_NE(std::string::npos, stack) << output;
    ASSERT_NE(std::string::npos, end) << output;
    EXPECT_LT(registers, stack);
    EXPECT_LT(stack, end);
    EXPECT_EQ(output.size(), end + strlen("\n\nPROCESS TERMINATED\n"));
#if defined(__x86_64__)
    EXPECT_NE(std::string::npos, output.find("  rax=", registers)) << output;
    EXPECT_NE(std::string::npos, output.find("  flags=", registers)) << output;
#endif
    size_t first = stack + strlen("\n\nCall stack:\n");
    ExpectCallStack(output.substr(first, end + 1 - first), crash.function);
  }
}

TEST(CrashReport, CallStackGoesThroughTheOutputWriter) {
  zavrin_test::TempFile written;
  for (const Crash &crash : kCrashes) {
    SCOPED_TRACE(crash.what);
    std::string output;
    int status = RunReport(crash, &output, &written.path());
    ASSERT_TRUE(WIFEXITED(status)) << status << "\n" << output;
    EXPECT_EQ(99, WEXITSTATUS(status));
    // The header, registers and end on standard output; the frames only in
    // the writer's text.
    EXPECT_EQ(0u, output.find(crash.header)) << output;
    EXPECT_NE(std::string::npos, output.find("\n\nCall stack:\n\nPROCESS TERMINATED\n")) << output;
    EXPECT_EQ(std::string::npos, output.find(crash.function)) << output;
    ExpectCallStack(ReadFile(written.path()), crash.function);
  }
}

std::string shownStack;

__attribute__((noinline)) void ShowStackFromHere() {
  SEHShowCallStack(nullptr);
  __asm__ volatile("");  // keeps the call from becoming a tail call
}

TEST(CrashReport, ShowCallStackOfTheCallerGoesThroughTheWriter) {
  shownStack.clear();
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
