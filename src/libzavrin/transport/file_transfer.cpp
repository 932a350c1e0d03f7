// Raw messages, the transfer of a file as raw messages, and the question for the
// peer's protocol version.
#include <zavrin/crypto.h>
#include <zavrin/message.h>

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "coding.h"
#include "message/message_layout.h"

namespace zavrin {

namespace {

// How long the peer has to answer the question for its version.
constexpr DWORD kCapsTimeout = 30000;
// What a peer that does not say speaks.
constexpr int kOldestVersion = 1;

void WriteHeader(BYTE *block, WORD code, WORD flags, DWORD size, DWORD id, DWORD count) {
  WriteBE16(block + kMsgCodeOffset, code);
  WriteBE16(block + kMsgFlagsOffset, flags);
  WriteBE32(block + kMsgSizeOffset, size);
  WriteBE32(block + kMsgIdOffset, id);
  WriteBE32(block + kMsgCountOffset, count);
}

// Sends a wire message, encrypted for the session when there is one. False when
// it cannot be encrypted or did not go out whole.
bool SendMessage(SOCKET sock, const BYTE *block, ENCRYPTION_CONTEXT *context) {
  if (context == nullptr) {
    DWORD size = ReadBE32(block + kMsgSizeOffset);
    return SendEx(sock, block, size, 0) == static_cast<int>(size);
  }
  ENCRYPTED_MESSAGE *encrypted =
      CSCPEncryptMessage(context, reinterpret_cast<CSCP_MESSAGE *>(const_cast<BYTE *>(block)));
  if (encrypted == nullptr) return false;
  DWORD size = ReadBE32(reinterpret_cast<const BYTE *>(encrypted) + kMsgSizeOffset);
  bool sent = SendEx(sock, encrypted, size, 0) == static_cast<int>(size);
  free(encrypted);
  return sent;
}

// Reads until length bytes are in or the file ends: every chunk but the last is
// full, even from a file that hands its bytes over in smaller reads. -1 on a
// read error.
ssize_t ReadFull(int fd, BYTE *buffer, size_t length) {
  size_t filled = 0;
  while (filled < length) {
    ssize_t n = read(fd, buffer + filled, length - filled);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    filled += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(filled);
}

// Sends the file's chunks; false as soon as one cannot be read or sent.
bool SendChunks(SOCKET sock, DWORD id, int fd, ENCRYPTION_CONTEXT *context) {
  BYTE *block = static_cast<BYTE *>(malloc(kMsgHeaderSize + FILE_CHUNK_SIZE + 8));
  if (block == nullptr) return false;
  bool ok = false;
  for (;;) {
    ssize_t n = ReadFull(fd, block + kMsgHeaderSize, FILE_CHUNK_SIZE);
    if (n < 0) break;
    DWORD length = static_cast<DWORD>(n);
    bool last = length < FILE_CHUNK_SIZE;
    DWORD padding = Pad8(length);
    memset(block + kMsgHeaderSize + length, 0, padding);
    WriteHeader(block, CMD_FILE_DATA, MSG_FLAG_RAW | (last ? MSG_FLAG_END_OF_FILE : 0),
                kMsgHeaderSize + length + padding, id, length);
    if (!SendMessage(sock, block, context)) break;
    if (last) {
      ok = true;
      break;
    }
  }
  free(block);
  return ok;
}

}  // namespace

}  // namespace zavrin

using namespace zavrin;

CSCP_MESSAGE *CreateRawZVCPMessage(WORD code, DWORD id, WORD flags, DWORD dataSize,
                                   const void *data, CSCP_MESSAGE *buffer) {
  // The size field holds header, data and padding.
  if (dataSize > UINT32_MAX - kMsgHeaderSize - 7) return nullptr;
  DWORD padding = Pad8(dataSize);
  BYTE *block = reinterpret_cast<BYTE *>(buffer);
  if (block == nullptr) {
    block = static_cast<BYTE *>(malloc(static_cast<size_t>(dataSize) + kMsgHeaderSize + 8));
    if (block == nullptr) return nullptr;
  }
  WriteHeader(block, code, flags | MSG_FLAG_RAW, kMsgHeaderSize + dataSize + padding, id, dataSize);
  if (dataSize > 0) memcpy(block + kMsgHeaderSize, data, dataSize);
  memset(block + kMsgHeaderSize + dataSize, 0, padding);
  return reinterpret_cast<CSCP_MESSAGE *>(block);
}

BOOL SendFileOverZVCP(SOCKET sock, DWORD id, const char *fileName, ENCRYPTION_CONTEXT *context) {
  int fd = fileName != nullptr ? open(fileName, O_RDONLY | O_CLOEXEC) : -1;
  if (fd >= 0) {
    bool sent = SendChunks(sock, id, fd, context);
    close(fd);
    if (sent) return TRUE;
  }
  // The receiving side learns that no more comes; whether that reaches it
  // changes nothing here.
  BYTE abort[kMsgHeaderSize];
  WriteHeader(abort, CMD_ABORT_FILE_TRANSFER, MSG_FLAG_RAW, kMsgHeaderSize, id, 0);
  SendMessage(sock, abort, context);
  return FALSE;
}

BOOL ZVCPGetPeerProtocolVersion(SOCKET sock, int *version) {
  BYTE request[kMsgHeaderSize];
  WriteHeader(request, CMD_GET_ZVCP_CAPS, MSG_FLAG_HEADER_ONLY, kMsgHeaderSize, 0, 0);
  if (SendEx(sock, request, sizeof(request), 0) != static_cast<int>(sizeof(request))) return FALSE;

  RECEIVE_BUFFER *receiveBuffer = static_cast<RECEIVE_BUFFER *>(malloc(sizeof(RECEIVE_BUFFER)));
  if (receiveBuffer == nullptr) return FALSE;
  BYTE answer[kMsgHeaderSize];
  CSCP_MESSAGE *answerMsg = reinterpret_cast<CSCP_MESSAGE *>(answer);
  ENCRYPTION_CONTEXT *noContext = nullptr;
  RecvZVCPMessage(sock, nullptr, receiveBuffer, 0, nullptr, nullptr, 0);
  int result = RecvZVCPMessage(sock, answerMsg, receiveBuffer, sizeof(answer), &noContext, nullptr,
                               kCapsTimeout);
  free(receiveBuffer);

  if (result == static_cast<int>(kMsgHeaderSize)) {
    bool caps = ReadBE16(answer + kMsgCodeOffset) == CMD_ZVCP_CAPS &&
                (ReadBE16(answer + kMsgFlagsOffset) & MSG_FLAG_HEADER_ONLY) != 0;
    *version = caps ? static_cast<int>(ReadBE32(answer + kMsgCountOffset) >> 24) : kOldestVersion;
    return TRUE;
  }
  // Longer than a header-only answer, or no answer in time.
  if (result == 1 || result == 3) {
    *version = kOldestVersion;
    return TRUE;
  }
  return FALSE;
}
