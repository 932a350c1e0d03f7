// String: the library's growable text buffer.
#include <zavrin/containers.h>
#include <zavrin/utils.h>

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

const int String::npos;

namespace zavrin {
namespace {

// Stands in for the text of a string that has none, so the conversion never
// yields null. Nobody writes through it.
char sharedEmptyText[1] = {0};

// textSize is 32 bits: a size that would not fit is refused like a failed
// allocation rather than wrapped.
constexpr size_t kMaxTextSize = 0xFFFFFFFFu;

// Reallocates block to size bytes; on failure block stays as it was.
bool Resize(char *&block, size_t size) {
  if (size > kMaxTextSize) return false;
  char *grown = static_cast<char *>(realloc(block, size));
  if (grown == nullptr) return false;
  block = grown;
  return true;
}

}  // namespace
}  // namespace zavrin

using zavrin::Resize;

String::String() : text(nullptr), textSize(1) {}

String::~String() {
  free(text);
}

String::operator char *() const {
  return text != nullptr ? text : zavrin::sharedEmptyText;
}

const String &String::operator=(const char *newText) {
  size_t len = strlen(newText);
  if (len + 1 > zavrin::kMaxTextSize) return *this;
  char *copy = static_cast<char *>(malloc(len + 1));
  if (copy == nullptr) return *this;
  memcpy(copy, newText, len + 1);
  free(text);
  text = copy;
  textSize = static_cast<DWORD>(len + 1);
  return *this;
}

const String &String::operator+=(const char *newText) {
  size_t len = strlen(newText);
  if (len <= zavrin::kMaxTextSize) AddString(newText, static_cast<DWORD>(len));
  return *this;
}

void String::AddString(const char *bytes, DWORD count) {
  // The bytes may come from this string itself (s += s): find them again after
  // the reallocation has moved the block.
  bool ownBytes = text != nullptr && bytes >= text && bytes < text + textSize;
  size_t ownOffset = ownBytes ? static_cast<size_t>(bytes - text) : 0;
  if (!Resize(text, static_cast<size_t>(textSize) + count)) return;
  if (ownBytes) bytes = text + ownOffset;
  memmove(text + textSize - 1, bytes, count);
  textSize += count;
  text[textSize - 1] = 0;
}

void String::AddDynamicString(char *newText) {
  if (newText == nullptr) return;
  *this += newText;
  free(newText);
}

void String::AddFormattedString(const char *format, ...) {
  // Measure first so that the scratch buffer fits the formatted text exactly,
  // however long it is.
  va_list args;
  va_start(args, format);
  va_list measureArgs;
  va_copy(measureArgs, args);
  int len = vsnprintf(nullptr, 0, format, measureArgs);
  va_end(measureArgs);
  if (len >= 0) {
    size_t size = static_cast<size_t>(len) + 1;
    char *scratch = static_cast<char *>(malloc(size));
    if (scratch != nullptr) {
      vsnprintf(scratch, size, format, args);
      *this += scratch;
      free(scratch);
    }
  }
  va_end(args);
}

void String::EscapeCharacter(int ch, int esc) {
  if (text == nullptr) return;
  // Only the text up to its first zero byte is scanned; bytes that AddString put
  // behind such a zero move along unchanged.
  size_t count = static_cast<size_t>(NumChars(text, ch));
  if (count == 0) return;
  size_t scanEnd = strlen(text);
  size_t oldSize = textSize;
  if (!Resize(text, oldSize + count)) return;
  textSize = static_cast<DWORD>(oldSize + count);
  // Spread from the back so that every byte moves once.
  size_t dst = oldSize + count;
  for (size_t src = oldSize; src-- > 0;) {
    text[--dst] = text[src];
    if (src < scanEnd && static_cast<signed char>(text[src]) == ch)
      text[--dst] = static_cast<char>(esc);
  }
}

void String::SetBuffer(char *newText) {
  free(text);
  text = newText;
  textSize = newText != nullptr ? static_cast<DWORD>(strlen(newText) + 1) : 1;
}

void String::Translate(const char *from, const char *to) {
  size_t fromLen = strlen(from);
  size_t toLen = strlen(to);
  size_t len = textSize - 1;
  // An empty search text would match everywhere without advancing.
  if (text == nullptr || fromLen == 0 || len < fromLen) return;

  // Texts taken from this string itself would change under the edit: use copies.
  auto inside = [this](const char *p) { return p >= text && p < text + textSize; };
  if (inside(from) || inside(to)) {
    char *fromCopy = strdup(from);
    char *toCopy = strdup(to);
    if (fromCopy != nullptr && toCopy != nullptr) Translate(fromCopy, toCopy);
    free(fromCopy);
    free(toCopy);
    return;
  }

  // Count first: the result is built with at most one reallocation. Scanning the
  // original after each match is the same as scanning the edited text after the
  // inserted replacement, which is never searched again.
  size_t matches = 0;
  for (size_t p = 0; p + fromLen <= len;) {
    if (memcmp(text + p, from, fromLen) == 0) {
      matches++;
      p += fromLen;
    } else {
      p++;
    }
  }
  if (matches == 0) return;

  size_t newLen = len - matches * fromLen + matches * toLen;
  char *result = text;
  if (toLen > fromLen) {
    // Growing in place would overwrite text not yet read: build a new block.
    if (newLen + 1 > zavrin::kMaxTextSize) return;
    result = static_cast<char *>(malloc(newLen + 1));
    if (result == nullptr) return;
  }
  // When shrinking or equal, the write position never passes the read position.
  size_t in = 0, out = 0;
  while (in < len) {
    if (in + fromLen <= len && memcmp(text + in, from, fromLen) == 0) {
      memcpy(result + out, to, toLen);
      out += toLen;
      in += fromLen;
    } else {
      result[out++] = text[in++];
    }
  }
  result[out] = 0;
  if (result != text) {
    free(text);
    text = result;
  }
  textSize = static_cast<DWORD>(newLen + 1);
}

char *String::SubStr(int start, int len) const {
  return SubStr(start, len, nullptr);
}

char *String::SubStr(int start, int len, char *buffer) const {
  size_t length = textSize - 1;
  size_t count = 0;
  if (start >= 0 && static_cast<size_t>(start) < length) {
    size_t avail = length - static_cast<size_t>(start);
    // Any negative length, not only npos, means "to the end".
    count = (len < 0 || static_cast<size_t>(len) >= avail) ? avail : static_cast<size_t>(len);
  }
  if (buffer == nullptr) {
    buffer = static_cast<char *>(malloc(count + 1));
    if (buffer == nullptr) return nullptr;
  }
  if (count > 0) memcpy(buffer, text + start, count);
  buffer[count] = 0;
  return buffer;
}

int String::Find(const char *sub, int start) const {
  if (start < 0 || static_cast<size_t>(start) >= Size()) return npos;
  // Byte search is exact for UTF-8: a lead byte never matches a continuation byte.
  const char *hit = strstr(text + start, sub);
  return hit != nullptr ? static_cast<int>(hit - text) : npos;
}

DWORD String::Size() const {
  return textSize - 1;
}
