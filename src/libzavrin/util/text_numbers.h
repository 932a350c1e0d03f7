// Reading numbers from text with the 32-bit results that strtol and strtoul give
// where long is 32 bits, whatever the width of long here.
#ifndef ZAVRIN_TEXT_NUMBERS_H
#define ZAVRIN_TEXT_NUMBERS_H

#include <zavrin/types.h>

namespace zavrin {

// strtoul with base 0 ("0x" hexadecimal, a leading 0 octal): a leading '-'
// negates in 32 bits, a magnitude above 4294967295 saturates to it, and text
// without digits gives 0.
DWORD TextToUInt32(const char *text);

// strtol with base 0: out-of-range values saturate at -2147483648 and 2147483647.
int32_t TextToInt32(const char *text);

// The same, also telling where the conversion stopped: *end is the first
// character not read (text itself when there were no digits), as strtol's end.
DWORD TextToUInt32(const char *text, const char **end);
int32_t TextToInt32(const char *text, const char **end);

// Numbers as the library writes them: "%d", "%u", 64-bit decimal and "%f".
// Text that does not fit size bytes is cut and always terminated (size >= 1).
void FormatNumber(char *buffer, size_t size, int32_t value);
void FormatNumber(char *buffer, size_t size, DWORD value);
void FormatNumber(char *buffer, size_t size, INT64 value);
void FormatNumber(char *buffer, size_t size, QWORD value);
void FormatNumber(char *buffer, size_t size, double value);

}  // namespace zavrin

#endif  // ZAVRIN_TEXT_NUMBERS_H
