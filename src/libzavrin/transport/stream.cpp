// The message stream: the receiver's framing fed by a caller that reads the
// socket itself. Its memory follows the bytes in flight: a staging area while
// bytes are buffered (freed when a drain leaves none), a block of exactly the
// message's size for a message too large to wait in staging (freed once handed
// out), and a decryption work area for the moment of decryption only.
#include <zavrin/message.h>

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <new>

#include "message/message_layout.h"
#include "transport/framer.h"

using zavrin::Framer;

namespace {

// The staging area's size while bytes arrive: what one receive takes at most,
// unless more is written at once.
constexpr DWORD kStagingSize = 16384;
// A message up to this size waits whole in staging and is handed out where it
// lies; a larger one gets a block of its own. At most half the staging area, so
// that moving the staged bytes to its start always makes room for the message.
constexpr DWORD kInPlaceLimit = kStagingSize / 2;
// What a stream keeps of its staging area while only part of a header waits.
constexpr DWORD kHeaderStaging = 16;
// Messages are handed out at an address fit for the header's 32-bit fields.
constexpr uintptr_t kMessageAlignment = 8;

}  // namespace

struct ZVCP_STREAM {
  explicit ZVCP_STREAM(DWORD maxSize) : framer(maxSize) {}

  Framer framer;
  bool ownsOut = false;  // framer.out is a block of its own, not inside staging
  // The block of the last message handed out, freed at the next call.
  BYTE *handedOut = nullptr;
  DWORD handedOutSize = 0;
  DWORD roomGiven = 0;     // the size of the last room reserved
  bool outOfStep = false;  // a bad size was read: everything fed is dropped
};

namespace {

// The caller is done with the last message handed out.
void Release(ZVCP_STREAM *s) {
  free(s->handedOut);
  s->handedOut = nullptr;
  s->handedOutSize = 0;
}

// Resizes the staging area to size bytes, the staged bytes moved to its start.
bool ResizeStaging(Framer &f, DWORD size) {
  if (f.readPos != 0) {
    memmove(f.staging, f.staging + f.readPos, f.bytesBuffered);
    f.readPos = 0;
  }
  if (size == f.stagingSize) return true;
  if (size == 0) {
    free(f.staging);
    f.staging = nullptr;
    f.stagingSize = 0;
    return true;
  }
  BYTE *grown = static_cast<BYTE *>(realloc(f.staging, size));
  if (grown == nullptr) return false;
  f.staging = grown;
  f.stagingSize = size;
  return true;
}

// Room behind the staged bytes for at least extra more.
bool MakeRoom(Framer &f, size_t extra) {
  size_t need = static_cast<size_t>(f.bytesBuffered) + extra;
  if (f.stagingSize - f.readPos - f.bytesBuffered >= extra) return true;
  if (need > UINT32_MAX) return false;
  if (need <= f.stagingSize) return ResizeStaging(f, f.stagingSize);
  // Grown at least twofold, so that many small writes do not copy over and over.
  size_t size = f.stagingSize * size_t{2};
  if (size < kStagingSize) size = kStagingSize;
  if (size < need) size = need;
  if (size > UINT32_MAX) size = UINT32_MAX;
  return ResizeStaging(f, static_cast<DWORD>(size));
}

// Whether the message in flight waits whole in staging.
bool WaitsInStaging(const Framer &f) {
  return f.size <= kInPlaceLimit;
}

// Gives the message in flight its destination once its header is known: where
// it lies in staging when it is all there, else a block of its own unless it
// waits in staging. False when it has none yet (waiting, or no memory).
bool Place(ZVCP_STREAM *s) {
  Framer &f = s->framer;
  if (f.bytesBuffered >= f.size) {
    if (reinterpret_cast<uintptr_t>(f.staging + f.readPos) % kMessageAlignment != 0)
      ResizeStaging(f, f.stagingSize);
    f.out = f.staging + f.readPos;
    return true;
  }
  if (WaitsInStaging(f)) return false;
  f.out = static_cast<BYTE *>(malloc(f.size));
  s->ownsOut = f.out != nullptr;
  return s->ownsOut;
}

// Moves staged bytes on into a message with a block of its own, or drops them
// for a skipped one, and places a large message whose header just came. False
// when that message's block cannot be had.
bool Progress(ZVCP_STREAM *s) {
  Framer &f = s->framer;
  if (f.size == 0) return true;
  if (f.skip || s->ownsOut) {
    f.Advance();
    return true;
  }
  if (f.out != nullptr || WaitsInStaging(f) || f.bytesBuffered >= f.size) return true;
  if (!Place(s)) return false;
  f.Advance();
  return true;
}

// After a drain: memory beyond what the bytes in flight need goes back.
void Settle(ZVCP_STREAM *s) {
  Framer &f = s->framer;
  if (f.bytesBuffered == 0) {
    ResizeStaging(f, 0);
  } else if (f.size == 0 && f.bytesBuffered < kHeaderStaging) {
    ResizeStaging(f, kHeaderStaging);
  } else if (f.stagingSize > kStagingSize && f.bytesBuffered <= kStagingSize) {
    ResizeStaging(f, kStagingSize);
  }
}

}  // namespace

ZVCP_STREAM *ZVCPStreamCreate(DWORD maxSize) {
  void *memory = malloc(sizeof(ZVCP_STREAM));
  return memory != nullptr ? new (memory) ZVCP_STREAM(maxSize) : nullptr;
}

void ZVCPStreamDestroy(ZVCP_STREAM *stream) {
  if (stream == nullptr) return;
  Release(stream);
  if (stream->ownsOut) free(stream->framer.out);
  free(stream->framer.staging);
  stream->~ZVCP_STREAM();
  free(stream);
}

BYTE *ZVCPStreamReserve(ZVCP_STREAM *stream, size_t *room) {
  Release(stream);
  Framer &f = stream->framer;
  *room = 0;
  if (stream->outOfStep) {
    // Dropped at the commit.
    *room = f.stagingSize;
    stream->roomGiven = 0;
    return f.staging;
  }
  if (!Progress(stream)) return nullptr;
  if (!f.Direct() && f.stagingSize < kStagingSize && !ResizeStaging(f, kStagingSize))
    return nullptr;
  DWORD size;
  BYTE *at = f.Room(&size);
  if (size == 0) {
    // Staging is full of whole messages that were not read yet.
    if (!MakeRoom(f, 1)) return nullptr;
    at = f.Room(&size);
  }
  *room = size;
  stream->roomGiven = size;
  return at;
}

void ZVCPStreamCommit(ZVCP_STREAM *stream, size_t bytes) {
  Release(stream);
  // More than the room would have overrun it already; less is all it can hold.
  if (bytes > stream->roomGiven) bytes = stream->roomGiven;
  stream->roomGiven = 0;
  stream->framer.Received(static_cast<DWORD>(bytes));
}

BOOL ZVCPStreamWrite(ZVCP_STREAM *stream, const void *data, size_t size) {
  Release(stream);
  Framer &f = stream->framer;
  if (stream->outOfStep || size == 0) return TRUE;
  if (!Progress(stream)) return FALSE;
  // The part of the message in flight that goes straight to its block (or is
  // dropped); the rest is staged, with room made before anything is taken.
  size_t direct = 0;
  if (f.size != 0 && f.bytesBuffered == 0 && (f.skip || stream->ownsOut)) {
    direct = f.size - f.taken;
    if (direct > size) direct = size;
  }
  size_t rest = size - direct;
  if (rest != 0 && !MakeRoom(f, rest)) return FALSE;
  const BYTE *bytes = static_cast<const BYTE *>(data);
  if (direct != 0 && !f.skip) memcpy(f.out + f.taken, bytes, direct);
  f.taken += static_cast<DWORD>(direct);
  if (rest != 0) memcpy(f.staging + f.readPos + f.bytesBuffered, bytes + direct, rest);
  f.bytesBuffered += static_cast<DWORD>(rest);
  return TRUE;
}

int ZVCPStreamNext(ZVCP_STREAM *stream, CSCP_MESSAGE **msg, ENCRYPTION_CONTEXT **context) {
  Release(stream);
  Framer &f = stream->framer;
  CSCP_MESSAGE *header = reinterpret_cast<CSCP_MESSAGE *>(f.header);
  *msg = nullptr;
  if (stream->outOfStep) {
    *msg = header;
    return ZVCP_RECV_BAD_SIZE;
  }
  Framer::Step step = f.Advance();
  if (step == Framer::kNeedsBuffer) step = Place(stream) ? f.Advance() : Framer::kMoreBytes;
  if (step == Framer::kBadSize) {
    // Nothing tells where the next message starts: what comes is dropped into a
    // few bytes of staging.
    stream->outOfStep = true;
    f.bytesBuffered = 0;
    f.readPos = 0;
    ResizeStaging(f, kHeaderStaging);
    *msg = header;
    return ZVCP_RECV_BAD_SIZE;
  }
  if (step != Framer::kComplete) {
    Settle(stream);
    return 0;
  }
  int result = 1;
  *msg = header;
  if (!f.skip) {
    // The decryption work area lives only as long as the decryption.
    BYTE *work = zavrin::NeedsDecryption(f.out, context)
                     ? static_cast<BYTE *>(malloc(size_t{f.size} + 16))
                     : nullptr;
    result = zavrin::FinishMessage(f.out, f.size, context, work);
    free(work);
    *msg = reinterpret_cast<CSCP_MESSAGE *>(f.out);
    if (stream->ownsOut) {
      stream->handedOut = f.out;
      stream->handedOutSize = f.size;
    }
    stream->ownsOut = false;
  }
  f.NextMessage();
  return result;
}

size_t ZVCPStreamMemory(const ZVCP_STREAM *stream) {
  const Framer &f = stream->framer;
  size_t held = f.stagingSize;
  if (stream->ownsOut) held += f.size;
  if (stream->handedOut != nullptr) held += stream->handedOutSize;
  return held;
}
