/// \file
/// Thread-safe building blocks and containers: Queue, read/write lock, String,
/// StringMap, Table.
#ifndef ZAVRIN_CONTAINERS_H
#define ZAVRIN_CONTAINERS_H

#include <zavrin/types.h>

// ---- Queue ----

namespace zavrin {
class Mutex;
class Event;
}  // namespace zavrin

/// What Get and GetOrBlock return once the queue is shut down: all bits set.
#define QUEUE_SHUTDOWN_MARKER ((void *)~(uintptr_t)0)

/// A thread-safe first-in, first-out queue of untyped pointers in a ring of
/// slots that grows by a fixed increment when full. The queue never looks at
/// or frees the elements. Callers do not put null: Get could not tell it from
/// an empty queue.
class ZAVRIN_EXPORT Queue {
 public:
  /// A ring of 256 slots that grows by 32.
  Queue();
  /// A ring of initialSize slots (may be 0) that grows by increment slots (an
  /// increment of 0 is taken as 1).
  Queue(DWORD initialSize, DWORD increment);
  /// Frees the ring; the elements are left alone.
  ~Queue();
  Queue(const Queue &) = delete;
  Queue &operator=(const Queue &) = delete;

  /// Appends at the back. When the ring is full and cannot grow (out of
  /// memory), the element is not stored.
  void Put(void *element);
  /// Puts at the front, so that the element is the next one taken.
  void Insert(void *element);
  /// The oldest element, null when empty, QUEUE_SHUTDOWN_MARKER once shut
  /// down. Never waits for an element.
  void *Get();
  /// Like Get, but sleeps while the queue is empty: never returns null.
  void *GetOrBlock();
  /// Forgets every element (without freeing it); the ring keeps its size.
  void Clear();
  /// Makes every later take return QUEUE_SHUTDOWN_MARKER and wakes one
  /// sleeping consumer. There is no way back.
  void SetShutdownMode();
  /// Number of elements held.
  DWORD Size();

 private:
  void CommonInit();
  void Lock();
  void Unlock();
  __attribute__((visibility("hidden"))) bool Grow();
  friend struct QueueInspector;  // the tests look into the ring

  zavrin::Mutex *mutex;
  zavrin::Event *wakeEvent;
  void **slots;
  // The three pointers above are read on every operation and written almost
  // never; the fields from here on are written on every operation. A cache
  // line of their own keeps a producer and a consumer on two cores from
  // pulling the pointers away from each other with every element.
  alignas(64) DWORD count;
  DWORD capacity;
  DWORD head;
  DWORD tail;
  DWORD growBy;
  BOOL shutdown;
};

// ---- Read/write lock ----

/// Any number of readers or one writer. Writers go first: while a writer holds
/// or waits, new readers wait too, and a freed lock goes to a waiting writer
/// before waiting readers. Not re-entrant. Time-outs are in milliseconds;
/// INFINITE waits without limit. Every function accepts a null lock.
struct __rwlock_data;
/// A read/write lock. Any number of readers or one writer. Writers go first: while
/// a writer holds or waits, new readers wait too, and a freed lock goes to a waiting
/// writer before waiting readers. Not re-entrant. Time-outs are in milliseconds;
/// INFINITE waits without limit. Every function accepts a null lock.
typedef struct __rwlock_data *RWLOCK;

/// A new, free lock; null when it cannot be allocated.
ZAVRIN_EXPORT RWLOCK RWLockCreate();
/// Frees the lock if it is free and nobody waits for it; otherwise does
/// nothing, and the caller destroys it again once it is free.
ZAVRIN_EXPORT void RWLockDestroy(RWLOCK hLock);
/// 1 when the lock was acquired for reading, 0 on time-out.
ZAVRIN_EXPORT int RWLockReadLock(RWLOCK hLock, DWORD timeout);
/// 1 when the lock was acquired for writing, 0 on time-out.
ZAVRIN_EXPORT int RWLockWriteLock(RWLOCK hLock, DWORD timeout);
/// Releases one hold of either kind; a free lock stays free.
ZAVRIN_EXPORT void RWLockUnlock(RWLOCK hLock);

// ---- String ----

/// A growable, owned, zero-terminated byte string. Every append reallocates to the
/// exact new size; no locking, one thread at a time. When an allocation fails the
/// string keeps its previous contents.
class ZAVRIN_EXPORT String {
 public:
  /// Result of Find when nothing is found; as a SubStr length, "up to the end".
  static const int npos = -1;

  String();
  ~String();
  String(const String &) = delete;
  String &operator=(const String &) = delete;

  /// The text, never null: an empty string yields a shared empty text that the
  /// caller neither writes through nor frees.
  operator char *() const;
  /// Replaces the contents with a copy of text (not null).
  const String &operator=(const char *text);
  /// Appends text (not null).
  const String &operator+=(const char *text);
  /// Appends exactly count bytes, zero bytes included, then a terminator.
  void AddString(const char *bytes, DWORD count);
  /// Appends a malloc'ed text and frees it; null does nothing.
  void AddDynamicString(char *text);
  /// Appends printf-style formatted text, whatever its length.
  void AddFormattedString(const char *format, ...) __attribute__((format(printf, 2, 3)));
  /// Puts esc in front of every occurrence of ch (bytes compared as signed chars).
  void EscapeCharacter(int ch, int esc);
  /// Takes over a malloc'ed text without copying; null empties the string.
  void SetBuffer(char *text);
  /// Replaces every occurrence of from by to, left to right, never rescanning
  /// inserted text. An empty from changes nothing.
  void Translate(const char *from, const char *to);
  /// A malloc'ed copy of len bytes from start (len npos: to the end); an empty text
  /// when start is out of range. The caller frees it.
  char *SubStr(int start, int len) const;
  /// The same into buffer (len + 1 bytes after clamping), or a new block if null.
  char *SubStr(int start, int len, char *buffer) const;
  /// Byte position of the first occurrence of sub at or after start, or npos.
  int Find(const char *sub, int start) const;
  /// Length in bytes, terminator not counted.
  DWORD Size() const;

 private:
  char *text;
  DWORD textSize;
};

// ---- StringMap ----

/// Text keys to text values. Keys match without regard to ASCII letter case and
/// keep the case they were first added with; entries keep the order in which
/// their keys were first added, so they can be walked by index. The map owns its
/// strings (malloc'ed). Lookups are linear: meant for tens of entries. No locking,
/// one thread at a time. When memory runs out, a change is dropped and the map
/// keeps what it held.
class ZAVRIN_EXPORT StringMap {
 public:
  StringMap();
  /// A deep copy of src (empty when memory runs out).
  explicit StringMap(const StringMap *src);
  ~StringMap();
  /// Copies through the pointer constructor or operator= only: a copy by value
  /// would share the strings.
  StringMap(const StringMap &) = delete;
  /// Replaces the contents with a deep copy of src; assigning a map to itself
  /// leaves it as it is.
  StringMap &operator=(const StringMap &src);

  /// Stores copies: replaces the value of an existing key or appends an entry.
  void Set(const char *key, const char *value);
  /// As Set, but takes over two malloc'ed strings; the caller must not use them
  /// afterwards (a key already present is freed at once, as is everything when
  /// the entry cannot be stored).
  void SetPreallocated(char *key, char *value);
  /// The value of the key, owned by the map, or null.
  char *Get(const char *key) const;
  /// Removes the key's entry, if there is one; later entries move up.
  void Delete(const char *key);
  /// Removes every entry.
  void Clear();
  /// Number of entries.
  DWORD Size() const { return count; }
  /// The key or value at index, or null when index is not below Size().
  ///@{
  char *GetKeyByIndex(DWORD index) const;
  char *GetValueByIndex(DWORD index) const;
  ///@}

 protected:
  /// Index of the key's entry, or 0xFFFFFFFF.
  DWORD Find(const char *key) const;

 private:
  __attribute__((visibility("hidden"))) bool Append(char *key, char *value);
  __attribute__((visibility("hidden"))) void CopyFrom(const StringMap &src);

  DWORD count;
  char **keys;
  char **values;
};

// ---- Table ----

/// A grid of text cells with named columns; numbers are stored as their text.
/// The Set shortcuts write into the last row added. Rows and columns count from
/// 0; out-of-range writes are ignored and out-of-range reads give null or 0. No
/// locking, one thread at a time. When memory runs out, the row, column or cell
/// text that needed it is not added and the table keeps what it held.
class ZAVRIN_EXPORT Table {
 public:
  Table();
  ~Table();
  Table(const Table &) = delete;
  Table &operator=(const Table &) = delete;

  /// Appends a column; existing rows get an unset cell in it.
  void AddColumn(const char *name);
  /// Appends a row of unset cells (also to a table without columns yet).
  void AddRow();

  /// Stores a copy of text (not null), or the number as text ("%d", "%u", 64-bit
  /// decimal, "%f"; at most 31 characters, cut beyond).
  ///@{
  void SetAt(int row, int column, const char *text);
  void SetAt(int row, int column, int32_t value);
  void SetAt(int row, int column, DWORD value);
  void SetAt(int row, int column, INT64 value);
  void SetAt(int row, int column, QWORD value);
  void SetAt(int row, int column, double value);
  ///@}

  /// SetAt on the last row; nothing when there are no rows.
  ///@{
  void Set(int column, const char *text) { SetAt(rowCount - 1, column, text); }
  void Set(int column, int32_t value) { SetAt(rowCount - 1, column, value); }
  void Set(int column, DWORD value) { SetAt(rowCount - 1, column, value); }
  void Set(int column, INT64 value) { SetAt(rowCount - 1, column, value); }
  void Set(int column, QWORD value) { SetAt(rowCount - 1, column, value); }
  void Set(int column, double value) { SetAt(rowCount - 1, column, value); }
  ///@}

  /// The cell's text (owned by the table), or null when unset or out of range.
  char *GetAsString(int row, int column) const;
  /// The text read with base 0 ("0x" hexadecimal, a leading 0 octal) up to the
  /// first character that does not fit; 0 for null. The 32-bit forms saturate
  /// like a 32-bit strtol and strtoul.
  ///@{
  int32_t GetAsInt(int row, int column) const;
  DWORD GetAsUInt(int row, int column) const;
  INT64 GetAsInt64(int row, int column) const;
  QWORD GetAsUInt64(int row, int column) const;
  ///@}
  /// As strtod; 0.0 for null.
  double GetAsDouble(int row, int column) const;

  /// The number of rows and of columns.
  ///@{
  int GetNumRows() const { return rowCount; }
  int GetNumColumns() const { return columnCount; }
  ///@}

 private:
  __attribute__((visibility("hidden"))) char **Cell(int row, int column) const;

  int rowCount;
  int columnCount;
  char **cells;
  char **columnNames;
};

#endif  // ZAVRIN_CONTAINERS_H
