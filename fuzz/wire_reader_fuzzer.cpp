// Reads arbitrary bytes as a wire message in both protocol versions, writes the
// result and reads that again: the reader must stay inside the block and the
// written form must read back to itself.
#include <zavrin.h>

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "coding.h"

namespace {

// Every getter on every id the message holds, with buffers just large enough.
void TouchVariables(const CSCPMessage &msg, const unsigned char *wire) {
  uint32_t size = zavrin::ReadBE32(wire + 4);
  char text[5];
  BYTE bytes[3];
  DWORD words[2];
  // Ids lie at variable starts, which version 1 leaves at any offset: probe
  // every offset of the first kilobyte.
  for (uint32_t pos = 16; pos + 4 <= size && pos < 1024; pos++) {
    DWORD id = zavrin::ReadBE32(wire + pos);
    if (!msg.IsVariableExist(id)) continue;
    msg.GetVariableLong(id);
    msg.GetVariableShortAsInt32(id);
    msg.GetVariableInt64(id);
    msg.GetVariableDouble(id);
    msg.GetVariableStr(id, text, sizeof(text));
    free(msg.GetVariableStr(id));
    msg.GetVariableBinary(id, bytes, sizeof(bytes));
    msg.GetVariableInt32Array(id, 2, words);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t length) {
  if (length < 8) return 0;
  // The reader trusts the caller for size bytes: give it an exact-size copy of
  // the input, its size field lowered to the input's length where it claims more,
  // so that any read past size hits the end of the allocation.
  uint32_t claimed = zavrin::ReadBE32(data + 4);
  uint32_t size = claimed < length ? claimed : static_cast<uint32_t>(length);
  size_t blockSize = size < 8 ? 8 : size;
  unsigned char *block = static_cast<unsigned char *>(malloc(blockSize));
  memcpy(block, data, blockSize);
  zavrin::WriteBE32(block + 4, size);

  for (int version = 1; version <= 2; version++) {
    CSCPMessage msg(reinterpret_cast<CSCP_MESSAGE *>(block), version);
    CSCP_MESSAGE *written = msg.CreateMessage();
    if (written == nullptr) continue;
    const unsigned char *first = reinterpret_cast<unsigned char *>(written);
    uint32_t writtenSize = zavrin::ReadBE32(first + 4);
    if (writtenSize % 8 != 0) abort();
    TouchVariables(msg, block);

    CSCPMessage again(written, version);
    CSCP_MESSAGE *rewritten = again.CreateMessage();
    if (rewritten == nullptr) abort();
    if (zavrin::ReadBE32(reinterpret_cast<unsigned char *>(rewritten) + 4) != writtenSize ||
        memcmp(written, rewritten, writtenSize) != 0) {
      abort();
    }
    CSCPMessage copy(&again);
    free(rewritten);
    free(written);
  }
  free(block);
  return 0;
}
