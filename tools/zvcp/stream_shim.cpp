#include "stream_shim.h"
#include <arpa/inet.h>
#include <stdlib.h>
#include <string.h>
#include <vector>
struct ZVCP_STREAM {
  DWORD max;
  std::vector<BYTE> buf;
  size_t start = 0, end = 0;
  size_t skip = 0;
  bool bad = false;
  std::vector<BYTE> msg, work;
};
extern "C" {
ZVCP_STREAM *ZVCPStreamCreate(DWORD maxSize) {
  ZVCP_STREAM *s = new ZVCP_STREAM;
  s->max = maxSize;
  return s;
}
void ZVCPStreamDestroy(ZVCP_STREAM *s) {
  delete s;
}
BYTE *ZVCPStreamReserve(ZVCP_STREAM *s, size_t *room) {
  if (s->start == s->end) s->start = s->end = 0;
  if (s->buf.size() - s->end < 4096) s->buf.resize(s->end + 65536);
  *room = s->buf.size() - s->end;
  return s->buf.data() + s->end;
}
void ZVCPStreamCommit(ZVCP_STREAM *s, size_t n) {
  s->end += n;
}
BOOL ZVCPStreamWrite(ZVCP_STREAM *s, const void *d, size_t n) {
  size_t room;
  while (n > 0) {
    BYTE *p = ZVCPStreamReserve(s, &room);
    size_t k = n < room ? n : room;
    memcpy(p, d, k);
    ZVCPStreamCommit(s, k);
    d = static_cast<const BYTE *>(d) + k;
    n -= k;
  }
  return TRUE;
}
int ZVCPStreamNext(ZVCP_STREAM *s, CSCP_MESSAGE **msg, ENCRYPTION_CONTEXT **context) {
  if (s->bad) return 4;
  for (;;) {
    size_t have = s->end - s->start;
    if (s->skip > 0) {
      size_t k = have < s->skip ? have : s->skip;
      s->start += k;
      s->skip -= k;
      if (s->skip > 0) return 0;
      continue;
    }
    if (have < 16) return 0;
    BYTE *p = s->buf.data() + s->start;
    DWORD size = ntohl(reinterpret_cast<CSCP_MESSAGE *>(p)->size);
    if (size < 16) {
      s->bad = true;
      return 4;
    }
    if (size > s->max) {
      s->msg.assign(p, p + 16);
      *msg = reinterpret_cast<CSCP_MESSAGE *>(s->msg.data());
      s->skip = size;
      return 1;
    }
    if (have < size) return 0;
    s->msg.assign(p, p + size);
    s->start += size;
    *msg = reinterpret_cast<CSCP_MESSAGE *>(s->msg.data());
    if (ntohs((*msg)->code) != CMD_ENCRYPTED_MESSAGE) return static_cast<int>(size);
    if (*context == nullptr) return 2;
    if (*context == PASS_THROUGH_CONTEXT) return static_cast<int>(size);
    s->work.resize(size + 16);
    if (!CSCPDecryptMessage(*context, reinterpret_cast<ENCRYPTED_MESSAGE *>(s->msg.data()),
                            s->work.data()))
      return 2;
    return static_cast<int>(ntohl((*msg)->size));
  }
}
}
