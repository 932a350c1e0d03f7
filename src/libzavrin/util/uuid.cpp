// Time-based UUIDs (version 1): a random node id, a 13-bit clock sequence and a
// 60-bit count of 100-ns intervals since 1582-10-15, packed big-endian.
#include <zavrin/utils.h>

#include <errno.h>
#include <pthread.h>
#include <string.h>
#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include "coding.h"
#include "port/thread.h"
#include "util/uuid_internal.h"

namespace zavrin {
namespace {

// Seconds from the start of the Gregorian calendar to 1970-01-01.
const uint64_t kGregorianOffset = 12219292800ULL;
// A microsecond holds ten 100-ns intervals, so it can tell ten identifiers
// apart (adjustments 0 to 9). An eleventh, with adjustment 10, would carry the
// timestamp of the next microsecond's first identifier: the same identifier
// twice. It waits for the clock instead.
const unsigned kMaxAdjustment = 9;

UuidClockTime SystemClock() {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return UuidClockTime{static_cast<uint64_t>(ts.tv_sec), static_cast<uint32_t>(ts.tv_nsec / 1000)};
}

struct GeneratorState {
  bool haveNode = false;
  BYTE nodeId[6] = {};
  bool haveTime = false;  // lastTime is valid
  UuidClockTime lastTime = {0, 0};
  uint16_t clockSeq = 0;
  unsigned adjustment = 0;
  UuidClockSource clock = SystemClock;
};

Mutex generatorLock;
GeneratorState state;  // guarded by generatorLock

// Random bytes from the kernel. Should it ever fail, the clock and the process
// id stand in: worse than random, but the layout rules still hold.
void RandomBytes(BYTE *out, size_t size) {
  size_t done = 0;
  while (done < size) {
    ssize_t n = getrandom(out + done, size - done, 0);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno != EINTR) {
      break;
    }
  }
  if (done == size) return;
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  uint64_t x = static_cast<uint64_t>(ts.tv_nsec) ^ (static_cast<uint64_t>(ts.tv_sec) << 30) ^
               (static_cast<uint64_t>(getpid()) << 48);
  for (; done < size; done++) {
    x = x * 6364136223846793005ULL + 1442695040888963407ULL;
    out[done] = static_cast<BYTE>(x >> 56);
  }
}

int CompareTime(const UuidClockTime &a, const UuidClockTime &b) {
  if (a.seconds != b.seconds) return a.seconds < b.seconds ? -1 : 1;
  if (a.microseconds != b.microseconds) return a.microseconds < b.microseconds ? -1 : 1;
  return 0;
}

// Reads the clock under generatorLock: the timestamp, with the identifiers of
// one microsecond kept apart by the adjustment, and the clock sequence.
uint64_t ReadClock(uint16_t *clockSeq) {
  UuidClockTime now;
  for (;;) {
    now = state.clock();
    if (!state.haveTime) {
      BYTE seed[2];
      RandomBytes(seed, sizeof(seed));
      state.clockSeq = static_cast<uint16_t>((seed[0] | (seed[1] << 8)) & 0x1FFF);
      state.lastTime = UuidClockTime{now.seconds - 1, now.microseconds};
      state.haveTime = true;
    }
    int order = CompareTime(now, state.lastTime);
    if (order < 0) {
      state.clockSeq = static_cast<uint16_t>((state.clockSeq + 1) & 0x1FFF);
      state.adjustment = 0;
      state.lastTime = now;
    } else if (order == 0) {
      if (state.adjustment >= kMaxAdjustment) continue;  // wait for the clock to move
      state.adjustment++;
    } else {
      state.adjustment = 0;
      state.lastTime = now;
    }
    break;
  }
  *clockSeq = state.clockSeq;
  return (now.seconds + kGregorianOffset) * 10000000ULL + now.microseconds * 10ULL +
         state.adjustment;
}

// A child of fork starts with a copy of the parent's state: generating in the
// same microsecond, both would issue the same identifiers. As a new process, the
// child draws a new node id and clock sequence. The lock is held across fork,
// so that the child never copies it held by a thread it does not have.
void LockForFork() {
  generatorLock.Lock();
}
void UnlockInParent() {
  generatorLock.Unlock();
}
void StartAfreshInChild() {
  state.haveNode = false;
  state.haveTime = false;
  state.adjustment = 0;
  generatorLock.Unlock();
}

}  // namespace

void SetUuidClockForTesting(UuidClockSource source) {
  MutexLock lock(&generatorLock);
  state.clock = source != nullptr ? source : SystemClock;
  state.haveTime = false;
  state.adjustment = 0;
}

uint64_t UuidTimestamp(const unsigned char *uu) {
  return ReadBE32(uu) | (static_cast<uint64_t>(ReadBE16(uu + 4)) << 32) |
         (static_cast<uint64_t>(ReadBE16(uu + 6) & 0x0FFF) << 48);
}

uint16_t UuidClockSequence(const unsigned char *uu) {
  return ReadBE16(uu + 8) & 0x1FFF;
}

}  // namespace zavrin

using zavrin::ReadBE16;
using zavrin::ReadBE32;
using zavrin::WriteBE16;
using zavrin::WriteBE32;

void uuid_generate(uuid_t out) {
  using zavrin::state;
  uint64_t t;
  uint16_t clockSeq;
  BYTE node[6];
  [[maybe_unused]] static const int watchingForks =
      pthread_atfork(zavrin::LockForFork, zavrin::UnlockInParent, zavrin::StartAfreshInChild);
  {
    zavrin::MutexLock lock(&zavrin::generatorLock);
    if (!state.haveNode) {
      zavrin::RandomBytes(state.nodeId, sizeof(state.nodeId));
      state.nodeId[0] |= 0x80;
      state.haveNode = true;
    }
    t = zavrin::ReadClock(&clockSeq);
    memcpy(node, state.nodeId, sizeof(node));
  }
  WriteBE32(out, static_cast<DWORD>(t));
  WriteBE16(out + 4, static_cast<WORD>(t >> 32));
  WriteBE16(out + 6, static_cast<WORD>(((t >> 48) & 0x0FFF) | 0x1000));
  WriteBE16(out + 8, static_cast<WORD>(clockSeq | 0x8000));
  memcpy(out + 10, node, sizeof(node));
}

void uuid_clear(uuid_t uu) {
  memset(uu, 0, sizeof(uuid_t));
}

int uuid_compare(const uuid_t uu1, const uuid_t uu2) {
  // The fields are packed big-endian, so their order is the order of the bytes.
  int order = memcmp(uu1, uu2, sizeof(uuid_t));
  return order < 0 ? -1 : (order > 0 ? 1 : 0);
}

int uuid_is_null(const uuid_t uu) {
  for (size_t i = 0; i < sizeof(uuid_t); i++) {
    if (uu[i] != 0) return 0;
  }
  return 1;
}

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

int uuid_parse(const char *in, uuid_t uu) {
  // Reads at most 37 bytes: the 36 characters and the terminator that must follow.
  if (strnlen(in, 37) != 36) return -1;
  for (size_t i = 0; i < 36; i++) {
    bool hyphenPlace = i == 8 || i == 13 || i == 18 || i == 23;
    if (hyphenPlace ? in[i] != '-' : HexValue(in[i]) < 0) return -1;
  }
  BYTE bytes[16];
  size_t n = 0;
  for (size_t i = 0; i < 36;) {
    if (in[i] == '-') {
      i++;
      continue;
    }
    bytes[n++] = static_cast<BYTE>(HexValue(in[i]) << 4 | HexValue(in[i + 1]));
    i += 2;
  }
  memcpy(uu, bytes, sizeof(bytes));
  return 0;
}

char *uuid_to_string(const uuid_t uu, char *out) {
  static const char kDigits[] = "0123456789abcdef";
  char *p = out;
  for (size_t i = 0; i < 16; i++) {
    if (i == 4 || i == 6 || i == 8 || i == 10) *p++ = '-';
    *p++ = kDigits[uu[i] >> 4];
    *p++ = kDigits[uu[i] & 15];
  }
  *p = 0;
  return out;
}
