// StringMap: a small map of texts with case-insensitive keys, kept in the order
// of first insertion.
#include <zavrin/containers.h>

#include <stdlib.h>
#include <string.h>

#include "util/ascii_case.h"

namespace {

// Frees what the caller handed over when it cannot be stored.
void FreePair(char *key, char *value) {
  free(key);
  free(value);
}

}  // namespace

StringMap::StringMap() : count(0), keys(nullptr), values(nullptr) {}

StringMap::StringMap(const StringMap *src) : count(0), keys(nullptr), values(nullptr) {
  CopyFrom(*src);
}

StringMap::~StringMap() {
  Clear();
}

StringMap &StringMap::operator=(const StringMap &src) {
  if (&src == this) return *this;
  Clear();
  CopyFrom(src);
  return *this;
}

// Copies into this empty map: all of src, or nothing when memory runs out.
void StringMap::CopyFrom(const StringMap &src) {
  size_t slots = src.count > 0 ? src.count : 1;
  keys = static_cast<char **>(malloc(slots * sizeof(char *)));
  values = static_cast<char **>(malloc(slots * sizeof(char *)));
  if (keys == nullptr || values == nullptr) {
    Clear();
    return;
  }
  for (DWORD i = 0; i < src.count; i++) {
    keys[i] = strdup(src.keys[i]);
    values[i] = strdup(src.values[i]);
    count++;
    if (keys[i] == nullptr || values[i] == nullptr) {
      Clear();
      return;
    }
  }
}

DWORD StringMap::Find(const char *key) const {
  for (DWORD i = 0; i < count; i++) {
    if (zavrin::AsciiCaseEqual(keys[i], key)) return i;
  }
  return 0xFFFFFFFFu;
}

// Adds an entry that takes over key and value; false, with nothing taken, when
// the arrays cannot grow.
bool StringMap::Append(char *key, char *value) {
  // Each array grows on its own; one that grew while the other could not is
  // only roomier than needed.
  size_t slots = static_cast<size_t>(count) + 1;
  if (slots > 0xFFFFFFFFu) return false;
  char **grownKeys = static_cast<char **>(realloc(keys, slots * sizeof(char *)));
  if (grownKeys == nullptr) return false;
  keys = grownKeys;
  char **grownValues = static_cast<char **>(realloc(values, slots * sizeof(char *)));
  if (grownValues == nullptr) return false;
  values = grownValues;
  keys[count] = key;
  values[count] = value;
  count++;
  return true;
}

void StringMap::Set(const char *key, const char *value) {
  DWORD i = Find(key);
  char *valueCopy = strdup(value);
  if (valueCopy == nullptr) return;
  if (i != 0xFFFFFFFFu) {
    free(values[i]);
    values[i] = valueCopy;
    return;
  }
  char *keyCopy = strdup(key);
  if (keyCopy == nullptr || !Append(keyCopy, valueCopy)) FreePair(keyCopy, valueCopy);
}

void StringMap::SetPreallocated(char *key, char *value) {
  DWORD i = Find(key);
  if (i != 0xFFFFFFFFu) {
    free(key);
    free(values[i]);
    values[i] = value;
    return;
  }
  if (!Append(key, value)) FreePair(key, value);
}

char *StringMap::Get(const char *key) const {
  DWORD i = Find(key);
  return i != 0xFFFFFFFFu ? values[i] : nullptr;
}

void StringMap::Delete(const char *key) {
  DWORD i = Find(key);
  if (i == 0xFFFFFFFFu) return;
  free(keys[i]);
  free(values[i]);
  count--;
  memmove(keys + i, keys + i + 1, (count - i) * sizeof(char *));
  memmove(values + i, values + i + 1, (count - i) * sizeof(char *));
}

void StringMap::Clear() {
  for (DWORD i = 0; i < count; i++) FreePair(keys[i], values[i]);
  count = 0;
  free(keys);
  free(values);
  keys = nullptr;
  values = nullptr;
}

char *StringMap::GetKeyByIndex(DWORD index) const {
  return index < count ? keys[index] : nullptr;
}

char *StringMap::GetValueByIndex(DWORD index) const {
  return index < count ? values[index] : nullptr;
}
