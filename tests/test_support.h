// Helpers shared by the tests: child processes, temporary files, byte dumps,
// socket pairs and peers.
#ifndef ZAVRIN_TEST_SUPPORT_H
#define ZAVRIN_TEST_SUPPORT_H

// Which sanitizer the tests run under: some tests replace the allocator or
// crash on purpose, which the sanitizers' own runtime does not allow.
#if defined(__SANITIZE_ADDRESS__)
#define ZAVRIN_TEST_ASAN 1
#endif
#if defined(__SANITIZE_THREAD__)
#define ZAVRIN_TEST_TSAN 1
#endif
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZAVRIN_TEST_ASAN 1
#endif
#if __has_feature(thread_sanitizer)
#define ZAVRIN_TEST_TSAN 1
#endif
#endif
#ifndef ZAVRIN_TEST_ASAN
#define ZAVRIN_TEST_ASAN 0
#endif
#ifndef ZAVRIN_TEST_TSAN
#define ZAVRIN_TEST_TSAN 0
#endif
#define ZAVRIN_TEST_SANITIZED (ZAVRIN_TEST_ASAN || ZAVRIN_TEST_TSAN)

#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

namespace zavrin_test {

// Bytes from a string of hex digits; blanks between them are ignored.
std::vector<unsigned char> FromHex(const std::string &hex);

// The bytes as lower-case hex, two digits each, no separators.
std::string ToHex(const void *data, size_t size);

// Runs body in a forked child and returns the raw wait status of the child.
// The child ends with _exit(0) when body returns.
int RunInChild(const std::function<void()> &body);

// Like RunInChild, with the child's standard output caught: *output gets
// everything the child wrote there.
int RunInChildCapturing(const std::function<void()> &body, std::string *output);

// ---- Crashes, for the crash guard and the crash report ----

// Thread routines that crash: a write through a null pointer, an integer
// division by zero, a stack overflow by runaway recursion (through the
// never-inlined CrashRecursing). Built with debug information, so that a
// call stack names them with their source lines.
uint32_t CrashWritingNull(void *);
uint32_t CrashDividingByZero(void *);
uint32_t CrashOverflowingStack(void *);
int CrashRecursing(int depth);
// Damages the heap as a write after free would (a freed block's link to the
// next free block), then allocates: the allocator itself faults.
uint32_t CrashInAllocator(void *);
// A null write in a function whose demangled name is over 1,024 characters.
uint32_t CrashWithLongName(void *);

// Runs routine on a new thread started through SEHThreadStarter and waits for it.
void RunGuarded(uint32_t (*routine)(void *), void *arg = nullptr);

// A file in a fresh temporary directory, removed (with the directory) on destruction.
class TempFile {
 public:
  explicit TempFile(const std::string &content = std::string());
  ~TempFile();
  TempFile(const TempFile &) = delete;
  TempFile &operator=(const TempFile &) = delete;
  const std::string &path() const { return path_; }
  void Write(const std::string &content) const;

 private:
  std::string dir_;
  std::string path_;
};

// True when the tests run under qemu-user: the big-endian build's emulator
// command (cmake/s390x-linux-gnu.cmake) sets ZAVRIN_TEST_UNDER_QEMU=1.
bool UnderQemu();

// ---- Sockets and peers ----

// Both ends of a connected stream socket; each end is closed on destruction
// unless it was closed before.
class SocketPair {
 public:
  // AF_UNIX socket pair by default; loopback TCP (127.0.0.1, Nagle off) if tcp.
  explicit SocketPair(bool tcp = false);
  ~SocketPair();
  SocketPair(const SocketPair &) = delete;
  SocketPair &operator=(const SocketPair &) = delete;
  int local() const { return fds_[0]; }
  int remote() const { return fds_[1]; }
  void CloseLocal();
  void CloseRemote();
  // Moves the local end to a descriptor numbered at least minimum (raising the
  // process's descriptor limit when needed) and returns it.
  int MoveLocalAbove(int minimum);

 private:
  int fds_[2] = {-1, -1};
};

// Writes every byte to fd; false if the peer went away.
bool WriteAll(int fd, const void *data, size_t size);

// Bytes waiting to be read on fd.
size_t BytesQueued(int fd);

// Writes data to writer in pieces of the given sizes (what remains after the
// last size goes as one piece), each only after reader has taken everything
// before it, so that every cut reaches the reader as one.
bool WriteInPieces(int writer, int reader, const std::vector<unsigned char> &data,
                   const std::vector<size_t> &pieces);

// Runs a function on a thread of its own, joined on destruction.
class Peer {
 public:
  explicit Peer(std::function<void()> body);
  ~Peer();
  Peer(const Peer &) = delete;
  Peer &operator=(const Peer &) = delete;
  void Join();

 private:
  struct Impl;
  Impl *impl_;
};

// Number of open descriptors of the process.
int OpenDescriptorCount();

// Raises the soft descriptor limit to at least wanted (never above the hard
// limit) and returns the limit in force.
int RaiseDescriptorLimit(int wanted);

// A blocking loopback TCP connection (127.0.0.1, Nagle off) to port, or -1.
int ConnectLoopback(uint16_t port);

// ---- Other programs ----

// A program run with its standard output on a pipe (standard error stays the
// test's). Killed and reaped on destruction if it is still running.
class ChildProgram {
 public:
  explicit ChildProgram(const std::vector<std::string> &argv);
  ~ChildProgram();
  ChildProgram(const ChildProgram &) = delete;
  ChildProgram &operator=(const ChildProgram &) = delete;
  int pid() const { return pid_; }
  // The next line it writes, without the line end; "" at its end or after
  // timeoutMs milliseconds without one.
  std::string ReadLine(int timeoutMs);
  // Sends the signal and waits for the program's end; its raw wait status.
  int Stop(int signal);

 private:
  int pid_ = -1;
  int output_ = -1;
  std::string buffered_;
};

// What /proc tells of a running process: its open descriptors, its threads, its
// resident memory in KiB and the processor time it has used in milliseconds (-1
// where it cannot be read).
int DescriptorsOf(int pid);
int ThreadsOf(int pid);
long ResidentKiBOf(int pid);
long CpuTimeMsOf(int pid);

// Number of the process's threads with this name (pthread_setname_np): the
// threads a library starts, told from the emulator's or the sanitizer's own.
int ThreadsNamed(const std::string &name);

// True once count() gives expected, within five seconds: a thread that was
// joined may still be listed by the system for a moment.
bool SettlesAt(const std::function<int()> &count, int expected);

}  // namespace zavrin_test

// For a test of what qemu-user cannot host (raw sockets, ptrace, ...): skips it,
// with the reason, when it runs there.
#define ZAVRIN_SKIP_UNDER_QEMU(reason)                                             \
  do {                                                                             \
    if (::zavrin_test::UnderQemu()) GTEST_SKIP() << "under qemu-user: " << reason; \
  } while (0)

#endif  // ZAVRIN_TEST_SUPPORT_H
