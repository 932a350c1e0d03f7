// The crash guard's pieces that the crash report builds on.
#ifndef ZAVRIN_CRASH_GUARD_H
#define ZAVRIN_CRASH_GUARD_H

#include <zavrin/platform.h>

namespace zavrin {

// The exception code (EXCEPTION_..., zavrin/platform.h) of a crash signal with
// the given si_code; inStackGuard tells that a SIGSEGV hit the thread's stack guard.
DWORD ExceptionCodeOf(int signalNumber, int signalCode, bool inStackGuard);

// Installs the guard's signal handlers again over the dispositions the
// process has now, which become the ones crashes are passed on to. The guard
// installs itself once per process; tests use this in children that inherit
// it and then set handlers of their own.
void ReinstallCrashHandlers();

// The writer registered with SetExceptionHandler; null means standard output.
CRASH_OUTPUT_WRITER CrashOutputWriter();

// True while the calling thread is inside the crash filter.
bool InCrashFilter();

// Finds the crash helper and notes the program's choice of debug-information
// downloads, once: what a report needs later, found without opening a file.
void PrepareCrashReport();

// Makes reports use the helper at path ("" for none) instead of looking for
// one; for tests, which run the build tree's helper.
void UseCrashHelper(const char *path);

}  // namespace zavrin

#endif  // ZAVRIN_CRASH_GUARD_H
