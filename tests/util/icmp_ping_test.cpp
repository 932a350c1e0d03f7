#include <zavrin.h>

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "util/icmp_ping.h"
#include "test_support.h"

using zavrin::kReplyEcho;
using zavrin::kReplyHostUnreachable;
using zavrin::kReplyOther;
using zavrin::ReplyMatch;

namespace {

// RFC 1071, written out as the RFC gives it: the one's complement of the one's
// complement sum of the big-endian 16-bit words, an odd last byte padded with 0.
uint16_t Rfc1071(const std::vector<uint8_t> &bytes, size_t from, size_t to) {
  uint32_t sum = 0;
  size_t i = from;
  for (; i + 1 < to; i += 2) sum += (uint32_t{bytes[i]} << 8) | bytes[i + 1];
  if (i < to) sum += uint32_t{bytes[i]} << 8;
  while (sum > 0xFFFF) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum & 0xFFFF);
}

void Put16(std::vector<uint8_t> &b, size_t at, uint16_t v) {
  b[at] = static_cast<uint8_t>(v >> 8);
  b[at + 1] = static_cast<uint8_t>(v);
}
void PutAddress(std::vector<uint8_t> &b, size_t at, const char *dotted) {
  in_addr_t a = inet_addr(dotted);
  memcpy(&b[at], &a, 4);
}

const char kTarget[] = "192.0.2.10";
const char kOther[] = "192.0.2.11";
const char kRouter[] = "198.51.100.1";
const char kUs[] = "203.0.113.5";

// An IPv4 header of ihl words, written from the header's layout (at least 20
// bytes of it when ihl claims fewer).
size_t HeaderBytes(int ihl) {
  return static_cast<size_t>(ihl < 5 ? 5 : ihl) * 4;
}
std::vector<uint8_t> IpHeader(int ihl, const char *source, const char *destination,
                              size_t totalLength) {
  std::vector<uint8_t> h(HeaderBytes(ihl), 0);
  h[0] = static_cast<uint8_t>(0x40 | ihl);
  Put16(h, 2, static_cast<uint16_t>(totalLength));
  h[8] = 64;  // time to live
  h[9] = 1;   // ICMP
  PutAddress(h, 12, source);
  PutAddress(h, 16, destination);
  for (size_t k = 20; k < h.size(); k++) h[k] = 1;  // options: no-operation
  Put16(h, 10, Rfc1071(h, 0, h.size()));
  return h;
}

// What a raw ICMP socket receives: an IP header, then an echo message (types 0
// and 8) or an error that quotes the header and first 8 bytes of our request.
struct Datagram {
  uint8_t type;
  uint8_t code;
  const char *source;
  uint16_t identifier = 0x5050;
  uint16_t sequence = 3;                    // stored least significant byte first
  const char *quotedDestination = kTarget;  // errors only
  const char *quotedSource = kUs;
  int ihl = 5;
};

std::vector<uint8_t> Build(const Datagram &d) {
  std::vector<uint8_t> icmp(8, 0);
  icmp[0] = d.type;
  icmp[1] = d.code;
  if (d.type == 0 || d.type == 8) {
    Put16(icmp, 4, d.identifier);
    icmp[6] = static_cast<uint8_t>(d.sequence);
    icmp[7] = static_cast<uint8_t>(d.sequence >> 8);
    for (int k = 0; k < 24; k++) icmp.push_back(static_cast<uint8_t>('a' + k));
  } else {
    std::vector<uint8_t> quoted = IpHeader(5, d.quotedSource, d.quotedDestination, 20 + 32);
    icmp.insert(icmp.end(), quoted.begin(), quoted.end());
    uint8_t request[8] = {8,
                          0,
                          0,
                          0,
                          0x50,
                          0x50,
                          static_cast<uint8_t>(d.sequence),
                          static_cast<uint8_t>(d.sequence >> 8)};
    icmp.insert(icmp.end(), request, request + 8);
  }
  Put16(icmp, 2, Rfc1071(icmp, 0, icmp.size()));
  const char *destination = kUs;
  std::vector<uint8_t> datagram = IpHeader(d.ihl, d.source, destination, 0);
  Put16(datagram, 2, static_cast<uint16_t>(datagram.size() + icmp.size()));
  Put16(datagram, 10, 0);
  Put16(datagram, 10, Rfc1071(datagram, 0, datagram.size()));
  datagram.insert(datagram.end(), icmp.begin(), icmp.end());
  return datagram;
}

const size_t kWhole = ~size_t{0};

// The datagram with an IP header of ihl 32-bit words.
Datagram WithIhl(int ihl, Datagram d) {
  d.ihl = ihl;
  return d;
}

}  // namespace

// Every kind of datagram the probe's socket may see while it waits for the
// answer to its third attempt.
TEST(IcmpReplyMatcher, JudgesReceivedDatagrams) {
  struct Case {
    const char *name;
    Datagram datagram;
    size_t received;  // the datagram cut to this many bytes
    ReplyMatch expected;
  } cases[] = {
      {"our echo reply", {0, 0, kTarget}, kWhole, kReplyEcho},
      {"echo reply, another identifier", {0, 0, kTarget, 0x5051}, kWhole, kReplyOther},
      {"echo reply to an older attempt", {0, 0, kTarget, 0x5050, 2}, kWhole, kReplyOther},
      {"echo reply, sequence in the other byte order",
       {0, 0, kTarget, 0x5050, 0x0300},
       kWhole,
       kReplyOther},
      {"echo reply from another host", {0, 0, kOther}, kWhole, kReplyOther},
      {"the echo request itself", {8, 0, kTarget}, kWhole, kReplyOther},
      {"host unreachable about the target", {3, 1, kRouter}, kWhole, kReplyHostUnreachable},
      {"host unreachable from the target itself", {3, 1, kTarget}, kWhole, kReplyHostUnreachable},
      {"host unreachable about another address",
       {3, 1, kRouter, 0x5050, 3, kOther},
       kWhole,
       kReplyOther},
      {"network unreachable about the target", {3, 0, kRouter}, kWhole, kReplyOther},
      {"port unreachable about the target", {3, 3, kRouter}, kWhole, kReplyOther},
      {"time exceeded about the target", {11, 0, kRouter}, kWhole, kReplyOther},
      {"echo reply cut to nothing", {0, 0, kTarget}, 0, kReplyOther},
      {"echo reply cut inside the IP header", {0, 0, kTarget}, 19, kReplyOther},
      {"echo reply cut after the IP header", {0, 0, kTarget}, 20, kReplyOther},
      {"echo reply cut before its last sequence byte", {0, 0, kTarget}, 27, kReplyOther},
      {"echo reply of its header only", {0, 0, kTarget}, 28, kReplyEcho},
      {"host unreachable cut after the ICMP header", {3, 1, kRouter}, 28, kReplyOther},
      {"host unreachable cut inside the quoted header", {3, 1, kRouter}, 40, kReplyOther},
      {"host unreachable cut inside the quoted destination", {3, 1, kRouter}, 47, kReplyOther},
      {"host unreachable up to the quoted destination", {3, 1, kRouter}, 48, kReplyHostUnreachable},
      {"24-byte IP header, our echo reply", WithIhl(6, {0, 0, kTarget}), kWhole, kReplyEcho},
      {"24-byte IP header, echo reply cut inside the ICMP header", WithIhl(6, {0, 0, kTarget}), 31,
       kReplyOther},
      {"24-byte IP header, host unreachable about the target", WithIhl(6, {3, 1, kRouter}), kWhole,
       kReplyHostUnreachable},
      {"24-byte IP header, host unreachable about another address, the target 4 bytes early",
       WithIhl(6, {3, 1, kRouter, 0x5050, 3, kOther, kTarget}), kWhole, kReplyOther},
      {"24-byte IP header, host unreachable cut inside the quoted destination",
       WithIhl(6, {3, 1, kRouter}), 51, kReplyOther},
      {"60-byte IP header, our echo reply", WithIhl(15, {0, 0, kTarget}), kWhole, kReplyEcho},
      {"IP header length below 20 bytes", WithIhl(4, {0, 0, kTarget}), kWhole, kReplyOther},
  };
  const DWORD target = inet_addr(kTarget);
  for (const Case &c : cases) {
    std::vector<uint8_t> whole = Build(c.datagram);
    ASSERT_EQ(0, Rfc1071(whole, 0, HeaderBytes(c.datagram.ihl))) << c.name;
    ASSERT_EQ(0, Rfc1071(whole, HeaderBytes(c.datagram.ihl), whole.size())) << c.name;
    // Exactly the bytes received, so that a read beyond them is caught.
    size_t n = c.received < whole.size() ? c.received : whole.size();
    std::vector<uint8_t> received(whole.begin(), whole.begin() + static_cast<long>(n));
    EXPECT_EQ(c.expected, zavrin::MatchReply(received.data(), n, target, 3)) << c.name;
  }
}

TEST(IcmpProbe, LayoutBySize) {
  // The probe's text: 31 characters and zeros up to 64 bytes.
  std::vector<uint8_t> text(64, 0);
  memcpy(text.data(), "Zavrin ICMP probe [01234567890]", 31);
  struct Case {
    DWORD packetSize;
    size_t length;
    size_t textBytes;
  } cases[] = {
      {10, 12, 0},  {32, 12, 0},    {33, 13, 1},      {64, 44, 32},
      {96, 76, 64}, {200, 180, 64}, {8192, 8172, 64}, {10000, 8172, 64},
  };
  for (const Case &c : cases) {
    std::vector<uint8_t> probe(zavrin::kMaxProbeSize, 0xEE);
    size_t length = zavrin::BuildProbe(probe.data(), c.packetSize, 0x0102);
    ASSERT_EQ(c.length, length) << c.packetSize;
    EXPECT_EQ(8, probe[0]);
    EXPECT_EQ(0, probe[1]);
    EXPECT_EQ(0x50, probe[4]);
    EXPECT_EQ(0x50, probe[5]);
    EXPECT_EQ(0x02, probe[6]) << "sequence, least significant byte first";
    EXPECT_EQ(0x01, probe[7]);
    EXPECT_EQ(0, Rfc1071(probe, 0, length)) << "checksum of a " << c.packetSize << "-byte packet";
    for (size_t k = 8; k < length; k++) {
      size_t inText = k - 12;
      uint8_t expected = k >= 12 && inText < c.textBytes ? text[inText] : 0;
      ASSERT_EQ(expected, probe[k]) << "byte " << k << " of a " << c.packetSize << "-byte packet";
    }
  }
}

namespace {

bool CanOpenRawIcmp() {
  int s = socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
  if (s < 0) return false;
  close(s);
  return true;
}

}  // namespace

TEST(IcmpPing, LoopbackAnswers) {
  ZAVRIN_SKIP_UNDER_QEMU("no raw sockets");
  if (!CanOpenRawIcmp()) GTEST_SKIP() << "no raw ICMP socket here (needs CAP_NET_RAW)";
  const DWORD kUntouched = 0xDEADBEEF;
  struct Case {
    const char *name;
    int attempts;
    DWORD timeout;
    bool withRtt;
    DWORD packetSize;
    DWORD expected;
  } cases[] = {
      {"64-byte packet", 2, 2000, true, 64, PING_OK},
      {"no round-trip pointer", 2, 2000, false, 64, PING_OK},
      {"size 10 taken as 32", 2, 2000, true, 10, PING_OK},
      {"size 10000 taken as 8192", 2, 2000, true, 10000, PING_OK},
      {"no attempts", 0, 2000, true, 64, PING_NO_REPLY},
      {"no time to wait", 1, 0, true, 64, PING_NO_REPLY},
  };
  const DWORD loopback = htonl(INADDR_LOOPBACK);
  for (const Case &c : cases) {
    DWORD rtt = kUntouched;
    EXPECT_EQ(c.expected,
              IcmpPing(loopback, c.attempts, c.timeout, c.withRtt ? &rtt : nullptr, c.packetSize))
        << c.name;
    if (c.withRtt && c.expected == PING_OK) {
      EXPECT_LE(rtt, c.timeout) << c.name;  // the sum of the waits of one attempt
    } else {
      EXPECT_EQ(kUntouched, rtt) << c.name;
    }
  }
}

TEST(IcmpPing, WithoutTheRightToRawSockets) {
  ZAVRIN_SKIP_UNDER_QEMU("capabilities are not emulated");
  // In a child that gives up CAP_NET_RAW: 0 checked, 2 could not give it up.
  int status = zavrin_test::RunInChild([] {
    __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    if (syscall(SYS_capget, &header, data) == 0) {
      data[CAP_NET_RAW / 32].effective &= ~(1u << (CAP_NET_RAW % 32));
      syscall(SYS_capset, &header, data);
    }
    if (CanOpenRawIcmp()) _exit(2);
    DWORD rtt = 7;
    DWORD result = IcmpPing(htonl(INADDR_LOOPBACK), 1, 100, &rtt, 64);
    _exit(result == PING_SOCKET_ERROR && rtt == 7 ? 0 : 1);
  });
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 2) GTEST_SKIP() << "could not drop CAP_NET_RAW";
  EXPECT_EQ(0, WEXITSTATUS(status));
}
