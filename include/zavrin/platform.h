// Platform-bound pieces: the crash guard and the guarded thread start.
#ifndef ZAVRIN_PLATFORM_H
#define ZAVRIN_PLATFORM_H

#include <zavrin/types.h>

// ---- Crash guard and guarded thread start ----

#include <signal.h>
#include <ucontext.h>

// What a crash callback learns about a crash. The pointers lead into the
// crashing thread's signal frame and are valid while the callback runs.
typedef struct EXCEPTION_INFO {
  DWORD code;           // exception code: 0xC0000005 access violation, 0xC00000FD stack
                        // overflow, 0xC0000094 divide by zero, 0x80000003 breakpoint, ...
  void *address;        // the instruction that crashed
  int signalNumber;     // SIGSEGV, SIGBUS, SIGFPE, SIGILL or SIGTRAP
  siginfo_t *info;      // the signal's details, such as the faulting address
  ucontext_t *context;  // the registers at the crash, to print and unwind from
} EXCEPTION_INFO;

// A crash callback: reports the crash; non-zero ends the process with exit
// code 99 right after it returns, 0 leaves the crash to the system.
typedef BOOL (*CRASH_CALLBACK)(EXCEPTION_INFO *info);
// Where the crash report writes its text; null means standard output.
typedef void (*CRASH_OUTPUT_WRITER)(const char *text);

// The argument of SEHThreadStarter: the routine a guarded thread runs, and
// the argument for it.
typedef struct THREAD_START_RECORD {
  DWORD (*routine)(void *arg);
  void *arg;
} THREAD_START_RECORD;

// Registers the crash callback and the report's output writer (either may be null).
ZAVRIN_EXPORT void SetExceptionHandler(CRASH_CALLBACK callback, CRASH_OUTPUT_WRITER writer);

// The crash filter: 1 when the crash is handled (the process then ends with
// exit code 99), 0 when it is left to the system. Breakpoints and single steps
// are never handled, nor is anything without a callback. The first thread that
// gets to the callback keeps the crash lock for good: a thread that crashes
// later blocks here, so there is only ever one report.
ZAVRIN_EXPORT int ___ExceptionHandler(EXCEPTION_INFO *info);

// The entry of a guarded thread: runs the record's routine with its argument
// under the crash filter and returns 0. The record stays the caller's. Start
// threads with it, for instance std::thread(SEHThreadStarter, &record).
ZAVRIN_EXPORT DWORD SEHThreadStarter(void *startRecord);

#endif  // ZAVRIN_PLATFORM_H
