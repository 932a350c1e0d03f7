// Text conversion between UTF-8, UTF-16 and UTF-32, without the C library's
// locale: the library's multi-byte encoding is always UTF-8.
//
// Every converter takes srcLen units of src (no terminator is read or written).
// Invalid input becomes U+FFFD and is never dropped: in UTF-8 each maximal
// subpart of an ill-formed sequence (a stray continuation byte, an overlong or
// surrogate form, a code point above U+10FFFF, a sequence cut short) gives one
// U+FFFD; in UTF-16 each unpaired surrogate; in UTF-32 each surrogate or value
// above 0x10FFFF.
//
// With dst null the result is the number of units the whole conversion needs and
// dstLen is ignored. Otherwise at most dstLen units are written, never part of a
// character: conversion stops before the first character that does not fit
// whole, and the result is the number of units written.
#ifndef ZAVRIN_PORT_UNICODE_H
#define ZAVRIN_PORT_UNICODE_H

#include <stddef.h>

namespace zavrin {

size_t Utf8ToUtf16(const char *src, size_t srcLen, char16_t *dst, size_t dstLen);
size_t Utf16ToUtf8(const char16_t *src, size_t srcLen, char *dst, size_t dstLen);
size_t Utf8ToUtf32(const char *src, size_t srcLen, char32_t *dst, size_t dstLen);
size_t Utf32ToUtf8(const char32_t *src, size_t srcLen, char *dst, size_t dstLen);
size_t Utf16ToUtf32(const char16_t *src, size_t srcLen, char32_t *dst, size_t dstLen);
size_t Utf32ToUtf16(const char32_t *src, size_t srcLen, char16_t *dst, size_t dstLen);

}  // namespace zavrin

#endif  // ZAVRIN_PORT_UNICODE_H
