// The byte-wise CRC-32, kept beside the accelerated one that CalculateCRC32 uses
// where the build found it, so that the two can be compared.
#ifndef ZAVRIN_CHECKSUM_INTERNAL_H
#define ZAVRIN_CHECKSUM_INTERNAL_H

#include <zavrin/types.h>

// Set to 1 by the build where it found ISA-L.
#ifndef ZAVRIN_HAVE_ISAL
#define ZAVRIN_HAVE_ISAL 0
#endif

namespace zavrin {

// CRC-32 of size bytes continuing from crc (0 starts a new one), one table
// look-up per byte. Portable to every host and byte order.
DWORD Crc32ByTable(const void *data, DWORD size, DWORD crc);

// True when CalculateCRC32 runs on the accelerated library rather than the table.
constexpr bool kCrc32Accelerated = ZAVRIN_HAVE_ISAL != 0;

}  // namespace zavrin

#endif  // ZAVRIN_CHECKSUM_INTERNAL_H
