// Plainly written text rules shared by the configuration and option fuzzers to
// check the library against: blank stripping, case-blind comparison and the
// 32-bit base-0 number reading, each built on the C library's 64-bit readers.
#ifndef ZAVRIN_TEXT_REFERENCE_H
#define ZAVRIN_TEXT_REFERENCE_H

#include <ctype.h>
#include <errno.h>
#include <stdint.h>
#include <stdlib.h>

#include <string>

namespace zavrin_reference {

// The text without spaces and tabs at either end.
inline std::string Strip(const std::string &s) {
  size_t first = s.find_first_not_of(" \t");
  if (first == std::string::npos) return std::string();
  size_t last = s.find_last_not_of(" \t");
  return s.substr(first, last - first + 1);
}

// Equal letter for letter, ASCII letters compared without regard to case.
inline bool EqualNoCase(const std::string &a, const std::string &b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); i++) {
    unsigned char x = static_cast<unsigned char>(a[i]);
    unsigned char y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// strtol with base 0 where long has 32 bits; *whole tells whether all of the
// text was read.
inline int32_t ToInt32(const std::string &text, bool *whole) {
  char *end;
  errno = 0;
  long long value = strtoll(text.c_str(), &end, 0);
  *whole = *end == 0;
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(value);
}

// strtoul with base 0 where long has 32 bits: a magnitude beyond 32 bits gives
// 0xFFFFFFFF whatever the sign, a leading '-' negates otherwise.
inline uint32_t ToUInt32(const std::string &text, bool *whole) {
  char *end;
  errno = 0;
  unsigned long long value = strtoull(text.c_str(), &end, 0);
  *whole = *end == 0;
  if (errno == ERANGE) return 0xFFFFFFFFu;
  size_t at = 0;
  while (at < text.size() && isspace(static_cast<unsigned char>(text[at]))) at++;
  unsigned long long magnitude = at < text.size() && text[at] == '-' ? 0 - value : value;
  if (magnitude > 0xFFFFFFFFull) return 0xFFFFFFFFu;
  return static_cast<uint32_t>(value);
}

}  // namespace zavrin_reference

#endif  // ZAVRIN_TEXT_REFERENCE_H
