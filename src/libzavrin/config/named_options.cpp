// Named options: single values out of option strings "name=value;name=value".
#include <zavrin/config.h>
#include <zavrin/utils.h>

#include <string.h>

#include "util/ascii_case.h"
#include "util/text_numbers.h"

namespace {

// Names are compared in a buffer of this size: a longer name never matches.
constexpr size_t kNameBufferSize = 256;
// The boolean and integer forms see at most this much of a value.
constexpr int kValueBufferSize = 256;

// Whether the option name in [start, end) equals wanted once its blanks at both
// ends are removed.
bool NameMatches(const char *start, const char *end, const char *wanted) {
  size_t length = static_cast<size_t>(end - start);
  if (length >= kNameBufferSize) return false;
  char name[kNameBufferSize];
  memcpy(name, start, length);
  name[length] = 0;
  StrStrip(name);
  return zavrin::AsciiCaseEqual(name, wanted);
}

}  // namespace

int ExtractNamedOptionValue(const char *optString, const char *option, char *buffer, int bufSize) {
  enum { kReadingName, kInWantedValue, kInOtherValue } state = kReadingName;
  const char *nameStart = optString;
  int copied = 0;
  for (const char *p = optString; *p != 0; p++) {
    if (state == kInWantedValue) {
      // The first '=' ended the name; later ones belong to the value.
      if (*p == ';') break;
      if (copied < bufSize - 1) buffer[copied++] = *p;
    } else if (*p == ';') {
      state = kReadingName;
      nameStart = p + 1;
    } else if (*p == '=' && state == kReadingName) {
      state = NameMatches(nameStart, p, option) ? kInWantedValue : kInOtherValue;
    }
  }
  if (state != kInWantedValue) return 0;
  if (bufSize >= 1) {
    buffer[copied] = 0;
    StrStrip(buffer);
  }
  return 1;
}

int ExtractNamedOptionValueAsBool(const char *optString, const char *option, int defVal) {
  char value[kValueBufferSize];
  if (!ExtractNamedOptionValue(optString, option, value, sizeof(value))) return defVal;
  return zavrin::AsciiCaseEqual(value, "yes") || zavrin::AsciiCaseEqual(value, "true") ? 1 : 0;
}

int32_t ExtractNamedOptionValueAsInt(const char *optString, const char *option, int32_t defVal) {
  char value[kValueBufferSize];
  if (!ExtractNamedOptionValue(optString, option, value, sizeof(value))) return defVal;
  const char *end;
  int32_t number = zavrin::TextToInt32(value, &end);
  return *end == 0 ? number : defVal;
}
