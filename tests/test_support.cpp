#include "test_support.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <zavrin/platform.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "port/thread.h"

namespace zavrin_test {

std::vector<unsigned char> FromHex(const std::string &hex) {
  std::vector<unsigned char> out;
  int high = -1;
  for (char c : hex) {
    int v;
    if (c >= '0' && c <= '9')
      v = c - '0';
    else if (c >= 'a' && c <= 'f')
      v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
      v = c - 'A' + 10;
    else
      continue;
    if (high < 0) {
      high = v;
    } else {
      out.push_back(static_cast<unsigned char>(high * 16 + v));
      high = -1;
    }
  }
  if (high >= 0) throw std::invalid_argument("odd number of hex digits");
  return out;
}

std::string ToHex(const void *data, size_t size) {
  static const char digits[] = "0123456789abcdef";
  const unsigned char *p = static_cast<const unsigned char *>(data);
  std::string out;
  out.reserve(size * 2);
  for (size_t i = 0; i < size; i++) {
    out.push_back(digits[p[i] >> 4]);
    out.push_back(digits[p[i] & 15]);
  }
  return out;
}

int RunInChild(const std::function<void()> &body) {
  fflush(stdout);
  fflush(stderr);
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    body();
    _exit(0);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return status;
}

int RunInChildCapturing(const std::function<void()> &body, std::string *output) {
  TempFile file;
  int status = RunInChild([&] {
    int fd = open(file.path().c_str(), O_WRONLY | O_TRUNC);
    if (fd < 0 || dup2(fd, STDOUT_FILENO) < 0) _exit(125);
    close(fd);
    body();
  });
  output->clear();
  FILE *f = fopen(file.path().c_str(), "rb");
  if (f == nullptr) return status;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof(buffer), f)) > 0) output->append(buffer, n);
  fclose(f);
  return status;
}

__attribute__((noinline, no_sanitize("undefined"))) uint32_t CrashWritingNull(void *) {
  volatile int *volatile target = nullptr;
  *target = 1;
  return 0;
}

__attribute__((noinline, no_sanitize("undefined"))) uint32_t CrashDividingByZero(void *) {
  volatile int one = 1, zero = 0;
  volatile int result = one / zero;
  return static_cast<uint32_t>(result);
}

namespace {
volatile int recursionLimit = 1 << 30;
}

__attribute__((noinline)) int CrashRecursing(int depth) {
  volatile char frame[512];
  frame[0] = static_cast<char>(depth);
  if (depth < recursionLimit) return CrashRecursing(depth + 1) + frame[0];
  return frame[0];
}

__attribute__((noinline)) uint32_t CrashOverflowingStack(void *) {
  return static_cast<uint32_t>(CrashRecursing(0));
}

__attribute__((noinline)) uint32_t CrashInAllocator(void *) {
  const size_t size = 40;  // served from the thread's cache of small free blocks
  void *first = malloc(size);
  void *second = malloc(size);
  volatile uintptr_t freed = reinterpret_cast<uintptr_t>(second);
  free(first);
  free(second);
  // The freed block's first word links to the next free block, stored as
  // (its own address >> 12) ^ next: make next an unmapped, aligned address.
  *reinterpret_cast<volatile uintptr_t *>(freed) = (freed >> 12) ^ 0x10;
  void *again = malloc(size);    // takes the damaged block
  void *corrupt = malloc(size);  // follows its link and faults
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(again) ^
                               reinterpret_cast<uintptr_t>(corrupt));
}

namespace {
template <typename Tag>
__attribute__((noinline, no_sanitize("undefined"))) uint32_t CrashNamedByTag(void *) {
  volatile int *volatile target = nullptr;
  *target = 7 * sizeof(Tag);  // unlike every other crash, so that no two are folded into one
  return 0;
}

// A tag whose name, nested 30 times, spells out to over 1,500 characters.
template <typename Inner>
struct TagWithARatherLongNameForTheTest {};
template <int Depth>
struct NestedTag {
  using type = TagWithARatherLongNameForTheTest<typename NestedTag<Depth - 1>::type>;
};
template <>
struct NestedTag<0> {
  using type = int;
};
}  // namespace

uint32_t CrashWithLongName(void *arg) {
  return CrashNamedByTag<NestedTag<30>::type>(arg);
}

void RunGuarded(uint32_t (*routine)(void *), void *arg) {
  THREAD_START_RECORD record = {routine, arg};
  zavrin::Thread thread;
  if (!thread.Start(SEHThreadStarter, &record)) throw std::runtime_error("no thread");
  thread.Join();
}

TempFile::TempFile(const std::string &content) {
  char pattern[] = "/tmp/zavrin-test-XXXXXX";
  if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
  dir_ = pattern;
  path_ = dir_ + "/file";
  Write(content);
}

TempFile::~TempFile() {
  unlink(path_.c_str());
  rmdir(dir_.c_str());
}

void TempFile::Write(const std::string &content) const {
  FILE *f = fopen(path_.c_str(), "wb");
  if (f == nullptr) throw std::runtime_error("cannot write " + path_);
  fwrite(content.data(), 1, content.size(), f);
  fclose(f);
}

bool UnderQemu() {
  const char *flag = getenv("ZAVRIN_TEST_UNDER_QEMU");
  return flag != nullptr && strcmp(flag, "1") == 0;
}

SocketPair::SocketPair(bool tcp) {
  if (!tcp) {
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds_) != 0)
      throw std::runtime_error("socketpair failed");
    return;
  }
  int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(addr);
  if (listener < 0 || bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0 ||
      listen(listener, 1) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &length) != 0)
    throw std::runtime_error("loopback listener failed");
  fds_[0] = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (connect(fds_[0], reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0)
    throw std::runtime_error("loopback connect failed");
  fds_[1] = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  close(listener);
  if (fds_[1] < 0) throw std::runtime_error("loopback accept failed");
  int one = 1;
  for (int fd : fds_) setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
}

SocketPair::~SocketPair() {
  CloseLocal();
  CloseRemote();
}

void SocketPair::CloseLocal() {
  if (fds_[0] >= 0) close(fds_[0]);
  fds_[0] = -1;
}

void SocketPair::CloseRemote() {
  if (fds_[1] >= 0) close(fds_[1]);
  fds_[1] = -1;
}

int SocketPair::MoveLocalAbove(int minimum) {
  RaiseDescriptorLimit(minimum + 1);
  int moved = fcntl(fds_[0], F_DUPFD_CLOEXEC, minimum);
  if (moved < 0) throw std::runtime_error("no descriptor above the minimum");
  close(fds_[0]);
  fds_[0] = moved;
  return moved;
}

bool WriteAll(int fd, const void *data, size_t size) {
  const unsigned char *p = static_cast<const unsigned char *>(data);
  while (size > 0) {
    ssize_t n = send(fd, p, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

size_t BytesQueued(int fd) {
  int queued = 0;
  if (ioctl(fd, FIONREAD, &queued) != 0) return 0;
  return static_cast<size_t>(queued);
}

bool WriteInPieces(int writer, int reader, const std::vector<unsigned char> &data,
                   const std::vector<size_t> &pieces) {
  size_t offset = 0;
  for (size_t i = 0; offset < data.size(); i++) {
    size_t piece = i < pieces.size() ? pieces[i] : data.size() - offset;
    if (piece > data.size() - offset) piece = data.size() - offset;
    // The reader may be slow on a loaded machine: wait as long as it takes, up
    // to a bound no healthy run comes near.
    for (int waited = 0; BytesQueued(reader) > 0; waited++) {
      if (waited > 60000) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (!WriteAll(writer, data.data() + offset, piece)) return false;
    offset += piece;
  }
  return true;
}

struct Peer::Impl {
  std::thread thread;
};

Peer::Peer(std::function<void()> body) : impl_(new Impl) {
  impl_->thread = std::thread(std::move(body));
}

Peer::~Peer() {
  Join();
  delete impl_;
}

void Peer::Join() {
  if (impl_->thread.joinable()) impl_->thread.join();
}

namespace {

// Entries of a /proc directory, "." and ".." included.
int EntriesOf(const std::string &path) {
  DIR *dir = opendir(path.c_str());
  if (dir == nullptr) return -1;
  int count = 0;
  while (readdir(dir) != nullptr) count++;
  closedir(dir);
  return count;
}

}  // namespace

int OpenDescriptorCount() {
  return EntriesOf("/proc/self/fd");  // includes the directory's own descriptor
}

int DescriptorsOf(int pid) {
  int n = EntriesOf("/proc/" + std::to_string(pid) + "/fd");
  return n < 0 ? -1 : n - 2;
}

int ThreadsOf(int pid) {
  int n = EntriesOf("/proc/" + std::to_string(pid) + "/task");
  return n < 0 ? -1 : n - 2;
}

long ResidentKiBOf(int pid) {
  FILE *f = fopen(("/proc/" + std::to_string(pid) + "/status").c_str(), "r");
  if (f == nullptr) return -1;
  char line[256];
  long kib = -1;
  while (fgets(line, sizeof(line), f) != nullptr)
    if (sscanf(line, "VmRSS: %ld kB", &kib) == 1) break;
  fclose(f);
  return kib;
}

long CpuTimeMsOf(int pid) {
  FILE *f = fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
  if (f == nullptr) return -1;
  char text[1024] = "";
  size_t n = fread(text, 1, sizeof(text) - 1, f);
  fclose(f);
  text[n] = '\0';
  // Fields 14 and 15, user and system time in clock ticks, follow the command
  // name in parentheses, which may hold blanks.
  const char *after = strrchr(text, ')');
  unsigned long user = 0, system = 0;
  if (after == nullptr ||
      sscanf(after + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &user, &system) != 2)
    return -1;
  return static_cast<long>((user + system) * 1000 /
                           static_cast<unsigned long>(sysconf(_SC_CLK_TCK)));
}

int RaiseDescriptorLimit(int wanted) {
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return -1;
  if (limit.rlim_cur < static_cast<rlim_t>(wanted)) {
    limit.rlim_cur = std::min(limit.rlim_max, static_cast<rlim_t>(wanted));
    setrlimit(RLIMIT_NOFILE, &limit);
    getrlimit(RLIMIT_NOFILE, &limit);
  }
  return static_cast<int>(std::min<rlim_t>(limit.rlim_cur, 1 << 30));
}

int ConnectLoopback(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0) {
    close(fd);
    return -1;
  }
  int one = 1;
  if (fd >= 0) setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  return fd;
}

ChildProgram::ChildProgram(const std::vector<std::string> &argv) {
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  std::vector<char *> args;
  for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
  args.push_back(nullptr);
  pid_ = fork();
  if (pid_ == 0) {
    dup2(out[1], STDOUT_FILENO);
    execv(args[0], args.data());
    _exit(127);
  }
  close(out[1]);
  output_ = out[0];
  if (pid_ < 0) throw std::runtime_error("fork failed");
}

ChildProgram::~ChildProgram() {
  if (pid_ > 0) Stop(SIGKILL);
  if (output_ >= 0) close(output_);
}

std::string ChildProgram::ReadLine(int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    size_t end = buffered_.find('\n');
    if (end != std::string::npos) {
      std::string line = buffered_.substr(0, end);
      buffered_.erase(0, end + 1);
      return line;
    }
    int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                    deadline - std::chrono::steady_clock::now())
                                    .count());
    pollfd p = {output_, POLLIN, 0};
    if (left <= 0 || poll(&p, 1, left) <= 0) return "";
    char chunk[512];
    ssize_t n = read(output_, chunk, sizeof(chunk));
    if (n <= 0) return "";
    buffered_.append(chunk, static_cast<size_t>(n));
  }
}

int ChildProgram::Stop(int signal) {
  if (pid_ <= 0) return -1;
  kill(pid_, signal);
  int status = -1;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  return status;
}

int ThreadsNamed(const std::string &name) {
  DIR *dir = opendir("/proc/self/task");
  if (dir == nullptr) return -1;
  int count = 0;
  while (struct dirent *entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    std::string path = std::string("/proc/self/task/") + entry->d_name + "/comm";
    FILE *comm = fopen(path.c_str(), "r");
    if (comm == nullptr) continue;  // the thread has ended meanwhile
    char line[64] = "";
    if (fgets(line, sizeof(line), comm) != nullptr) line[strcspn(line, "\n")] = '\0';
    fclose(comm);
    if (name == line) count++;
  }
  closedir(dir);
  return count;
}

bool SettlesAt(const std::function<int()> &count, int expected) {
  for (int i = 0; i < 5000; i++) {
    if (count() == expected) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return count() == expected;
}

}  // namespace zavrin_test
