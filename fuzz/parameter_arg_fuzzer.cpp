// Extracts arguments from arbitrary parameter texts and checks them against a
// model that splits the whole argument list first. The first byte picks the
// buffer size (1 to 64) and, with its top bit, where the index comes from: the
// second byte as a small signed number, or the next four bytes as any int.
// The rest is the parameter text.
#include <zavrin.h>

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "text_reference.h"

namespace {

const size_t kGuard = 16;
const char kFill = '\x5C';

struct Arguments {
  std::vector<std::string> texts;  // without their quotes
  std::vector<bool> ended;         // by a ',' or the ')' rather than the end of the text
  bool closed = false;             // the ')' was reached outside quotes
};

Arguments Split(const std::string &param) {
  Arguments args;
  size_t open = param.find('(');
  if (open == std::string::npos) {
    args.closed = true;  // no list: nothing to wait for
    return args;
  }
  std::string current;
  char quote = 0;
  for (size_t i = open + 1;; i++) {
    if (i == param.size()) {
      args.texts.push_back(current);
      args.ended.push_back(false);
      return args;
    }
    char c = param[i];
    if (quote != 0) {
      if (c == quote)
        quote = 0;
      else
        current += c;
    } else if (c == '"' || c == '\'') {
      quote = c;
    } else if (c == ',' || c == ')') {
      args.texts.push_back(current);
      args.ended.push_back(true);
      current.clear();
      if (c == ')') {
        args.closed = true;
        return args;
      }
    } else {
      current += c;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 2) return 0;
  int bufSize = (data[0] & 0x7F) % 64 + 1;
  int index;
  size_t at;
  if ((data[0] & 0x80) == 0) {
    index = static_cast<int8_t>(data[1]);
    at = 2;
  } else {
    if (size < 5) return 0;
    uint32_t raw = static_cast<uint32_t>(data[1]) << 24 | static_cast<uint32_t>(data[2]) << 16 |
                   static_cast<uint32_t>(data[3]) << 8 | data[4];
    memcpy(&index, &raw, sizeof(index));
    at = 5;
  }
  std::string param(reinterpret_cast<const char *>(data + at), size - at);
  param.resize(strlen(param.c_str()));
  char *paramCopy = static_cast<char *>(malloc(param.size() + 1));
  memcpy(paramCopy, param.c_str(), param.size() + 1);

  // The model's answer.
  Arguments args = Split(param);
  int expected;
  std::string expectedText;
  if (index >= 1 && static_cast<size_t>(index) <= args.texts.size()) {
    size_t i = static_cast<size_t>(index) - 1;
    expected = args.ended[i] ? 1 : 0;
    expectedText =
        zavrin_reference::Strip(args.texts[i].substr(0, static_cast<size_t>(bufSize - 1)));
  } else {
    expected = args.closed ? 1 : 0;
  }

  // An exact-size block: the sanitizer sees any byte written past it.
  char *exact = static_cast<char *>(malloc(static_cast<size_t>(bufSize)));
  int result = ZvGetParameterArg(paramCopy, index, exact, bufSize);
  if (result != expected) abort();
  if (result == 1) {
    if (memchr(exact, 0, static_cast<size_t>(bufSize)) == nullptr) abort();
    if (expectedText != exact) abort();
  }

  // The same with guard bytes behind the stated size.
  std::vector<char> guarded(static_cast<size_t>(bufSize) + kGuard, kFill);
  if (ZvGetParameterArg(paramCopy, index, guarded.data(), bufSize) != expected) abort();
  for (size_t i = static_cast<size_t>(bufSize); i < guarded.size(); i++)
    if (guarded[i] != kFill) abort();
  if (result == 1 && strcmp(exact, guarded.data()) != 0) abort();

  // A buffer without room for the terminator is never written.
  std::vector<char> none(kGuard, kFill);
  for (int noRoom : {0, -1}) {
    if (ZvGetParameterArg(paramCopy, index, none.data(), noRoom) != expected) abort();
    for (char c : none)
      if (c != kFill) abort();
  }
  free(exact);
  free(paramCopy);
  return 0;
}
