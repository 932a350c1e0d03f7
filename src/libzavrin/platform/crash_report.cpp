// The crash report: exception names, the ready-made console callback, and the
// call stack of a crashed thread.
//
// Once a crash signal is taken, the process may be in any state: its heap
// damaged, the allocator's lock or the loader's held by the thread that
// crashed or by another. So nothing here allocates, takes a lock or calls
// what is not async-signal-safe. The call stack is walked from outside, by
// the crash helper (crash_helper.h): started with clone(CLONE_VM |
// CLONE_VFORK), which runs no fork handlers, it reads this process's modules
// and memory and sends the frame lines back, and the crashed thread passes
// them on. Where the helper cannot do it, the frames are listed here by
// module and offset, through the unwinder and the loader's lock-free object
// look-up. A watchdog ends the process with 99 whatever happens meanwhile.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <link.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <unwind.h>

#include "platform/crash_guard.h"
#include "platform/crash_helper.h"

namespace zavrin {

namespace {

// Longest frame line, its line end included.
const size_t kLineSize = 1024;

// Text built without the C library's formatting, which may allocate or lock.
class SafeText {
 public:
  SafeText() { text_[0] = '\0'; }
  SafeText(const SafeText &) = delete;
  SafeText &operator=(const SafeText &) = delete;

  SafeText &Add(const char *text) {
    while (*text != '\0' && length_ + 1 < sizeof(text_)) text_[length_++] = *text++;
    text_[length_] = '\0';
    return *this;
  }
  // Upper-case hexadecimal with at least digits digits, as "%0*X".
  SafeText &Hex(uint64_t value, int digits) {
    return Number(value, 16, digits, "0123456789ABCDEF");
  }
  // As "%p": "0x" and lower-case hexadecimal, "(nil)" for 0.
  SafeText &Pointer(uint64_t value) {
    if (value == 0) return Add("(nil)");
    return Add("0x").Number(value, 16, 1, "0123456789abcdef");
  }
  SafeText &Decimal(uint64_t value) { return Number(value, 10, 1, "0123456789"); }
  const char *text() const { return text_; }

 private:
  SafeText &Number(uint64_t value, unsigned base, int digits, const char *symbols) {
    char reversed[24];
    int count = 0;
    do {
      reversed[count++] = symbols[value % base];
      value /= base;
    } while (value != 0);
    while (count < digits && count < static_cast<int>(sizeof(reversed))) reversed[count++] = '0';
    char forward[sizeof(reversed) + 1];
    for (int i = 0; i < count; i++) forward[i] = reversed[count - 1 - i];
    forward[count] = '\0';
    return Add(forward);
  }

  char text_[2048];
  size_t length_ = 0;
};

void WriteOut(const char *text) {
  WriteText(STDOUT_FILENO, text);
}

// One line of the call stack, indented by two spaces, through the output
// writer if one is set, else to standard output.
void OutputFrameLine(const char *line) {
  CRASH_OUTPUT_WRITER writer = CrashOutputWriter();
  if (writer != nullptr) {
    writer("  ");
    writer(line);
  } else {
    WriteOut("  ");
    WriteOut(line);
  }
}

void FormatRegisters(const ucontext_t *context, SafeText *text) {
  text->Add("\nRegister information:\n");
  if (context == nullptr) return;
  const mcontext_t &m = context->uc_mcontext;
#if defined(__x86_64__)
  const greg_t *g = m.gregs;
  uint64_t segments = static_cast<uint64_t>(g[REG_CSGSFS]);
  unsigned short ds = 0, es = 0;  // the signal leaves them as they were
  __asm__("mov %%ds, %0" : "=r"(ds));
  __asm__("mov %%es, %0" : "=r"(es));
  const struct {
    const char *name;
    int index;
  } general[] = {{"  rax=", REG_RAX}, {"  rbx=", REG_RBX}, {"  rcx=", REG_RCX}, {"  rdx=", REG_RDX},
                 {"  rsi=", REG_RSI}, {"  rdi=", REG_RDI}, {"  rbp=", REG_RBP}, {"  rsp=", REG_RSP},
                 {"  r8=", REG_R8},   {"  r9=", REG_R9},   {"  r10=", REG_R10}, {"  r11=", REG_R11},
                 {"  r12=", REG_R12}, {"  r13=", REG_R13}, {"  r14=", REG_R14}, {"  r15=", REG_R15},
                 {"  rip=", REG_RIP}};
  for (size_t i = 0; i < sizeof(general) / sizeof(general[0]); i++) {
    // Four to a line, each after two blanks.
    text->Add(general[i].name).Hex(static_cast<uint64_t>(g[general[i].index]), 16);
    if (i % 4 == 3 || i + 1 == sizeof(general) / sizeof(general[0])) text->Add("\n");
  }
  text->Add("  cs=").Hex(segments & 0xFFFF, 4);
  text->Add("  ds=").Hex(ds, 4).Add("  es=").Hex(es, 4);
  text->Add("  ss=").Hex((segments >> 48) & 0xFFFF, 4);
  text->Add("  fs=").Hex((segments >> 32) & 0xFFFF, 4);
  text->Add("  gs=").Hex((segments >> 16) & 0xFFFF, 4);
  text->Add("  flags=").Hex(static_cast<uint64_t>(g[REG_EFL]) & 0xFFFFFFFF, 8).Add("\n");
#elif defined(__s390x__)
  for (int i = 0; i < 16; i++) {
    text->Add("  r").Decimal(i).Add("=").Hex(m.gregs[i], 16);
    if (i % 4 == 3) text->Add("\n");
  }
  text->Add("  psw.mask=").Hex(m.psw.mask, 16).Add("  psw.addr=").Hex(m.psw.addr, 16).Add("\n");
#else
  (void)m;
#endif
}

uint64_t ProgramCounter(const ucontext_t *context) {
#if defined(__x86_64__)
  return static_cast<uint64_t>(context->uc_mcontext.gregs[REG_RIP]);
#elif defined(__s390x__)
  return context->uc_mcontext.psw.addr;
#else
  (void)context;
  return 0;
#endif
}

// ---- The helper, found at registration ----

pthread_once_t helperOnce = PTHREAD_ONCE_INIT;
char helperPath[PATH_MAX];
// The helper's whole environment: debug-information downloads only where the
// program asked for them through ZAVRIN_DEBUGINFOD_URLS.
char debuginfodVariable[4096];
char *helperEnvironment[2] = {nullptr, nullptr};
// The C library's clone itself: a sanitizer's wrapper of it treats the child
// as a fork and runs its fork bookkeeping, which a crash may find half done.
typedef int (*CloneFunction)(int (*)(void *), void *, int, void *, ...);
CloneFunction cloneFunction = clone;

bool UseHelperAt(const char *directory, size_t directoryLength, const char *relative) {
  size_t relativeLength = strlen(relative);
  if (directoryLength + relativeLength + 1 >= sizeof(helperPath)) return false;
  char candidate[PATH_MAX];
  memcpy(candidate, directory, directoryLength);
  memcpy(candidate + directoryLength, relative, relativeLength + 1);
  if (access(candidate, X_OK) != 0) return false;
  memcpy(helperPath, candidate, directoryLength + relativeLength + 1);
  return true;
}

// Looks for the helper where the installed layout puts it relative to the
// library (wherever the package was put), then right beside the library (as
// in the build tree), then where this build installs it. access() only: no
// file is opened.
void FindHelper() {
  Dl_info self;
  if (dladdr(reinterpret_cast<void *>(&FindHelper), &self) != 0 && self.dli_fname != nullptr &&
      self.dli_fname[0] == '/') {
    const char *slash = strrchr(self.dli_fname, '/');
    size_t folder = static_cast<size_t>(slash + 1 - self.dli_fname);
    if (UseHelperAt(self.dli_fname, folder, ZAVRIN_CRASH_HELPER_FROM_LIBDIR)) return;
    if (UseHelperAt(self.dli_fname, folder, ZAVRIN_CRASH_HELPER_NAME)) return;
  }
  UseHelperAt("", 0, ZAVRIN_CRASH_HELPER_INSTALLED);
}

// Set when a test chose the helper.
bool helperChosen = false;

void PrepareHelper() {
  if (!helperChosen) FindHelper();
  void *own = dlsym(RTLD_NEXT, "clone");
  if (own != nullptr) cloneFunction = reinterpret_cast<CloneFunction>(own);
  const char *urls = getenv("ZAVRIN_DEBUGINFOD_URLS");
  const char kName[] = "DEBUGINFOD_URLS=";
  if (urls != nullptr && *urls != '\0' &&
      sizeof(kName) + strlen(urls) <= sizeof(debuginfodVariable)) {
    memcpy(debuginfodVariable, kName, sizeof(kName) - 1);
    memcpy(debuginfodVariable + sizeof(kName) - 1, urls, strlen(urls) + 1);
    helperEnvironment[0] = debuginfodVariable;
  }
}

// ---- The watchdog ----

// Later than the helper's own limit, earlier than the 5 s a crash may take.
const long kWatchdogMilliseconds = 4500;

bool watchdogArmed = false;
struct sigaction watchdogPrevious;
struct itimerval timerPrevious;
sigset_t maskPrevious;

void WatchdogExpired(int) {
  WriteOut("\nPROCESS TERMINATED\n");
  _exit(99);
}

// Ends the process with 99 after kWatchdogMilliseconds, unless disarmed.
// False when it was armed already.
bool ArmWatchdog() {
  if (watchdogArmed) return false;
  struct sigaction action = {};
  action.sa_handler = WatchdogExpired;
  sigfillset(&action.sa_mask);
  sigaction(SIGALRM, &action, &watchdogPrevious);
  sigset_t alarm;
  sigemptyset(&alarm);
  sigaddset(&alarm, SIGALRM);
  pthread_sigmask(SIG_UNBLOCK, &alarm, &maskPrevious);
  struct itimerval limit = {};
  limit.it_value.tv_sec = kWatchdogMilliseconds / 1000;
  limit.it_value.tv_usec = (kWatchdogMilliseconds % 1000) * 1000;
  setitimer(ITIMER_REAL, &limit, &timerPrevious);
  watchdogArmed = true;
  return true;
}

void DisarmWatchdog() {
  setitimer(ITIMER_REAL, &timerPrevious, nullptr);
  sigaction(SIGALRM, &watchdogPrevious, nullptr);
  pthread_sigmask(SIG_SETMASK, &maskPrevious, nullptr);
  watchdogArmed = false;
}

// ---- Running the helper ----

int64_t NowMs() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

struct HelperStart {
  const char *path;
  char *const *argv;
  int input;   // becomes the helper's standard input
  int output;  // becomes its standard output
};

// Runs in the child that shares this process's memory until execve: system
// calls only, nothing that the C library or a sanitizer wraps.
int StartHelper(void *arg) {
  const HelperStart *start = static_cast<const HelperStart *>(arg);
  long input = syscall(SYS_fcntl, start->input, F_DUPFD, 3);
  long output = syscall(SYS_fcntl, start->output, F_DUPFD, 3);
  if (input >= 0 && output >= 0 && syscall(SYS_dup3, input, 0, 0) == 0 &&
      syscall(SYS_dup3, output, 1, 0) == 1) {
    syscall(SYS_execve, start->path, start->argv, helperEnvironment);
  }
  syscall(SYS_exit, kHelperNotStarted);
  return kHelperNotStarted;
}

// Passes the helper's output on, line by line, until it ends or the time is
// up; the number of lines.
int RelayLines(int fd, int64_t deadline, bool *ended) {
  char pending[2 * kLineSize];
  size_t used = 0;
  int lines = 0;
  *ended = false;
  while (!*ended) {
    int64_t left = deadline - NowMs();
    if (left <= 0) break;
    struct pollfd ready = {fd, POLLIN, 0};
    int n = poll(&ready, 1, static_cast<int>(left));
    if (n < 0 && errno != EINTR) break;
    if (n <= 0) continue;
    ssize_t got = read(fd, pending + used, sizeof(pending) - 1 - used);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      *ended = true;
    } else {
      used += static_cast<size_t>(got);
    }
    // Every complete line, and a too long one as it is, with a line end.
    size_t start = 0;
    for (size_t i = 0; i < used; i++) {
      bool full = i + 1 - start >= kLineSize - 1;
      if (pending[i] != '\n' && !full && !(*ended && i + 1 == used)) continue;
      char line[kLineSize + 1];
      size_t length = i + 1 - start;
      memcpy(line, pending + start, length);
      if (line[length - 1] != '\n') line[length++] = '\n';
      line[length] = '\0';
      OutputFrameLine(line);
      lines++;
      start = i + 1;
    }
    memmove(pending, pending + start, used - start);
    used -= start;
  }
  return lines;
}

// Has the helper write the call stack of the calling thread from context.
// Null when it did; else why not.
const char *WalkWithHelper(const ucontext_t *context) {
  pthread_once(&helperOnce, PrepareHelper);
  if (helperPath[0] == '\0') return "no crash helper installed";
  // A socket, not a pipe, towards the helper: sending to a helper that is
  // gone must fail with an error, never raise SIGPIPE here.
  int toHelper[2], fromHelper[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, toHelper) != 0)
    return "no descriptor left for the crash helper";
  if (pipe2(fromHelper, O_CLOEXEC) != 0) {
    close(toHelper[0]);
    close(toHelper[1]);
    return "no descriptor left for the crash helper";
  }
  SafeText processId, threadId;
  processId.Decimal(static_cast<uint64_t>(getpid()));
  threadId.Decimal(static_cast<uint64_t>(syscall(SYS_gettid)));
  char *argv[] = {const_cast<char *>(ZAVRIN_CRASH_HELPER_NAME),
                  const_cast<char *>(processId.text()), const_cast<char *>(threadId.text()),
                  nullptr};
  HelperStart start = {helperPath, argv, toHelper[0], fromHelper[1]};

  // A process that is not dumpable cannot be read even by its own child.
  int dumpable = prctl(PR_GET_DUMPABLE, 0, 0, 0, 0);
  if (dumpable != 1) prctl(PR_SET_DUMPABLE, 1, 0, 0, 0);
  // No signal handler of the program may run in the child while it shares
  // this memory; the helper unblocks what it needs.
  sigset_t all, saved;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &saved);
  alignas(16) char childStack[16 * 1024];
  // No exit signal: the program's SIGCHLD handler never sees the helper.
  pid_t helper =
      cloneFunction(StartHelper, childStack + sizeof(childStack), CLONE_VM | CLONE_VFORK, &start);
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  close(toHelper[0]);
  close(fromHelper[1]);
  const char *failure = nullptr;
  if (helper < 0) {
    failure = "the crash helper could not be started";
  } else {
    // Where a ptrace policy admits only a process's ancestors, this one
    // names its helper.
    prctl(PR_SET_PTRACER, helper, 0, 0, 0);
    ssize_t sent = send(toHelper[1], context, sizeof(*context), MSG_NOSIGNAL);
    (void)sent;
    close(toHelper[1]);
    toHelper[1] = -1;
    bool ended = false;
    int lines = RelayLines(fromHelper[0], NowMs() + kHelperSeconds * 1000 + 200, &ended);
    if (!ended) kill(helper, SIGKILL);
    int status = 0;
    while (waitpid(helper, &status, __WALL) < 0 && errno == EINTR) {
    }
    prctl(PR_SET_PTRACER, 0, 0, 0, 0);
    if (lines == 0) {
      int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      failure = !ended                      ? "the crash helper did not finish in time"
                : code == kHelperNotStarted ? "the crash helper could not be started"
                : code == kHelperCannotRead ? "the crash helper could not read the process"
                                            : "the crash helper failed";
    }
  }
  if (toHelper[1] >= 0) close(toHelper[1]);
  close(fromHelper[0]);
  if (dumpable != 1 && dumpable >= 0) prctl(PR_SET_DUMPABLE, dumpable, 0, 0, 0);
  return failure;
}

// ---- Without the helper: module and offset ----

const int kMaxFallbackFrames = 128;

struct FrameList {
  uint64_t start;  // the crash's program counter: frames before it are the handler's
  bool started;
  int count;
  uint64_t pcs[kMaxFallbackFrames];
};

_Unwind_Reason_Code NoteFrame(struct _Unwind_Context *context, void *arg) {
  FrameList *list = static_cast<FrameList *>(arg);
  int beforeInstruction = 0;
  uint64_t pc = _Unwind_GetIPInfo(context, &beforeInstruction);
  if (pc == 0) return _URC_END_OF_STACK;
  if (!list->started && pc == list->start) list->started = true;
  if (list->started || list->start == 0) list->pcs[list->count++] = pc;
  return list->count < kMaxFallbackFrames ? _URC_NO_REASON : _URC_NORMAL_STOP;
}

// Lists the frames as [module:offset] through the unwinder, which reads the
// unwind tables in place, and the loader's object look-up, which takes no
// lock; preceded by a line that says why names are missing.
void WalkWithoutHelper(const ucontext_t *context, const char *reason) {
  SafeText why;
  why.Add("(function names not available: ").Add(reason);
  why.Add("; addresses are offsets in their modules)\n");
  OutputFrameLine(why.text());
  FrameList list = {};
  list.start = ProgramCounter(context);
  _Unwind_Backtrace(NoteFrame, &list);
  if (!list.started) {
    // The crash frame was not among them: every frame, the handler's too.
    list.count = 0;
    list.start = 0;
    _Unwind_Backtrace(NoteFrame, &list);
  }
  char program[PATH_MAX];
  ssize_t length = readlink("/proc/self/exe", program, sizeof(program) - 1);
  program[length > 0 ? length : 0] = '\0';
  for (int i = 0; i < list.count; i++) {
    uint64_t pc = list.pcs[i];
    const char *module = "(module-name not available)";
    uint64_t offset = pc;
#if defined(DLFO_EH_SEGMENT_TYPE)
    struct dl_find_object found;
    // A return address points past the call: look up the call itself.
    if (_dl_find_object(reinterpret_cast<void *>(pc - (i > 0 ? 1 : 0)), &found) == 0 &&
        found.dlfo_link_map != nullptr) {
      const char *path = found.dlfo_link_map->l_name;
      if (path == nullptr || path[0] == '\0') path = program;
      const char *slash = strrchr(path, '/');
      if (*path != '\0') module = slash != nullptr ? slash + 1 : path;
      offset = pc - found.dlfo_link_map->l_addr;
    }
#endif
    SafeText line;
    line.Add("[").Add(module).Add(":").Pointer(offset).Add("]: (function-name not available)\n");
    OutputFrameLine(line.text());
  }
}

}  // namespace

void PrepareCrashReport() {
  pthread_once(&helperOnce, PrepareHelper);
}

void UseCrashHelper(const char *path) {
  size_t length = strlen(path);
  if (length >= sizeof(helperPath)) return;
  memcpy(helperPath, path, length + 1);
  helperChosen = true;
}

}  // namespace zavrin

const char *SEHExceptionName(DWORD code) {
  using namespace zavrin;
  switch (code) {
    case EXCEPTION_ACCESS_VIOLATION:
      return "Access violation";
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
      return "Array bounds exceeded";
    case EXCEPTION_BREAKPOINT:
      return "Breakpoint";
    case EXCEPTION_DATATYPE_MISALIGNMENT:
      return "Alignment error";
    case EXCEPTION_FLT_DENORMAL_OPERAND:
      return "FLT_DENORMAL_OPERAND";
    case EXCEPTION_FLT_DIVIDE_BY_ZERO:
      return "FLT_DIVIDE_BY_ZERO";
    case EXCEPTION_FLT_INEXACT_RESULT:
      return "FLT_INEXACT_RESULT";
    case EXCEPTION_FLT_INVALID_OPERATION:
      return "FLT_INVALID_OPERATION";
    case EXCEPTION_FLT_OVERFLOW:
      return "Floating point overflow";
    case EXCEPTION_FLT_STACK_CHECK:
      return "FLT_STACK_CHECK";
    case EXCEPTION_FLT_UNDERFLOW:
      return "Floating point underflow";
    case EXCEPTION_ILLEGAL_INSTRUCTION:
      return "Illegal instruction";
    case EXCEPTION_IN_PAGE_ERROR:
      return "Page error";
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
      return "Divide by zero";
    case EXCEPTION_INT_OVERFLOW:
      return "Integer overflow";
    case EXCEPTION_INVALID_DISPOSITION:
      return "Invalid disposition";
    case EXCEPTION_NONCONTINUABLE_EXCEPTION:
      return "Non-continuable exception";
    case EXCEPTION_PRIV_INSTRUCTION:
      return "Priveledged instruction";
    case EXCEPTION_SINGLE_STEP:
      return "Single step";
    case EXCEPTION_STACK_OVERFLOW:
      return "Stack overflow";
    default:
      return "Unknown";
  }
}

BOOL SEHDefaultConsoleHandler(EXCEPTION_INFO *info) {
  if (info == nullptr) return 1;
  // Inside a crash, whatever happens from here on, the process ends with 99.
  if (zavrin::InCrashFilter()) zavrin::ArmWatchdog();
  zavrin::SafeText header;
  header.Add("EXCEPTION: ").Hex(info->code, 8).Add(" (").Add(SEHExceptionName(info->code));
  header.Add(") at ").Pointer(reinterpret_cast<uintptr_t>(info->address)).Add("\n");
  zavrin::WriteOut(header.text());
  zavrin::SafeText registers;
  zavrin::FormatRegisters(info->context, &registers);
  zavrin::WriteOut(registers.text());
  zavrin::WriteOut("\nCall stack:\n");
  SEHShowCallStack(info->context);
  zavrin::WriteOut("\nPROCESS TERMINATED\n");
  return 1;
}

void SEHShowCallStack(ucontext_t *context) {
  ucontext_t own;
  if (context == nullptr) {
    if (getcontext(&own) != 0) return;
#if defined(__s390x__)
    // getcontext leaves the program counter out here: the walk starts at the
    // return address instead.
    if (own.uc_mcontext.psw.addr == 0) own.uc_mcontext.psw.addr = own.uc_mcontext.gregs[14];
#endif
    context = &own;
  }
  bool watched = zavrin::InCrashFilter() && zavrin::ArmWatchdog();
  const char *failure = zavrin::WalkWithHelper(context);
  if (failure != nullptr) zavrin::WalkWithoutHelper(context, failure);
  if (watched) zavrin::DisarmWatchdog();
}
