// platform/: pieces bound to the operating system: the serial port, the crash
// guard and the crash report with its call stack.
//
// The crash guard on Linux signals. Threads started through SEHThreadStarter
// are guarded: a crash signal in one of them goes through ___ExceptionHandler,
// which reports it once and ends the process with exit code 99. Every other
// crash goes on to the disposition the process had before the guard came.
#include "platform/crash_guard.h"

#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

namespace zavrin {

DWORD ExceptionCodeOf(int signalNumber, int signalCode, bool inStackGuard) {
  switch (signalNumber) {
    case SIGSEGV:
      return inStackGuard ? EXCEPTION_STACK_OVERFLOW : EXCEPTION_ACCESS_VIOLATION;
    case SIGBUS:
      return signalCode == BUS_ADRALN ? EXCEPTION_DATATYPE_MISALIGNMENT : EXCEPTION_IN_PAGE_ERROR;
    case SIGILL:
      return signalCode == ILL_PRVOPC || signalCode == ILL_PRVREG ? EXCEPTION_PRIV_INSTRUCTION
                                                                  : EXCEPTION_ILLEGAL_INSTRUCTION;
    case SIGTRAP:
      return signalCode == TRAP_TRACE || signalCode == TRAP_BRANCH ? EXCEPTION_SINGLE_STEP
                                                                   : EXCEPTION_BREAKPOINT;
    case SIGFPE:
      switch (signalCode) {
        case FPE_INTOVF:
          return EXCEPTION_INT_OVERFLOW;
        case FPE_FLTDIV:
          return EXCEPTION_FLT_DIVIDE_BY_ZERO;
        case FPE_FLTOVF:
          return EXCEPTION_FLT_OVERFLOW;
        case FPE_FLTUND:
          return EXCEPTION_FLT_UNDERFLOW;
        case FPE_FLTRES:
          return EXCEPTION_FLT_INEXACT_RESULT;
        case FPE_FLTINV:
          return EXCEPTION_FLT_INVALID_OPERATION;
        case FPE_FLTSUB:
          return EXCEPTION_ARRAY_BOUNDS_EXCEEDED;
        default:  // FPE_INTDIV, and a SIGFPE sent without a cause
          return EXCEPTION_INT_DIVIDE_BY_ZERO;
      }
    default:
      return 0;
  }
}

namespace {

// Read by the signal handler; atomic builtins rather than std::atomic, whose
// helpers unoptimised builds would export.
CRASH_CALLBACK crashCallback = nullptr;
CRASH_OUTPUT_WRITER outputWriter = nullptr;

// Statically initialised, so it exists as soon as the library is loaded. The
// first crash takes it and never gives it back.
pthread_mutex_t crashMutex = PTHREAD_MUTEX_INITIALIZER;

// SIGTRAP is not among them: breakpoints and single steps are never the
// guard's, so they go straight to the program's own disposition or a debugger.
const int kCrashSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL};
const int kCrashSignalCount = sizeof(kCrashSignals) / sizeof(kCrashSignals[0]);
struct sigaction previousActions[kCrashSignalCount];
pthread_once_t installOnce = PTHREAD_ONCE_INIT;
// Holds a guarded thread's signal stack, so that it is freed however the
// thread ends: by returning, by pthread_exit or by cancellation.
pthread_key_t altStackKey;

// Room for the crash callback, which may unwind and look up symbols; only
// touched pages cost memory. One page below it stays inaccessible, so that a
// callback that overruns it faults instead of writing over other memory.
const size_t kAltStackSize = 256 * 1024;

struct GuardState {
  bool guarded;      // the thread runs through SEHThreadStarter
  bool crashing;     // the thread is inside the crash filter
  char *stackLow;    // lowest address of the thread's stack
  size_t guardSize;  // size of the guard area below it, at least a page
};

// Initial-exec TLS: the signal handler reads it without any allocation.
thread_local GuardState guardState __attribute__((tls_model("initial-exec")));

size_t PageSize() {
  return static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

// Runs in the signal handler: only reads what NoteStackBounds prepared.
bool InStackGuard(const GuardState &state, const void *address) {
  if (state.stackLow == nullptr) return false;
  const char *fault = static_cast<const char *>(address);
  return fault < state.stackLow && fault >= state.stackLow - state.guardSize;
}

void *InstructionAddress(const siginfo_t *info, const ucontext_t *context) {
  (void)info;
  (void)context;
#if defined(__x86_64__)
  return reinterpret_cast<void *>(context->uc_mcontext.gregs[REG_RIP]);
#elif defined(__s390x__)
  return reinterpret_cast<void *>(context->uc_mcontext.psw.addr);
#elif defined(__aarch64__)
  return reinterpret_cast<void *>(context->uc_mcontext.pc);
#else
  return info->si_addr;
#endif
}

int SignalIndex(int signalNumber) {
  for (int i = 0; i < kCrashSignalCount; i++) {
    if (kCrashSignals[i] == signalNumber) return i;
  }
  return -1;
}

bool IsFunction(const struct sigaction &action) {
  return action.sa_handler != SIG_DFL && action.sa_handler != SIG_IGN;
}

// Ends the process by the signal's default action: raised here, it stays
// pending while this handler runs and is delivered as soon as it returns.
void DieByDefault(int signalNumber) {
  struct sigaction fallback = {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  sigaction(signalNumber, &fallback, nullptr);
  raise(signalNumber);
}

// Hands a crash that the guard does not take to the disposition that the
// process had before the guard, and keeps the guard in place: a program whose
// own handler survives a crash still has later crashes in its guarded threads
// reported.
void PassOn(int signalNumber, siginfo_t *info, void *context) {
  int index = SignalIndex(signalNumber);
  if (index < 0) return;
  struct sigaction &previous = previousActions[index];
  if (IsFunction(previous)) {
    // Called the way the system would call it: with its mask, and the signal
    // itself blocked unless it asked otherwise.
    sigset_t blocked = previous.sa_mask, saved;
    if (!(previous.sa_flags & SA_NODEFER)) sigaddset(&blocked, signalNumber);
    pthread_sigmask(SIG_BLOCK, &blocked, &saved);
    struct sigaction called = previous;
    if (previous.sa_flags & SA_RESETHAND) {
      previous = {};
      previous.sa_handler = SIG_DFL;
    }
    if (called.sa_flags & SA_SIGINFO) {
      called.sa_sigaction(signalNumber, info, context);
    } else {
      called.sa_handler(signalNumber);
    }
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    return;
  }
  // A sent signal that the program ignores stays ignored; a fault cannot be
  // ignored (the instruction would fault again for ever).
  bool sent = info->si_code <= 0;
  if (previous.sa_handler == SIG_IGN && sent) return;
  DieByDefault(signalNumber);
}

void CrashSignalHandler(int signalNumber, siginfo_t *info, void *context) {
  int savedErrno = errno;
  GuardState &state = guardState;
  // A crash inside the crash filter itself is left to the system: the crash
  // lock is already this thread's, and taking it again would hang.
  if (state.guarded && !state.crashing) {
    state.crashing = true;
    ucontext_t *registers = static_cast<ucontext_t *>(context);
    EXCEPTION_INFO exception;
    exception.code = ExceptionCodeOf(signalNumber, info->si_code,
                                     signalNumber == SIGSEGV && InStackGuard(state, info->si_addr));
    exception.address = InstructionAddress(info, registers);
    exception.signalNumber = signalNumber;
    exception.info = info;
    exception.context = registers;
    if (___ExceptionHandler(&exception) == 1) _exit(99);
  }
  PassOn(signalNumber, info, context);
  errno = savedErrno;
}

void FreeAltStack(void *block);

void InstallCrashHandlers() {
  static bool keyMade = pthread_key_create(&altStackKey, FreeAltStack) == 0;
  (void)keyMade;
  struct sigaction action = {};
  action.sa_sigaction = CrashSignalHandler;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  for (int i = 0; i < kCrashSignalCount; i++) {
    struct sigaction current;
    sigaction(kCrashSignals[i], &action, &current);
    // Where our handler is in place already, the one recorded before stays:
    // passing a crash on to ourselves would loop.
    bool ours = (current.sa_flags & SA_SIGINFO) && current.sa_sigaction == CrashSignalHandler;
    if (!ours) previousActions[i] = current;
  }
}

// Notes where the calling thread's stack ends, to tell a stack overflow from
// other access violations. Done here rather than in the signal handler, where
// sysconf is not safe to call.
void NoteStackBounds(GuardState *state) {
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) != 0) return;
  void *low = nullptr;
  size_t size = 0, guard = 0;
  if (pthread_attr_getstack(&attr, &low, &size) == 0) state->stackLow = static_cast<char *>(low);
  pthread_attr_getguardsize(&attr, &guard);
  state->guardSize = guard > PageSize() ? guard : PageSize();
  pthread_attr_destroy(&attr);
}

// A stack overflow leaves no room on the thread's own stack for the handler,
// so each guarded thread gets a signal stack of its own.
void *StartAltStack(stack_t *previous) {
  size_t page = PageSize();
  void *block = mmap(nullptr, kAltStackSize + page, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (block == MAP_FAILED) return nullptr;
  mprotect(block, page, PROT_NONE);
  stack_t stack = {};
  stack.ss_sp = static_cast<char *>(block) + page;
  stack.ss_size = kAltStackSize;
  if (sigaltstack(&stack, previous) != 0) {
    munmap(block, kAltStackSize + page);
    return nullptr;
  }
  return block;
}

void EndAltStack(void *block, const stack_t &previous) {
  if (block == nullptr) return;
  pthread_setspecific(altStackKey, nullptr);
  stack_t restore = previous;
  if (restore.ss_flags & SS_DISABLE) {
    restore = stack_t{};
    restore.ss_flags = SS_DISABLE;
  }
  sigaltstack(&restore, nullptr);
  munmap(block, kAltStackSize + PageSize());
}

// The thread ended inside its guarded routine: its signal stack goes with it.
void FreeAltStack(void *block) {
  stack_t off = {};
  off.ss_flags = SS_DISABLE;
  sigaltstack(&off, nullptr);
  munmap(block, kAltStackSize + PageSize());
  guardState = GuardState{};
}

}  // namespace

void ReinstallCrashHandlers() {
  pthread_once(&installOnce, InstallCrashHandlers);
  InstallCrashHandlers();
}

CRASH_OUTPUT_WRITER CrashOutputWriter() {
  return __atomic_load_n(&outputWriter, __ATOMIC_ACQUIRE);
}

bool InCrashFilter() {
  return guardState.crashing;
}

}  // namespace zavrin

void SetExceptionHandler(CRASH_CALLBACK callback, CRASH_OUTPUT_WRITER writer) {
  // What a report needs is found now, while the process is sound; nothing is
  // opened or loaded for it.
  zavrin::PrepareCrashReport();
  __atomic_store_n(&zavrin::crashCallback, callback, __ATOMIC_RELEASE);
  __atomic_store_n(&zavrin::outputWriter, writer, __ATOMIC_RELEASE);
}

int ___ExceptionHandler(EXCEPTION_INFO *info) {
  CRASH_CALLBACK callback = __atomic_load_n(&zavrin::crashCallback, __ATOMIC_ACQUIRE);
  if (callback == nullptr || info == nullptr) return 0;
  if (info->code == EXCEPTION_BREAKPOINT || info->code == EXCEPTION_SINGLE_STEP) {
    return 0;
  }
  pthread_mutex_lock(&zavrin::crashMutex);
  return callback(info) != 0 ? 1 : 0;
}

DWORD SEHThreadStarter(void *startRecord) {
  THREAD_START_RECORD *record = static_cast<THREAD_START_RECORD *>(startRecord);
  if (record == nullptr || record->routine == nullptr) return 0;
  pthread_once(&zavrin::installOnce, zavrin::InstallCrashHandlers);

  zavrin::GuardState &state = zavrin::guardState;
  // A routine that starts another guarded routine on the same thread stays
  // under the guard set up by the outer one.
  if (state.guarded) {
    record->routine(record->arg);
    return 0;
  }
  zavrin::NoteStackBounds(&state);
  stack_t previousStack;
  void *altStack = zavrin::StartAltStack(&previousStack);
  if (altStack != nullptr) pthread_setspecific(zavrin::altStackKey, altStack);
  state.guarded = true;
  record->routine(record->arg);
  state.guarded = false;
  zavrin::EndAltStack(altStack, previousStack);
  state.stackLow = nullptr;
  state.guardSize = 0;
  return 0;
}
