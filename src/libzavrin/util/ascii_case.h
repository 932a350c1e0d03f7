// Letter case as the library folds it: ASCII letters only, in every locale, as
// strcasecmp does in the C locale. The C library's own comparisons follow the
// program's locale, where "I" and "i" may differ (Turkish); keywords, option
// names, type names and map keys must not change meaning with it.
#ifndef ZAVRIN_UTIL_ASCII_CASE_H
#define ZAVRIN_UTIL_ASCII_CASE_H

#include <stddef.h>
#include <stdint.h>

namespace zavrin {

inline char AsciiUpper(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// Compares at most n bytes of a and b, ASCII letters without regard to case and
// every other byte as an unsigned value: below, equal to or above zero, like
// strncasecmp in the C locale.
inline int AsciiCaseCompare(const char *a, const char *b, size_t n = SIZE_MAX) {
  for (size_t i = 0; i < n; i++) {
    unsigned char ca = static_cast<unsigned char>(AsciiUpper(a[i]));
    unsigned char cb = static_cast<unsigned char>(AsciiUpper(b[i]));
    if (ca != cb || ca == 0) return ca - cb;
  }
  return 0;
}

inline bool AsciiCaseEqual(const char *a, const char *b) {
  return AsciiCaseCompare(a, b) == 0;
}

}  // namespace zavrin

#endif  // ZAVRIN_UTIL_ASCII_CASE_H
