// General utilities: memory, text and clock basics, checksums and digests, Base64.
#ifndef ZAVRIN_UTILS_H
#define ZAVRIN_UTILS_H

#include <zavrin/types.h>

// ---- Memory, text and clock basics ----

ZAVRIN_C_BEGIN

// Copies at most size - 1 bytes of src and always terminates; size must be >= 1.
ZAVRIN_EXPORT char *zv_strncpy(char *dest, const char *src, size_t size);
// A malloc'ed copy of size bytes of data; the caller frees it.
ZAVRIN_EXPORT void *zv_memdup(const void *data, size_t size);
// Exchanges the contents of two non-overlapping blocks of equal size.
ZAVRIN_EXPORT void zv_memswap(void *block1, void *block2, size_t size);
// Removes leading and trailing spaces and tabs in place (CR and LF stay).
ZAVRIN_EXPORT void StrStrip(char *str);
// Number of bytes of str equal to ch, each byte taken as a signed char.
ZAVRIN_EXPORT int NumChars(const char *str, int ch);
// Wall-clock time in milliseconds since 1970-01-01 00:00 UTC.
ZAVRIN_EXPORT INT64 GetCurrentTimeMs(void);
// Size of the named file in bytes; 0 when it does not exist.
ZAVRIN_EXPORT QWORD FileSize(const char *fileName);

ZAVRIN_C_END

// ---- Checksums and digests ----

ZAVRIN_C_BEGIN

// CRC-32 (reflected polynomial 0xEDB88320, as zlib) of size bytes, continuing from
// crc: pass 0 to start, or the result of the previous block to carry on.
ZAVRIN_EXPORT DWORD CalculateCRC32(const void *data, DWORD size, DWORD crc);
// MD5 digest of size bytes into the 16 bytes at hash.
ZAVRIN_EXPORT void CalculateMD5Hash(const void *data, size_t size, BYTE *hash);
// SHA-1 digest of size bytes into the 20 bytes at hash.
ZAVRIN_EXPORT void CalculateSHA1Hash(const void *data, size_t size, BYTE *hash);
// Digests of a file's contents. FALSE, with the output untouched, only when the
// file cannot be opened; a read error ends the data like the end of the file.
ZAVRIN_EXPORT BOOL CalculateFileMD5Hash(const char *fileName, BYTE *hash);
ZAVRIN_EXPORT BOOL CalculateFileSHA1Hash(const char *fileName, BYTE *hash);
ZAVRIN_EXPORT BOOL CalculateFileCRC32(const char *fileName, DWORD *result);

ZAVRIN_C_END

// ---- Base64 ----
// Standard alphabet with "=" padding. These keep C++ linkage: their exported names
// carry the argument types.

// Encodes inlen bytes into out, writing at most outlen characters; a terminating
// zero follows only when the whole text fits with room to spare.
ZAVRIN_EXPORT void base64_encode(const char *in, size_t inlen, char *out, size_t outlen);
// Encodes into a new zero-terminated malloc'ed block at *out and returns the text's
// length. Check *out: null with 0 when the length would overflow, null with the
// needed size when the allocation failed.
ZAVRIN_EXPORT size_t base64_encode_alloc(const char *in, size_t inlen, char **out);
// 1 if ch is one of the 64 alphabet characters ("=" is not), else 0.
ZAVRIN_EXPORT int isbase64(char ch);
// Strict decoder (no white space, padding only at the very end) into out, whose
// capacity *outlen gives; never writes beyond it and drops what does not fit. On
// return *outlen holds the bytes written. 1 if all the input was valid and
// consumed, 0 if decoding stopped early (what came before stays written).
ZAVRIN_EXPORT int base64_decode(const char *in, size_t inlen, char *out, size_t *outlen);
// Decodes into a new malloc'ed block at *out (no terminator), its size to *outlen
// when that is not null. 0 with *out null for invalid input; 1 with *out null when
// the allocation failed, so callers test *out as well.
ZAVRIN_EXPORT int base64_decode_alloc(const char *in, size_t inlen, char **out, size_t *outlen);

#endif  // ZAVRIN_UTILS_H
