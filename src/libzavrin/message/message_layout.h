// The byte layout shared by message records in memory and by the wire form: a
// record is a variable in wire layout with its fields in host order.
#ifndef ZAVRIN_MESSAGE_LAYOUT_H
#define ZAVRIN_MESSAGE_LAYOUT_H

#include <zavrin/message.h>

#include <stddef.h>
#include <stdint.h>

namespace zavrin {

// Header fields.
constexpr uint32_t kMsgCodeOffset = 0;
constexpr uint32_t kMsgFlagsOffset = 2;
constexpr uint32_t kMsgSizeOffset = 4;
constexpr uint32_t kMsgIdOffset = 8;
constexpr uint32_t kMsgCountOffset = 12;
constexpr uint32_t kMsgHeaderSize = ZVCP_HEADER_SIZE;

// Variable fields; the value fields from offset 6 on overlap.
constexpr uint32_t kVarIdOffset = 0;
constexpr uint32_t kVarTypeOffset = 4;
constexpr uint32_t kVarPadOffset = 5;
constexpr uint32_t kVarInt16Offset = 6;
constexpr uint32_t kVarValueOffset = 8;
constexpr uint32_t kVarLengthOffset = 8;
constexpr uint32_t kVarDataOffset = 12;
// Every variable has at least its id, type and the two bytes at offset 6.
constexpr uint32_t kVarMinSize = 8;
constexpr uint32_t kMaxVarType = VAR_TYPE_FLOAT;
// Largest data length whose variable size (12 + length) still fits 32 bits.
constexpr uint32_t kMaxVarLength = UINT32_MAX - kVarDataOffset;

static_assert(offsetof(CSCP_VARIABLE, id) == kVarIdOffset, "record layout");
static_assert(offsetof(CSCP_VARIABLE, type) == kVarTypeOffset, "record layout");
static_assert(offsetof(CSCP_VARIABLE, int16Value) == kVarInt16Offset, "record layout");
static_assert(offsetof(CSCP_VARIABLE, int32Value) == kVarValueOffset, "record layout");
static_assert(offsetof(CSCP_VARIABLE, int64Value) == kVarValueOffset, "record layout");
static_assert(offsetof(CSCP_VARIABLE, floatValue) == kVarValueOffset, "record layout");
static_assert(offsetof(CSCP_VARIABLE, length) == kVarLengthOffset, "record layout");
static_assert(offsetof(CSCP_VARIABLE, data) == kVarDataOffset, "record layout");
static_assert(sizeof(CSCP_MESSAGE) == kMsgHeaderSize, "header layout");

inline bool HasLength(uint8_t type) {
  return type == VAR_TYPE_STRING || type == VAR_TYPE_BINARY;
}

// Size before padding of a variable of a type without a length field.
inline uint32_t FixedVariableSize(uint8_t type) {
  switch (type) {
    case VAR_TYPE_INT32:
      return 12;
    case VAR_TYPE_INT64:
    case VAR_TYPE_FLOAT:
      return 16;
    default:  // int16 and the codes above 5
      return kVarMinSize;
  }
}

// Size before padding of a record held in memory.
inline uint32_t RecordSize(const CSCP_VARIABLE *var) {
  return HasLength(var->type) ? kVarDataOffset + var->length : FixedVariableSize(var->type);
}

// The UTF-16 units of a string record, in host order.
inline char16_t *StringUnits(CSCP_VARIABLE *var) {
  return reinterpret_cast<char16_t *>(reinterpret_cast<unsigned char *>(var) + kVarDataOffset);
}
inline const char16_t *StringUnits(const CSCP_VARIABLE *var) {
  return reinterpret_cast<const char16_t *>(reinterpret_cast<const unsigned char *>(var) +
                                            kVarDataOffset);
}
inline unsigned char *RecordData(CSCP_VARIABLE *var) {
  return reinterpret_cast<unsigned char *>(var) + kVarDataOffset;
}
inline const unsigned char *RecordData(const CSCP_VARIABLE *var) {
  return reinterpret_cast<const unsigned char *>(var) + kVarDataOffset;
}

// Size of the wire form of a message with these records in this version: the
// header, every variable and its padding. Wider than the size field, so that a
// message too large to be written shows as one rather than wrapping.
uint64_t WireMessageSize(const CSCP_VARIABLE *const *records, uint32_t count, int version);

}  // namespace zavrin

#endif  // ZAVRIN_MESSAGE_LAYOUT_H
