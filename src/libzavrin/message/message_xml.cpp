// The XML form of a message: the writer, the reader on Expat, and the escaping
// of text for XML.
#include <zavrin/containers.h>
#include <zavrin/message.h>
#include <zavrin/utils.h>

// The system's Expat is built with DTD support; the declarations of its entity
// expansion limits are only visible with this macro.
#ifndef XML_DTD
#define XML_DTD
#endif
#include <expat.h>
#include <locale.h>
#include <math.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/random.h>
#include <time.h>

#include "message/message_layout.h"
#include "port/unicode.h"
#include "util/ascii_case.h"
#include "util/text_numbers.h"

namespace zavrin {

// Where the reader is in the document (XML_READ_STATE::element).
constexpr int kXmlNothingRead = -1;
constexpr int kXmlInZvcp = 0;
constexpr int kXmlInMessage = 1;
constexpr int kXmlInVariable = 2;
constexpr int kXmlInValue = 3;
constexpr int kXmlAfterZvcp = -2;
constexpr int kXmlInOther = -255;

// Once the message holds this many variables, the reader finds ids through an
// index of its own instead of searching the store for every value: a document
// with very many variables would otherwise take time quadratic in their number.
constexpr DWORD kIndexFrom = 64;

// Maps variable ids to their places in the message's store. Open addressing,
// at most half full, multiply-shift hashing with a random odd key so that a
// document cannot pick ids that all collide. When memory runs out the index
// switches off for the rest of the document and the store is searched again.
class VariableIndex {
 public:
  VariableIndex() = default;
  ~VariableIndex() { free(slots_); }
  VariableIndex(const VariableIndex &) = delete;
  VariableIndex &operator=(const VariableIndex &) = delete;

  // The place of id, or INVALID_INDEX if it is not stored, into *place; false
  // when the index is not in use.
  bool Find(DWORD id, DWORD *place) const {
    if (slots_ == nullptr) return false;
    for (size_t i = Slot(id);; i = (i + 1) & mask_) {
      if (slots_[i].place == INVALID_INDEX || slots_[i].id == id) {
        *place = slots_[i].place;
        return true;
      }
    }
  }

  // Records that store[count - 1] has just been appended.
  void Appended(CSCP_VARIABLE *const *store, DWORD count) {
    if (off_) return;
    if (slots_ == nullptr) {
      if (count < kIndexFrom) return;
      if (!Resize(count)) return SwitchOff();
      for (DWORD i = 0; i < count; i++) Insert(store[i]->id, i);
      return;
    }
    if ((used_ + 1) * 2 > mask_ + 1 && !Resize(used_ + 1)) return SwitchOff();
    Insert(store[count - 1]->id, count - 1);
  }

 private:
  struct Entry {
    DWORD id;
    DWORD place;  // INVALID_INDEX: a free slot
  };

  size_t Slot(DWORD id) const { return static_cast<size_t>((id * key_) >> shift_); }

  void Insert(DWORD id, DWORD place) {
    size_t i = Slot(id);
    while (slots_[i].place != INVALID_INDEX) i = (i + 1) & mask_;
    slots_[i] = Entry{id, place};
    used_++;
  }

  // Makes room for at least entries at no more than half full, keeping what is there.
  bool Resize(size_t entries) {
    int bits = 4;
    while ((size_t(1) << bits) < entries * 2) bits++;
    if (bits > 32) return false;
    size_t capacity = size_t(1) << bits;
    Entry *old = slots_;
    size_t oldCapacity = old != nullptr ? mask_ + 1 : 0;
    Entry *grown = static_cast<Entry *>(malloc(capacity * sizeof(Entry)));
    if (grown == nullptr) return false;
    for (size_t i = 0; i < capacity; i++) grown[i].place = INVALID_INDEX;
    if (key_ == 0) key_ = RandomOddKey();
    slots_ = grown;
    mask_ = capacity - 1;
    shift_ = 64 - bits;
    used_ = 0;
    for (size_t i = 0; i < oldCapacity; i++) {
      if (old[i].place != INVALID_INDEX) Insert(old[i].id, old[i].place);
    }
    free(old);
    return true;
  }

  void SwitchOff() {
    free(slots_);
    slots_ = nullptr;
    off_ = true;
  }

  static uint64_t RandomOddKey() {
    uint64_t key = 0;
    if (getrandom(&key, sizeof(key), GRND_NONBLOCK) != static_cast<ssize_t>(sizeof(key))) {
      // No entropy yet (early boot): take what differs between runs.
      key = reinterpret_cast<uintptr_t>(&key) * 0x9E3779B97F4A7C15ull ^
            static_cast<uint64_t>(time(nullptr));
    }
    return key | 1;
  }

  Entry *slots_ = nullptr;
  size_t mask_ = 0;
  size_t used_ = 0;
  int shift_ = 64;
  uint64_t key_ = 0;
  bool off_ = false;
};

// What the reader keeps between Expat's callbacks.
struct XML_READ_STATE {
  CSCPMessage *message;
  int element;
  DWORD textSize;  // length of the collected value text plus one
  char *text;      // the value text, zero-terminated; null until a piece arrives
  int varType;
  DWORD varId;
  // Bytes allocated for text: it grows geometrically so that a value delivered
  // in many small pieces costs linear time, not quadratic.
  size_t textCapacity;
  // Memory ran out while collecting: the value is incomplete and is not stored.
  bool textLost;
  // Where each variable read so far sits in the message's store.
  VariableIndex varIndex;
};

namespace {

const char *const kTypeNames[] = {"int32", "string", "int64", "int16", "binary", "float"};
constexpr int kTypeNameCount = sizeof(kTypeNames) / sizeof(kTypeNames[0]);

// The most a value text may hold: its size with terminator is a 32-bit count.
constexpr size_t kMaxValueSize = 0xFFFFFFFFu;

// Float values are written and read in the C locale, so that a program that
// switched to a locale with a decimal comma still writes "0.5" and reads it
// back. Null if the locale cannot be made; the process locale is used then.
locale_t NumericLocale() {
  static const locale_t locale = newlocale(LC_NUMERIC_MASK, "C", static_cast<locale_t>(0));
  return locale;
}

// 17 significant digits carry every double exactly, so the value reads back
// bit for bit; infinities come out as "inf" and "-inf". A NaN keeps its sign and
// payload as "nan(0x...)", which strtod reads back; strtod always sets the quiet
// bit, so only a signalling NaN comes back changed (quiet).
void FormatDouble(double value, char *buffer, size_t size) {
  if (isnan(value)) {
    uint64_t bits;
    memcpy(&bits, &value, sizeof(bits));
    const char *sign = (bits >> 63) != 0 ? "-" : "";
    unsigned long long payload = bits & 0x7FFFFFFFFFFFFull;  // mantissa below the quiet bit
    if (payload == 0) {
      snprintf(buffer, size, "%snan", sign);
    } else {
      snprintf(buffer, size, "%snan(0x%llx)", sign, payload);
    }
    return;
  }
  locale_t numeric = NumericLocale();
  locale_t previous = numeric != static_cast<locale_t>(0) ? uselocale(numeric) : nullptr;
  snprintf(buffer, size, "%.17g", value);
  if (previous != nullptr) uselocale(previous);
}

double TextToDouble(const char *text) {
  locale_t numeric = NumericLocale();
  if (numeric == static_cast<locale_t>(0)) return strtod(text, nullptr);
  return strtod_l(text, nullptr, numeric);
}

// The entity that stands for a markup character, or null.
const char *MarkupEntity(unsigned char byte) {
  switch (byte) {
    case '&':
      return "&amp;";
    case '<':
      return "&lt;";
    case '>':
      return "&gt;";
    case '"':
      return "&quot;";
    case '\'':
      return "&apos;";
    default:
      return nullptr;
  }
}

// Control bytes become a character reference of this length: "&#x0A;".
constexpr size_t kReferenceLength = 6;

// Escapes up to length bytes, stopping at a zero byte: XML has no way to carry
// one, and writing it would cut the document's text short.
char *EscapeXml(const char *text, size_t length) {
  const unsigned char *src = reinterpret_cast<const unsigned char *>(text);
  size_t count = 0;
  while (count < length && src[count] != 0) count++;

  size_t size = 1;
  for (size_t i = 0; i < count; i++) {
    const char *entity = MarkupEntity(src[i]);
    size += entity != nullptr ? strlen(entity) : src[i] < 0x20 ? kReferenceLength : 1;
  }
  char *out = static_cast<char *>(malloc(size));
  if (out == nullptr) return nullptr;

  static const char kHex[] = "0123456789ABCDEF";
  char *p = out;
  for (size_t i = 0; i < count; i++) {
    unsigned char byte = src[i];
    if (const char *entity = MarkupEntity(byte)) {
      size_t n = strlen(entity);
      memcpy(p, entity, n);
      p += n;
    } else if (byte < 0x20) {
      memcpy(p, "&#x", 3);
      p[3] = kHex[byte >> 4];
      p[4] = kHex[byte & 15];
      p[5] = ';';
      p += kReferenceLength;
    } else {
      *p++ = static_cast<char>(byte);
    }
  }
  *p = 0;
  return out;
}

// Builds the document in a String and remembers whether every piece went in:
// String keeps its old text when memory runs out, which here would leave a hole
// in a document that looks complete.
class DocumentBuilder {
 public:
  void Add(const char *bytes, size_t count) {
    if (!ok_) return;
    size_t before = text_.Size();
    if (count < kMaxValueSize) text_.AddString(bytes, static_cast<DWORD>(count));
    ok_ = text_.Size() == before + count;
  }
  void Add(const char *text) { Add(text, strlen(text)); }
  // For the heads and numbers, whose text is short and bounded.
  void AddFormatted(const char *format, ...) __attribute__((format(printf, 2, 3))) {
    char piece[256];
    va_list args;
    va_start(args, format);
    int length = vsnprintf(piece, sizeof(piece), format, args);
    va_end(args);
    if (length < 0 || static_cast<size_t>(length) >= sizeof(piece)) {
      ok_ = false;
      return;
    }
    Add(piece, static_cast<size_t>(length));
  }
  void Fail() { ok_ = false; }
  // The document as a malloc'ed text, or null if any piece was lost.
  char *Finish() const { return ok_ ? strdup(text_) : nullptr; }

 private:
  String text_;
  bool ok_ = true;
};

void AddStringValue(DocumentBuilder &xml, const CSCP_VARIABLE *var) {
  size_t units = var->length / 2;
  const char16_t *src = StringUnits(var);
  size_t bytes = Utf16ToUtf8(src, units, nullptr, 0);
  char *utf8 = static_cast<char *>(malloc(bytes + 1));
  if (utf8 == nullptr) return xml.Fail();
  bytes = Utf16ToUtf8(src, units, utf8, bytes);
  char *escaped = EscapeXml(utf8, bytes);
  free(utf8);
  if (escaped == nullptr) return xml.Fail();
  xml.Add(escaped);
  free(escaped);
}

void AddBinaryValue(DocumentBuilder &xml, const CSCP_VARIABLE *var) {
  char *base64 = nullptr;
  size_t length =
      base64_encode_alloc(reinterpret_cast<const char *>(RecordData(var)), var->length, &base64);
  if (base64 == nullptr) return xml.Fail();
  xml.Add(base64, length);
  free(base64);
}

void AddValue(DocumentBuilder &xml, const CSCP_VARIABLE *var) {
  switch (var->type) {
    case VAR_TYPE_INT32:
      xml.AddFormatted("%d", static_cast<int32_t>(var->int32Value));
      break;
    case VAR_TYPE_INT16:
      xml.AddFormatted("%u", static_cast<unsigned>(var->int16Value));
      break;
    case VAR_TYPE_INT64:
      xml.AddFormatted("%lld", static_cast<long long>(static_cast<int64_t>(var->int64Value)));
      break;
    case VAR_TYPE_FLOAT: {
      char number[40];
      FormatDouble(var->floatValue, number, sizeof(number));
      xml.Add(number);
      break;
    }
    case VAR_TYPE_STRING:
      AddStringValue(xml, var);
      break;
    case VAR_TYPE_BINARY:
      AddBinaryValue(xml, var);
      break;
    default:  // a code from the wire with no known value: the value stays empty
      break;
  }
}

const char *FindAttribute(const char **attrs, const char *name) {
  for (const char **a = attrs; a != nullptr && a[0] != nullptr; a += 2) {
    if (AsciiCaseEqual(a[0], name)) return a[1];
  }
  return nullptr;
}

// The reader's record plus its parser.
struct XmlReader {
  XML_READ_STATE state;
  XML_Parser parser;
};

void ResetValueText(XML_READ_STATE *state) {
  free(state->text);
  state->text = nullptr;
  state->textSize = 1;
  state->textCapacity = 0;
  state->textLost = false;
}

void XMLCALL StartElement(void *userData, const XML_Char *name, const XML_Char **attrs) {
  XML_READ_STATE *state = &static_cast<XmlReader *>(userData)->state;
  if (strcmp(name, "zvcp") == 0) {
    state->element = kXmlInZvcp;
  } else if (strcmp(name, "message") == 0) {
    state->element = kXmlInMessage;
  } else if (strcmp(name, "variable") == 0) {
    state->element = kXmlInVariable;
  } else if (strcmp(name, "value") == 0) {
    state->element = kXmlInValue;
    ResetValueText(state);  // a value inside a value must not leak the outer text
  } else {
    state->element = kXmlInOther;
    return;
  }
  state->message->ProcessXMLToken(state, attrs);
}

void XMLCALL EndElement(void *userData, const XML_Char *name) {
  XML_READ_STATE *state = &static_cast<XmlReader *>(userData)->state;
  if (strcmp(name, "zvcp") == 0) {
    state->element = kXmlAfterZvcp;
  } else if (strcmp(name, "message") == 0) {
    state->element = kXmlInZvcp;
  } else if (strcmp(name, "variable") == 0) {
    state->element = kXmlInMessage;
  } else if (strcmp(name, "value") == 0) {
    state->message->ProcessXMLData(state);
    ResetValueText(state);
    state->element = kXmlInVariable;
  }
}

void XMLCALL CharacterData(void *userData, const XML_Char *piece, int length) {
  XML_READ_STATE *state = &static_cast<XmlReader *>(userData)->state;
  if (state->element != kXmlInValue || length <= 0 || state->textLost) return;

  size_t needed = static_cast<size_t>(state->textSize) + static_cast<size_t>(length);
  if (needed > state->textCapacity) {
    size_t capacity = state->textCapacity < 64 ? 64 : state->textCapacity * 2;
    if (capacity < needed) capacity = needed;
    if (capacity > kMaxValueSize) capacity = kMaxValueSize;
    char *grown =
        needed <= capacity ? static_cast<char *>(realloc(state->text, capacity)) : nullptr;
    if (grown == nullptr) {
      // Out of memory or beyond 4 GB: keep no half value.
      ResetValueText(state);
      state->textLost = true;
      return;
    }
    state->text = grown;
    state->textCapacity = capacity;
  }
  memcpy(state->text + state->textSize - 1, piece, static_cast<size_t>(length));
  state->textSize = static_cast<DWORD>(needed);
  state->text[needed - 1] = 0;
}

// Entity expansion is bounded the way Expat bounds it by default, stated here so
// that a build with other defaults cannot loosen it: past 8 MiB of output a
// document may expand to at most 100 times its own size, so a billion-laughs
// document ends in bounded time and memory.
constexpr float kMaxEntityAmplification = 100.0f;
constexpr unsigned long long kEntityAmplificationThreshold = 8ull << 20;

void ReadXml(CSCPMessage *message, const char *xml) {
  XmlReader reader;
  reader.parser = XML_ParserCreate(nullptr);
  if (reader.parser == nullptr) return;
  reader.state.message = message;
  reader.state.element = kXmlNothingRead;
  reader.state.textSize = 1;
  reader.state.text = nullptr;
  // A variable without a known type before any that had one stores nothing.
  reader.state.varType = -1;
  reader.state.varId = 0;
  reader.state.textCapacity = 0;
  reader.state.textLost = false;

  XML_SetUserData(reader.parser, &reader);
  XML_SetElementHandler(reader.parser, StartElement, EndElement);
  XML_SetCharacterDataHandler(reader.parser, CharacterData);
  // Internal entities expand; nothing is ever loaded: parameter entities and
  // the external subset are not read, and without an external entity handler an
  // external entity is skipped.
  XML_SetParamEntityParsing(reader.parser, XML_PARAM_ENTITY_PARSING_NEVER);
  XML_SetBillionLaughsAttackProtectionMaximumAmplification(reader.parser, kMaxEntityAmplification);
  XML_SetBillionLaughsAttackProtectionActivationThreshold(reader.parser,
                                                          kEntityAmplificationThreshold);

  // XML_Parse takes an int length: very long documents go in pieces.
  constexpr size_t kPiece = 1u << 30;
  size_t remaining = strlen(xml);
  for (;;) {
    size_t piece = remaining < kPiece ? remaining : kPiece;
    bool last = piece == remaining;
    if (XML_Parse(reader.parser, xml, static_cast<int>(piece), last ? XML_TRUE : XML_FALSE) !=
            XML_STATUS_OK ||
        last)
      break;
    xml += piece;
    remaining -= piece;
  }

  // A document cut off inside a value leaves its text behind.
  free(reader.state.text);
  XML_ParserFree(reader.parser);
}

}  // namespace
}  // namespace zavrin

using zavrin::XML_READ_STATE;

char *EscapeStringForXML(const char *text, int length) {
  if (text == nullptr) return zavrin::EscapeXml("", 0);
  size_t count = length < 0 ? strlen(text) : static_cast<size_t>(length);
  return zavrin::EscapeXml(text, count);
}

char *CSCPMessage::CreateXML() {
  zavrin::DocumentBuilder xml;
  xml.AddFormatted(
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<zvcp version=\"%d\">\r\n"
      "   <message code=\"%u\" id=\"%d\">\r\n",
      version, static_cast<unsigned>(code), static_cast<int32_t>(id));
  for (DWORD i = 0; i < variableCount; i++) {
    const CSCP_VARIABLE *var = variables[i];
    // A type code from the wire that has no name is written as its number; the
    // reader does not know it and, with the empty value, creates nothing.
    char typeNumber[8];
    const char *typeName = typeNumber;
    if (var->type < zavrin::kTypeNameCount) {
      typeName = zavrin::kTypeNames[var->type];
    } else {
      snprintf(typeNumber, sizeof(typeNumber), "%u", static_cast<unsigned>(var->type));
    }
    xml.AddFormatted("      <variable id=\"%d\" type=\"%s\">\r\n         <value>",
                     static_cast<int32_t>(var->id), typeName);
    zavrin::AddValue(xml, var);
    xml.Add("</value>\r\n      </variable>\r\n");
  }
  xml.Add("   </message>\r\n</zvcp>\r\n");
  return xml.Finish();
}

CSCPMessage::CSCPMessage(const char *xml) : CSCPMessage(ZVCP_PROTOCOL_VERSION) {
  zavrin::ReadXml(this, xml);
}

void CSCPMessage::ProcessXMLToken(void *state, const char **attrs) {
  XML_READ_STATE *read = static_cast<XML_READ_STATE *>(state);
  const char *value;
  switch (read->element) {
    case zavrin::kXmlInZvcp:
      if ((value = zavrin::FindAttribute(attrs, "version")) != nullptr)
        version = zavrin::TextToInt32(value);
      break;
    case zavrin::kXmlInMessage:
      if ((value = zavrin::FindAttribute(attrs, "id")) != nullptr) id = zavrin::TextToUInt32(value);
      if ((value = zavrin::FindAttribute(attrs, "code")) != nullptr)
        code = static_cast<WORD>(zavrin::TextToUInt32(value));
      break;
    case zavrin::kXmlInVariable:
      value = zavrin::FindAttribute(attrs, "id");
      read->varId = value != nullptr ? zavrin::TextToUInt32(value) : 0;
      if ((value = zavrin::FindAttribute(attrs, "type")) != nullptr) {
        for (int type = 0; type < zavrin::kTypeNameCount; type++) {
          if (zavrin::AsciiCaseEqual(value, zavrin::kTypeNames[type])) {
            read->varType = type;
            break;
          }
        }
      }
      break;
    default:
      break;
  }
}

void CSCPMessage::ProcessXMLData(void *state) {
  XML_READ_STATE *read = static_cast<XML_READ_STATE *>(state);
  // An empty value creates no variable.
  if (read->text == nullptr || read->textLost) return;
  const char *text = read->text;
  // The value in the form the setter of its type takes.
  union {
    DWORD int32;
    QWORD int64;
    WORD int16;
    double number;
  } value;
  const void *data = &value;
  size_t size = 0;
  char *decoded = nullptr;
  switch (read->varType) {
    case VAR_TYPE_INT32:
      value.int32 = zavrin::TextToUInt32(text);
      size = sizeof(value.int32);
      break;
    case VAR_TYPE_STRING:
      data = text;
      size = strlen(text);
      break;
    case VAR_TYPE_INT64:
      value.int64 = strtoull(text, nullptr, 0);
      size = sizeof(value.int64);
      break;
    case VAR_TYPE_INT16:
      value.int16 = static_cast<WORD>(zavrin::TextToUInt32(text));
      size = sizeof(value.int16);
      break;
    case VAR_TYPE_BINARY:
      base64_decode_alloc(text, read->textSize - 1, &decoded, &size);
      if (decoded == nullptr) return;  // not Base64, or out of memory
      data = decoded;
      break;
    case VAR_TYPE_FLOAT:
      value.number = zavrin::TextToDouble(text);
      size = sizeof(value.number);
      break;
    default:
      return;
  }

  // A repeated id replaces the earlier variable in its place.
  DWORD place;
  if (!read->varIndex.Find(read->varId, &place)) place = FindVariable(read->varId);
  if (SetAt(place, read->varId, static_cast<BYTE>(read->varType), data, static_cast<DWORD>(size)) !=
          nullptr &&
      place == INVALID_INDEX)
    read->varIndex.Appended(variables, variableCount);
  free(decoded);
}
