#include "platform/crash_guard.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include "port/thread.h"
#include "test_support.h"

namespace {

// The write end of the pipe on which a crashing child reports each call of
// its callback with the exception code.
int reportPipe = -1;

BOOL ReportAndHandle(EXCEPTION_INFO *info) {
  if (write(reportPipe, &info->code, sizeof(info->code)) < 0) return FALSE;
  return TRUE;
}

// Reports, then leaves any other crashing thread time to report as well
// before the process ends.
BOOL ReportAndLinger(EXCEPTION_INFO *info) {
  ReportAndHandle(info);
  struct timespec pause = {0, 300 * 1000000};
  nanosleep(&pause, nullptr);
  return TRUE;
}

BOOL ReportAndDecline(EXCEPTION_INFO *info) {
  ReportAndHandle(info);
  return FALSE;
}

struct CrashResult {
  int status;
  std::vector<DWORD> codes;  // one per call of the callback
};

// Runs body in a child that writes no core file, and collects its reports.
CrashResult RunCrashingChild(const std::function<void()> &body) {
  int fds[2];
  EXPECT_EQ(0, pipe(fds));
  reportPipe = fds[1];
  CrashResult result;
  result.status = zavrin_test::RunInChild([&] {
    close(fds[0]);
    struct rlimit none = {0, 0};
    setrlimit(RLIMIT_CORE, &none);
    prctl(PR_SET_DUMPABLE, 0);
    body();
  });
  close(fds[1]);
  DWORD code;
  while (read(fds[0], &code, sizeof(code)) == sizeof(code)) result.codes.push_back(code);
  close(fds[0]);
  return result;
}

using zavrin_test::RunGuarded;

DWORD WriteNull(void *arg) {
  return zavrin_test::CrashWritingNull(arg);
}

DWORD Breakpoint(void *) {
#if defined(__x86_64__) || defined(__i386__)
  __asm__ volatile("int3");
#else
  raise(SIGTRAP);
#endif
  return 0;
}

DWORD Nothing(void *) {
  return 0;
}

// Expects the child to have died of the signal's default action, unhandled.
void ExpectLeftToTheSystem(const CrashResult &result, int signalNumber) {
#if ZAVRIN_TEST_SANITIZED
  // The sanitizer's handler was there before the guard, so the crash is
  // passed on to it: it reports the crash and ends the child its own way.
  (void)signalNumber;
  EXPECT_TRUE(WIFSIGNALED(result.status) ||
              (WIFEXITED(result.status) && WEXITSTATUS(result.status) != 0 &&
               WEXITSTATUS(result.status) != 99))
      << "status " << result.status;
#else
  ASSERT_TRUE(WIFSIGNALED(result.status)) << "status " << result.status;
  EXPECT_EQ(signalNumber, WTERMSIG(result.status));
#endif
}

// Mappings shaped like a guarded thread's signal stack: 256 KiB readable and
// writable right above one inaccessible page.
int SignalStackMappings() {
  FILE *maps = fopen("/proc/self/maps", "r");
  if (maps == nullptr) return -1;
  int count = 0;
  unsigned long start, end, previousStart = 0, previousEnd = 0;
  char permissions[8], previousPermissions[8] = "";
  char line[512];
  while (fgets(line, sizeof(line), maps) != nullptr) {
    if (sscanf(line, "%lx-%lx %7s", &start, &end, permissions) != 3) continue;
    if (end - start == 256 * 1024 && strncmp(permissions, "rw", 2) == 0 && previousEnd == start &&
        previousEnd - previousStart == static_cast<unsigned long>(sysconf(_SC_PAGESIZE)) &&
        strncmp(previousPermissions, "---", 3) == 0)
      count++;
    previousStart = start;
    previousEnd = end;
    memcpy(previousPermissions, permissions, sizeof(permissions));
  }
  fclose(maps);
  return count;
}

}  // namespace

// First in this file: the first registration of the process is the one that
// finds what a report needs.
TEST(CrashGuard, RegistrationOpensNothingAndAsksNoServer) {
  int status = zavrin_test::RunInChild([] {
    // An address where nothing answers: any query would wait for its time-out.
    setenv("DEBUGINFOD_URLS", "http://127.0.0.1:9/", 1);
    int before = zavrin_test::OpenDescriptorCount();
    auto started = std::chrono::steady_clock::now();
    SetExceptionHandler(SEHDefaultConsoleHandler, nullptr);
    auto took = std::chrono::steady_clock::now() - started;
    if (zavrin_test::OpenDescriptorCount() != before) _exit(1);
    if (took > std::chrono::seconds(1)) _exit(2);
  });
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(0, WEXITSTATUS(status)) << "1: a descriptor was opened, 2: it took over a second";
}

TEST(CrashGuard, SignalStackIsFreedHoweverTheThreadEnds) {
  THREAD_START_RECORD exiting = {[](void *) -> DWORD { pthread_exit(nullptr); }, nullptr};
  THREAD_START_RECORD cancelled = {[](void *) -> DWORD {
                                     pthread_cancel(pthread_self());
                                     pthread_testcancel();
                                     return 0;
                                   },
                                   nullptr};
  auto runBoth = [&] {
    for (THREAD_START_RECORD *record : {&exiting, &cancelled}) {
      pthread_t thread;
      ASSERT_EQ(0, pthread_create(
                       &thread, nullptr,
                       [](void *arg) -> void * {
                         SEHThreadStarter(arg);
                         return nullptr;
                       },
                       record));
      pthread_join(thread, nullptr);
    }
  };
  runBoth();  // what the runtime maps for its first threads stays
  int before = SignalStackMappings();
  for (int i = 0; i < 8; i++) runBoth();
  EXPECT_EQ(before, SignalStackMappings());
}

TEST(CrashGuard, SignalsMapToExceptionCodes) {
  using namespace zavrin;
  EXPECT_EQ(0xC0000005u, ExceptionCodeOf(SIGSEGV, SEGV_MAPERR, false));
  EXPECT_EQ(0xC0000005u, ExceptionCodeOf(SIGSEGV, SEGV_ACCERR, false));
  EXPECT_EQ(0xC00000FDu, ExceptionCodeOf(SIGSEGV, SEGV_MAPERR, true));
  EXPECT_EQ(0xC0000094u, ExceptionCodeOf(SIGFPE, FPE_INTDIV, false));
  EXPECT_EQ(0xC0000095u, ExceptionCodeOf(SIGFPE, FPE_INTOVF, false));
  EXPECT_EQ(0xC000008Eu, ExceptionCodeOf(SIGFPE, FPE_FLTDIV, false));
  EXPECT_EQ(0xC0000091u, ExceptionCodeOf(SIGFPE, FPE_FLTOVF, false));
  EXPECT_EQ(0xC0000093u, ExceptionCodeOf(SIGFPE, FPE_FLTUND, false));
  EXPECT_EQ(0xC000008Fu, ExceptionCodeOf(SIGFPE, FPE_FLTRES, false));
  EXPECT_EQ(0xC0000090u, ExceptionCodeOf(SIGFPE, FPE_FLTINV, false));
  EXPECT_EQ(0xC000001Du, ExceptionCodeOf(SIGILL, ILL_ILLOPC, false));
  EXPECT_EQ(0xC0000096u, ExceptionCodeOf(SIGILL, ILL_PRVOPC, false));
  EXPECT_EQ(0x80000002u, ExceptionCodeOf(SIGBUS, BUS_ADRALN, false));
  EXPECT_EQ(0xC0000006u, ExceptionCodeOf(SIGBUS, BUS_ADRERR, false));
  EXPECT_EQ(0x80000003u, ExceptionCodeOf(SIGTRAP, TRAP_BRKPT, false));
  EXPECT_EQ(0x80000003u, ExceptionCodeOf(SIGTRAP, SI_KERNEL, false));
  EXPECT_EQ(0x80000004u, ExceptionCodeOf(SIGTRAP, TRAP_TRACE, false));
}

TEST(CrashGuard, FilterNeverHandlesBreakpointsOrWithoutCallback) {
  static int calls;
  calls = 0;
  EXCEPTION_INFO info = {};
  info.code = 0xC0000005;
  SetExceptionHandler(nullptr, nullptr);
  EXPECT_EQ(0, ___ExceptionHandler(&info));

  SetExceptionHandler(
      [](EXCEPTION_INFO *) -> BOOL {
        calls++;
        return TRUE;
      },
      nullptr);
  info.code = 0x80000003;
  EXPECT_EQ(0, ___ExceptionHandler(&info));
  info.code = 0x80000004;
  EXPECT_EQ(0, ___ExceptionHandler(&info));
  EXPECT_EQ(0, ___ExceptionHandler(nullptr));
  SetExceptionHandler(nullptr, nullptr);
  EXPECT_EQ(0, calls);
}

TEST(CrashGuard, StarterRunsTheRoutineOnItsOwnSignalStack) {
  static stack_t inside;
  static int seen;
  stack_t before, after;
  sigaltstack(nullptr, &before);
  THREAD_START_RECORD record = {[](void *arg) -> DWORD {
                                  seen = *static_cast<int *>(arg);
                                  sigaltstack(nullptr, &inside);
                                  return 5;
                                },
                                nullptr};
  int value = 42;
  record.arg = &value;
  EXPECT_EQ(0u, SEHThreadStarter(&record));
  sigaltstack(nullptr, &after);
  EXPECT_EQ(42, seen);
  EXPECT_FALSE(inside.ss_flags & SS_DISABLE);
  EXPECT_GE(inside.ss_size, 64u * 1024);
  EXPECT_EQ(before.ss_flags, after.ss_flags);
  EXPECT_EQ(before.ss_sp, after.ss_sp);
  EXPECT_EQ(0u, SEHThreadStarter(nullptr));
}

TEST(CrashGuard, NullWriteInGuardedThreadReportsOnceAndExits99) {
  CrashResult result = RunCrashingChild([] {
    SetExceptionHandler(ReportAndHandle, nullptr);
    RunGuarded(WriteNull);
  });
  ASSERT_TRUE(WIFEXITED(result.status)) << result.status;
  EXPECT_EQ(99, WEXITSTATUS(result.status));
  EXPECT_EQ(std::vector<DWORD>{0xC0000005}, result.codes);
}

TEST(CrashGuard, TwoThreadsCrashingTogetherGiveOneReport) {
  CrashResult result = RunCrashingChild([] {
    SetExceptionHandler(ReportAndLinger, nullptr);
    static std::atomic<int> ready{0};
    DWORD(*crashTogether)
    (void *) = [](void *) -> DWORD {
      ready++;
      while (ready < 2) {
      }
      return WriteNull(nullptr);
    };
    THREAD_START_RECORD record = {crashTogether, nullptr};
    zavrin::Thread first, second;
    first.Start(SEHThreadStarter, &record);
    second.Start(SEHThreadStarter, &record);
    first.Join();
    second.Join();
  });
  ASSERT_TRUE(WIFEXITED(result.status)) << result.status;
  EXPECT_EQ(99, WEXITSTATUS(result.status));
  EXPECT_EQ(std::vector<DWORD>{0xC0000005}, result.codes);
}

TEST(CrashGuard, OtherCrashesGetTheirOwnCodes) {
  CrashResult divide = RunCrashingChild([] {
    SetExceptionHandler(ReportAndHandle, nullptr);
    RunGuarded(zavrin_test::CrashDividingByZero);
  });
  EXPECT_TRUE(WIFEXITED(divide.status) && WEXITSTATUS(divide.status) == 99) << divide.status;
  EXPECT_EQ(std::vector<DWORD>{0xC0000094}, divide.codes);

  // Only a signal stack of the thread's own leaves the handler room to run.
  CrashResult overflow = RunCrashingChild([] {
    SetExceptionHandler(ReportAndHandle, nullptr);
    RunGuarded(zavrin_test::CrashOverflowingStack);
  });
  EXPECT_TRUE(WIFEXITED(overflow.status) && WEXITSTATUS(overflow.status) == 99) << overflow.status;
  EXPECT_EQ(std::vector<DWORD>{0xC00000FD}, overflow.codes);
}

TEST(CrashGuard, CallbackReturningZeroLeavesTheDefaultAction) {
  CrashResult result = RunCrashingChild([] {
    SetExceptionHandler(ReportAndDecline, nullptr);
    RunGuarded(WriteNull);
  });
  ExpectLeftToTheSystem(result, SIGSEGV);
  EXPECT_EQ(std::vector<DWORD>{0xC0000005}, result.codes);
}

TEST(CrashGuard, CrashWithoutCallbackIsNotHandled) {
  CrashResult result = RunCrashingChild([] {
    SetExceptionHandler(nullptr, nullptr);
    RunGuarded(WriteNull);
  });
  ExpectLeftToTheSystem(result, SIGSEGV);
}

TEST(CrashGuard, UnguardedThreadIsNotHandled) {
  CrashResult result = RunCrashingChild([] {
    SetExceptionHandler(ReportAndHandle, nullptr);
    RunGuarded(Nothing);  // the guard is in place for the process from now on
    std::thread unguarded([] { WriteNull(nullptr); });
    unguarded.join();
  });
  ExpectLeftToTheSystem(result, SIGSEGV);
  EXPECT_TRUE(result.codes.empty());
}

TEST(CrashGuard, BreakpointIsNotHandled) {
  CrashResult result = RunCrashingChild([] {
    SetExceptionHandler(ReportAndHandle, nullptr);
    RunGuarded(Breakpoint);
  });
  ASSERT_TRUE(WIFSIGNALED(result.status)) << result.status;
  EXPECT_EQ(SIGTRAP, WTERMSIG(result.status));
  EXPECT_TRUE(result.codes.empty());
}

namespace {

sigjmp_buf survivedCrash;

// A program's own handler that survives a crash by jumping out of it.
void SurvivingHandler(int, siginfo_t *, void *) {
  DWORD marker = 1;
  if (write(reportPipe, &marker, sizeof(marker)) < 0) _exit(3);
  siglongjmp(survivedCrash, 1);
}

void TrapHandler(int, siginfo_t *, void *) {
  DWORD marker = 3;
  if (write(reportPipe, &marker, sizeof(marker)) < 0) _exit(3);
}

void InstallOwnHandler(int signalNumber, void (*handler)(int, siginfo_t *, void *)) {
  struct sigaction action = {};
  action.sa_sigaction = handler;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  sigaction(signalNumber, &action, nullptr);
}

}  // namespace

TEST(CrashGuard, PassingACrashOnKeepsTheGuard) {
  CrashResult result = RunCrashingChild([] {
    InstallOwnHandler(SIGSEGV, SurvivingHandler);
    zavrin::ReinstallCrashHandlers();  // the guard comes after the program's handler
    SetExceptionHandler(ReportAndHandle, nullptr);
    // Unguarded crashes go to the program's handler, which survives them...
    for (int i = 0; i < 2; i++) {
      if (sigsetjmp(survivedCrash, 1) == 0) WriteNull(nullptr);
    }
    // ...and the guard still reports the next crash in a guarded thread.
    RunGuarded(WriteNull);
  });
  ASSERT_TRUE(WIFEXITED(result.status)) << result.status;
  EXPECT_EQ(99, WEXITSTATUS(result.status));
  EXPECT_EQ((std::vector<DWORD>{1, 1, 0xC0000005}), result.codes);
}

TEST(CrashGuard, BreakpointsNeverReachTheGuard) {
  CrashResult result = RunCrashingChild([] {
    InstallOwnHandler(SIGTRAP, TrapHandler);
    zavrin::ReinstallCrashHandlers();
    SetExceptionHandler(ReportAndHandle, nullptr);
    struct sigaction current;
    sigaction(SIGTRAP, nullptr, &current);
    if (current.sa_sigaction != TrapHandler) _exit(4);
    RunGuarded(Breakpoint);  // the program's handler takes it and goes on
    RunGuarded(Breakpoint);
  });
  ASSERT_TRUE(WIFEXITED(result.status)) << result.status;
  EXPECT_EQ(0, WEXITSTATUS(result.status));
  EXPECT_EQ((std::vector<DWORD>{3, 3}), result.codes);
}
