// ZVCP messages and their transport: the wire records, the message object, the
// command codes and the wait queue for replies.
#ifndef ZAVRIN_MESSAGE_H
#define ZAVRIN_MESSAGE_H

#include <zavrin/types.h>

// ---- Wire format and message object ----

#include <byteswap.h>  // __bswap_64, the 64-bit byte swap that pairs with __bswap_double

// The protocol version this library speaks and the default of a new message.
#define ZVCP_PROTOCOL_VERSION 2

// Type codes of a message variable.
#define VAR_TYPE_INT32 0
#define VAR_TYPE_STRING 1
#define VAR_TYPE_INT64 2
#define VAR_TYPE_INT16 3
#define VAR_TYPE_BINARY 4
#define VAR_TYPE_FLOAT 5

// Flag bits of the message header.
#define MSG_FLAG_RAW 0x0001
#define MSG_FLAG_END_OF_FILE 0x0002
#define MSG_FLAG_NO_ENCRYPTION 0x0004
#define MSG_FLAG_END_OF_SEQUENCE 0x0008
#define MSG_FLAG_REVERSE_ORDER 0x0010
#define MSG_FLAG_HEADER_ONLY 0x0020

// Result of a lookup that finds nothing.
#define INVALID_INDEX 0xFFFFFFFFu

// One variable. A message object keeps each variable as a block of exactly the
// variable's size before padding (an int16 variable 8 bytes, an int32 one 12, a
// string or binary 12 + length), fields in host order, string units in host
// order. On the wire the same layout is big-endian and, in version 1 messages,
// unaligned: read wire variables bytewise, never through this struct.
typedef struct {
  DWORD id;
  BYTE type;
  BYTE padding;
  WORD int16Value;  // int16 variables only
  union {
    DWORD int32Value;
    QWORD int64Value;
    double floatValue;
    struct {
      DWORD length;  // string and binary: bytes in data (twice the units of a string)
      BYTE data[4];  // the first of the length bytes
    };
  };
} CSCP_VARIABLE;

// The 16-byte header of a wire message, fields big-endian; the body follows it.
typedef struct {
  WORD code;
  WORD flags;
  DWORD size;  // whole message: header, body and padding
  DWORD id;
  DWORD numVariables;  // variables; data bytes of a raw message; a value if header-only
} CSCP_MESSAGE;

#define ZVCP_HEADER_SIZE 16

#ifdef __cplusplus

// A message: command code, id, flags and variables, each a typed value under a
// 32-bit id. Not copyable or assignable (the records are owned); make a copy
// with the constructor that takes a pointer to another message.
class ZAVRIN_EXPORT CSCPMessage {
 public:
  explicit CSCPMessage(int version = ZVCP_PROTOCOL_VERSION);
  // Deep copy of msg.
  explicit CSCPMessage(CSCPMessage *msg);
  // Reads the wire form, which holds at least msg->size bytes, by the alignment
  // rules of version. Keeps what can be read; never reads at or past size.
  CSCPMessage(CSCP_MESSAGE *msg, int version);
  // Reads the XML form; a document that is not well formed gives what was read.
  explicit CSCPMessage(const char *xml);
  ~CSCPMessage();

  CSCPMessage(const CSCPMessage &) = delete;
  CSCPMessage &operator=(const CSCPMessage &) = delete;

  // The wire form in this message's version; malloc'ed, the caller frees it.
  // Null when memory runs out or the message would exceed 4 GB.
  CSCP_MESSAGE *CreateMessage() const;
  // The XML form; malloc'ed, the caller frees it.
  char *CreateXML();
  // Called by the XML reader only.
  void ProcessXMLToken(void *state, const char **attrs);
  void ProcessXMLData(void *state);

  WORD GetCode() const { return code; }
  void SetCode(WORD newCode) { code = newCode; }
  DWORD GetId() const { return id; }
  void SetId(DWORD newId) { id = newId; }

  void SetEndOfSequence() { flags |= MSG_FLAG_END_OF_SEQUENCE; }
  void SetReverseOrderFlag() { flags |= MSG_FLAG_REVERSE_ORDER; }
  void DisableEncryption() { flags |= MSG_FLAG_NO_ENCRYPTION; }
  BOOL IsEndOfSequence() const { return (flags & MSG_FLAG_END_OF_SEQUENCE) ? TRUE : FALSE; }
  BOOL IsReverseOrder() const { return (flags & MSG_FLAG_REVERSE_ORDER) ? TRUE : FALSE; }

  // Each setter creates the variable or replaces the one with the same id in its
  // place. When memory runs out it stores nothing and an earlier value stays.
  void SetVariable(DWORD varId, WORD value);
  void SetVariable(DWORD varId, DWORD value);
  void SetVariable(DWORD varId, QWORD value);
  void SetVariable(DWORD varId, double value);
  // UTF-8 text, stored as UTF-16; invalid bytes become U+FFFD.
  void SetVariable(DWORD varId, const char *value);
  void SetVariable(DWORD varId, const BYTE *data, DWORD size);
  // A binary variable of count 32-bit values in network order.
  void SetVariableToInt32Array(DWORD varId, DWORD count, const DWORD *values);
  // A binary variable with the file's content; 1 if all of it was read.
  BOOL SetVariableFromFile(DWORD varId, const char *path);

  // Getters require the exact type; an absent variable and one of another type
  // both give 0.
  DWORD GetVariableLong(DWORD varId) const;
  WORD GetVariableShort(DWORD varId) const;
  int32_t GetVariableShortAsInt32(DWORD varId) const;
  QWORD GetVariableInt64(DWORD varId) const;
  double GetVariableDouble(DWORD varId) const;
  // The text as UTF-8. With a buffer: at most size bytes including the
  // terminator, never part of a character; null if size is 0; an empty text if
  // the variable is absent. Without: a malloc'ed copy, or null if absent.
  char *GetVariableStr(DWORD varId, char *buffer = nullptr, DWORD size = 0) const;
  // Copies min(size, length) bytes and returns length; 0 if absent.
  DWORD GetVariableBinary(DWORD varId, BYTE *buffer, DWORD size) const;
  // Copies min(count, elements) elements in host order; returns the elements stored.
  DWORD GetVariableInt32Array(DWORD varId, DWORD count, DWORD *buffer) const;

  // 1 if a variable with the id exists, whatever its type.
  BOOL IsVariableExist(DWORD varId) const;
  // Frees every variable; the message stays usable.
  void DeleteAllVariables();

 private:
  // Helpers of the library's own code, not exported.
  __attribute__((visibility("hidden"))) DWORD FindVariable(DWORD varId) const;
  __attribute__((visibility("hidden"))) void *Set(DWORD varId, BYTE type, const void *value,
                                                  DWORD size);
  __attribute__((visibility("hidden"))) void *Get(DWORD varId, BYTE type) const;

  WORD code;
  WORD flags;
  DWORD id;
  DWORD variableCount;
  CSCP_VARIABLE **variables;
  int version;
};

#endif  // __cplusplus

ZAVRIN_C_BEGIN

// The 8 bytes of value in reverse order (the 64-bit counterpart is glibc's
// __bswap_64).
ZAVRIN_EXPORT double __bswap_double(double value);
// Converts a zero-terminated string of 16-bit units in place from host to
// network order, up to and not including the zero unit.
ZAVRIN_EXPORT void __bswap_wstr(WORD *str);

ZAVRIN_C_END

// ---- XML form ----

// ---- Command codes ----

// ---- Message wait queue ----

#endif  // ZAVRIN_MESSAGE_H
