// The crash report: exception names, the ready-made console callback and the
// call-stack walker over libdw.
//
// The walker unwinds from the signal's register context inside the crashed
// process itself. libdw's own attachment to a live process stops its threads
// with ptrace, which a process cannot do to itself; instead the session is
// attached with callbacks of ours that hand libdw the registers of the signal
// context and read the stack through process_vm_readv, which fails on a bad
// address instead of faulting. The session, with every module's symbol, line
// and unwind tables loaded, is prepared when a crash callback is registered.
#include <cxxabi.h>
#include <link.h>
#include <stddef.h>
#include <elfutils/libdwfl.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <pwd.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <new>

#include "platform/call_stack.h"
#include "platform/crash_guard.h"

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
  char searchPath[kSearchPathSize] = "";
  char userName[256] = "";
  char *demangled = nullptr;  // from malloc, as __cxa_demangle wants it
  size_t demangledSize = 0;
  // The walk in progress.
  const ucontext_t *context = nullptr;
  pid_t threadId = 0;
  int readPipe[2] = {-1, -1};  // for reading memory where process_vm_readv is missing
};

namespace {

char *debugInfoPath = nullptr;
const Dwfl_Callbacks kDwflCallbacks = {dwfl_linux_proc_find_elf, dwfl_standard_find_debuginfo,
                                       nullptr, &debugInfoPath};

pthread_mutex_t prepareMutex = PTHREAD_MUTEX_INITIALIZER;
SymbolSession *preparedSession = nullptr;

// Formats a line of at most kCallStackTextSize bytes: longer ones are cut.
__attribute__((format(printf, 2, 3))) void FormatLine(char *line, const char *format, ...) {
  va_list args;
  va_start(args, format);
  vsnprintf(line, kCallStackTextSize, format, args);
  va_end(args);
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
  if (getcwd(directory, sizeof(directory)) != nullptr) AppendPathElement(path, directory);
  ssize_t length = readlink("/proc/self/exe", directory, sizeof(directory) - 1);
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

// ---- libdw's view of the crashed thread ----

bool ReadWord(Dwfl *, Dwarf_Addr address, Dwarf_Word *result, void *arg) {
  SymbolSession *session = static_cast<SymbolSession *>(arg);
  struct iovec local = {result, sizeof(*result)};
  struct iovec remote = {reinterpret_cast<void *>(address), sizeof(*result)};
  if (process_vm_readv(getpid(), &local, 1, &remote, 1, 0) == sizeof(*result)) return true;
  if (errno == EFAULT || session->readPipe[1] < 0) return false;
  // Through a pipe: the kernel checks the address and fails with EFAULT.
  if (write(session->readPipe[1], reinterpret_cast<void *>(address), sizeof(*result)) !=
      sizeof(*result))
    return false;
  return read(session->readPipe[0], result, sizeof(*result)) == sizeof(*result);
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

int LoadTables(Dwfl_Module *module, void **, const char *, Dwarf_Addr, void *) {
  Dwarf_Addr bias;
  dwfl_module_getsymtab(module);
  dwfl_module_getdwarf(module, &bias);
  dwfl_module_eh_cfi(module, &bias);
  dwfl_module_dwarf_cfi(module, &bias);
  return DWARF_CB_OK;
}

// Reports the process's modules to the session anew: libraries loaded since
// come in, unloaded ones go.
bool ReportModules(SymbolSession *session) {
  dwfl_report_begin(session->dwfl);
  int failed = dwfl_linux_proc_report(session->dwfl, getpid());
  dwfl_report_end(session->dwfl, nullptr, nullptr);
  return failed == 0;
}

SymbolSession *OpenSession(const char *symbolPath, bool loadTables) {
  SymbolSession *session = new (std::nothrow) SymbolSession;
  if (session == nullptr) return nullptr;
  session->dwfl = dwfl_begin(&kDwflCallbacks);
  if (session->dwfl == nullptr) {
    delete session;
    return nullptr;
  }
  ReportModules(session);
  session->attached =
      dwfl_attach_state(session->dwfl, nullptr, getpid(), &kThreadCallbacks, session);
  session->demangledSize = kDemangleSize;
  session->demangled = static_cast<char *>(malloc(session->demangledSize));
  if (session->demangled == nullptr) session->demangledSize = 0;
  BuildSearchPath(session, symbolPath);
  struct passwd entry, *found = nullptr;
  char buffer[1024];
  if (getpwuid_r(geteuid(), &entry, buffer, sizeof(buffer), &found) == 0 && found != nullptr)
    snprintf(session->userName, sizeof(session->userName), "%s", found->pw_name);
  // Where the kernel has no process_vm_readv (as under qemu-user), memory is
  // read through a pipe instead.
  Dwarf_Word probe = 0, word = 0;
  struct iovec local = {&word, sizeof(word)}, remote = {&probe, sizeof(probe)};
  if (process_vm_readv(getpid(), &local, 1, &remote, 1, 0) != sizeof(word) &&
      pipe2(session->readPipe, O_CLOEXEC) != 0) {
    session->readPipe[0] = session->readPipe[1] = -1;
  }
  if (loadTables) dwfl_getmodules(session->dwfl, LoadTables, nullptr, 0);
  return session;
}

void CloseSession(SymbolSession *session) {
  if (session == nullptr) return;
  dwfl_end(session->dwfl);
  free(session->demangled);
  for (int fd : session->readPipe) {
    if (fd >= 0) close(fd);
  }
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

// Writes text to a descriptor without stdio, whose lock the crashed thread
// may hold.
void WriteText(int fd, const char *text) {
  size_t length = strlen(text);
  while (length > 0) {
    ssize_t n = write(fd, text, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text += n;
    length -= static_cast<size_t>(n);
  }
}

void WriteOut(const char *text) {
  WriteText(STDOUT_FILENO, text);
}

void FormatRegisters(const ucontext_t *context, char *text, size_t size) {
  text[0] = '\0';
  if (context == nullptr) return;
  const mcontext_t &m = context->uc_mcontext;
#if defined(__x86_64__)
  const greg_t *g = m.gregs;
  unsigned long long segments = static_cast<unsigned long long>(g[REG_CSGSFS]);
  unsigned short ds = 0, es = 0;  // the signal leaves them as they were
  __asm__("mov %%ds, %0" : "=r"(ds));
  __asm__("mov %%es, %0" : "=r"(es));
  auto r = [&](int index) { return static_cast<unsigned long long>(g[index]); };
  snprintf(text, size,
           "\nRegister information:\n"
           "  rax=%016llX  rbx=%016llX  rcx=%016llX  rdx=%016llX\n"
           "  rsi=%016llX  rdi=%016llX  rbp=%016llX  rsp=%016llX\n"
           "  r8=%016llX  r9=%016llX  r10=%016llX  r11=%016llX\n"
           "  r12=%016llX  r13=%016llX  r14=%016llX  r15=%016llX\n"
           "  rip=%016llX\n"
           "  cs=%04X  ds=%04X  es=%04X  ss=%04X  fs=%04X  gs=%04X  flags=%08X\n",
           r(REG_RAX), r(REG_RBX), r(REG_RCX), r(REG_RDX), r(REG_RSI), r(REG_RDI), r(REG_RBP),
           r(REG_RSP), r(REG_R8), r(REG_R9), r(REG_R10), r(REG_R11), r(REG_R12), r(REG_R13),
           r(REG_R14), r(REG_R15), r(REG_RIP), static_cast<unsigned>(segments & 0xFFFF), ds, es,
           static_cast<unsigned>((segments >> 48) & 0xFFFF),
           static_cast<unsigned>((segments >> 32) & 0xFFFF),
           static_cast<unsigned>((segments >> 16) & 0xFFFF),
           static_cast<unsigned>(r(REG_EFL) & 0xFFFFFFFF));
#elif defined(__s390x__)
  const unsigned long *g = m.gregs;
  snprintf(text, size,
           "\nRegister information:\n"
           "  r0=%016lX  r1=%016lX  r2=%016lX  r3=%016lX\n"
           "  r4=%016lX  r5=%016lX  r6=%016lX  r7=%016lX\n"
           "  r8=%016lX  r9=%016lX  r10=%016lX  r11=%016lX\n"
           "  r12=%016lX  r13=%016lX  r14=%016lX  r15=%016lX\n"
           "  psw.mask=%016lX  psw.addr=%016lX\n",
           g[0], g[1], g[2], g[3], g[4], g[5], g[6], g[7], g[8], g[9], g[10], g[11], g[12], g[13],
           g[14], g[15], m.psw.mask, m.psw.addr);
#else
  (void)m;
  snprintf(text, size, "\nRegister information:\n");
#endif
}

// How often the loader has loaded and unloaded objects so far.
unsigned long long LoaderGeneration() {
  unsigned long long generation = 0;
  dl_iterate_phdr(
      [](struct dl_phdr_info *info, size_t size, void *arg) -> int {
        if (size >= offsetof(struct dl_phdr_info, dlpi_subs) + sizeof(info->dlpi_subs)) {
          *static_cast<unsigned long long *>(arg) = info->dlpi_adds * 65536ULL + info->dlpi_subs;
        }
        return 1;  // every entry holds the same counts
      },
      &generation);
  return generation;
}

}  // namespace

void PrepareCrashReport() {
  static unsigned long long reportedGeneration = 0;
  pthread_mutex_lock(&prepareMutex);
  SymbolSession *session = __atomic_load_n(&preparedSession, __ATOMIC_ACQUIRE);
  unsigned long long generation = LoaderGeneration();
  if (session == nullptr) {
    session = OpenSession(nullptr, true);
    __atomic_store_n(&preparedSession, session, __ATOMIC_RELEASE);
    reportedGeneration = LoaderGeneration();  // libdw may have loaded helpers of its own
  } else if (generation != reportedGeneration || generation == 0) {
    // Libraries came or went since: the module list is read anew.
    if (ReportModules(session)) dwfl_getmodules(session->dwfl, LoadTables, nullptr, 0);
    reportedGeneration = LoaderGeneration();
  }
  pthread_mutex_unlock(&prepareMutex);
}

// ---- CallStackWalker ----

CallStackWalker::CallStackWalker(int options, const char *symbolPath, pid_t processId)
    : session_(nullptr),
      ownsSession_(false),
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
  if (ownsSession_) CloseSession(session_);
}

bool CallStackWalker::Init() {
  if (session_ != nullptr) return true;
  // The prepared session serves the current process; a walker with a path
  // of its own, or one that comes before any preparation, sets up its own.
  SymbolSession *prepared = __atomic_load_n(&preparedSession, __ATOMIC_ACQUIRE);
  if (prepared != nullptr && symbolPath_ == nullptr && processId_ == getpid()) {
    session_ = prepared;
  } else {
    session_ = OpenSession(symbolPath_, false);
    ownsSession_ = session_ != nullptr;
  }
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

bool CallStackWalker::ShowCallstack(const ucontext_t *context) {
  if (!Init()) {
    errno = ELIBACC;
    return false;
  }
  // A module list that stays empty does not stop the walk: frames then show
  // their addresses alone.
  if (!modulesLoaded_) {
    LoadModules();
    modulesLoaded_ = true;
  }
  ucontext_t own;
  if (context == nullptr) {
    if (getcontext(&own) != 0) return false;
#if defined(__s390x__)
    // getcontext leaves the program counter out here: the walk starts at the
    // return address instead.
    if (own.uc_mcontext.psw.addr == 0) own.uc_mcontext.psw.addr = own.uc_mcontext.gregs[14];
#endif
    context = &own;
  }
  if (!session_->attached) {
    ReportError("StackWalk64", 0, 0);
    return false;
  }
  session_->context = context;
  session_->threadId = static_cast<pid_t>(syscall(SYS_gettid));
  frameCount_ = 0;
  memset(&entry_, 0, sizeof(entry_));
  int result = dwfl_getthread_frames(
      session_->dwfl, session_->threadId,
      [](Dwfl_Frame *frame, void *arg) { return OnFrame(frame, arg); }, this);
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
  snprintf(line, sizeof(line), "SymInit: Symbol-SearchPath: '%s', symOptions: %d, UserName: '%s'\n",
           searchPath, symOptions, userName);
  Output(line);
  struct utsname system;
  if (uname(&system) != 0) return;
  int major = 0, minor = 0, build = 0;
  sscanf(system.release, "%d.%d.%d", &major, &minor, &build);
  snprintf(line, sizeof(line), "OS-Version: %d.%d.%d (%s) 0x%x-0x%x\n", major, minor, build,
           system.version, 0, 0);
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
  snprintf(line, sizeof(line), "ERROR: %s, GetLastError: %d (Address: %p)\n", operation, lastError,
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
  CRASH_OUTPUT_WRITER writer = CrashOutputWriter();
  if (writer != nullptr) {
    writer("  ");
    writer(text);
  } else {
    WriteOut("  ");
    WriteOut(text);
  }
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
  char text[2048];
  snprintf(text, sizeof(text), "EXCEPTION: %08X (%s) at %p\n", info->code,
           SEHExceptionName(info->code), info->address);
  zavrin::WriteOut(text);
  zavrin::FormatRegisters(info->context, text, sizeof(text));
  zavrin::WriteOut(text);
  zavrin::WriteOut("\nCall stack:\n");
  SEHShowCallStack(info->context);
  zavrin::WriteOut("\nPROCESS TERMINATED\n");
  return 1;
}

void SEHShowCallStack(ucontext_t *context) {
  zavrin::CrashStackWalker walker(zavrin::CallStackWalker::kOptionsAll, nullptr, getpid());
  walker.ShowCallstack(context);
}
