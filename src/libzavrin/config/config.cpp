// config/: configuration and agent support: the configuration file loader, named
// options, the sub-agents' parameter arguments and result setters, and their log
// and trap hooks (agent.cpp, agent_hooks.cpp).
//
// The configuration file loader: one section of a text file into the targets
// of a template.
#include <zavrin/config.h>
#include <zavrin/utils.h>

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "util/ascii_case.h"
#include "util/open_to_read.h"
#include "util/text_numbers.h"

namespace {

// The characters of a line that are looked at; the rest of a longer physical
// line is skipped.
constexpr size_t kMaxLineLength = 4094;
// A list buffer's stated size grows by at least this much.
constexpr DWORD kListGrowth = 1024;

class LineReader {
 public:
  explicit LineReader(FILE *file) : file_(file) {}

  // Reads the next line into line (kMaxLineLength + 1 bytes) without its line
  // end; *cut tells that the line was longer and its rest skipped. False at the
  // end of the file when nothing is left, and on a read error (failed() tells
  // which).
  bool ReadLine(char *line, bool *cut) {
    size_t length = 0;
    bool any = false;
    *cut = false;
    int c;
    while ((c = NextChar()) != EOF && c != '\n') {
      any = true;
      if (length < kMaxLineLength)
        line[length++] = static_cast<char>(c);
      else
        *cut = true;
    }
    line[length] = 0;
    if (c == EOF && (ferror(file_) || !any)) return false;
    return true;
  }

  bool failed() const { return ferror(file_) != 0; }

 private:
  // The next character, with a CR LF pair read as one LF: the line end of a
  // file in text form wherever it was written. A lone CR is an ordinary
  // character.
  int NextChar() {
    int c = getc_unlocked(file_);
    if (c != '\r') return c;
    int next = getc_unlocked(file_);
    if (next == '\n') return '\n';
    if (next != EOF) ungetc(next, file_);
    return '\r';
  }

  FILE *file_;
};

class Loader {
 public:
  Loader(const char *section, CONFIG_TEMPLATE *entries, bool print)
      : section_(section), entries_(entries), print_(print), active_(section[0] == 0) {}

  // Applies one line of the file, numbered lineNumber. A line that was cut lost
  // its rest: an error where the line is read and the rest was not a comment.
  void HandleLine(char *line, int lineNumber, bool cut) {
    bool restIsComment = strchr(line, '#') != nullptr;
    ApplyLine(line, lineNumber);
    if (cut && !restIsComment && active_)
      CountError("Syntax error in configuration file at line %d\n", lineNumber);
  }

  // Counts an error that has no message of its own.
  void CountSilentError() { errors_++; }
  int errors() const { return errors_; }

 private:
  void ApplyLine(char *line, int lineNumber) {
    char *comment = strchr(line, '#');
    if (comment != nullptr) *comment = 0;
    StrStrip(line);
    if (line[0] == 0) return;
    if (line[0] == '*') {
      // The name is all that follows the '*', blanks included; a lone '*'
      // leads back to the unnamed section.
      active_ = zavrin::AsciiCaseEqual(line + 1, section_);
      return;
    }
    if (!active_) return;
    char *equals = strchr(line, '=');
    if (equals == nullptr) {
      CountError("Syntax error in configuration file at line %d\n", lineNumber);
      return;
    }
    *equals = 0;
    char *keyword = line;
    char *value = equals + 1;
    StrStrip(keyword);
    StrStrip(value);
    CONFIG_TEMPLATE *entry = FindEntry(keyword);
    if (entry == nullptr) {
      CountError("Invalid keyword %s in configuration file at line %d\n", keyword, lineNumber);
      return;
    }
    Store(entry, value, lineNumber);
  }

  void CountError(const char *format, ...) __attribute__((format(printf, 2, 3))) {
    errors_++;
    if (!print_) return;
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
  }

  CONFIG_TEMPLATE *FindEntry(const char *keyword) const {
    size_t length = strlen(keyword);
    for (CONFIG_TEMPLATE *entry = entries_; entry->type != CFG_END; entry++) {
      // The template's keyword is read only within its 64 bytes.
      if (strnlen(entry->keyword, sizeof(entry->keyword)) == length &&
          zavrin::AsciiCaseCompare(entry->keyword, keyword, length) == 0)
        return entry;
    }
    return nullptr;
  }

  void Store(CONFIG_TEMPLATE *entry, const char *value, int lineNumber) {
    const char *end = value;
    switch (entry->type) {
      case CFG_LONG:
        *static_cast<int32_t *>(entry->target) = zavrin::TextToInt32(value, &end);
        break;
      case CFG_WORD:
        *static_cast<WORD *>(entry->target) =
            static_cast<WORD>(zavrin::TextToUInt32(value, &end) & 0xFFFF);
        break;
      case CFG_STRING:
        zv_strncpy(static_cast<char *>(entry->target), value, entry->size);
        return;
      case CFG_FLAG:
        if (IsTrueWord(value))
          *static_cast<DWORD *>(entry->target) |= entry->size;
        else
          *static_cast<DWORD *>(entry->target) &= ~entry->size;
        return;
      case CFG_STRING_LIST:
        if (!AppendToList(entry, value)) CountSilentError();
        return;
      default:
        return;
    }
    // An empty value reads as 0 and stops at its end: no error.
    if (*end != 0)
      CountError("Invalid number '%s' in configuration file at line %d\n", value, lineNumber);
  }

  static bool IsTrueWord(const char *value) {
    return zavrin::AsciiCaseEqual(value, "yes") || zavrin::AsciiCaseEqual(value, "true") ||
           zavrin::AsciiCaseEqual(value, "on") || strcmp(value, "1") == 0;
  }

  // Appends value and the separator to the entry's list; false, with the list
  // unchanged, when it cannot grow.
  static bool AppendToList(CONFIG_TEMPLATE *entry, const char *value) {
    char **list = static_cast<char **>(entry->target);
    if (*list == nullptr) {
      entry->size = 0;
      entry->used = 0;
    }
    QWORD length = strlen(value);
    QWORD needed = length + 2;
    QWORD size = entry->size;
    if (entry->used + needed >= size) {
      size += std::max<QWORD>(needed, kListGrowth);
      if (size > 0xFFFFFFFFu) return false;
      // The block is as large as the size the caller keeps: nothing else about
      // a block from the program's allocator can be known.
      char *grown = static_cast<char *>(realloc(*list, size));
      if (grown == nullptr) return false;
      *list = grown;
    }
    // A used that the caller set beyond the size would write past the block.
    if (entry->used + needed > size) return false;
    char *text = *list;
    memcpy(text + entry->used, value, length + 1);
    entry->size = static_cast<DWORD>(size);
    entry->used += static_cast<DWORD>(length + 1);
    text[entry->used - 1] = entry->separator;
    text[entry->used] = 0;
    return true;
  }

  const char *section_;
  CONFIG_TEMPLATE *entries_;
  bool print_;
  bool active_;
  int errors_ = 0;
};

}  // namespace

DWORD ZvLoadConfig(const char *file, const char *section, CONFIG_TEMPLATE *cfgTemplate,
                   BOOL printErrors) {
  FILE *cfg = zavrin::StreamToRead(file);
  if (cfg == nullptr) {
    if (printErrors) {
      char errorText[256];
      printf("Unable to open configuration file (%s): %s\n", file,
             strerror_r(errno, errorText, sizeof(errorText)));
    }
    return 1;
  }
  Loader loader(section, cfgTemplate, printErrors != 0);
  LineReader reader(cfg);
  char line[kMaxLineLength + 1];
  int lineNumber = 0;
  bool cut;
  while (reader.ReadLine(line, &cut)) loader.HandleLine(line, ++lineNumber, cut);
  // A read error ends the file early: what came after it is lost.
  if (reader.failed()) loader.CountSilentError();
  fclose(cfg);
  if (loader.errors() == 0 && printErrors) printf("Configuration file OK\n");
  return loader.errors() == 0 ? 0 : 2;
}
