// The call-stack walker over libdw, run by the crash helper.
//
// The walked process is read from outside: its modules from /proc/PID/maps
// at the moment of the walk (so that libraries loaded at any time are named),
// its memory through process_vm_readv, or /proc/PID/mem where that call is
// missing. The walked thread's registers are the ones handed to
// ShowCallstack: libdw starts there instead of stopping the thread with
// ptrace, since the thread waits for the walk inside its signal handler.
#include "platform/call_stack.h"

#include "platform/crash_helper.h"

#include <elfutils/libdwfl.h>
#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/uio.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cxxabi.h>
#include <new>

namespace zavrin {

namespace {

// Most frames a walk reports: a runaway recursion has far more, and its top
// is what tells the story.
const int kMaxFrames = 256;
const size_t kSearchPathSize = 4096;
const size_t kDemangleSize = 16 * 1024;

}  // namespace

struct SymbolSession {
  Dwfl *dwfl = nullptr;
  bool attached = false;
  pid_t processId = 0;
  int memoryFd = -1;  // /proc/PID/mem, opened when process_vm_readv fails
  char searchPath[kSearchPathSize] = "";
  char userName[256] = "";
  char *demangled = nullptr;  // from malloc, as __cxa_demangle wants it
  size_t demangledSize = 0;
  // The walk in progress.
  const ucontext_t *context = nullptr;
  pid_t threadId = 0;
};

namespace {

char *debugInfoPath = nullptr;
const Dwfl_Callbacks kDwflCallbacks = {dwfl_linux_proc_find_elf, dwfl_standard_find_debuginfo,
                                       nullptr, &debugInfoPath};

// Formats a line of at most kCallStackTextSize bytes. A longer one is cut,
// and keeps its line end.
__attribute__((format(printf, 2, 3))) void FormatLine(char *line, const char *format, ...) {
  va_list args;
  va_start(args, format);
  int length = vsnprintf(line, kCallStackTextSize, format, args);
  va_end(args);
  if (length >= kCallStackTextSize && format[strlen(format) - 1] == '\n') {
    line[kCallStackTextSize - 2] = '\n';
  }
}

void CopyText(char *target, const char *source) {
  if (source == nullptr) source = "";
  snprintf(target, kCallStackTextSize, "%s", source);
}

const char *BaseName(const char *path) {
  const char *slash = strrchr(path, '/');
  return slash != nullptr ? slash + 1 : path;
}

// Appends element and ";" while both fit.
void AppendPathElement(char *path, const char *element) {
  if (element == nullptr || *element == '\0') return;
  size_t used = strlen(path), length = strlen(element);
  if (used + length + 2 > kSearchPathSize) return;
  memcpy(path + used, element, length);
  path[used + length] = ';';
  path[used + length + 1] = '\0';
}

void BuildSearchPath(SymbolSession *session, const char *symbolPath) {
  char *path = session->searchPath;
  path[0] = '\0';
  AppendPathElement(path, symbolPath);
  AppendPathElement(path, ".");
  char directory[kCallStackTextSize];
  char link[64];
  snprintf(link, sizeof(link), "/proc/%d/cwd", static_cast<int>(session->processId));
  ssize_t length = readlink(link, directory, sizeof(directory) - 1);
  if (length > 0) {
    directory[length] = '\0';
    AppendPathElement(path, directory);
  }
  snprintf(link, sizeof(link), "/proc/%d/exe", static_cast<int>(session->processId));
  length = readlink(link, directory, sizeof(directory) - 1);
  if (length > 0) {
    directory[length] = '\0';
    char *slash = strrchr(directory, '/');
    if (slash != nullptr) *slash = '\0';
    AppendPathElement(path, directory);
  }
  AppendPathElement(path, getenv("_NT_SYMBOL_PATH"));
  AppendPathElement(path, getenv("_NT_ALTERNATE_SYMBOL_PATH"));
  const char *root = getenv("SYSTEMROOT");
  if (root != nullptr && strlen(root) + 10 < sizeof(directory)) {
    AppendPathElement(path, root);
    snprintf(directory, sizeof(directory), "%s\\system32", root);
    AppendPathElement(path, directory);
  }
}

// ---- libdw's view of the walked thread ----

bool ReadWord(Dwfl *, Dwarf_Addr address, Dwarf_Word *result, void *arg) {
  SymbolSession *session = static_cast<SymbolSession *>(arg);
  struct iovec local = {result, sizeof(*result)};
  struct iovec remote = {reinterpret_cast<void *>(address), sizeof(*result)};
  if (process_vm_readv(session->processId, &local, 1, &remote, 1, 0) == sizeof(*result)) {
    return true;
  }
  if (errno == EFAULT || session->memoryFd < 0) return false;
  return pread(session->memoryFd, result, sizeof(*result), static_cast<off_t>(address)) ==
         sizeof(*result);
}

pid_t NextThread(Dwfl *, void *arg, void **threadArg) {
  if (*threadArg != nullptr) return 0;
  *threadArg = arg;
  return static_cast<SymbolSession *>(arg)->threadId;
}

bool GetThread(Dwfl *, pid_t threadId, void *arg, void **threadArg) {
  SymbolSession *session = static_cast<SymbolSession *>(arg);
  if (threadId != session->threadId) return false;
  *threadArg = arg;
  return true;
}

bool SetInitialRegisters(Dwfl_Thread *thread, void *arg) {
  const ucontext_t *context = static_cast<SymbolSession *>(arg)->context;
  if (context == nullptr) return false;
  const mcontext_t &m = context->uc_mcontext;
#if defined(__x86_64__)
  // In DWARF register order: rax, rdx, rcx, rbx, rsi, rdi, rbp, rsp, r8-r15,
  // then the return address column, which holds rip.
  const int order[] = {REG_RAX, REG_RDX, REG_RCX, REG_RBX, REG_RSI, REG_RDI,
                       REG_RBP, REG_RSP, REG_R8,  REG_R9,  REG_R10, REG_R11,
                       REG_R12, REG_R13, REG_R14, REG_R15, REG_RIP};
  Dwarf_Word registers[17];
  for (int i = 0; i < 17; i++) registers[i] = static_cast<Dwarf_Word>(m.gregs[order[i]]);
  return dwfl_thread_state_registers(thread, 0, 17, registers);
#elif defined(__s390x__)
  Dwarf_Word registers[16];
  for (int i = 0; i < 16; i++) registers[i] = m.gregs[i];
  if (!dwfl_thread_state_registers(thread, 0, 16, registers)) return false;
  dwfl_thread_state_register_pc(thread, m.psw.addr);
  return true;
#else
  (void)thread;
  (void)m;
  return false;
#endif
}

const Dwfl_Thread_Callbacks kThreadCallbacks = {NextThread,          GetThread, ReadWord,
                                                SetInitialRegisters, nullptr,   nullptr};

// True when the process's memory can be read: through process_vm_readv, or
// else through /proc/PID/mem, which the session then keeps open.
bool CanRead(SymbolSession *session, const ucontext_t *context) {
  // The crashed instruction is readable where the stack may not be (after an
  // overflow, the stack pointer lies in the guard area).
#if defined(__x86_64__)
  Dwarf_Addr probe = static_cast<Dwarf_Addr>(context->uc_mcontext.gregs[REG_RIP]);
#elif defined(__s390x__)
  Dwarf_Addr probe = context->uc_mcontext.psw.addr;
#else
  Dwarf_Addr probe = 0;
  (void)context;
#endif
  Dwarf_Word word;
  if (ReadWord(nullptr, probe, &word, session)) return true;
  if (session->memoryFd < 0) {
    char path[64];
    snprintf(path, sizeof(path), "/proc/%d/mem", static_cast<int>(session->processId));
    session->memoryFd = open(path, O_RDONLY | O_CLOEXEC);
  }
  return ReadWord(nullptr, probe, &word, session);
}

SymbolSession *OpenSession(const char *symbolPath, pid_t processId) {
  SymbolSession *session = new (std::nothrow) SymbolSession;
  if (session == nullptr) return nullptr;
  session->processId = processId;
  session->dwfl = dwfl_begin(&kDwflCallbacks);
  if (session->dwfl == nullptr) {
    delete session;
    return nullptr;
  }
  dwfl_report_begin(session->dwfl);
  dwfl_linux_proc_report(session->dwfl, processId);
  dwfl_report_end(session->dwfl, nullptr, nullptr);
  session->attached =
      dwfl_attach_state(session->dwfl, nullptr, processId, &kThreadCallbacks, session);
  session->demangledSize = kDemangleSize;
  session->demangled = static_cast<char *>(malloc(session->demangledSize));
  if (session->demangled == nullptr) session->demangledSize = 0;
  BuildSearchPath(session, symbolPath);
  struct passwd entry, *found = nullptr;
  char buffer[1024];
  if (getpwuid_r(geteuid(), &entry, buffer, sizeof(buffer), &found) == 0 && found != nullptr)
    snprintf(session->userName, sizeof(session->userName), "%s", found->pw_name);
  return session;
}

void CloseSession(SymbolSession *session) {
  if (session == nullptr) return;
  dwfl_end(session->dwfl);
  free(session->demangled);
  if (session->memoryFd >= 0) close(session->memoryFd);
  delete session;
}

// The name-only form of a demangled name: without the parameter list (and
// what follows it, such as "const").
void NameOnly(const char *full, char *target) {
  CopyText(target, full);
  char *end = strrchr(target, ')');
  if (end == nullptr) return;
  int depth = 0;
  for (char *p = end; p >= target; p--) {
    if (*p == ')') depth++;
    if (*p == '(' && --depth == 0) {
      if (p > target) *p = '\0';
      return;
    }
  }
}

// The source line of address found by going through the module's compile
// units, for debug information without an address index (.debug_aranges,
// which clang leaves out), where libdw's own look-up finds nothing.
const char *LineWithoutRanges(Dwfl_Module *module, Dwarf_Addr address, Dwarf_Addr *lineAddress,
                              int *lineNumber) {
  Dwarf_Addr bias = 0;
  for (Dwarf_Die *unit = dwfl_module_nextcu(module, nullptr, &bias); unit != nullptr;
       unit = dwfl_module_nextcu(module, unit, &bias)) {
    if (dwarf_haspc(unit, address - bias) != 1) continue;
    Dwarf_Line *line = dwarf_getsrc_die(unit, address - bias);
    if (line == nullptr || dwarf_lineno(line, lineNumber) != 0 ||
        dwarf_lineaddr(line, lineAddress) != 0)
      return nullptr;
    *lineAddress += bias;
    return dwarf_linesrc(line, nullptr, nullptr);
  }
  return nullptr;
}

}  // namespace

// ---- CallStackWalker ----

CallStackWalker::CallStackWalker(int options, const char *symbolPath, pid_t processId)
    : session_(nullptr),
      processId_(processId),
      modulesLoaded_(false),
      symbolPath_(nullptr),
      options_(options),
      frameCount_(0) {
  if (symbolPath != nullptr) {
    symbolPath_ = strdup(symbolPath);
    options_ |= kOptionSymbolPath;
  }
}

CallStackWalker::~CallStackWalker() {
  free(symbolPath_);
  CloseSession(session_);
}

bool CallStackWalker::Init() {
  if (session_ != nullptr) return true;
  session_ = OpenSession(symbolPath_, processId_);
  if (session_ == nullptr) return false;
  // libdw has no options of its own to report: these are the ones the
  // report works with (line information on, no dialogs).
  ReportSymbolInit((options_ & kOptionSymbolPath) ? session_->searchPath : "", 0x210,
                   session_->userName);
  return true;
}

bool CallStackWalker::LoadModules() {
  struct Lister {
    CallStackWalker *walker;
    int count;
  } lister = {this, 0};
  dwfl_getmodules(
      session_->dwfl,
      [](Dwfl_Module *module, void **, const char *name, Dwarf_Addr start, void *arg) -> int {
        Lister *l = static_cast<Lister *>(arg);
        Dwarf_Addr end = 0;
        const char *mainFile = nullptr, *debugFile = nullptr;
        dwfl_module_info(module, nullptr, nullptr, &end, nullptr, nullptr, &mainFile, &debugFile);
        const char *type = debugFile != nullptr  ? "PDB"
                           : mainFile != nullptr ? "-exported-"
                                                 : "-deferred-";
        l->walker->ReportModule(mainFile != nullptr ? mainFile : name, BaseName(name), start,
                                static_cast<uint32_t>(end - start), 0, type,
                                debugFile != nullptr ? debugFile : "", 0);
        l->count++;
        return DWARF_CB_OK;
      },
      &lister, 0);
  return lister.count > 0;
}

void CallStackWalker::Describe(uint64_t pc, bool exact, CallStackEntry *entry) {
  memset(entry, 0, sizeof(*entry));
  entry->offset = pc;
  entry->symTypeString = "-nosymbols-";
  // A return address points past the call: look up the call itself.
  Dwarf_Addr lookup = exact ? pc : pc - 1;
  Dwfl_Module *module = dwfl_addrmodule(session_->dwfl, lookup);
  if (module == nullptr) {
    ReportError("SymGetModuleInfo64", dwfl_errno(), pc);
    return;
  }
  GElf_Off offset = 0;
  GElf_Sym symbol;
  const char *name =
      dwfl_module_addrinfo(module, lookup, &offset, &symbol, nullptr, nullptr, nullptr);
  if (name != nullptr) {
    CopyText(entry->name, name);
    entry->offsetFromSymbol = offset + (exact ? 0 : 1);
    int status = -1;
    if (session_->demangled != nullptr) {
      char *out = abi::__cxa_demangle(name, session_->demangled, &session_->demangledSize, &status);
      if (out != nullptr) session_->demangled = out;
    }
    if (status == 0) {
      CopyText(entry->undFullName, session_->demangled);
      NameOnly(entry->undFullName, entry->undName);
    }
  } else {
    ReportError("SymGetSymFromAddr64", dwfl_errno(), pc);
  }
  Dwfl_Line *line = dwfl_module_getsrc(module, lookup);
  Dwarf_Addr lineAddress = 0;
  int lineNumber = 0;
  const char *file = line != nullptr
                         ? dwfl_lineinfo(line, &lineAddress, &lineNumber, nullptr, nullptr, nullptr)
                         : nullptr;
  if (file == nullptr) file = LineWithoutRanges(module, lookup, &lineAddress, &lineNumber);
  if (file != nullptr) {
    CopyText(entry->lineFileName, file);
    entry->lineNumber = static_cast<uint32_t>(lineNumber);
    entry->offsetFromLine = static_cast<uint32_t>(pc - lineAddress);
  } else {
    ReportError("SymGetLineFromAddr64", dwfl_errno(), pc);
  }
  Dwarf_Addr start = 0;
  const char *mainFile = nullptr, *debugFile = nullptr;
  const char *moduleName =
      dwfl_module_info(module, nullptr, &start, nullptr, nullptr, nullptr, &mainFile, &debugFile);
  if (moduleName == nullptr) {
    ReportError("SymGetModuleInfo64", dwfl_errno(), pc);
    return;
  }
  CopyText(entry->moduleName, BaseName(moduleName));
  CopyText(entry->loadedImageName, mainFile != nullptr ? mainFile : moduleName);
  entry->baseOfImage = start;
  entry->symType = debugFile != nullptr ? 3 : 4;
  entry->symTypeString = debugFile != nullptr ? "PDB" : "-exported-";
}

int CallStackWalker::OnFrame(void *frame, void *arg) {
  CallStackWalker *walker = static_cast<CallStackWalker *>(arg);
  Dwarf_Addr pc = 0;
  bool exact = false;
  if (!dwfl_frame_pc(static_cast<Dwfl_Frame *>(frame), &pc, &exact) || pc == 0) {
    return DWARF_CB_ABORT;
  }
  walker->Describe(pc, exact, &walker->entry_);
  walker->ReportFrame(walker->frameCount_ == 0 ? kFirstEntry : kNextEntry, walker->entry_);
  return ++walker->frameCount_ < kMaxFrames ? DWARF_CB_OK : DWARF_CB_ABORT;
}

bool CallStackWalker::ShowCallstack(const ucontext_t *context, pid_t threadId) {
  if (context == nullptr || !Init()) {
    errno = ELIBACC;
    return false;
  }
  // A module list that stays empty does not stop the walk: frames then show
  // their addresses alone.
  if (!modulesLoaded_) {
    LoadModules();
    modulesLoaded_ = true;
  }
  if (!session_->attached || !CanRead(session_, context)) {
    ReportError("StackWalk64", errno, 0);
    return false;
  }
  session_->context = context;
  session_->threadId = threadId;
  frameCount_ = 0;
  memset(&entry_, 0, sizeof(entry_));
  int result = dwfl_getthread_frames(
      session_->dwfl, threadId, [](Dwfl_Frame *frame, void *arg) { return OnFrame(frame, arg); },
      this);
  if (result < 0 && frameCount_ == 0) {
    ReportError("StackWalk64", dwfl_errno(), 0);
    session_->context = nullptr;
    return false;
  }
  // The end of the stack, or as deep as the walk goes.
  ReportFrame(kLastEntry, entry_);
  session_->context = nullptr;
  errno = 0;
  return true;
}

void CallStackWalker::ReportSymbolInit(const char *searchPath, int symOptions,
                                       const char *userName) {
  char line[kCallStackTextSize];
  FormatLine(line, "SymInit: Symbol-SearchPath: '%s', symOptions: %d, UserName: '%s'\n", searchPath,
             symOptions, userName);
  Output(line);
  struct utsname system;
  if (uname(&system) != 0) return;
  int major = 0, minor = 0, build = 0;
  sscanf(system.release, "%d.%d.%d", &major, &minor, &build);
  FormatLine(line, "OS-Version: %d.%d.%d (%s) 0x%x-0x%x\n", major, minor, build, system.version, 0,
             0);
  Output(line);
}

void CallStackWalker::ReportModule(const char *, const char *, uint64_t, uint32_t, uint32_t,
                                   const char *, const char *, uint64_t) {}

void CallStackWalker::ReportFrame(int kind, CallStackEntry &entry) {
  if (kind == kLastEntry || entry.offset == 0) return;
  const char *shown = entry.undFullName[0] != '\0' ? entry.undFullName
                      : entry.undName[0] != '\0'   ? entry.undName
                      : entry.name[0] != '\0'      ? entry.name
                                                   : "(function-name not available)";
  char line[kCallStackTextSize];
  if (entry.lineFileName[0] != '\0') {
    FormatLine(line, "[%s:%s:%d]: %s\n", entry.moduleName, entry.lineFileName,
               static_cast<int>(entry.lineNumber), shown);
  } else {
    const char *module =
        entry.moduleName[0] != '\0' ? entry.moduleName : "(module-name not available)";
    FormatLine(line, "[%s:%p]: %s\n", module,
               reinterpret_cast<void *>(static_cast<uintptr_t>(entry.offset)), shown);
  }
  Output(line);
}

void CallStackWalker::ReportError(const char *operation, int lastError, uint64_t address) {
  char line[kCallStackTextSize];
  FormatLine(line, "ERROR: %s, GetLastError: %d (Address: %p)\n", operation, lastError,
             reinterpret_cast<void *>(static_cast<uintptr_t>(address)));
  Output(line);
}

// The platform's debugger output: standard error here.
void CallStackWalker::Output(const char *text) {
  WriteText(STDERR_FILENO, text);
}

// ---- CrashStackWalker ----

CrashStackWalker::~CrashStackWalker() = default;

void CrashStackWalker::ReportSymbolInit(const char *, int, const char *) {}

void CrashStackWalker::ReportError(const char *, int, uint64_t) {}

void CrashStackWalker::Output(const char *text) {
  WriteText(outputFd_, text);
}

}  // namespace zavrin
