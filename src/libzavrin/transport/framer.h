// The framing of a message stream, shared by the socket receiver and the
// message stream that an event loop feeds: where a message starts and ends,
// which sizes are taken, skipped or refused, and what a whole message's result
// is. It owns no memory and reads no socket; its owner provides the staging
// area, the message's destination, and the bytes.
#ifndef ZAVRIN_TRANSPORT_FRAMER_H
#define ZAVRIN_TRANSPORT_FRAMER_H

#include <zavrin/message.h>

namespace zavrin {

// Below this many bytes still to come, a message's rest is received into the
// staging area, so that the messages behind it come along; from this many on it
// goes straight to the message's destination, and exactly up to the message's
// end, which spares copying a large body a second time.
constexpr DWORD kDirectReceive = 16384;

// One connection's position in its stream. The staged bytes are bytesBuffered
// bytes at staging + readPos: received, not yet part of a message. The message
// in flight is known once size is not 0; taken of its bytes are at out (or were
// dropped, when it is skipped).
struct Framer {
  enum Step {
    kMoreBytes,    // the message is not whole yet
    kNeedsBuffer,  // the header is known: the owner must set out before the body can move
    kComplete,     // the message is whole (or, skipped, wholly dropped)
    kBadSize,      // a size field below 16: nothing tells where the next message starts
  };

  explicit Framer(DWORD maxSize) : maxSize(maxSize) {}

  // Moves staged bytes into the message in flight, reading its header first.
  // Calling it again once the message is complete changes nothing.
  Step Advance();
  // Where the next bytes received should go, and how many fit there (0 when
  // the staging area is full). Staged bytes may move to the area's start.
  // With headerInPlace, a header that is yet to come is received where out
  // points, ahead of knowing the message: right for a run of large messages,
  // whose bodies then land where they belong; what lies beyond the message's
  // end is moved to staging. out must hold maxSize bytes, and staging must be
  // empty and at least as large as the room given.
  BYTE *Room(DWORD *room, bool headerInPlace = false);
  // count bytes were received where the last Room pointed.
  void Received(DWORD count);
  // True when the next bytes go straight to the message's destination.
  bool Direct() const {
    return size != 0 && !skip && out != nullptr && bytesBuffered == 0 &&
           size - taken >= kDirectReceive;
  }
  // Ready for the next message (the staged bytes stay).
  void NextMessage() {
    size = 0;
    taken = 0;
    skip = false;
    out = nullptr;
  }

  DWORD maxSize;
  BYTE *staging = nullptr;
  DWORD stagingSize = 0;
  DWORD readPos = 0;
  DWORD bytesBuffered = 0;
  DWORD size = 0;
  DWORD taken = 0;
  bool skip = false;
  BYTE *out = nullptr;
  BYTE header[ZVCP_HEADER_SIZE] = {};
  enum RoomKind { kInStaging, kInMessage, kAheadOfHeader };
  RoomKind roomKind = kInStaging;  // what the last Room gave
};

// The result for a whole message of size bytes at msg that was not skipped:
// size for a plain message (2 on a session of the authenticated cipher, which
// takes nothing in clear); for an encrypted one (code 131) 2 without a cipher
// state (*context null) or when decryption fails, size when the context is
// PASS_THROUGH_CONTEXT, else the decrypted message's size (decrypted in place
// with work, which holds size + 16 bytes; null counts as a failed decryption).
int FinishMessage(BYTE *msg, DWORD size, ENCRYPTION_CONTEXT **context, BYTE *work);

// Whether a whole message of this code at msg needs a decryption work area.
bool NeedsDecryption(const BYTE *msg, ENCRYPTION_CONTEXT **context);

}  // namespace zavrin

#endif  // ZAVRIN_TRANSPORT_FRAMER_H
