// The wire form of a message: the writer (CreateMessage) and the reader (the
// constructor from CSCP_MESSAGE). Every field goes through the byte-order
// helpers at any address, since version 1 leaves variables unaligned.
#include <zavrin/message.h>

#include <stdlib.h>
#include <string.h>

#include "coding.h"
#include "message/message_layout.h"

namespace zavrin {
namespace {

// Bytes that follow a variable of the given size in this version.
inline uint32_t PadAfterVariable(uint32_t varSize, int version) {
  return version >= 2 ? Pad8(varSize) : 0;
}

// Bytes a variable of the given size takes in the message, padding included:
// in 64 bits, since a variable of 2^32 - 7 bytes or more pads to 2^32.
inline uint64_t VariableSpan(uint32_t varSize, int version) {
  return uint64_t{varSize} + PadAfterVariable(varSize, version);
}

// Size before padding of the wire variable at readPos, or 0 if it does not lie
// wholly before size (the reader's stop rule). readPos may already be past size.
// Only the bytes that the rule has shown to lie before size are read, and no
// length, however large, can wrap the comparisons: readPos + 12 <= size is
// established before size - readPos - 12 is formed.
uint32_t FittingVariableSize(const unsigned char *block, uint32_t size, uint64_t readPos) {
  if (readPos + kVarMinSize > size) return 0;
  uint8_t type = block[readPos + kVarTypeOffset];
  if (HasLength(type)) {
    if (readPos + kVarDataOffset > size) return 0;
    uint32_t length = ReadBE32(block + readPos + kVarLengthOffset);
    if (length > size - readPos - kVarDataOffset) return 0;
    return kVarDataOffset + length;
  }
  uint32_t varSize = FixedVariableSize(type);
  if (readPos + varSize > size) return 0;
  return varSize;
}

// A record in host order from the wire variable at src of varSize bytes, or
// null when memory runs out.
CSCP_VARIABLE *ReadVariable(const unsigned char *src, uint32_t varSize) {
  CSCP_VARIABLE *record = static_cast<CSCP_VARIABLE *>(malloc(varSize));
  if (record == nullptr) return nullptr;
  // Copies the type, the byte at offset 5, binary data and the odd last byte of a
  // string as they are; the fields with a byte order are converted below.
  memcpy(record, src, varSize);
  record->id = ReadBE32(src + kVarIdOffset);
  switch (record->type) {
    case VAR_TYPE_INT32:
      record->int32Value = ReadBE32(src + kVarValueOffset);
      break;
    case VAR_TYPE_INT16:
      record->int16Value = ReadBE16(src + kVarInt16Offset);
      break;
    case VAR_TYPE_INT64:
      record->int64Value = ReadBE64(src + kVarValueOffset);
      break;
    case VAR_TYPE_FLOAT: {
      uint64_t bits = ReadBE64(src + kVarValueOffset);
      memcpy(&record->floatValue, &bits, sizeof(bits));
      break;
    }
    case VAR_TYPE_STRING: {
      record->length = ReadBE32(src + kVarLengthOffset);
      char16_t *units = StringUnits(record);
      const unsigned char *wireUnits = src + kVarDataOffset;
      for (uint32_t i = 0; i < record->length / 2; i++) units[i] = ReadBE16(wireUnits + 2 * i);
      break;
    }
    case VAR_TYPE_BINARY:
      record->length = ReadBE32(src + kVarLengthOffset);
      break;
  }
  return record;
}

// Writes the record's varSize bytes at out in network order.
void WriteVariable(const CSCP_VARIABLE *record, uint32_t varSize, unsigned char *out) {
  memcpy(out, record, varSize);
  WriteBE32(out + kVarIdOffset, record->id);
  out[kVarPadOffset] = 0;
  if (record->type != VAR_TYPE_INT16) {
    // The two bytes at offset 6 carry nothing here; keep the output reproducible.
    out[kVarInt16Offset] = 0;
    out[kVarInt16Offset + 1] = 0;
  }
  switch (record->type) {
    case VAR_TYPE_INT32:
      WriteBE32(out + kVarValueOffset, record->int32Value);
      break;
    case VAR_TYPE_INT16:
      WriteBE16(out + kVarInt16Offset, record->int16Value);
      break;
    case VAR_TYPE_INT64:
      WriteBE64(out + kVarValueOffset, record->int64Value);
      break;
    case VAR_TYPE_FLOAT: {
      uint64_t bits;
      memcpy(&bits, &record->floatValue, sizeof(bits));
      WriteBE64(out + kVarValueOffset, bits);
      break;
    }
    case VAR_TYPE_STRING: {
      const char16_t *units = StringUnits(record);
      unsigned char *wireUnits = out + kVarDataOffset;
      for (uint32_t i = 0; i < record->length / 2; i++) WriteBE16(wireUnits + 2 * i, units[i]);
      WriteBE32(out + kVarLengthOffset, record->length);
      break;
    }
    case VAR_TYPE_BINARY:
      WriteBE32(out + kVarLengthOffset, record->length);
      break;
  }
}

}  // namespace

uint64_t WireMessageSize(const CSCP_VARIABLE *const *records, uint32_t count, int version) {
  // At most 2^32 - 1 spans of at most 2^32 + 7 bytes each: no 64-bit sum wraps.
  uint64_t total = kMsgHeaderSize;
  for (uint32_t i = 0; i < count; i++) total += VariableSpan(RecordSize(records[i]), version);
  if (version < 2) total += Pad8(static_cast<uint32_t>(total % 8));
  return total;
}

}  // namespace zavrin

using namespace zavrin;

CSCP_MESSAGE *CSCPMessage::CreateMessage() const {
  // The size field has 32 bits: a message that cannot state its size is not
  // written at all rather than with a wrapped size.
  uint64_t total = WireMessageSize(variables, variableCount, version);
  if (total > UINT32_MAX) return nullptr;

  unsigned char *block = static_cast<unsigned char *>(malloc(total));
  if (block == nullptr) return nullptr;
  WriteBE16(block + kMsgCodeOffset, code);
  WriteBE16(block + kMsgFlagsOffset, flags);
  WriteBE32(block + kMsgSizeOffset, static_cast<uint32_t>(total));
  WriteBE32(block + kMsgIdOffset, id);
  WriteBE32(block + kMsgCountOffset, variableCount);

  unsigned char *out = block + kMsgHeaderSize;
  for (DWORD i = 0; i < variableCount; i++) {
    uint32_t varSize = RecordSize(variables[i]);
    WriteVariable(variables[i], varSize, out);
    out += varSize;
    uint32_t pad = PadAfterVariable(varSize, version);
    memset(out, 0, pad);
    out += pad;
  }
  // Version 1 pads the message as a whole.
  memset(out, 0, block + total - out);
  return reinterpret_cast<CSCP_MESSAGE *>(block);
}

CSCPMessage::CSCPMessage(CSCP_MESSAGE *msg, int version) : CSCPMessage(version) {
  // The caller vouches for size bytes. The code, flags and size fields must be
  // read to learn size; the later header fields and the body only where size
  // covers them, so a block that claims fewer than 16 bytes yields no variables.
  const unsigned char *block = reinterpret_cast<const unsigned char *>(msg);
  code = ReadBE16(block + kMsgCodeOffset);
  flags = ReadBE16(block + kMsgFlagsOffset);
  uint32_t size = ReadBE32(block + kMsgSizeOffset);
  if (size >= kMsgIdOffset + 4) id = ReadBE32(block + kMsgIdOffset);
  if (size < kMsgHeaderSize) return;
  uint32_t claimed = ReadBE32(block + kMsgCountOffset);

  // numVariables comes from outside and only bounds the reading: count the
  // variables that actually fit first and allocate for those alone.
  uint32_t fitting = 0;
  uint64_t readPos = kMsgHeaderSize;
  while (fitting < claimed) {
    uint32_t varSize = FittingVariableSize(block, size, readPos);
    if (varSize == 0) break;
    fitting++;
    readPos += VariableSpan(varSize, version);
  }
  if (fitting == 0) return;

  variables = static_cast<CSCP_VARIABLE **>(malloc(sizeof(CSCP_VARIABLE *) * fitting));
  if (variables == nullptr) return;
  capacity = fitting;
  // Out of memory the reader stops, as at a variable that does not fit.
  readPos = kMsgHeaderSize;
  while (variableCount < fitting) {
    uint32_t varSize = FittingVariableSize(block, size, readPos);
    if (varSize == 0) break;  // only if the caller changed the block meanwhile
    CSCP_VARIABLE *record = ReadVariable(block + readPos, varSize);
    if (record == nullptr) break;
    variables[variableCount++] = record;
    readPos += VariableSpan(varSize, version);
  }
}
