// The framing shared by the socket receiver and the message stream.
#include "transport/framer.h"

#include <limits.h>
#include <string.h>

#include <zavrin/crypto.h>

#include "coding.h"
#include "crypto/crypto_internal.h"
#include "message/message_layout.h"

namespace zavrin {

Framer::Step Framer::Advance() {
  if (size == 0) {
    if (bytesBuffered < kMsgHeaderSize) return kMoreBytes;
    memcpy(header, staging + readPos, kMsgHeaderSize);
    DWORD announced = ReadBE32(header + kMsgSizeOffset);
    if (announced < kMsgHeaderSize) return kBadSize;
    size = announced;
    taken = 0;
    // The result must be able to carry the size.
    skip = size > maxSize || size > INT_MAX;
  }
  if (!skip && out == nullptr) return kNeedsBuffer;
  DWORD used = size - taken < bytesBuffered ? size - taken : bytesBuffered;
  if (used == 0) return taken == size ? kComplete : kMoreBytes;  // staging may be gone
  // A message left where it was staged needs no copy.
  if (!skip && out + taken != staging + readPos) memcpy(out + taken, staging + readPos, used);
  taken += used;
  bytesBuffered -= used;
  readPos = bytesBuffered != 0 ? readPos + used : 0;
  return taken == size ? kComplete : kMoreBytes;
}

BYTE *Framer::Room(DWORD *room, bool headerInPlace) {
  if (Direct()) {
    roomKind = kInMessage;
    *room = size - taken;
    return out + taken;
  }
  if (headerInPlace && size == 0 && bytesBuffered == 0 && out != nullptr &&
      maxSize >= kMsgHeaderSize) {
    roomKind = kAheadOfHeader;
    readPos = 0;
    *room = maxSize < stagingSize ? maxSize : stagingSize;
    return out;
  }
  roomKind = kInStaging;
  // Receive behind the staged bytes, first moving them to the start when
  // little room is left behind them.
  if (readPos != 0 && stagingSize - readPos - bytesBuffered < stagingSize / 2) {
    memmove(staging, staging + readPos, bytesBuffered);
    readPos = 0;
  }
  *room = stagingSize - readPos - bytesBuffered;
  return staging + readPos + bytesBuffered;
}

void Framer::Received(DWORD count) {
  switch (roomKind) {
    case kInStaging:
      bytesBuffered += count;
      return;
    case kInMessage:
      taken += count;
      return;
    case kAheadOfHeader:
      break;
  }
  // A message that is taken stays where it landed, the bytes beyond its end
  // are staged; anything else (a partial header, a size that is skipped or
  // bad) is staged whole and read from there.
  DWORD announced = count >= kMsgHeaderSize ? ReadBE32(out + kMsgSizeOffset) : 0;
  DWORD inPlace = 0;
  if (announced >= kMsgHeaderSize && announced <= maxSize && announced <= INT_MAX) {
    memcpy(header, out, kMsgHeaderSize);
    size = announced;
    skip = false;
    inPlace = count < size ? count : size;
  }
  taken = inPlace;
  memcpy(staging, out + inPlace, count - inPlace);
  bytesBuffered = count - inPlace;
}

bool NeedsDecryption(const BYTE *msg, ENCRYPTION_CONTEXT **context) {
  ENCRYPTION_CONTEXT *session = context != nullptr ? *context : nullptr;
  return ReadBE16(msg + kMsgCodeOffset) == CMD_ENCRYPTED_MESSAGE && session != nullptr &&
         session != PASS_THROUGH_CONTEXT;
}

int FinishMessage(BYTE *msg, DWORD size, ENCRYPTION_CONTEXT **context, BYTE *work) {
  ENCRYPTION_CONTEXT *session = context != nullptr ? *context : nullptr;
  if (ReadBE16(msg + kMsgCodeOffset) != CMD_ENCRYPTED_MESSAGE)
    return RefusesPlainMessages(session) ? 2 : static_cast<int>(size);
  if (session == nullptr) return 2;
  if (session == PASS_THROUGH_CONTEXT) return static_cast<int>(size);
  if (work == nullptr ||
      !CSCPDecryptMessage(session, reinterpret_cast<ENCRYPTED_MESSAGE *>(msg), work))
    return 2;
  return static_cast<int>(ReadBE32(msg + kMsgSizeOffset));
}

}  // namespace zavrin
