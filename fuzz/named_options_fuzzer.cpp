// Reads named options out of arbitrary option strings with the three functions
// and checks them against a model that splits the string into its options.
// The first byte picks the function (and adds 256 to the name length with its
// top bit), the second the buffer size (1 to 64) and the third the name
// length; the name follows, and the rest is the option string.
#include <zavrin.h>

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "text_reference.h"

namespace {

using zavrin_reference::EqualNoCase;
using zavrin_reference::Strip;

const size_t kGuard = 16;
const char kFill = '\x5C';

// The value of the first option called name, whole and stripped; false when
// there is none.
bool ModelValue(const std::string &options, const std::string &name, size_t keep,
                std::string *value) {
  size_t start = 0;
  for (;;) {
    size_t end = options.find(';', start);
    std::string piece = options.substr(start, end == std::string::npos ? end : end - start);
    size_t equals = piece.find('=');
    // A name is compared in 256 bytes: a longer one never matches.
    if (equals != std::string::npos && equals < 256 &&
        EqualNoCase(Strip(piece.substr(0, equals)), name)) {
      *value = Strip(piece.substr(equals + 1, keep));
      return true;
    }
    if (end == std::string::npos) return false;
    start = end + 1;
  }
}

// An exact-size heap copy, so that any read past the terminator is seen.
char *Copy(const std::string &text) {
  char *copy = static_cast<char *>(malloc(text.size() + 1));
  memcpy(copy, text.c_str(), text.size() + 1);
  return copy;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 3) return 0;
  int function = (data[0] & 0x7F) % 3;
  int bufSize = data[1] % 64 + 1;
  size_t nameLength = data[2] + ((data[0] & 0x80) != 0 ? 256u : 0u);
  if (nameLength > size - 3) nameLength = size - 3;
  const char *bytes = reinterpret_cast<const char *>(data);
  // Both texts end at their first zero byte, as the functions see them.
  std::string name(bytes + 3, nameLength);
  name.resize(strlen(name.c_str()));
  std::string options(bytes + 3 + nameLength, size - 3 - nameLength);
  options.resize(strlen(options.c_str()));
  char *optionsCopy = Copy(options);
  char *nameCopy = Copy(name);

  std::string value;
  if (function == 0) {
    char *buffer = static_cast<char *>(malloc(static_cast<size_t>(bufSize) + kGuard));
    memset(buffer, kFill, static_cast<size_t>(bufSize) + kGuard);
    int found = ExtractNamedOptionValue(optionsCopy, nameCopy, buffer, bufSize);
    bool modelFound = ModelValue(options, name, static_cast<size_t>(bufSize - 1), &value);
    if (found != (modelFound ? 1 : 0)) abort();
    // The buffer stays untouched when nothing is found; guard bytes always.
    size_t untouchedFrom = found ? static_cast<size_t>(bufSize) : 0;
    for (size_t i = untouchedFrom; i < static_cast<size_t>(bufSize) + kGuard; i++)
      if (buffer[i] != kFill) abort();
    if (found) {
      if (memchr(buffer, 0, static_cast<size_t>(bufSize)) == nullptr) abort();
      if (value != buffer) abort();
    }
    free(buffer);
  } else if (function == 1) {
    const int kDefault = 7;
    int result = ExtractNamedOptionValueAsBool(optionsCopy, nameCopy, kDefault);
    int expected = kDefault;
    if (ModelValue(options, name, 255, &value))
      expected = EqualNoCase(value, "yes") || EqualNoCase(value, "true") ? 1 : 0;
    if (result != expected) abort();
  } else {
    const int32_t kDefault = -424242;
    int32_t result = ExtractNamedOptionValueAsInt(optionsCopy, nameCopy, kDefault);
    int32_t expected = kDefault;
    if (ModelValue(options, name, 255, &value)) {
      bool whole;
      int32_t number = zavrin_reference::ToInt32(value, &whole);
      if (whole) expected = number;
    }
    if (result != expected) abort();
  }
  free(optionsCopy);
  free(nameCopy);
  return 0;
}
