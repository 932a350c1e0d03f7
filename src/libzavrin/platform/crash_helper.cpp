// The crash helper: walks the call stack of a thread of another process, the
// one that crashed, and writes its frame lines for that process to pass on.
// See crash_helper.h for how the two meet. Everything that may allocate, take
// locks or read files (libdw, the demangler) runs here, in a sound process.
#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <ucontext.h>
#include <unistd.h>

#include "platform/call_stack.h"
#include "platform/crash_helper.h"

namespace {

// Reads exactly size bytes, or fails.
bool ReadAll(int fd, void *data, size_t size) {
  char *at = static_cast<char *>(data);
  while (size > 0) {
    ssize_t n = read(fd, at, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    at += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

pid_t ParseId(const char *text) {
  char *end = nullptr;
  long value = strtol(text, &end, 10);
  return end != text && *end == '\0' && value > 0 && value < (1L << 30) ? static_cast<pid_t>(value)
                                                                        : 0;
}

}  // namespace

int main(int argc, char **argv) {
  // Never outlives the crashed process's patience, whatever libdw does. The
  // crashed process starts it with every signal blocked.
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  signal(SIGALRM, SIG_DFL);
  alarm(zavrin::kHelperSeconds);
  if (argc != 3) return zavrin::kHelperBadArguments;
  pid_t processId = ParseId(argv[1]), threadId = ParseId(argv[2]);
  static ucontext_t context;
  if (processId == 0 || threadId == 0 || !ReadAll(STDIN_FILENO, &context, sizeof(context))) {
    return zavrin::kHelperBadArguments;
  }
  zavrin::CrashStackWalker walker(zavrin::CallStackWalker::kOptionsAll, nullptr, processId,
                                  STDOUT_FILENO);
  return walker.ShowCallstack(&context, threadId) ? 0 : zavrin::kHelperCannotRead;
}
