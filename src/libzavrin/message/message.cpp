// message/: the ZVCP message model: the message object, its binary wire form in
// both protocol versions (message_wire.cpp) and its XML form (message_xml.cpp).
//
// The message object: a store of typed variables kept as records in wire
// layout (host order), their setters and getters, copying, and the byte-swap
// exports. The wire reader and writer are in message_wire.cpp.
#include <zavrin/message.h>
#include <zavrin/utils.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "coding.h"
#include "message/message_layout.h"
#include "port/unicode.h"
#include "util/open_to_read.h"

using zavrin::kMaxVarLength;
using zavrin::kMaxVarType;
using zavrin::kVarDataOffset;
using zavrin::RecordData;
using zavrin::RecordSize;
using zavrin::StringUnits;

namespace {

// The value at a record's value field, which may be unaligned for T; zero for
// an absent variable or one of another type (value null).
template <typename T>
T ValueOrZero(const void *value) {
  T result = 0;
  if (value != nullptr) memcpy(&result, value, sizeof(result));
  return result;
}

}  // namespace

CSCPMessage::CSCPMessage(int version)
    : code(0),
      flags(0),
      id(0),
      variableCount(0),
      capacity(0),
      variables(nullptr),
      version(version) {}

CSCPMessage::CSCPMessage(CSCPMessage *msg) : CSCPMessage(msg->version) {
  code = msg->code;
  flags = msg->flags;
  id = msg->id;
  if (msg->variableCount == 0) return;
  variables = static_cast<CSCP_VARIABLE **>(malloc(sizeof(CSCP_VARIABLE *) * msg->variableCount));
  if (variables == nullptr) return;
  capacity = msg->variableCount;
  // Out of memory the copy keeps the leading records that could be duplicated,
  // so that it is still a consistent message.
  for (DWORD i = 0; i < msg->variableCount; i++) {
    const CSCP_VARIABLE *source = msg->variables[i];
    void *record = zv_memdup(source, RecordSize(source));
    if (record == nullptr) break;
    variables[variableCount++] = static_cast<CSCP_VARIABLE *>(record);
  }
}

CSCPMessage::~CSCPMessage() {
  DeleteAllVariables();
}

void CSCPMessage::DeleteAllVariables() {
  if (variables == nullptr) return;
  for (DWORD i = 0; i < variableCount; i++) free(variables[i]);
  free(variables);
  variables = nullptr;
  variableCount = 0;
  capacity = 0;
}

// The pointer array doubles when it is full (from 8 slots): growing it by one
// slot per new id made every SetVariable of a message being built reallocate.
bool CSCPMessage::Grow() {
  if (capacity == UINT32_MAX) return false;
  size_t slots = capacity < 8 ? 8 : static_cast<size_t>(capacity) * 2;
  if (slots > UINT32_MAX) slots = UINT32_MAX;
  CSCP_VARIABLE **grown =
      static_cast<CSCP_VARIABLE **>(realloc(variables, sizeof(CSCP_VARIABLE *) * slots));
  if (grown == nullptr) return false;
  variables = grown;
  capacity = static_cast<DWORD>(slots);
  return true;
}

DWORD CSCPMessage::FindVariable(DWORD varId) const {
  for (DWORD i = 0; i < variableCount; i++) {
    if (variables[i]->id == varId) return i;
  }
  return INVALID_INDEX;
}

BOOL CSCPMessage::IsVariableExist(DWORD varId) const {
  return FindVariable(varId) != INVALID_INDEX ? TRUE : FALSE;
}

// For strings, value is UTF-8 text of size bytes; for binaries, size bytes of
// data or, with value null, size zero bytes. Builds the whole record before it
// touches the store, so that a failure leaves the store as it was.
void *CSCPMessage::Set(DWORD varId, BYTE type, const void *value, DWORD size) {
  return SetAt(FindVariable(varId), varId, type, value, size);
}

// index is the place of the variable varId in the store, INVALID_INDEX if absent.
void *CSCPMessage::SetAt(DWORD index, DWORD varId, BYTE type, const void *value, DWORD size) {
  if (type > kMaxVarType) return nullptr;

  size_t recordSize;
  size_t units = 0;
  if (type == VAR_TYPE_STRING) {
    units = zavrin::Utf8ToUtf16(static_cast<const char *>(value), size, nullptr, 0);
    if (units > kMaxVarLength / 2) return nullptr;
    recordSize = kVarDataOffset + units * 2;
  } else if (type == VAR_TYPE_BINARY) {
    if (size > kMaxVarLength) return nullptr;
    recordSize = static_cast<size_t>(kVarDataOffset) + size;
  } else {
    recordSize = zavrin::FixedVariableSize(type);
  }

  CSCP_VARIABLE *record = static_cast<CSCP_VARIABLE *>(malloc(recordSize));
  if (record == nullptr) return nullptr;
  // Padding and the unused bytes at offset 6 are zero, so the wire form is
  // reproducible.
  memset(record, 0, recordSize < sizeof(CSCP_VARIABLE) ? recordSize : sizeof(CSCP_VARIABLE));
  record->id = varId;
  record->type = type;
  switch (type) {
    case VAR_TYPE_INT32:
      memcpy(&record->int32Value, value, sizeof(record->int32Value));
      break;
    case VAR_TYPE_INT16:
      memcpy(&record->int16Value, value, sizeof(record->int16Value));
      break;
    case VAR_TYPE_INT64:
      memcpy(&record->int64Value, value, sizeof(record->int64Value));
      break;
    case VAR_TYPE_FLOAT:
      memcpy(&record->floatValue, value, sizeof(record->floatValue));
      break;
    case VAR_TYPE_STRING:
      record->length = static_cast<DWORD>(units * 2);
      zavrin::Utf8ToUtf16(static_cast<const char *>(value), size, StringUnits(record), units);
      break;
    case VAR_TYPE_BINARY:
      record->length = size;
      if (size > 0) {
        if (value != nullptr) {
          memcpy(RecordData(record), value, size);
        } else {
          memset(RecordData(record), 0, size);
        }
      }
      break;
  }

  if (index != INVALID_INDEX) {
    free(variables[index]);
    variables[index] = record;
  } else {
    if (variableCount == capacity && !Grow()) {
      free(record);
      return nullptr;
    }
    variables[variableCount++] = record;
  }
  return type == VAR_TYPE_INT16 ? static_cast<void *>(&record->int16Value)
                                : static_cast<void *>(&record->int32Value);
}

void *CSCPMessage::Get(DWORD varId, BYTE type) const {
  DWORD index = FindVariable(varId);
  if (index == INVALID_INDEX) return nullptr;
  CSCP_VARIABLE *record = variables[index];
  if (record->type != type) return nullptr;
  return type == VAR_TYPE_INT16 ? static_cast<void *>(&record->int16Value)
                                : static_cast<void *>(&record->int32Value);
}

void CSCPMessage::SetVariable(DWORD varId, WORD value) {
  Set(varId, VAR_TYPE_INT16, &value, sizeof(value));
}
void CSCPMessage::SetVariable(DWORD varId, DWORD value) {
  Set(varId, VAR_TYPE_INT32, &value, sizeof(value));
}
void CSCPMessage::SetVariable(DWORD varId, QWORD value) {
  Set(varId, VAR_TYPE_INT64, &value, sizeof(value));
}
void CSCPMessage::SetVariable(DWORD varId, double value) {
  Set(varId, VAR_TYPE_FLOAT, &value, sizeof(value));
}

void CSCPMessage::SetVariable(DWORD varId, const char *value) {
  if (value == nullptr) return;
  size_t length = strlen(value);
  // A text of 4 GB or more could never be sent; it is not stored.
  if (length > UINT32_MAX) return;
  Set(varId, VAR_TYPE_STRING, value, static_cast<DWORD>(length));
}

void CSCPMessage::SetVariable(DWORD varId, const BYTE *data, DWORD size) {
  Set(varId, VAR_TYPE_BINARY, data, size);
}

void CSCPMessage::SetVariableToInt32Array(DWORD varId, DWORD count, const DWORD *values) {
  if (count > kMaxVarLength / 4) return;
  void *stored = Set(varId, VAR_TYPE_BINARY, values, count * 4);
  if (stored == nullptr) return;
  unsigned char *elements = static_cast<unsigned char *>(stored) + 4;
  for (DWORD i = 0; i < count; i++) {
    DWORD element;
    memcpy(&element, elements + i * 4, 4);
    zavrin::WriteBE32(elements + i * 4, element);
  }
}

BOOL CSCPMessage::SetVariableFromFile(DWORD varId, const char *path) {
  QWORD fileSize = FileSize(path);
  // A file too large for one variable is refused rather than cut down to the
  // low 32 bits of its size, which would report a partial file as complete.
  if (fileSize > kMaxVarLength) return FALSE;
  FILE *file = zavrin::StreamToRead(path);
  if (file == nullptr) return FALSE;
  DWORD size = static_cast<DWORD>(fileSize);
  // The data start zeroed: a short read leaves a defined tail.
  void *stored = Set(varId, VAR_TYPE_BINARY, nullptr, size);
  if (stored == nullptr) {
    fclose(file);
    return FALSE;
  }
  size_t bytesRead = size > 0 ? fread(static_cast<unsigned char *>(stored) + 4, 1, size, file) : 0;
  fclose(file);
  return bytesRead == size ? TRUE : FALSE;
}

DWORD CSCPMessage::GetVariableLong(DWORD varId) const {
  return ValueOrZero<DWORD>(Get(varId, VAR_TYPE_INT32));
}

WORD CSCPMessage::GetVariableShort(DWORD varId) const {
  return ValueOrZero<WORD>(Get(varId, VAR_TYPE_INT16));
}

int32_t CSCPMessage::GetVariableShortAsInt32(DWORD varId) const {
  return static_cast<int16_t>(GetVariableShort(varId));
}

QWORD CSCPMessage::GetVariableInt64(DWORD varId) const {
  return ValueOrZero<QWORD>(Get(varId, VAR_TYPE_INT64));
}

double CSCPMessage::GetVariableDouble(DWORD varId) const {
  return ValueOrZero<double>(Get(varId, VAR_TYPE_FLOAT));
}

char *CSCPMessage::GetVariableStr(DWORD varId, char *buffer, DWORD size) const {
  if (buffer != nullptr && size == 0) return nullptr;
  const void *value = Get(varId, VAR_TYPE_STRING);
  if (value == nullptr) {
    if (buffer != nullptr) buffer[0] = 0;
    return buffer;
  }
  const CSCP_VARIABLE *record = reinterpret_cast<const CSCP_VARIABLE *>(
      static_cast<const unsigned char *>(value) - zavrin::kVarValueOffset);
  // An odd length leaves a last byte that belongs to no character.
  size_t units = record->length / 2;
  if (buffer != nullptr) {
    size_t written = zavrin::Utf16ToUtf8(StringUnits(record), units, buffer, size - 1);
    buffer[written] = 0;
    return buffer;
  }
  size_t needed = zavrin::Utf16ToUtf8(StringUnits(record), units, nullptr, 0);
  char *text = static_cast<char *>(malloc(needed + 1));
  if (text == nullptr) return nullptr;
  zavrin::Utf16ToUtf8(StringUnits(record), units, text, needed);
  text[needed] = 0;
  return text;
}

DWORD CSCPMessage::GetVariableBinary(DWORD varId, BYTE *buffer, DWORD size) const {
  const void *value = Get(varId, VAR_TYPE_BINARY);
  if (value == nullptr) return 0;
  DWORD length;
  memcpy(&length, value, sizeof(length));
  if (buffer != nullptr) {
    memcpy(buffer, static_cast<const unsigned char *>(value) + 4, size < length ? size : length);
  }
  return length;
}

DWORD CSCPMessage::GetVariableInt32Array(DWORD varId, DWORD count, DWORD *buffer) const {
  // The bytes that GetVariableBinary copies for count elements, the 1 to 3 after
  // the last whole element included. A count whose byte size wraps 32 bits asks
  // for more than any variable holds.
  DWORD limit = count > UINT32_MAX / 4 ? UINT32_MAX : count * 4;
  DWORD length = GetVariableBinary(varId, reinterpret_cast<BYTE *>(buffer), limit);
  if (buffer != nullptr) {
    DWORD converted = (length < limit ? length : limit) / 4;
    for (DWORD i = 0; i < converted; i++) buffer[i] = zavrin::ReadBE32(buffer + i);
  }
  return length / 4;
}

double __bswap_double(double value) {
  uint64_t bits;
  memcpy(&bits, &value, sizeof(bits));
  bits = __bswap_64(bits);
  memcpy(&value, &bits, sizeof(value));
  return value;
}

void __bswap_wstr(WORD *str) {
  if (str == nullptr) return;
  for (WORD *unit = str; *unit != 0; unit++) *unit = htons(*unit);
}
