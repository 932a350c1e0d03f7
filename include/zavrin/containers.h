// Thread-safe building blocks and containers: Queue, read/write lock, String.
#ifndef ZAVRIN_CONTAINERS_H
#define ZAVRIN_CONTAINERS_H

#include <zavrin/types.h>

// ---- Queue ----

// ---- Read/write lock ----

// ---- String ----

// A growable, owned, zero-terminated byte string. Every append reallocates to the
// exact new size; no locking, one thread at a time. When an allocation fails the
// string keeps its previous contents.
class ZAVRIN_EXPORT String {
 public:
  // Result of Find when nothing is found; as a SubStr length, "up to the end".
  static const int npos = -1;

  String();
  ~String();
  String(const String &) = delete;
  String &operator=(const String &) = delete;

  // The text, never null: an empty string yields a shared empty text that the
  // caller neither writes through nor frees.
  operator char *() const;
  // Replaces the contents with a copy of text (not null).
  const String &operator=(const char *text);
  // Appends text (not null).
  const String &operator+=(const char *text);
  // Appends exactly count bytes, zero bytes included, then a terminator.
  void AddString(const char *bytes, DWORD count);
  // Appends a malloc'ed text and frees it; null does nothing.
  void AddDynamicString(char *text);
  // Appends printf-style formatted text, whatever its length.
  void AddFormattedString(const char *format, ...) __attribute__((format(printf, 2, 3)));
  // Puts esc in front of every occurrence of ch (bytes compared as signed chars).
  void EscapeCharacter(int ch, int esc);
  // Takes over a malloc'ed text without copying; null empties the string.
  void SetBuffer(char *text);
  // Replaces every occurrence of from by to, left to right, never rescanning
  // inserted text. An empty from changes nothing.
  void Translate(const char *from, const char *to);
  // A malloc'ed copy of len bytes from start (len npos: to the end); an empty text
  // when start is out of range. The caller frees it.
  char *SubStr(int start, int len) const;
  // The same into buffer (len + 1 bytes after clamping), or a new block if null.
  char *SubStr(int start, int len, char *buffer) const;
  // Byte position of the first occurrence of sub at or after start, or npos.
  int Find(const char *sub, int start) const;
  // Length in bytes, terminator not counted.
  DWORD Size() const;

 private:
  char *text;
  DWORD textSize;
};

#endif  // ZAVRIN_CONTAINERS_H
