// util/: general utilities: string helpers, checksums and digests, Base64, UUIDs,
// the sort with context, the ICMP probe, character sets, system helpers and the
// memory, text and clock basics.
//
// String utilities: wildcard matching, words, name checks, hex and address
// formatting, in-place substitution, file names, regular expressions and
// code-to-text lookup. Text is UTF-8, so the multibyte-aware operations are
// their byte versions and upper-casing is ASCII.
#include <zavrin/utils.h>

#include <regex.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "util/ascii_case.h"

namespace {

const char kHexDigits[] = "0123456789ABCDEF";

char *UpperCopy(const char *text) {
  size_t len = strlen(text);
  char *copy = static_cast<char *>(malloc(len + 1));
  if (copy == nullptr) return nullptr;
  for (size_t i = 0; i <= len; i++) copy[i] = zavrin::AsciiUpper(text[i]);
  return copy;
}

// Places the literal block (n bytes) at its last occurrence found by a
// left-to-right search for non-overlapping occurrences in text; returns the
// end of that occurrence, or null when there is none.
const char *LastBlockEnd(const char *text, const char *block, size_t n) {
  const char *end = text + strlen(text);
  const char *lastEnd = nullptr;
  const char *t = text;
  for (;;) {
    while (t < end && *t != block[0]) t++;
    if (static_cast<size_t>(end - t) < n) break;
    if (memcmp(t, block, n) == 0) {
      lastEnd = t + n;
      t += n;
    } else {
      t++;
    }
  }
  return lastEnd;
}

bool MatchWildcards(const char *p, const char *t) {
  while (*p != 0) {
    if (*p == '?') {
      if (*t == 0) return false;
      p++;
      t++;
    } else if (*p == '*') {
      while (*p == '*') p++;
      if (*p == 0) return true;
      if (*p == '?') {
        // The loop matches the '?' once more, so "*?" takes exactly two bytes.
        if (*t == 0) return false;
        t++;
        continue;
      }
      size_t n = strcspn(p, "?*");
      t = LastBlockEnd(t, p, n);
      if (t == nullptr) return false;
      p += n;
    } else {
      if (*p != *t) return false;
      p++;
      t++;
    }
  }
  return *t == 0;
}

// True when every byte of name is in allowed: bytes of multibyte characters never are.
bool AllIn(const char *name, const char *allowed) {
  return name[strspn(name, allowed)] == 0;
}

int HexNibble(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return 0;
}

char staticIpBuffer[32];

}  // namespace

int BitsInMask(DWORD mask) {
  return mask == 0 ? 0 : 32 - __builtin_ctz(mask);
}

char *IpToStr(DWORD ipAddr, char *buffer) {
  char *out = buffer != nullptr ? buffer : staticIpBuffer;
  snprintf(out, 32, "%d.%d.%d.%d", static_cast<int>(ipAddr >> 24),
           static_cast<int>((ipAddr >> 16) & 255), static_cast<int>((ipAddr >> 8) & 255),
           static_cast<int>(ipAddr & 255));
  return out;
}

BOOL MatchString(const char *pattern, const char *string, BOOL matchCase) {
  if (matchCase) return MatchWildcards(pattern, string) ? TRUE : FALSE;
  char *upperPattern = UpperCopy(pattern);
  char *upperString = UpperCopy(string);
  BOOL result = FALSE;
  if (upperPattern != nullptr && upperString != nullptr)
    result = MatchWildcards(upperPattern, upperString) ? TRUE : FALSE;
  free(upperPattern);
  free(upperString);
  return result;
}

const char *ExtractWord(const char *line, char *buffer) {
  const char *p = line + strspn(line, " \t");
  size_t len = strcspn(p, " \t");
  memcpy(buffer, p, len);
  buffer[len] = 0;
  return p + len;
}

BOOL IsValidObjectName(const char *name, BOOL extended) {
  static const char kPlainAllowed[] =
      "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ_- @()./";
  static const char kExtendedForbidden[] =
      "\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e\x0f\x10\x11\x12\x13\x14\x15\x16"
      "\x17\x18\x19\x1a\x1b\x1c\x1d\x1e\x1f|\"'*%#\\`;?<>=";
  if (name[0] == 0) return FALSE;
  if (extended) return name[strcspn(name, kExtendedForbidden)] == 0 ? TRUE : FALSE;
  return AllIn(name, kPlainAllowed) ? TRUE : FALSE;
}

BOOL IsValidScriptName(const char *name) {
  static const char kAllowed[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ_:";
  if (name[0] == 0 || (name[0] >= '0' && name[0] <= '9') || name[0] == ':') return FALSE;
  return AllIn(name, kAllowed) ? TRUE : FALSE;
}

void MACToStr(const BYTE *mac, char *buffer) {
  char *out = buffer;
  for (int i = 0; i < 6; i++) {
    if (i > 0) *out++ = ':';
    *out++ = kHexDigits[mac[i] >> 4];
    *out++ = kHexDigits[mac[i] & 15];
  }
  *out = 0;
}

char *BinToStr(const BYTE *data, size_t size, char *buffer) {
  char *out = buffer;
  for (size_t i = 0; i < size; i++) {
    *out++ = kHexDigits[data[i] >> 4];
    *out++ = kHexDigits[data[i] & 15];
  }
  *out = 0;
  return buffer;
}

size_t StrToBin(const char *text, BYTE *buffer, size_t size) {
  memset(buffer, 0, size);
  size_t written = 0;
  const char *p = text;
  while (written < size && *p != 0) {
    BYTE value = static_cast<BYTE>(HexNibble(*p) << 4);
    p++;
    if (*p != 0) {
      value = static_cast<BYTE>(value | HexNibble(*p));
      p++;
    }
    buffer[written++] = value;
  }
  return written;
}

void TranslateStr(char *str, const char *subStr, const char *replace) {
  size_t subLen = strlen(subStr);
  size_t replaceLen = strlen(replace);
  // An empty search text would match everywhere without moving on, and a
  // longer replacement would overwrite text not yet read.
  if (subLen == 0 || replaceLen > subLen) return;
  const char *read = str;
  char *write = str;
  while (*read != 0) {
    if (strncmp(read, subStr, subLen) == 0) {
      memmove(write, replace, replaceLen);
      write += replaceLen;
      read += subLen;
    } else {
      *write++ = *read++;
    }
  }
  *write = 0;
}

const char *GetCleanFileName(const char *fileName) {
  const char *name = fileName;
  for (const char *p = fileName; *p != 0; p++) {
    if (*p == '/' || *p == '\\' || *p == ':') name = p + 1;
  }
  return name;
}

BOOL RegexpMatch(const char *str, const char *expr, BOOL matchCase) {
  regex_t preg;
  int flags = REG_EXTENDED | REG_NOSUB | (matchCase ? 0 : REG_ICASE);
  if (regcomp(&preg, expr, flags) != 0) return FALSE;
  BOOL result = regexec(&preg, str, 0, nullptr, 0) == 0 ? TRUE : FALSE;
  regfree(&preg);
  return result;
}

const char *CodeToText(int code, const CODE_TEXT_PAIR *table, const char *defaultText) {
  for (const CODE_TEXT_PAIR *row = table; row->text != nullptr; row++) {
    if (row->code == code) return row->text;
  }
  return defaultText;
}
