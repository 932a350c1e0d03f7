/// \file
/// General utilities: memory, text and clock basics, checksums and digests, Base64,
/// string utilities, UUIDs, sort with context, ICMP ping, character-set conversion
/// and system helpers.
#ifndef ZAVRIN_UTILS_H
#define ZAVRIN_UTILS_H

#include <zavrin/types.h>

// ---- Memory, text and clock basics ----

ZAVRIN_C_BEGIN

/// Copies at most size - 1 bytes of src and always terminates; size must be >= 1.
ZAVRIN_EXPORT char *zv_strncpy(char *dest, const char *src, size_t size);
/// A malloc'ed copy of size bytes of data; the caller frees it.
ZAVRIN_EXPORT void *zv_memdup(const void *data, size_t size);
/// Exchanges the contents of two non-overlapping blocks of equal size.
ZAVRIN_EXPORT void zv_memswap(void *block1, void *block2, size_t size);
/// Removes leading and trailing spaces and tabs in place (CR and LF stay).
ZAVRIN_EXPORT void StrStrip(char *str);
/// Number of bytes of str equal to ch, each byte taken as a signed char.
ZAVRIN_EXPORT int NumChars(const char *str, int ch);
/// Wall-clock time in milliseconds since 1970-01-01 00:00 UTC.
ZAVRIN_EXPORT INT64 GetCurrentTimeMs(void);
/// Size of the named file in bytes; 0 when it does not exist.
ZAVRIN_EXPORT QWORD FileSize(const char *fileName);

ZAVRIN_C_END

// ---- Checksums and digests ----

ZAVRIN_C_BEGIN

/// CRC-32 (reflected polynomial 0xEDB88320, as zlib) of size bytes, continuing from
/// crc: pass 0 to start, or the result of the previous block to carry on.
ZAVRIN_EXPORT DWORD CalculateCRC32(const void *data, DWORD size, DWORD crc);
/// MD5 digest of size bytes into the 16 bytes at hash.
ZAVRIN_EXPORT void CalculateMD5Hash(const void *data, size_t size, BYTE *hash);
/// SHA-1 digest of size bytes into the 20 bytes at hash.
ZAVRIN_EXPORT void CalculateSHA1Hash(const void *data, size_t size, BYTE *hash);
/// Digests of a file's contents. FALSE, with the output untouched, only when the
/// file cannot be opened (a directory cannot); a read error ends the data like
/// the end of the file. A FIFO without a writer reads as empty.
///@{
ZAVRIN_EXPORT BOOL CalculateFileMD5Hash(const char *fileName, BYTE *hash);
ZAVRIN_EXPORT BOOL CalculateFileSHA1Hash(const char *fileName, BYTE *hash);
ZAVRIN_EXPORT BOOL CalculateFileCRC32(const char *fileName, DWORD *result);
///@}

ZAVRIN_C_END

// ---- Base64 ----
// Standard alphabet with "=" padding. These keep C++ linkage: their exported names
// carry the argument types.

/// Encodes inlen bytes into out, writing at most outlen characters; a terminating
/// zero follows only when the whole text fits with room to spare.
ZAVRIN_EXPORT void base64_encode(const char *in, size_t inlen, char *out, size_t outlen);
/// Encodes into a new zero-terminated malloc'ed block at *out and returns the text's
/// length. Check *out: null with 0 when the length would overflow, null with the
/// needed size when the allocation failed.
ZAVRIN_EXPORT size_t base64_encode_alloc(const char *in, size_t inlen, char **out);
/// 1 if ch is one of the 64 alphabet characters ("=" is not), else 0.
ZAVRIN_EXPORT int isbase64(char ch);
/// Strict decoder (no white space, padding only at the very end) into out, whose
/// capacity *outlen gives; never writes beyond it and drops what does not fit. On
/// return *outlen holds the bytes written. 1 if all the input was valid and
/// consumed, 0 if decoding stopped early (what came before stays written).
ZAVRIN_EXPORT int base64_decode(const char *in, size_t inlen, char *out, size_t *outlen);
/// Decodes into a new malloc'ed block at *out (no terminator), its size to *outlen
/// when that is not null. 0 with *out null for invalid input; 1 with *out null when
/// the allocation failed, so callers test *out as well.
ZAVRIN_EXPORT int base64_decode_alloc(const char *in, size_t inlen, char **out, size_t *outlen);

// ---- String utilities ----

ZAVRIN_C_BEGIN

/// One row of a lookup table for CodeToText; a row with a null text ends the table.
typedef struct CODE_TEXT_PAIR {
  int code;          ///< the code
  const char *text;  ///< its text
} CODE_TEXT_PAIR;

/// 32 minus the number of trailing zero bits; 0 for 0.
ZAVRIN_EXPORT int BitsInMask(DWORD mask);
/// Dotted form of a host-order IPv4 address into buffer (32 bytes), or into one
/// static buffer shared by all threads when buffer is null. Returns the buffer used.
ZAVRIN_EXPORT char *IpToStr(DWORD ipAddr, char *buffer);
/// Wildcard match: '?' one byte, '*' a run of bytes, no escapes. After a '*' the
/// following literal block is placed once, at its last non-overlapping occurrence,
/// and never revisited: this is not a backtracking glob. Without matchCase ASCII
/// letters match regardless of case.
ZAVRIN_EXPORT BOOL MatchString(const char *pattern, const char *string, BOOL matchCase);
/// Copies the first blank-separated word of line into buffer (which must be large
/// enough) and returns the position in line where the word ends.
ZAVRIN_EXPORT const char *ExtractWord(const char *line, char *buffer);
/// Plain mode: letters, digits and "_- @()./" only. Extended mode: anything but
/// control bytes and |"'*%#\`;?<>=. An empty name is never valid.
ZAVRIN_EXPORT BOOL IsValidObjectName(const char *name, BOOL extended);
/// Letters, digits, '_' and ':', not starting with a digit or ':', not empty.
ZAVRIN_EXPORT BOOL IsValidScriptName(const char *name);
/// Six upper-case hex pairs joined by colons into buffer (18 bytes).
ZAVRIN_EXPORT void MACToStr(const BYTE *mac, char *buffer);
/// Two upper-case hex digits per byte into buffer (2 * size + 1 bytes). Returns buffer.
ZAVRIN_EXPORT char *BinToStr(const BYTE *data, size_t size, char *buffer);
/// Hex text into buffer: zeroes all size bytes first, writes at most size bytes and
/// returns how many. A non-hex character counts as 0; an odd last digit is the high
/// nibble of the last byte.
ZAVRIN_EXPORT size_t StrToBin(const char *text, BYTE *buffer, size_t size);
/// Replaces every occurrence of subStr in str by replace, in place, left to right.
/// The string is left unchanged when subStr is empty or replace is longer than
/// subStr: the result could not be written in place.
ZAVRIN_EXPORT void TranslateStr(char *str, const char *subStr, const char *replace);
/// The part of fileName after its last '/', '\' or ':' (a pointer into fileName).
ZAVRIN_EXPORT const char *GetCleanFileName(const char *fileName);
/// TRUE when the POSIX extended regular expression matches anywhere in str; FALSE
/// also when the expression does not compile.
ZAVRIN_EXPORT BOOL RegexpMatch(const char *str, const char *expr, BOOL matchCase);
/// The text of the first row with this code, or defaultText.
ZAVRIN_EXPORT const char *CodeToText(int code, const CODE_TEXT_PAIR *table,
                                     const char *defaultText);

ZAVRIN_C_END

// ---- UUIDs ----

/// A UUID: time-based (version 1, RFC 4122 variant) with a random node id whose
/// first byte has its top bit set.
typedef unsigned char uuid_t[16];

ZAVRIN_C_BEGIN

/// A new UUID into out; safe to call from several threads. A child of fork
/// draws its own node id and clock sequence.
ZAVRIN_EXPORT void uuid_generate(uuid_t out);
/// Sets all 16 bytes to 0.
ZAVRIN_EXPORT void uuid_clear(uuid_t uu);
/// -1, 0 or 1: the order of the 16 bytes compared as unsigned numbers.
ZAVRIN_EXPORT int uuid_compare(const uuid_t uu1, const uuid_t uu2);
/// 1 when all 16 bytes are 0, else 0.
ZAVRIN_EXPORT int uuid_is_null(const uuid_t uu);
/// 0 for the 36-character form xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx (either case),
/// -1 for anything else, with uu untouched.
ZAVRIN_EXPORT int uuid_parse(const char *in, uuid_t uu);
/// The 36-character lower-case form and its terminator into out (37 bytes).
ZAVRIN_EXPORT char *uuid_to_string(const uuid_t uu, char *out);

ZAVRIN_C_END

// ---- Sort with context ----

ZAVRIN_C_BEGIN

/// Negative, 0 or positive as the first element sorts before, with or after the
/// second; context is the one given to QSortEx.
typedef int (*QSORT_COMPARE)(const void *a, const void *b, void *context);

/// Sorts count elements of size bytes at base in place (not stable), handing
/// context to every comparison. The element pointers a comparison gets point into
/// the array or to a private copy of one element, aligned as malloc aligns.
ZAVRIN_EXPORT void QSortEx(void *base, DWORD count, DWORD size, void *context,
                           QSORT_COMPARE compare);

ZAVRIN_C_END

// ---- ICMP ping ----

#define PING_OK 0            ///< a matching echo reply came
#define PING_UNREACHABLE 1   ///< a host-unreachable message about the target came
#define PING_NO_REPLY 2      ///< no answer within all attempts
#define PING_SOCKET_ERROR 3  ///< the raw ICMP socket cannot be opened

ZAVRIN_C_BEGIN

/// Sends up to attempts echo requests of packetSize bytes (IP header included,
/// clamped to 32..8192) to addr (IPv4, network order), waiting timeout ms after
/// each, and returns a PING_ result. On PING_OK the round-trip time in ms goes to
/// *rtt when rtt is not null. Needs the right to open raw sockets.
ZAVRIN_EXPORT DWORD IcmpPing(DWORD addr, int attempts, DWORD timeout, DWORD *rtt, DWORD packetSize);

ZAVRIN_C_END

// ---- Character-set conversion ----

ZAVRIN_C_BEGIN

/// Text from one form to another: wchar_t strings are UTF-32; the multi-byte
/// encoding is UTF-8. The converted strings are new malloc'ed blocks that the
/// caller frees; invalid input becomes U+FFFD. A null text gives null.
///@{
ZAVRIN_EXPORT wchar_t *WideStringFromMBString(const char *src);
ZAVRIN_EXPORT wchar_t *WideStringFromUTF8String(const char *src);
ZAVRIN_EXPORT char *MBStringFromWideString(const wchar_t *src);
ZAVRIN_EXPORT char *UTF8StringFromWideString(const wchar_t *src);
///@}
/// inet_addr of the text: network order, 0xFFFFFFFF for no valid address.
ZAVRIN_EXPORT DWORD inet_addr_w(const wchar_t *text);
/// The crypto library's text for an error code into buffer (256 wide characters).
ZAVRIN_EXPORT wchar_t *ERR_error_string_W(DWORD error, wchar_t *buffer);

ZAVRIN_C_END

// ---- System helpers ----

ZAVRIN_C_BEGIN

/// The system's text for an errno code, cut at its first line end and to size - 1
/// bytes; "MSG 0x%08X - Unable to find message text" for a code without one.
ZAVRIN_EXPORT char *GetSystemErrorText(DWORD error, char *buffer, size_t size);
/// The file's contents in a new malloc'ed block with one spare byte behind them
/// (not written), their length in *size; null when the file cannot be read or
/// is 4 GiB or larger (a directory cannot be opened: *size is left alone). A file
/// that shrinks while it is read gives what was read; a FIFO reads as empty.
ZAVRIN_EXPORT BYTE *LoadFile(const char *fileName, DWORD *size);
/// A dotted IPv4 address or a host name to an address in network order;
/// 0xFFFFFFFF when the name is unknown.
ZAVRIN_EXPORT DWORD ResolveHostName(const char *name);
/// "Linux <major>.<minor>" of the running kernel, cut to size - 1 bytes.
ZAVRIN_EXPORT void GetOSVersionString(char *buffer, size_t size);
/// Dynamic libraries. On failure the loader's text goes to errorText (255 bytes)
/// when it is not null. DLGetSymbolAddr searches the given module only: a null
/// module gives null.
///@{
ZAVRIN_EXPORT void *DLOpen(const char *libName, char *errorText);
ZAVRIN_EXPORT void DLClose(void *module);
ZAVRIN_EXPORT void *DLGetSymbolAddr(void *module, const char *symbol, char *errorText);
///@}

ZAVRIN_C_END

#endif  // ZAVRIN_UTILS_H
