// The call-stack walker of the crash report: unwinds a thread's stack from a
// register context and names every frame by its module, function and source
// line, through elfutils' libdw.
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

  // Walks the calling thread's stack from context, or from the caller's own
  // registers when context is null. False when no symbol engine could be set
  // up or the registers could not be read.
  bool ShowCallstack(const ucontext_t *context);

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

  SymbolSession *session_;  // the symbol engine: shared when prepared, else this walker's
  bool ownsSession_;
  pid_t processId_;
  bool modulesLoaded_;
  char *symbolPath_;
  int options_;
  int frameCount_;
  CallStackEntry entry_;
};

// The crash report's walker: reports nothing of its own set-up or failures,
// and writes each frame line indented by two spaces through the output
// writer, or to standard output without one.
class CrashStackWalker : public CallStackWalker {
 public:
  CrashStackWalker(int options, const char *symbolPath, pid_t processId)
      : CallStackWalker(options, symbolPath, processId) {}
  ~CrashStackWalker() override;

 protected:
  void ReportSymbolInit(const char *searchPath, int symOptions, const char *userName) override;
  void ReportError(const char *operation, int lastError, uint64_t address) override;
  void Output(const char *text) override;
};

// Sets up (or refreshes) the symbol engine that crash reports use: the
// process's modules with their symbol tables, line tables and unwind tables,
// and the buffers for names, so that a report needs as little as possible
// from a process that has just crashed.
void PrepareCrashReport();

}  // namespace zavrin

#endif  // ZAVRIN_CALL_STACK_H
