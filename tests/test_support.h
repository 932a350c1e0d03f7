// Helpers shared by the tests: child processes, temporary files, byte dumps.
#ifndef ZAVRIN_TEST_SUPPORT_H
#define ZAVRIN_TEST_SUPPORT_H

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

}  // namespace zavrin_test

#endif  // ZAVRIN_TEST_SUPPORT_H
