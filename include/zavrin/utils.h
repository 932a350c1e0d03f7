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

#endif  // ZAVRIN_UTILS_H
