/// \file
/// ZVCP messages and their transport: the wire records, the message object, the
/// command codes and the wait queue for replies.
#ifndef ZAVRIN_MESSAGE_H
#define ZAVRIN_MESSAGE_H

#include <zavrin/types.h>

// ---- Wire format and message object ----

#include <byteswap.h>  // __bswap_64, the 64-bit byte swap that pairs with __bswap_double

/// The protocol version this library speaks and the default of a new message.
#define ZVCP_PROTOCOL_VERSION 2

/// Type codes of a message variable.
///@{
#define VAR_TYPE_INT32 0
#define VAR_TYPE_STRING 1
#define VAR_TYPE_INT64 2
#define VAR_TYPE_INT16 3
#define VAR_TYPE_BINARY 4
#define VAR_TYPE_FLOAT 5
///@}

/// Flag bits of the message header.
///@{
#define MSG_FLAG_RAW 0x0001
#define MSG_FLAG_END_OF_FILE 0x0002
#define MSG_FLAG_NO_ENCRYPTION 0x0004
#define MSG_FLAG_END_OF_SEQUENCE 0x0008
#define MSG_FLAG_REVERSE_ORDER 0x0010
#define MSG_FLAG_HEADER_ONLY 0x0020
///@}

/// Result of a lookup that finds nothing.
#define INVALID_INDEX 0xFFFFFFFFu

/// One variable. A message object keeps each variable as a block of exactly the
/// variable's size before padding (an int16 variable 8 bytes, an int32 one 12, a
/// string or binary 12 + length), fields in host order, string units in host
/// order. On the wire the same layout is big-endian and, in version 1 messages,
/// unaligned: read wire variables bytewise, never through this struct.
typedef struct {
  DWORD id;         ///< the variable's id, its key within the message
  BYTE type;        ///< VAR_TYPE_...
  BYTE padding;     ///< no meaning
  WORD int16Value;  ///< int16 variables only
  union {
    DWORD int32Value;   ///< int32 variables
    QWORD int64Value;   ///< int64 variables
    double floatValue;  ///< float variables
    struct {
      DWORD length;  ///< string and binary: bytes in data (twice the units of a string)
      BYTE data[4];  ///< the first of the length bytes
    };
  };
} CSCP_VARIABLE;

/// The 16-byte header of a wire message, fields big-endian; the body follows it.
typedef struct {
  WORD code;           ///< command code (CMD_...)
  WORD flags;          ///< MSG_FLAG_... bits
  DWORD size;          ///< whole message: header, body and padding
  DWORD id;            ///< message id; a reply carries its request's
  DWORD numVariables;  ///< variables; data bytes of a raw message; a value if header-only
} CSCP_MESSAGE;

/// Bytes in the header of a wire message.
#define ZVCP_HEADER_SIZE 16

#ifdef __cplusplus

/// A message: command code, id, flags and variables, each a typed value under a
/// 32-bit id. Not copyable or assignable (the records are owned); make a copy
/// with the constructor that takes a pointer to another message.
class ZAVRIN_EXPORT CSCPMessage {
 public:
  /// An empty message (code 0, id 0, no flags, no variables) that is written by the
  /// rules of version.
  explicit CSCPMessage(int version = ZVCP_PROTOCOL_VERSION);
  /// Deep copy of msg.
  explicit CSCPMessage(CSCPMessage *msg);
  /// Reads the wire form, which holds at least msg->size bytes, by the alignment
  /// rules of version. Keeps what can be read; never reads at or past size.
  CSCPMessage(CSCP_MESSAGE *msg, int version);
  /// Reads the XML form; a document that is not well formed gives what was read.
  explicit CSCPMessage(const char *xml);
  /// Frees the variables.
  ~CSCPMessage();

  CSCPMessage(const CSCPMessage &) = delete;
  CSCPMessage &operator=(const CSCPMessage &) = delete;

  /// The wire form in this message's version; malloc'ed, the caller frees it.
  /// Null when memory runs out or the message would exceed 4 GB.
  CSCP_MESSAGE *CreateMessage() const;
  /// The XML form; malloc'ed, the caller frees it.
  char *CreateXML();
  /// Called by the XML reader only.
  ///@{
  void ProcessXMLToken(void *state, const char **attrs);
  void ProcessXMLData(void *state);
  ///@}

  /// The command code and the message id.
  ///@{
  WORD GetCode() const { return code; }
  void SetCode(WORD newCode) { code = newCode; }
  DWORD GetId() const { return id; }
  void SetId(DWORD newId) { id = newId; }
  ///@}

  /// Set and test the flags MSG_FLAG_END_OF_SEQUENCE, MSG_FLAG_REVERSE_ORDER and
  /// MSG_FLAG_NO_ENCRYPTION.
  ///@{
  void SetEndOfSequence() { flags |= MSG_FLAG_END_OF_SEQUENCE; }
  void SetReverseOrderFlag() { flags |= MSG_FLAG_REVERSE_ORDER; }
  void DisableEncryption() { flags |= MSG_FLAG_NO_ENCRYPTION; }
  BOOL IsEndOfSequence() const { return (flags & MSG_FLAG_END_OF_SEQUENCE) ? TRUE : FALSE; }
  BOOL IsReverseOrder() const { return (flags & MSG_FLAG_REVERSE_ORDER) ? TRUE : FALSE; }
  ///@}

  /// Each setter creates the variable or replaces the one with the same id in its
  /// place. When memory runs out it stores nothing and an earlier value stays.
  ///@{
  void SetVariable(DWORD varId, WORD value);
  void SetVariable(DWORD varId, DWORD value);
  void SetVariable(DWORD varId, QWORD value);
  void SetVariable(DWORD varId, double value);
  ///@}
  /// UTF-8 text, stored as UTF-16; invalid bytes become U+FFFD.
  void SetVariable(DWORD varId, const char *value);
  /// A binary variable of the size bytes at data.
  void SetVariable(DWORD varId, const BYTE *data, DWORD size);
  /// A binary variable of count 32-bit values in network order.
  void SetVariableToInt32Array(DWORD varId, DWORD count, const DWORD *values);
  /// A binary variable with the file's content; 1 if all of it was read.
  BOOL SetVariableFromFile(DWORD varId, const char *path);

  /// Getters require the exact type; an absent variable and one of another type
  /// both give 0.
  ///@{
  DWORD GetVariableLong(DWORD varId) const;
  WORD GetVariableShort(DWORD varId) const;
  int32_t GetVariableShortAsInt32(DWORD varId) const;
  QWORD GetVariableInt64(DWORD varId) const;
  double GetVariableDouble(DWORD varId) const;
  ///@}
  /// The text as UTF-8. With a buffer: at most size bytes including the
  /// terminator, never part of a character; null if size is 0; an empty text if
  /// the variable is absent. Without: a malloc'ed copy, or null if absent.
  char *GetVariableStr(DWORD varId, char *buffer = nullptr, DWORD size = 0) const;
  /// Copies min(size, length) bytes and returns length; 0 if absent.
  DWORD GetVariableBinary(DWORD varId, BYTE *buffer, DWORD size) const;
  /// Copies what GetVariableBinary copies for count * 4 bytes and turns the whole
  /// elements among them to host order; returns the elements stored.
  DWORD GetVariableInt32Array(DWORD varId, DWORD count, DWORD *buffer) const;

  /// 1 if a variable with the id exists, whatever its type.
  BOOL IsVariableExist(DWORD varId) const;
  /// Frees every variable; the message stays usable.
  void DeleteAllVariables();

 private:
  // Helpers of the library's own code, not exported.
  __attribute__((visibility("hidden"))) DWORD FindVariable(DWORD varId) const;
  __attribute__((visibility("hidden"))) bool Grow();
  __attribute__((visibility("hidden"))) void *Set(DWORD varId, BYTE type, const void *value,
                                                  DWORD size);
  // Set for a caller that already knows the variable's place in the store, or
  // that it is absent (INVALID_INDEX): replaces there or appends.
  __attribute__((visibility("hidden"))) void *SetAt(DWORD index, DWORD varId, BYTE type,
                                                    const void *value, DWORD size);
  __attribute__((visibility("hidden"))) void *Get(DWORD varId, BYTE type) const;

  WORD code;
  WORD flags;
  DWORD id;
  DWORD variableCount;
  DWORD capacity;  // slots allocated in variables; fills the padding before it
  CSCP_VARIABLE **variables;
  int version;
};

#endif  // __cplusplus

ZAVRIN_C_BEGIN

/// The 8 bytes of value in reverse order (the 64-bit counterpart is glibc's
/// __bswap_64).
ZAVRIN_EXPORT double __bswap_double(double value);
/// Converts a zero-terminated string of 16-bit units in place from host to
/// network order, up to and not including the zero unit.
ZAVRIN_EXPORT void __bswap_wstr(WORD *str);

ZAVRIN_C_END

// ---- XML form ----

ZAVRIN_C_BEGIN

/// A malloc'ed copy of the first length bytes of text (length -1: up to its zero)
/// made safe for XML character data and attribute values: & < > " ' become
/// entities, bytes 0x01 to 0x1F character references ("\&\#x0A;"), all others stay.
/// A zero byte ends the text. The caller frees the result; null if memory runs out.
ZAVRIN_EXPORT char *EscapeStringForXML(const char *text, int length);

ZAVRIN_C_END

// ---- Command codes ----

/// Every code from 1 to 227 has a name; 0 is not a command.
///@{
#define CMD_LOGIN 1
#define CMD_LOGIN_RESP 2
#define CMD_KEEPALIVE 3
#define CMD_SET_ALARM_HD_STATE 4
#define CMD_GET_OBJECTS 5
#define CMD_OBJECT 6
#define CMD_DELETE_OBJECT 7
#define CMD_MODIFY_OBJECT 8
#define CMD_OBJECT_LIST_END 9
#define CMD_OBJECT_UPDATE 10
#define CMD_GET_EVENTS 11
#define CMD_EVENTLOG_RECORDS 12
#define CMD_GET_CONFIG_VARLIST 13
#define CMD_SET_CONFIG_VARIABLE 14
#define CMD_GET_OBJECT_TOOLS 15
#define CMD_EXECUTE_ACTION 16
#define CMD_DELETE_CONFIG_VARIABLE 17
#define CMD_NOTIFY 18
#define CMD_TRAP 19
#define CMD_OPEN_EPP 20
#define CMD_CLOSE_EPP 21
#define CMD_SAVE_EPP 22
#define CMD_EPP_RECORD 23
#define CMD_LOCK_EVENT_DB 24
#define CMD_UNLOCK_EVENT_DB 25
#define CMD_SET_EVENT_INFO 26
#define CMD_EVENT_DB_RECORD 27
#define CMD_LOAD_EVENT_DB 28
#define CMD_REQUEST_COMPLETED 29
#define CMD_LOAD_USER_DB 30
#define CMD_USER_DATA 31
#define CMD_GROUP_DATA 32
#define CMD_USER_DB_EOF 33
#define CMD_UPDATE_USER 34
#define CMD_DELETE_USER 35
#define CMD_CREATE_USER 36
#define CMD_LOCK_USER_DB 37
#define CMD_UNLOCK_USER_DB 38
#define CMD_USER_DB_UPDATE 39
#define CMD_SET_PASSWORD 40
#define CMD_GET_NODE_DCI_LIST 41
#define CMD_NODE_DCI 42
#define CMD_NODE_DCI_LIST_END 43
#define CMD_DELETE_NODE_DCI 44
#define CMD_MODIFY_NODE_DCI 45
#define CMD_UNLOCK_NODE_DCI_LIST 46
#define CMD_SET_OBJECT_MGMT_STATUS 47
#define CMD_CREATE_NEW_DCI 48
#define CMD_GET_DCI_DATA 49
#define CMD_DCI_DATA 50
#define CMD_GET_MIB_TIMESTAMP 51
#define CMD_GET_MIB 52
#define CMD_REQUEST_NEW_LPP_ID 53
#define CMD_OPEN_LPP 54
#define CMD_CREATE_OBJECT 55
#define CMD_GET_EVENT_NAMES 56
#define CMD_EVENT_NAME_LIST 57
#define CMD_BIND_OBJECT 58
#define CMD_UNBIND_OBJECT 59
#define CMD_GET_IMAGE_LIST 60
#define CMD_LOAD_IMAGE_FILE 61
#define CMD_IMAGE_LIST 62
#define CMD_IMAGE_FILE 63
#define CMD_AUTHENTICATE 64
#define CMD_GET_PARAMETER 65
#define CMD_GET_LIST 66
#define CMD_ACTION 67
#define CMD_GET_DEFAULT_IMAGE_LIST 68
#define CMD_DEFAULT_IMAGE_LIST 69
#define CMD_GET_ALL_ALARMS 70
#define CMD_GET_ALARM 71
#define CMD_ACK_ALARM 72
#define CMD_ALARM_UPDATE 73
#define CMD_ALARM_DATA 74
#define CMD_DELETE_ALARM 75
#define CMD_LOCK_ACTION_DB 76
#define CMD_UNLOCK_ACTION_DB 77
#define CMD_LOAD_ACTIONS 78
#define CMD_ACTION_DB_UPDATE 79
#define CMD_MODIFY_ACTION 80
#define CMD_CREATE_ACTION 81
#define CMD_DELETE_ACTION 82
#define CMD_ACTION_DATA 83
#define CMD_GET_CONTAINER_CAT_LIST 84
#define CMD_CONTAINER_CAT_DATA 85
#define CMD_DELETE_CONTAINER_CAT 86
#define CMD_CREATE_CONTAINER_CAT 87
#define CMD_MODIFY_CONTAINER_CAT 88
#define CMD_POLL_NODE 89
#define CMD_POLLING_INFO 90
#define CMD_COPY_DCI 91
#define CMD_WAKEUP_NODE 92
#define CMD_DELETE_EVENT_TEMPLATE 93
#define CMD_GENERATE_EVENT_CODE 94
#define CMD_LOCK_TRAP_CFG 95
#define CMD_UNLOCK_TRAP_CFG 96
#define CMD_CREATE_TRAP 97
#define CMD_MODIFY_TRAP 98
#define CMD_DELETE_TRAP 99
#define CMD_LOAD_TRAP_CFG 100
#define CMD_TRAP_CFG_RECORD 101
#define CMD_QUERY_PARAMETER 102
#define CMD_GET_SERVER_INFO 103
#define CMD_SET_DCI_STATUS 104
#define CMD_FILE_DATA 105
#define CMD_TRANSFER_FILE 106
#define CMD_UPGRADE_AGENT 107
#define CMD_GET_PACKAGE_LIST 108
#define CMD_PACKAGE_INFO 109
#define CMD_REMOVE_PACKAGE 110
#define CMD_INSTALL_PACKAGE 111
#define CMD_LOCK_PACKAGE_DB 112
#define CMD_UNLOCK_PACKAGE_DB 113
#define CMD_ABORT_FILE_TRANSFER 114
#define CMD_CHECK_NETWORK_SERVICE 115
#define CMD_GET_AGENT_CONFIG 116
#define CMD_UPDATE_AGENT_CONFIG 117
#define CMD_GET_PARAMETER_LIST 118
#define CMD_DEPLOY_PACKAGE 119
#define CMD_INSTALLER_INFO 120
#define CMD_GET_LAST_VALUES 121
#define CMD_APPLY_TEMPLATE 122
#define CMD_SET_USER_VARIABLE 123
#define CMD_GET_USER_VARIABLE 124
#define CMD_ENUM_USER_VARIABLES 125
#define CMD_DELETE_USER_VARIABLE 126
#define CMD_ADM_MESSAGE 127
#define CMD_ADM_REQUEST 128
#define CMD_CHANGE_IP_ADDR 129
#define CMD_REQUEST_SESSION_KEY 130
#define CMD_ENCRYPTED_MESSAGE 131
#define CMD_SESSION_KEY 132
#define CMD_REQUEST_ENCRYPTION 133
#define CMD_GET_ROUTING_TABLE 134
#define CMD_EXEC_TABLE_TOOL 135
#define CMD_TABLE_DATA 136
#define CMD_APPLY_LOG_POLICY 137
#define CMD_CHANGE_SUBSCRIPTION 138
#define CMD_GET_SYSLOG 139
#define CMD_SYSLOG_RECORDS 140
#define CMD_GET_LPP_LIST 141
#define CMD_OPEN_LOG_POLICY 142
#define CMD_CLOSE_LOG_POLICY 143
#define CMD_GET_OBJECT_TOOL_DETAILS 144
#define CMD_LOCK_OBJECT_TOOLS 145
#define CMD_UNLOCK_OBJECT_TOOLS 146
#define CMD_UPDATE_OBJECT_TOOL 147
#define CMD_DELETE_OBJECT_TOOL 148
#define CMD_SETUP_PROXY_CONNECTION 149
#define CMD_GENERATE_OBJECT_TOOL_ID 150
#define CMD_GET_SERVER_STATS 151
#define CMD_GET_SCRIPT_LIST 152
#define CMD_GET_SCRIPT 153
#define CMD_UPDATE_SCRIPT 154
#define CMD_DELETE_SCRIPT 155
#define CMD_RENAME_SCRIPT 156
#define CMD_GET_SESSION_LIST 157
#define CMD_KILL_SESSION 158
#define CMD_GET_TRAP_LOG 159
#define CMD_TRAP_LOG_RECORDS 160
#define CMD_START_SNMP_WALK 161
#define CMD_SNMP_WALK_DATA 162
#define CMD_GET_MAP_LIST 163
#define CMD_LOAD_MAP 164
#define CMD_SAVE_MAP 165
#define CMD_DELETE_MAP 166
#define CMD_RESOLVE_MAP_NAME 167
#define CMD_SUBMAP_DATA 168
#define CMD_UPLOAD_SUBMAP_BK_IMAGE 169
#define CMD_GET_SUBMAP_BK_IMAGE 170
#define CMD_GET_MODULE_LIST 171
#define CMD_UPDATE_MODULE_INFO 172
#define CMD_COPY_USER_VARIABLE 173
#define CMD_RESOLVE_DCI_NAMES 174
#define CMD_GET_MY_CONFIG 175
#define CMD_GET_AGENT_CFG_LIST 176
#define CMD_OPEN_AGENT_CONFIG 177
#define CMD_SAVE_AGENT_CONFIG 178
#define CMD_DELETE_AGENT_CONFIG 179
#define CMD_SWAP_AGENT_CONFIGS 180
#define CMD_TERMINATE_ALARM 181
#define CMD_GET_ZVCP_CAPS 182
#define CMD_ZVCP_CAPS 183
#define CMD_GET_OBJECT_COMMENTS 184
#define CMD_UPDATE_OBJECT_COMMENTS 185
#define CMD_ENABLE_AGENT_TRAPS 186
#define CMD_PUSH_DCI_DATA 187
#define CMD_GET_ADDR_LIST 188
#define CMD_SET_ADDR_LIST 189
#define CMD_RESET_COMPONENT 190
#define CMD_GET_DCI_EVENTS_LIST 191
#define CMD_CREATE_MGMT_PACK 192
#define CMD_INSTALL_MGMT_PACK 193
#define CMD_GET_TRAP_CFG_RO 194
#define CMD_SNMP_REQUEST 195
#define CMD_GET_DCI_INFO 196
#define CMD_GET_GRAPH_LIST 197
#define CMD_DEFINE_GRAPH 198
#define CMD_DELETE_GRAPH 199
#define CMD_GET_SYSTEM_DCI_LIST 200
#define CMD_ADD_CA_CERTIFICATE 201
#define CMD_DELETE_CERTIFICATE 202
#define CMD_GET_CERT_LIST 203
#define CMD_UPDATE_CERT_COMMENTS 204
#define CMD_QUERY_L2_TOPOLOGY 205
#define CMD_AUDIT_RECORD 206
#define CMD_GET_AUDIT_LOG 207
#define CMD_SEND_SMS 208
#define CMD_GET_COMMUNITY_LIST 209
#define CMD_UPDATE_COMMUNITY_LIST 210
#define CMD_GET_SITUATION_LIST 211
#define CMD_DELETE_SITUATION 212
#define CMD_CREATE_SITUATION 213
#define CMD_DEL_SITUATION_INSTANCE 214
#define CMD_UPDATE_SITUATION 215
#define CMD_SITUATION_DATA 216
#define CMD_SITUATION_CHANGE 217
#define CMD_CREATE_MAP 218
#define CMD_WEBMAP_ADD 219
#define CMD_WEBMAP_UPDATE_PROPS 220
#define CMD_WEBMAP_UPDATE_DATA 221
#define CMD_WEBMAP_DELETE 222
#define CMD_WEBMAP_GET_DATA 223
#define CMD_WEBMAP_GET_LIST 224
#define CMD_CONFIG_SET_CLOB 225
#define CMD_CONFIG_GET_CLOB 226
#define CMD_RENAME_MAP 227
///@}

ZAVRIN_C_BEGIN

/// Writes the name of a command code into buffer (at least 64 bytes) and returns
/// buffer; an undefined code gives "CMD_UNKNOWN(<code>)".
ZAVRIN_EXPORT char *ZVCPMessageCodeName(WORD code, char *buffer);

ZAVRIN_C_END

// ---- Message wait queue ----

#ifdef __cplusplus

namespace zavrin {
class Mutex;
class Event;
}  // namespace zavrin
struct MsgWaitQueueHousekeeper;
struct MsgWaitQueueWaiter;

/// One message held by a wait queue.
typedef struct {
  WORD code;      ///< the message's command code
  WORD isRaw;     ///< 0: message is a CSCPMessage; 1: a raw CSCP_MESSAGE
  DWORD id;       ///< the message's id
  DWORD ttl;      ///< milliseconds left before the housekeeper drops it
  void *message;  ///< the message, owned by the queue
} WAIT_QUEUE_ELEMENT;

/// The name of the threads that keep wait queues (see MsgWaitQueue).
#define MSG_WAIT_QUEUE_THREAD_NAME "zavrin-mwq"

/// Where a connection's receiver leaves replies for the threads that wait for
/// them, by command code and id. Holds message objects and raw wire messages
/// side by side; a housekeeper thread drops what nobody takes within the hold
/// time. Any number of threads may put and wait at once.
class ZAVRIN_EXPORT MsgWaitQueue {
 public:
  /// How queues constructed from now on are kept: with shared TRUE, one
  /// housekeeper thread serves every such queue of the process (started with
  /// the first, ended with the last), so that ten thousand queues cost one
  /// thread; with FALSE (the default) each queue starts a housekeeper of its
  /// own. Queues that exist keep theirs. Expiry, hold times and waits are the
  /// same either way. Meant to be called once, at start-up. Every housekeeper
  /// thread is named MSG_WAIT_QUEUE_THREAD_NAME.
  static void ShareHousekeeper(BOOL shared);

  MsgWaitQueue();
  /// Ends the housekeeper and destroys every message still held. No other
  /// thread may use the queue any more.
  ~MsgWaitQueue();
  MsgWaitQueue(const MsgWaitQueue &) = delete;
  MsgWaitQueue &operator=(const MsgWaitQueue &) = delete;

  /// Both take the message over in every case. A message that cannot be
  /// queued for lack of memory is destroyed at once: to its waiter it is a
  /// reply that never came.
  void Put(CSCPMessage *msg);
  /// Code and id are taken from the header as they are stored, unconverted.
  void Put(CSCP_MESSAGE *msg);

  /// The oldest message with this code and id, or null after timeout
  /// milliseconds. The message then belongs to the caller (delete it; free a
  /// raw one).
  ///@{
  CSCPMessage *WaitForMessage(WORD code, DWORD id, DWORD timeout) {
    return static_cast<CSCPMessage *>(WaitForMessageInternal(0, code, id, timeout));
  }
  CSCP_MESSAGE *WaitForRawMessage(WORD code, DWORD id, DWORD timeout) {
    return static_cast<CSCP_MESSAGE *>(WaitForMessageInternal(1, code, id, timeout));
  }
  ///@}

  /// Destroys every held message.
  void Clear();
  /// The hold time, in milliseconds, of messages put from now on (30000 at first).
  void SetHoldTime(DWORD time);

 private:
  void *WaitForMessageInternal(WORD isRaw, WORD code, DWORD id, DWORD timeout);
  void HousekeeperThread();
  static DWORD MWQThreadStarter(void *arg);
  // One housekeeper pass: a period off every hold time, expired messages out.
  __attribute__((visibility("hidden"))) void Expire();
  friend struct MsgWaitQueueHousekeeper;
  void Lock();
  void Unlock();
  __attribute__((visibility("hidden"))) void Append(WORD isRaw, WORD code, DWORD id, void *message);

  zavrin::Mutex *mutex;
  zavrin::Event *stopEvent;
  // The threads asleep in a wait, each with the code, id and kind it waits
  // for, so that a Put wakes only those that want its message.
  MsgWaitQueueWaiter *waiters;
  DWORD holdTime;
  DWORD elementCount;
  WAIT_QUEUE_ELEMENT *elements;
  // Its own housekeeper thread, or its place among the queues that share one;
  // null when neither could be had.
  MsgWaitQueueHousekeeper *housekeeper;
  friend struct MsgWaitQueueInspector;  // the tests look at the held elements
};

#endif  // __cplusplus

// ---- Transport: receiving, sending, raw messages and file transfer ----

/// The cipher state of an encrypted connection (zavrin/crypto.h).
typedef struct ENCRYPTION_CONTEXT ENCRYPTION_CONTEXT;

/// Bytes a receive buffer holds; also the most one receive asks for.
#define RECEIVE_BUFFER_SIZE 65536

/// One connection's receive buffer: the bytes that arrived beyond the end of the
/// last message read, waiting for the next call. Owned by the caller, used by one
/// receiving thread, kept as long as the connection.
typedef struct {
  DWORD bytesBuffered;               ///< received and not yet handed out
  DWORD readPos;                     ///< offset in buffer of the first of them
  BYTE buffer[RECEIVE_BUFFER_SIZE];  ///< the bytes
} RECEIVE_BUFFER;

/// Size of a file transfer's chunks: every chunk but the last holds exactly this.
#define FILE_CHUNK_SIZE 32768

/// Result of RecvZVCPMessage for a header whose size field is below 16, which
/// cannot describe a message: the stream is out of step, as after 0, a negative
/// result or 3.
#define ZVCP_RECV_BAD_SIZE 4

ZAVRIN_C_BEGIN

/// One receive of at most length bytes, waiting at most timeout milliseconds for
/// data (INFINITE: without limit). Returns the bytes received (1 or more), 0 when
/// the peer closed the connection, -1 for INVALID_SOCKET or a failed receive, -2
/// when no data came in time or the wait failed. Signals do not cut it short.
/// On a non-blocking socket, or with MSG_DONTWAIT in flags, it never waits: with
/// nothing to take it returns -1 with errno EAGAIN, as one recv does.
ZAVRIN_EXPORT int RecvEx(SOCKET sock, void *buffer, size_t length, int flags, DWORD timeout);

/// Sends all length bytes, waiting for the socket to take more when it is full.
/// Returns length, or the failing send's result (0 or -1). Writing to a peer that
/// has gone fails with -1; it never raises SIGPIPE.
ZAVRIN_EXPORT int SendEx(SOCKET sock, const void *data, size_t length, int flags);

/// Reads one message into msg, a buffer of maxSize bytes, whatever the way the
/// stream is cut. A null msg empties the receive buffer (do so before the first
/// call on a connection) and returns 0. Results:
///   16 or more  the size of the message now in msg (network order, as received;
///               an encrypted message replaced by its decrypted content);
///   0           the peer closed the connection;
///   negative    a socket error (-1);
///   1           the message was larger than maxSize (or than 2 GiB, which the
///               result cannot carry): read and dropped; msg holds
///               its header (the first maxSize bytes of it if maxSize is below 16);
///   2           an encrypted message that was not decrypted (*context null, or
///               the decryption failed); msg holds it, possibly altered;
///   3           no data within timeout milliseconds (each wait separately);
///   4           ZVCP_RECV_BAD_SIZE: a size field below 16; msg holds the header.
/// After 0, a negative result, 3 and 4 the stream is out of step and the receive
/// buffer is of no further use; after 1 and 2 the next call reads the next
/// message. *context is read only when an encrypted message (code 131) arrives:
/// PASS_THROUGH_CONTEXT hands it on as it came. decryptionBuffer holds at least
/// maxSize + 16 bytes. It waits for the message whatever the socket's mode: on a
/// non-blocking socket as on a blocking one.
ZAVRIN_EXPORT int RecvZVCPMessage(SOCKET sock, CSCP_MESSAGE *msg, RECEIVE_BUFFER *receiveBuffer,
                                  DWORD maxSize, ENCRYPTION_CONTEXT **context,
                                  BYTE *decryptionBuffer, DWORD timeout);

/// A message stream: one connection's framing, fed by a caller that reads the
/// socket its own way (an event loop, say); whole messages come out. Same framing
/// and results as RecvZVCPMessage, with no socket inside. An idle stream holds
/// no buffer: one is taken for the bytes in flight and given back once they are
/// handed out. Owned by the caller; used by one thread at a time.
///
/// Feeding: ZVCPStreamReserve gives room to receive into (at least 1 byte, its
/// size in *room), valid until the next call on the stream; ZVCPStreamCommit then
/// says how many bytes landed there. The room of a large message in flight is
/// inside the message itself, so its body is never copied a second time.
/// ZVCPStreamWrite copies bytes the caller already holds.
///
/// Reading: ZVCPStreamNext gives the next whole message, if there is one:
///   16 or more  a message; *msg points at it (network order, as received; code
///               131 decrypted in place with *context, PASS_THROUGH_CONTEXT hands
///               it on as it came), valid until the next call on the stream;
///   0           no whole message yet: feed more bytes;
///   1           a message larger than maxSize (or 2 GiB), its bytes dropped as
///               they came: *msg points at its 16-byte header;
///   2           an encrypted message not decrypted (*context null, decryption
///               failed, or no memory for it): *msg points at it as it stands;
///   4           ZVCP_RECV_BAD_SIZE: a size field below 16: *msg points at the
///               header; the stream is out of step and gives 4 from now on,
///               dropping whatever it is fed.
/// Results 1 and 2 leave the stream in step. *context is read only when an
/// encrypted message arrives. Call Next until it gives 0 before waiting for
/// more bytes: the stream gives back its memory then.
typedef struct ZVCP_STREAM ZVCP_STREAM;

/// A stream for messages of at most maxSize bytes; null when memory runs out.
/// Freed with ZVCPStreamDestroy.
ZAVRIN_EXPORT ZVCP_STREAM *ZVCPStreamCreate(DWORD maxSize);
/// Frees the stream and everything it holds; a null stream is ignored.
ZAVRIN_EXPORT void ZVCPStreamDestroy(ZVCP_STREAM *stream);
/// Room to receive into: at least 1 byte, *room set to its size, valid until the
/// next call on the stream. Null (and *room 0) only when memory runs out.
ZAVRIN_EXPORT BYTE *ZVCPStreamReserve(ZVCP_STREAM *stream, size_t *room);
/// bytes (at most the room given) were received into the last reserved room.
ZAVRIN_EXPORT void ZVCPStreamCommit(ZVCP_STREAM *stream, size_t bytes);
/// Takes a copy of size bytes; FALSE when memory runs out (nothing taken).
ZAVRIN_EXPORT BOOL ZVCPStreamWrite(ZVCP_STREAM *stream, const void *data, size_t size);
/// The next whole message, if there is one (results above).
ZAVRIN_EXPORT int ZVCPStreamNext(ZVCP_STREAM *stream, CSCP_MESSAGE **msg,
                                 ENCRYPTION_CONTEXT **context);
/// Bytes the stream holds beyond its own record: staged bytes, the message in
/// flight, the last message handed out. 0 for an idle stream.
ZAVRIN_EXPORT size_t ZVCPStreamMemory(const ZVCP_STREAM *stream);

/// A raw message: the header (flags with MSG_FLAG_RAW added, numVariables =
/// dataSize), the data bytes from offset 16, zeros up to a multiple of 8. With a
/// null buffer it is allocated (dataSize + 24 bytes; the caller frees it);
/// otherwise buffer holds 16 + dataSize rounded up to 8. Null when memory runs
/// out or the size field cannot hold the message.
ZAVRIN_EXPORT CSCP_MESSAGE *CreateRawZVCPMessage(WORD code, DWORD id, WORD flags, DWORD dataSize,
                                                 const void *data, CSCP_MESSAGE *buffer);

/// Sends the file as raw CMD_FILE_DATA messages with the given id, FILE_CHUNK_SIZE
/// bytes each, the last (possibly empty) one flagged MSG_FLAG_END_OF_FILE;
/// encrypted when context is not null. 1 when the whole file went out. When the
/// file cannot be opened or read, a chunk cannot be encrypted or a send fails, the
/// transfer stops, one CMD_ABORT_FILE_TRANSFER message goes out (encrypted too
/// when there is a context; nothing goes out in the clear on an encrypted
/// connection) and the result is 0.
ZAVRIN_EXPORT BOOL SendFileOverZVCP(SOCKET sock, DWORD id, const char *fileName,
                                    ENCRYPTION_CONTEXT *context);

/// Asks the peer of a fresh connection for its protocol version (waiting up to 30
/// seconds) and stores it in *version: a peer that does not answer, or answers
/// otherwise than with a header-only CMD_ZVCP_CAPS, speaks version 1. 0, with
/// *version untouched, when the connection failed. No other thread may receive on
/// the socket meanwhile; bytes that follow the answer are lost.
ZAVRIN_EXPORT BOOL ZVCPGetPeerProtocolVersion(SOCKET sock, int *version);

ZAVRIN_C_END

#endif  // ZAVRIN_MESSAGE_H
