// IcmpPing: echo requests from a raw ICMP socket, one per attempt, each followed
// by a wait for the target's reply or for a host-unreachable error about it.
#include <zavrin/utils.h>

#include <errno.h>
#include <limits.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "coding.h"
#include "util/icmp_ping.h"
#include "port/thread.h"

namespace zavrin {
namespace {

const BYTE kEchoReply = 0;
const BYTE kDestinationUnreachable = 3;
const BYTE kHostUnreachable = 1;
const BYTE kEchoRequest = 8;
const size_t kIcmpHeaderSize = 8;
const size_t kTextOffset = 12;  // in the probe
const DWORD kPauseMs = 500;     // after every unanswered attempt

// The 31 characters and zeros up to 64 bytes.
const char kProbeText[64] = "Zavrin ICMP probe [01234567890]";

DWORD ClampPacketSize(DWORD packetSize) {
  if (packetSize < kMinPacketSize) return kMinPacketSize;
  if (packetSize > kMaxPacketSize) return kMaxPacketSize;
  return packetSize;
}

// The sequence number goes least significant byte first, whatever the host.
WORD ReadSequence(const BYTE *icmp) {
  return static_cast<WORD>(icmp[6] | (icmp[7] << 8));
}

// Waits for datagrams after one request until the time-out runs out; the
// round-trip time is the sum of the waits up to the answer.
DWORD AwaitAnswer(int sock, DWORD target, WORD sequence, DWORD timeout, DWORD *rtt,
                  BYTE *datagram) {
  DWORD remaining = timeout;
  DWORD waited = 0;
  while (remaining > 0) {
    // The monotonic clock: a step of the wall clock must not shorten the wait
    // or make up a round-trip time.
    DWORD start = GetTickCount();
    struct pollfd pfd = {sock, POLLIN, 0};
    int ready = poll(&pfd, 1, remaining > INT_MAX ? INT_MAX : static_cast<int>(remaining));
    DWORD elapsed = TicksSince(start, GetTickCount());
    if (ready < 0 && errno != EINTR) break;
    if (ready == 0) break;
    waited += elapsed;
    remaining -= elapsed < remaining ? elapsed : remaining;
    if (ready < 0) continue;

    ssize_t received = recvfrom(sock, datagram, kMaxPacketSize, 0, nullptr, nullptr);
    if (received <= 0) continue;
    switch (MatchReply(datagram, static_cast<size_t>(received), target, sequence)) {
      case kReplyEcho:
        if (rtt != nullptr) *rtt = waited;
        return PING_OK;
      case kReplyHostUnreachable:
        return PING_UNREACHABLE;
      case kReplyOther:
        break;
    }
  }
  return PING_NO_REPLY;
}

}  // namespace

WORD InternetChecksum(const void *data, size_t size) {
  const BYTE *p = static_cast<const BYTE *>(data);
  uint32_t sum = 0;
  for (; size > 1; p += 2, size -= 2) sum += ReadBE16(p);
  if (size == 1) sum += static_cast<uint32_t>(p[0]) << 8;
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<WORD>(~sum);
}

size_t BuildProbe(BYTE *probe, DWORD packetSize, WORD sequence) {
  DWORD size = ClampPacketSize(packetSize);
  size_t length = size - kIpHeaderSize;
  memset(probe, 0, length);  // the filler: zeros
  probe[0] = kEchoRequest;
  probe[1] = 0;
  WriteBE16(probe + 4, kProbeId);
  probe[6] = static_cast<BYTE>(sequence & 0xFF);
  probe[7] = static_cast<BYTE>(sequence >> 8);
  size_t textLength = size - 32 < sizeof(kProbeText) ? size - 32 : sizeof(kProbeText);
  memcpy(probe + kTextOffset, kProbeText, textLength);
  WriteBE16(probe + 2, InternetChecksum(probe, length));
  return length;
}

ReplyMatch MatchReply(const BYTE *datagram, size_t received, DWORD target, WORD sequence) {
  // The IP header's own length says where the ICMP message starts; nothing is
  // read beyond the bytes that arrived.
  if (received < kIpHeaderSize) return kReplyOther;
  size_t headerSize = static_cast<size_t>(datagram[0] & 0x0F) * 4;
  if (headerSize < kIpHeaderSize || received < headerSize + kIcmpHeaderSize) return kReplyOther;
  const BYTE *icmp = datagram + headerSize;
  DWORD source;
  memcpy(&source, datagram + 12, 4);
  if (source == target && icmp[0] == kEchoReply) {
    bool ours = ReadBE16(icmp + 4) == kProbeId && ReadSequence(icmp) == sequence;
    return ours ? kReplyEcho : kReplyOther;
  }
  // The error quotes the IP header of the request: its destination at offset 16.
  const size_t quotedDestination = headerSize + kIcmpHeaderSize + 16;
  if (icmp[0] == kDestinationUnreachable && icmp[1] == kHostUnreachable &&
      received >= quotedDestination + 4) {
    DWORD destination;
    memcpy(&destination, datagram + quotedDestination, 4);
    if (destination == target) return kReplyHostUnreachable;
  }
  return kReplyOther;
}

}  // namespace zavrin

DWORD IcmpPing(DWORD addr, int attempts, DWORD timeout, DWORD *rtt, DWORD packetSize) {
  int sock = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
  if (sock < 0) return PING_SOCKET_ERROR;

  struct sockaddr_in to;
  memset(&to, 0, sizeof(to));
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = addr;

  BYTE probe[zavrin::kMaxProbeSize];
  BYTE datagram[zavrin::kMaxPacketSize];
  DWORD result = PING_NO_REPLY;
  for (int attempt = 1; attempt <= attempts; attempt++) {
    WORD sequence = static_cast<WORD>(attempt);
    size_t length = zavrin::BuildProbe(probe, packetSize, sequence);
    ssize_t sent;
    do {
      sent = sendto(sock, probe, length, 0, reinterpret_cast<struct sockaddr *>(&to), sizeof(to));
    } while (sent < 0 && errno == EINTR);
    if (sent == static_cast<ssize_t>(length) && timeout > 0) {
      DWORD answer = zavrin::AwaitAnswer(sock, addr, sequence, timeout, rtt, datagram);
      if (answer != PING_NO_REPLY) {
        result = answer;
        break;
      }
    }
    zavrin::ThreadSleep(zavrin::kPauseMs);
  }
  close(sock);
  return result;
}
