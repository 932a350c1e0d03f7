// The UUID generator's clock, replaceable so that tests can show it the same
// microsecond several times or move it back.
#ifndef ZAVRIN_UUID_INTERNAL_H
#define ZAVRIN_UUID_INTERNAL_H

#include <zavrin/types.h>

namespace zavrin {

// UTC time since 1970-01-01 00:00:00.
struct UuidClockTime {
  uint64_t seconds;
  uint32_t microseconds;
};

typedef UuidClockTime (*UuidClockSource)();

// Makes the generator read its time from source (null: the system clock again)
// and forget its clock state, so that the next identifier starts a new clock
// sequence as in a new process. The node id is kept.
void SetUuidClockForTesting(UuidClockSource source);

// The 60-bit timestamp and the 13-bit clock sequence carried by an identifier.
uint64_t UuidTimestamp(const unsigned char *uu);
uint16_t UuidClockSequence(const unsigned char *uu);

}  // namespace zavrin

#endif  // ZAVRIN_UUID_INTERNAL_H
