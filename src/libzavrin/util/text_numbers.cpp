// 32-bit number parsing with the saturation rules of a 32-bit long, and the
// library's number formats.
#include "util/text_numbers.h"

#include <ctype.h>
#include <errno.h>
#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>

namespace zavrin {
namespace {

// Splits off the sign and reads the magnitude with base 0. False when no digits
// follow; *overflow when the magnitude does not fit 32 bits. *end is where the
// reading stopped (text itself when it read nothing).
bool ReadMagnitude(const char *text, bool *negative, QWORD *magnitude, bool *overflow,
                   const char **end) {
  *end = text;
  const char *p = text;
  while (isspace(static_cast<unsigned char>(*p))) p++;
  *negative = *p == '-';
  if (*p == '-' || *p == '+') p++;
  // strtoull would accept a second sign or blanks here; strtoul does not.
  if (!isdigit(static_cast<unsigned char>(*p))) return false;
  char *stop;
  int savedErrno = errno;
  errno = 0;
  unsigned long long value = strtoull(p, &stop, 0);
  *overflow = errno == ERANGE || value > 0xFFFFFFFFull;
  errno = savedErrno;
  if (stop == p) return false;
  *end = stop;
  *magnitude = value;
  return true;
}

}  // namespace

DWORD TextToUInt32(const char *text, const char **end) {
  bool negative, overflow;
  QWORD magnitude;
  if (!ReadMagnitude(text, &negative, &magnitude, &overflow, end)) return 0;
  if (overflow) return 0xFFFFFFFFu;
  DWORD value = static_cast<DWORD>(magnitude);
  return negative ? 0u - value : value;
}

int32_t TextToInt32(const char *text, const char **end) {
  bool negative, overflow;
  QWORD magnitude;
  if (!ReadMagnitude(text, &negative, &magnitude, &overflow, end)) return 0;
  if (negative) {
    if (overflow || magnitude >= 0x80000000ull) return INT32_MIN;
    return -static_cast<int32_t>(magnitude);
  }
  if (overflow || magnitude > 0x7FFFFFFFull) return INT32_MAX;
  return static_cast<int32_t>(magnitude);
}

DWORD TextToUInt32(const char *text) {
  const char *end;
  return TextToUInt32(text, &end);
}

int32_t TextToInt32(const char *text) {
  const char *end;
  return TextToInt32(text, &end);
}

void FormatNumber(char *buffer, size_t size, int32_t value) {
  snprintf(buffer, size, "%" PRId32, value);
}

void FormatNumber(char *buffer, size_t size, DWORD value) {
  snprintf(buffer, size, "%" PRIu32, value);
}

void FormatNumber(char *buffer, size_t size, INT64 value) {
  snprintf(buffer, size, "%" PRId64, value);
}

void FormatNumber(char *buffer, size_t size, QWORD value) {
  snprintf(buffer, size, "%" PRIu64, value);
}

void FormatNumber(char *buffer, size_t size, double value) {
  snprintf(buffer, size, "%f", value);
}

}  // namespace zavrin
