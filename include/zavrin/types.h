// Basic types, constants and the export macro shared by every libzavrin header.
#ifndef ZAVRIN_TYPES_H
#define ZAVRIN_TYPES_H

#include <stddef.h>
#include <stdint.h>

// Marks what the shared library exports; everything else is hidden.
#define ZAVRIN_EXPORT __attribute__((visibility("default")))

// Free functions that the library exports under their plain names.
#ifdef __cplusplus
#define ZAVRIN_C_BEGIN extern "C" {
#define ZAVRIN_C_END }
#else
#define ZAVRIN_C_BEGIN
#define ZAVRIN_C_END
#endif

typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef uint64_t QWORD;
typedef int64_t INT64;
typedef int BOOL;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

// Time-outs are milliseconds; INFINITE waits without limit.
#ifndef INFINITE
#define INFINITE 0xFFFFFFFFu
#endif

typedef int SOCKET;
#ifndef INVALID_SOCKET
#define INVALID_SOCKET (-1)
#endif

#endif  // ZAVRIN_TYPES_H
