// UTF-8, UTF-16 and UTF-32 converters. One decoder per source form and one
// encoder per target form meet in a single conversion loop, so the rules for
// invalid input and for buffer limits live in one place each.
#include "port/unicode.h"

#include <stdint.h>

namespace zavrin {
namespace {

const char32_t kReplacement = 0xFFFD;

bool IsContinuation(unsigned char b) {
  return (b & 0xC0) == 0x80;
}

// Decodes the character at s (len >= 1 bytes) and stores the bytes it took in
// *used. An ill-formed sequence yields U+FFFD for its maximal subpart: the lead
// byte and the continuation bytes that could still have begun a valid sequence.
// The accepted second-byte ranges exclude overlong forms, encoded surrogates and
// code points above U+10FFFF.
char32_t DecodeUtf8(const unsigned char *s, size_t len, size_t *used) {
  unsigned char lead = s[0];
  *used = 1;
  if (lead < 0x80) return lead;
  if (lead < 0xC2) return kReplacement;  // stray continuation or overlong C0/C1
  if (lead < 0xE0) {
    if (len < 2 || !IsContinuation(s[1])) return kReplacement;
    *used = 2;
    return (static_cast<char32_t>(lead & 0x1F) << 6) | (s[1] & 0x3F);
  }
  if (lead < 0xF0) {
    unsigned char low = lead == 0xE0 ? 0xA0 : 0x80;
    unsigned char high = lead == 0xED ? 0x9F : 0xBF;
    if (len < 2 || s[1] < low || s[1] > high) return kReplacement;
    if (len < 3 || !IsContinuation(s[2])) {
      *used = 2;
      return kReplacement;
    }
    *used = 3;
    return (static_cast<char32_t>(lead & 0x0F) << 12) | (static_cast<char32_t>(s[1] & 0x3F) << 6) |
           (s[2] & 0x3F);
  }
  if (lead < 0xF5) {
    unsigned char low = lead == 0xF0 ? 0x90 : 0x80;
    unsigned char high = lead == 0xF4 ? 0x8F : 0xBF;
    if (len < 2 || s[1] < low || s[1] > high) return kReplacement;
    if (len < 3 || !IsContinuation(s[2])) {
      *used = 2;
      return kReplacement;
    }
    if (len < 4 || !IsContinuation(s[3])) {
      *used = 3;
      return kReplacement;
    }
    *used = 4;
    return (static_cast<char32_t>(lead & 0x07) << 18) | (static_cast<char32_t>(s[1] & 0x3F) << 12) |
           (static_cast<char32_t>(s[2] & 0x3F) << 6) | (s[3] & 0x3F);
  }
  return kReplacement;  // F5..FF never occur in UTF-8
}

char32_t DecodeUtf16(const char16_t *s, size_t len, size_t *used) {
  char16_t unit = s[0];
  *used = 1;
  if (unit < 0xD800 || unit > 0xDFFF) return unit;
  if (unit >= 0xDC00 || len < 2 || s[1] < 0xDC00 || s[1] > 0xDFFF) return kReplacement;
  *used = 2;
  return 0x10000 + ((static_cast<char32_t>(unit - 0xD800) << 10) | (s[1] - 0xDC00));
}

char32_t DecodeUtf32(const char32_t *s, size_t, size_t *used) {
  *used = 1;
  char32_t c = s[0];
  if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return kReplacement;
  return c;
}

// Overloads that let one conversion loop serve every pair of forms.
inline char32_t Decode(const char *s, size_t len, size_t *used) {
  return DecodeUtf8(reinterpret_cast<const unsigned char *>(s), len, used);
}
inline char32_t Decode(const char16_t *s, size_t len, size_t *used) {
  return DecodeUtf16(s, len, used);
}
inline char32_t Decode(const char32_t *s, size_t len, size_t *used) {
  return DecodeUtf32(s, len, used);
}

inline uint32_t AsUnsigned(char c) {
  return static_cast<unsigned char>(c);
}
inline uint32_t AsUnsigned(char16_t c) {
  return c;
}
inline uint32_t AsUnsigned(char32_t c) {
  return c;
}

// Units that a valid code point takes in each target form.
inline size_t UnitsFor(char32_t c, char *) {
  return c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
}
inline size_t UnitsFor(char32_t c, char16_t *) {
  return c < 0x10000 ? 1 : 2;
}
inline size_t UnitsFor(char32_t, char32_t *) {
  return 1;
}

inline void Encode(char32_t c, char *out) {
  if (c < 0x80) {
    out[0] = static_cast<char>(c);
  } else if (c < 0x800) {
    out[0] = static_cast<char>(0xC0 | (c >> 6));
    out[1] = static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (c >> 12));
    out[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out[0] = static_cast<char>(0xF0 | (c >> 18));
    out[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (c & 0x3F));
  }
}
inline void Encode(char32_t c, char16_t *out) {
  if (c < 0x10000) {
    out[0] = static_cast<char16_t>(c);
  } else {
    c -= 0x10000;
    out[0] = static_cast<char16_t>(0xD800 | (c >> 10));
    out[1] = static_cast<char16_t>(0xDC00 | (c & 0x3FF));
  }
}
inline void Encode(char32_t c, char32_t *out) {
  out[0] = c;
}

template <typename Src, typename Dst>
size_t Convert(const Src *src, size_t srcLen, Dst *dst, size_t dstLen) {
  size_t readPos = 0;
  size_t written = 0;
  if (dst == nullptr) {
    while (readPos < srcLen) {
      if (AsUnsigned(src[readPos]) < 0x80) {
        readPos++;
        written++;
        continue;
      }
      size_t used;
      char32_t c = Decode(src + readPos, srcLen - readPos, &used);
      readPos += used;
      written += UnitsFor(c, dst);
    }
    return written;
  }
  while (readPos < srcLen) {
    uint32_t unit = AsUnsigned(src[readPos]);
    if (unit < 0x80) {
      // ASCII is one unit in every form: the common case, kept off the decoders.
      if (written == dstLen) break;
      dst[written++] = static_cast<Dst>(unit);
      readPos++;
      continue;
    }
    size_t used;
    char32_t c = Decode(src + readPos, srcLen - readPos, &used);
    size_t need = UnitsFor(c, dst);
    if (need > dstLen - written) break;
    Encode(c, dst + written);
    written += need;
    readPos += used;
  }
  return written;
}

}  // namespace

size_t Utf8ToUtf16(const char *src, size_t srcLen, char16_t *dst, size_t dstLen) {
  return Convert(src, srcLen, dst, dstLen);
}
size_t Utf16ToUtf8(const char16_t *src, size_t srcLen, char *dst, size_t dstLen) {
  return Convert(src, srcLen, dst, dstLen);
}
size_t Utf8ToUtf32(const char *src, size_t srcLen, char32_t *dst, size_t dstLen) {
  return Convert(src, srcLen, dst, dstLen);
}
size_t Utf32ToUtf8(const char32_t *src, size_t srcLen, char *dst, size_t dstLen) {
  return Convert(src, srcLen, dst, dstLen);
}
size_t Utf16ToUtf32(const char16_t *src, size_t srcLen, char32_t *dst, size_t dstLen) {
  return Convert(src, srcLen, dst, dstLen);
}
size_t Utf32ToUtf16(const char32_t *src, size_t srcLen, char16_t *dst, size_t dstLen) {
  return Convert(src, srcLen, dst, dstLen);
}

}  // namespace zavrin
