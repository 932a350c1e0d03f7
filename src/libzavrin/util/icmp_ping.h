// The pieces of the ICMP echo probe that tests reach without a raw socket: the
// probe's layout and the matching of received datagrams.
#ifndef ZAVRIN_ICMP_PING_H
#define ZAVRIN_ICMP_PING_H

#include <zavrin/types.h>

namespace zavrin {

const WORD kProbeId = 0x5050;
const DWORD kMinPacketSize = 32;
const DWORD kMaxPacketSize = 8192;
const DWORD kIpHeaderSize = 20;  // of the probe; the kernel writes it
const DWORD kMaxProbeSize = kMaxPacketSize - kIpHeaderSize;

// The Internet checksum (RFC 1071) of size bytes: the value to store big-endian
// in a checksum field that was 0 while it was computed.
WORD InternetChecksum(const void *data, size_t size);

// Writes the echo request of the given sequence number into probe (room for
// kMaxProbeSize bytes) for an IP packet of packetSize bytes, clamped to
// kMinPacketSize..kMaxPacketSize, and returns the probe's length.
size_t BuildProbe(BYTE *probe, DWORD packetSize, WORD sequence);

enum ReplyMatch {
  kReplyOther,            // not about this probe
  kReplyEcho,             // the target's echo reply to this probe
  kReplyHostUnreachable,  // host unreachable, about the target
};

// Judges one datagram as a raw ICMP socket receives it (IP header first) from
// its first `received` bytes only; target is in network order.
ReplyMatch MatchReply(const BYTE *datagram, size_t received, DWORD target, WORD sequence);

}  // namespace zavrin

#endif  // ZAVRIN_ICMP_PING_H
