// Agent support: parameter arguments, result values and value lists.
#include <zavrin/config.h>
#include <zavrin/utils.h>

#include <stdlib.h>
#include <string.h>

#include "util/ascii_case.h"
#include "util/text_numbers.h"

void ret_string(char *rbuf, const char *value) {
  zv_strncpy(rbuf, value, ZV_RESULT_BUFFER_SIZE);
}

void ret_int(char *rbuf, int32_t value) {
  zavrin::FormatNumber(rbuf, ZV_RESULT_BUFFER_SIZE, value);
}

void ret_uint(char *rbuf, DWORD value) {
  zavrin::FormatNumber(rbuf, ZV_RESULT_BUFFER_SIZE, value);
}

void ret_double(char *rbuf, double value) {
  // Magnitudes from about 1e248 up need 256 characters or more: they are cut.
  zavrin::FormatNumber(rbuf, ZV_RESULT_BUFFER_SIZE, value);
}

void ret_int64(char *rbuf, INT64 value) {
  zavrin::FormatNumber(rbuf, ZV_RESULT_BUFFER_SIZE, value);
}

void ret_uint64(char *rbuf, QWORD value) {
  zavrin::FormatNumber(rbuf, ZV_RESULT_BUFFER_SIZE, value);
}

int ZvGetParameterArg(const char *param, int index, char *buffer, int bufSize) {
  // Nothing at all fits a buffer without room for the terminator.
  int room = bufSize > 0 ? bufSize - 1 : 0;
  if (bufSize > 0) buffer[0] = 0;
  const char *open = strchr(param, '(');
  if (open == nullptr) return 1;

  char quote = 0;  // the quote character while inside quotes
  int argument = 1;
  int copied = 0;
  int result = 1;
  for (const char *p = open + 1;; p++) {
    char c = *p;
    if (c == 0) {
      result = 0;
      break;
    }
    if (quote != 0) {
      if (c == quote) {
        quote = 0;
        continue;
      }
    } else if (c == '"' || c == '\'') {
      quote = c;
      continue;
    } else if (c == ')') {
      break;
    } else if (c == ',') {
      if (argument == index) break;
      argument++;
      continue;
    }
    if (argument == index && copied < room) buffer[copied++] = c;
  }
  if (bufSize > 0) {
    buffer[copied] = 0;
    if (result == 1) StrStrip(buffer);
  }
  return result;
}

void ZvAddResultString(VALUES_LIST *list, const char *value) {
  char *copy = strdup(value);
  if (copy == nullptr) return;
  size_t slots = static_cast<size_t>(list->count) + 1;
  char **grown = slots <= 0xFFFFFFFFu
                     ? static_cast<char **>(realloc(list->strings, slots * sizeof(char *)))
                     : nullptr;
  if (grown == nullptr) {
    free(copy);
    return;
  }
  list->strings = grown;
  list->strings[list->count++] = copy;
}

void ZvDestroyValuesList(VALUES_LIST *list) {
  if (list == nullptr) return;
  if (list->strings != nullptr) {
    for (DWORD i = 0; i < list->count; i++) free(list->strings[i]);
    free(list->strings);
  }
  free(list);
}

int ZvDCIDataTypeFromText(const char *name) {
  static const char *const kTypeNames[] = {"INT", "UINT", "INT64", "UINT64", "STRING", "FLOAT"};
  for (int code = 0; code < static_cast<int>(sizeof(kTypeNames) / sizeof(kTypeNames[0])); code++) {
    if (zavrin::AsciiCaseEqual(name, kTypeNames[code])) return code;
  }
  return -1;
}
