/// \file
/// Basic types, constants and the export macro shared by every libzavrin header.
#ifndef ZAVRIN_TYPES_H
#define ZAVRIN_TYPES_H

#include <stddef.h>
#include <stdint.h>

/// Marks what the shared library exports; everything else is hidden.
#define ZAVRIN_EXPORT __attribute__((visibility("default")))

#ifdef __cplusplus
/// Opens the declarations of free functions that the library exports under their
/// plain names (C linkage in C++).
#define ZAVRIN_C_BEGIN extern "C" {
/// Closes what ZAVRIN_C_BEGIN opened.
#define ZAVRIN_C_END }
#else
#define ZAVRIN_C_BEGIN
#define ZAVRIN_C_END
#endif

typedef uint8_t BYTE;    ///< 8 bits, unsigned
typedef uint16_t WORD;   ///< 16 bits, unsigned
typedef uint32_t DWORD;  ///< 32 bits, unsigned
typedef uint64_t QWORD;  ///< 64 bits, unsigned
typedef int64_t INT64;   ///< 64 bits, signed
typedef int BOOL;        ///< a 32-bit boolean: TRUE or FALSE

#ifndef TRUE
#define TRUE 1  ///< BOOL true
#endif
#ifndef FALSE
#define FALSE 0  ///< BOOL false
#endif

#ifndef INFINITE
/// Time-outs are milliseconds; INFINITE waits without limit.
#define INFINITE 0xFFFFFFFFu
#endif

typedef int SOCKET;  ///< a socket descriptor
#ifndef INVALID_SOCKET
#define INVALID_SOCKET (-1)  ///< no socket
#endif

#endif  // ZAVRIN_TYPES_H
