// What the crashed process and its crash helper agree on.
//
// The crashed thread starts the helper as
//   zavrin-crash-helper <process id> <thread id>
// with a socket on its standard input and a pipe on its standard output, and
// every signal blocked. It allows the helper to read its memory, then sends
// the thread's register context (a ucontext_t, as the signal gave it) on the
// socket and closes it.
// The helper walks that thread's stack and writes one frame line per frame,
// each ending in "\n", to its output, then ends.
#ifndef ZAVRIN_CRASH_HELPER_H
#define ZAVRIN_CRASH_HELPER_H

#include <errno.h>
#include <string.h>
#include <unistd.h>

namespace zavrin {

// The helper's name, installed in the library's libexec folder.
#define ZAVRIN_CRASH_HELPER_NAME "zavrin-crash-helper"

// Exit codes of the helper besides 0 (the stack was walked).
enum : int {
  kHelperBadArguments = 2,  // no process or thread id, or no register context
  kHelperCannotRead = 3,    // the process could not be read (ptrace policy, gone)
  kHelperNotStarted = 127,  // the helper could not be started at all
};

// Longest time the helper works before it gives up, in seconds: the crashed
// process waits for it a little less, and the watchdog's limit is above both.
const int kHelperSeconds = 3;

// Writes text to a descriptor with write() alone: no stdio, whose lock a
// crashed thread may hold.
inline void WriteText(int fd, const char *text) {
  size_t length = strlen(text);
  while (length > 0) {
    ssize_t n = write(fd, text, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text += n;
    length -= static_cast<size_t>(n);
  }
}

}  // namespace zavrin

#endif  // ZAVRIN_CRASH_HELPER_H
