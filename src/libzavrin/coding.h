// Byte-order helpers for wire layouts. Every multi-byte field on the wire is
// big-endian; these read and write such fields at any (unaligned) address, and
// convert values in place, through the host/network conversions only, so the
// code is right on hosts of either byte order.
#ifndef ZAVRIN_CODING_H
#define ZAVRIN_CODING_H

#include <arpa/inet.h>
#include <stdint.h>
#include <string.h>

namespace zavrin {

// Host order to network order for 64-bit values (its own inverse).
inline uint64_t HostToNet64(uint64_t value) {
  uint32_t high = htonl(static_cast<uint32_t>(value >> 32));
  uint32_t low = htonl(static_cast<uint32_t>(value));
  // The high word must come first in memory: place the converted words so.
  uint64_t result;
  unsigned char *out = reinterpret_cast<unsigned char *>(&result);
  memcpy(out, &high, 4);
  memcpy(out + 4, &low, 4);
  return result;
}
inline uint64_t NetToHost64(uint64_t value) {
  const unsigned char *in = reinterpret_cast<const unsigned char *>(&value);
  uint32_t high, low;
  memcpy(&high, in, 4);
  memcpy(&low, in + 4, 4);
  return (static_cast<uint64_t>(ntohl(high)) << 32) | ntohl(low);
}

inline uint16_t ReadBE16(const void *p) {
  uint16_t v;
  memcpy(&v, p, 2);
  return ntohs(v);
}
inline uint32_t ReadBE32(const void *p) {
  uint32_t v;
  memcpy(&v, p, 4);
  return ntohl(v);
}
inline uint64_t ReadBE64(const void *p) {
  uint64_t v;
  memcpy(&v, p, 8);
  return NetToHost64(v);
}
inline void WriteBE16(void *p, uint16_t value) {
  uint16_t v = htons(value);
  memcpy(p, &v, 2);
}
inline void WriteBE32(void *p, uint32_t value) {
  uint32_t v = htonl(value);
  memcpy(p, &v, 4);
}
inline void WriteBE64(void *p, uint64_t value) {
  uint64_t v = HostToNet64(value);
  memcpy(p, &v, 8);
}

// Number of bytes that bring n up to a multiple of 8.
inline uint32_t Pad8(uint32_t n) { return (8 - n % 8) % 8; }

}  // namespace zavrin

#endif  // ZAVRIN_CODING_H
