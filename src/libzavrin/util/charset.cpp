// Conversions between wide strings (UTF-32 here) and 8-bit text, whose
// multi-byte encoding is always UTF-8: the default code page and UTF-8 are one.
#include <zavrin/utils.h>

#include <arpa/inet.h>
#include <openssl/err.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "port/unicode.h"

static_assert(sizeof(wchar_t) == sizeof(char32_t), "wide strings are UTF-32");

namespace {

const char32_t *AsUtf32(const wchar_t *text) {
  return reinterpret_cast<const char32_t *>(text);
}

// Every byte gives at most one character, so the text's length in bytes and
// the terminator bound the result.
wchar_t *WideFromUtf8(const char *src) {
  if (src == nullptr) return nullptr;
  size_t len = strlen(src);
  wchar_t *out = static_cast<wchar_t *>(malloc((len + 1) * sizeof(wchar_t)));
  if (out == nullptr) return nullptr;
  size_t n = zavrin::Utf8ToUtf32(src, len, reinterpret_cast<char32_t *>(out), len);
  out[n] = 0;
  return out;
}

// Sized for the whole text: a character takes up to four bytes.
char *Utf8FromWide(const wchar_t *src) {
  if (src == nullptr) return nullptr;
  size_t len = wcslen(src);
  size_t bytes = zavrin::Utf32ToUtf8(AsUtf32(src), len, nullptr, 0);
  char *out = static_cast<char *>(malloc(bytes + 1));
  if (out == nullptr) return nullptr;
  size_t n = zavrin::Utf32ToUtf8(AsUtf32(src), len, out, bytes);
  out[n] = 0;
  return out;
}

}  // namespace

wchar_t *WideStringFromMBString(const char *src) {
  return WideFromUtf8(src);
}

wchar_t *WideStringFromUTF8String(const char *src) {
  return WideFromUtf8(src);
}

char *MBStringFromWideString(const wchar_t *src) {
  return Utf8FromWide(src);
}

char *UTF8StringFromWideString(const wchar_t *src) {
  return Utf8FromWide(src);
}

DWORD inet_addr_w(const wchar_t *text) {
  char local[256];
  size_t len = wcslen(text);
  // A text whose conversion does not fit is no address anyway.
  if (zavrin::Utf32ToUtf8(AsUtf32(text), len, nullptr, 0) >= sizeof(local)) return INADDR_NONE;
  size_t n = zavrin::Utf32ToUtf8(AsUtf32(text), len, local, sizeof(local) - 1);
  local[n] = 0;
  return inet_addr(local);
}

wchar_t *ERR_error_string_W(DWORD error, wchar_t *buffer) {
  const size_t kChars = 256;
  char text[kChars];
  memset(text, 0, sizeof(text));
  ERR_error_string_n(error, text, sizeof(text));
  size_t n =
      zavrin::Utf8ToUtf32(text, strlen(text), reinterpret_cast<char32_t *>(buffer), kChars - 1);
  buffer[n] = 0;
  return buffer;
}
