// The call-stack walker of the crash report: unwinds a thread's stack from a
// register context and names every frame by its module, function and source
// line, through elfutils' libdw. It runs in the crash helper, a process of its
// own, and reads the walked process from outside: nothing of it runs in the
// process that crashed.
#ifndef ZAVRIN_CALL_STACK_H
#define ZAVRIN_CALL_STACK_H

#include <stdint.h>
#include <sys/types.h>
#include <ucontext.h>

namespace zavrin {

// Longest text of a name, a path or a formatted line.
const int kCallStackTextSize = 1024;

// One frame as handed to ReportFrame.
struct CallStackEntry {
  uint64_t offset;  // program counter; 0 for none
  char name[kCallStackTextSize];
  char undName[kCallStackTextSize];      // demangled, name only
  char undFullName[kCallStackTextSize];  // demangled, with the parameters
  uint64_t offsetFromSymbol;
  uint32_t offsetFromLine;
  uint32_t lineNumber;
  char lineFileName[kCallStackTextSize];
  uint32_t symType;
  const char *symTypeString;
  char moduleName[kCallStackTextSize];
  uint64_t baseOfImage;
  char loadedImageName[kCallStackTextSize];
};

enum CallStackEntryKind { kFirstEntry = 0, kNextEntry = 1, kLastEntry = 2 };

struct SymbolSession;

class CallStackWalker {
 public:
  enum : int {
    kOptionFileVersion = 0x08,  // read each module's file version
    kOptionSymbolPath = 0x10,   // build a symbol search path
    kOptionsAll = 0x3F,
  };

  CallStackWalker(int options, const char *symbolPath, pid_t processId);
  virtual ~CallStackWalker();
  CallStackWalker(const CallStackWalker &) = delete;
  CallStackWalker &operator=(const CallStackWalker &) = delete;

  // Walks the stack of thread threadId of the walker's process from context,
  // the thread's registers. False when no symbol engine could be set up or
  // the process could not be read.
  bool ShowCallstack(const ucontext_t *context, pid_t threadId);

 protected:
  virtual void ReportSymbolInit(const char *searchPath, int symOptions, const char *userName);
  virtual void ReportModule(const char *imageName, const char *moduleName, uint64_t base,
                            uint32_t size, uint32_t result, const char *symType,
                            const char *debugFileName, uint64_t fileVersion);
  virtual void ReportFrame(int kind, CallStackEntry &entry);
  virtual void ReportError(const char *operation, int lastError, uint64_t address);
  virtual void Output(const char *text);

 private:
  bool Init();
  bool LoadModules();
  void Describe(uint64_t pc, bool exact, CallStackEntry *entry);
  static int OnFrame(void *frame, void *walker);

  SymbolSession *session_;  // the symbol engine for the walked process
  pid_t processId_;
  bool modulesLoaded_;
  char *symbolPath_;
  int options_;
  int frameCount_;
  CallStackEntry entry_;
};

// The crash report's walker: reports nothing of its own set-up or failures,
// and writes each frame line to outputFd, from where the crashed process
// passes it on, indented by two spaces, through the output writer or to
// standard output.
class CrashStackWalker : public CallStackWalker {
 public:
  CrashStackWalker(int options, const char *symbolPath, pid_t processId, int outputFd)
      : CallStackWalker(options, symbolPath, processId), outputFd_(outputFd) {}
  ~CrashStackWalker() override;

 protected:
  void ReportSymbolInit(const char *searchPath, int symOptions, const char *userName) override;
  void ReportError(const char *operation, int lastError, uint64_t address) override;
  void Output(const char *text) override;

 private:
  int outputFd_;
};

}  // namespace zavrin

#endif  // ZAVRIN_CALL_STACK_H
