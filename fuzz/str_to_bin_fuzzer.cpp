// StrToBin on arbitrary text into a buffer of exactly the given size, against a
// model of its rules: two characters per byte, other characters count as 0, an
// odd last digit is a high nibble, and never more than size bytes.
#include <zavrin/utils.h>

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

namespace {

unsigned Nibble(char c) {
  if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<unsigned>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<unsigned>(c - 'A' + 10);
  return 0;
}

std::vector<uint8_t> Model(const std::string &text, size_t size) {
  std::vector<uint8_t> out;
  for (size_t p = 0; p < text.size() && out.size() < size; p += 2) {
    unsigned low = p + 1 < text.size() ? Nibble(text[p + 1]) : 0;
    out.push_back(static_cast<uint8_t>(Nibble(text[p]) << 4 | low));
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  // The first byte is the buffer's size; the rest is the text, up to a zero.
  size_t capacity = data[0];
  std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
  text = text.substr(0, text.find('\0'));

  // Exactly capacity bytes on the heap, so that one more is caught.
  uint8_t *buffer = new uint8_t[capacity];
  memset(buffer, 0x5C, capacity);
  size_t written = StrToBin(text.c_str(), buffer, capacity);
  std::vector<uint8_t> expected = Model(text, capacity);
  if (written != expected.size()) abort();
  if (written > 0 && memcmp(buffer, expected.data(), written) != 0) abort();
  for (size_t k = written; k < capacity; k++)
    if (buffer[k] != 0) abort();  // the rest is zeroed
  delete[] buffer;
  return 0;
}
