// Stand-in for the library's message stream until it lands (same interface).
#ifndef ZVCP_STREAM_SHIM_H
#define ZVCP_STREAM_SHIM_H
#include <zavrin.h>
extern "C" {
typedef struct ZVCP_STREAM ZVCP_STREAM;
ZVCP_STREAM *ZVCPStreamCreate(DWORD maxSize);
void ZVCPStreamDestroy(ZVCP_STREAM *stream);
BYTE *ZVCPStreamReserve(ZVCP_STREAM *stream, size_t *room);
void ZVCPStreamCommit(ZVCP_STREAM *stream, size_t bytes);
BOOL ZVCPStreamWrite(ZVCP_STREAM *stream, const void *data, size_t size);
int ZVCPStreamNext(ZVCP_STREAM *stream, CSCP_MESSAGE **msg, ENCRYPTION_CONTEXT **context);
}
#endif
