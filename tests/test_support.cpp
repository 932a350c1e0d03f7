#include "test_support.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

namespace zavrin_test {

std::vector<unsigned char> FromHex(const std::string &hex) {
  std::vector<unsigned char> out;
  int high = -1;
  for (char c : hex) {
    int v;
    if (c >= '0' && c <= '9') v = c - '0';
    else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
    else continue;
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

}  // namespace zavrin_test
