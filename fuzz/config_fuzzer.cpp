// Loads arbitrary file contents through a template with an entry of every type,
// first the unnamed section and then the section "Agent" into the same targets
// (so that the lists go on growing), and checks the targets and the result
// against a model that reads the same text line by line.
#include <zavrin.h>

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>

#include "text_reference.h"

namespace {

using zavrin_reference::EqualNoCase;
using zavrin_reference::Strip;

const size_t kGuard = 16;
const char kFill = '\x5C';
const size_t kMaxLine = 4094;  // characters of a line that are looked at

// Fixed-size buffers carry guard bytes behind their stated size.
struct Targets {
  int32_t number = -1;
  WORD word = 7;
  DWORD flags = 0x0F0;
  char shortText[1 + kGuard];
  char text[9 + kGuard];
  char longText[64 + kGuard];
  char *list = nullptr;
  char *otherList = nullptr;
  CONFIG_TEMPLATE entries[11] = {
      {"Number", CFG_LONG, 0, 0, 0, &number},
      {"Word", CFG_WORD, 0, 0, 0, &word},
      {"Flag", CFG_FLAG, 0, 0x030, 0, &flags},
      {"OtherFlag", CFG_FLAG, 0, 0x101, 0, &flags},
      {"Short", CFG_STRING, 0, 1, 0, shortText},
      {"Text", CFG_STRING, 0, 9, 0, text},
      {"LongText", CFG_STRING, 0, 64, 0, longText},
      {"List", CFG_STRING_LIST, ',', 0, 0, &list},
      {"Server", CFG_STRING_LIST, ' ', 0, 0, &otherList},
      {"Ignored", 6, 0, 0, 0, nullptr},
      {"End", CFG_END, 0, 0, 0, nullptr},
  };
  Targets() {
    memset(shortText, kFill, sizeof(shortText));
    memset(text, kFill, sizeof(text));
    memset(longText, kFill, sizeof(longText));
    shortText[0] = text[0] = longText[0] = 0;
  }
  ~Targets() {
    free(list);
    free(otherList);
  }
};

// What the targets should hold.
struct Model {
  int32_t number = -1;
  WORD word = 7;
  DWORD flags = 0x0F0;
  std::string shortText, text, longText;
  std::string list, otherList;
  DWORD listSize = 0, otherListSize = 0;  // the stated sizes of the list buffers
};

void Append(std::string *list, DWORD *size, const std::string &value, char separator) {
  QWORD needed = value.size() + 2;
  if (list->size() + needed >= *size) *size += static_cast<DWORD>(needed > 1024 ? needed : 1024);
  *list += value;
  *list += separator;
}

// Applies one line, cut to kMaxLine characters, to the model; errors counts the
// bad lines.
void ModelLine(std::string line, const std::string &section, bool *active, Model *m, int *errors) {
  size_t hash = line.find('#');
  if (hash != std::string::npos) line.resize(hash);
  line = Strip(line);
  if (line.empty()) return;
  if (line[0] == '*') {
    *active = EqualNoCase(line.substr(1), section);
    return;
  }
  if (!*active) return;
  size_t equals = line.find('=');
  if (equals == std::string::npos) {
    ++*errors;
    return;
  }
  std::string keyword = Strip(line.substr(0, equals));
  std::string value = Strip(line.substr(equals + 1));
  bool whole = true;
  if (EqualNoCase(keyword, "Number")) {
    m->number = zavrin_reference::ToInt32(value, &whole);
  } else if (EqualNoCase(keyword, "Word")) {
    m->word = static_cast<WORD>(zavrin_reference::ToUInt32(value, &whole) & 0xFFFF);
  } else if (EqualNoCase(keyword, "Flag") || EqualNoCase(keyword, "OtherFlag")) {
    DWORD mask = EqualNoCase(keyword, "Flag") ? 0x030 : 0x101;
    bool on = EqualNoCase(value, "yes") || EqualNoCase(value, "true") || EqualNoCase(value, "on") ||
              EqualNoCase(value, "1");
    m->flags = on ? m->flags | mask : m->flags & ~mask;
  } else if (EqualNoCase(keyword, "Short")) {
    m->shortText = "";
  } else if (EqualNoCase(keyword, "Text")) {
    m->text = value.substr(0, 8);
  } else if (EqualNoCase(keyword, "LongText")) {
    m->longText = value.substr(0, 63);
  } else if (EqualNoCase(keyword, "List")) {
    Append(&m->list, &m->listSize, value, ',');
  } else if (EqualNoCase(keyword, "Server")) {
    Append(&m->otherList, &m->otherListSize, value, ' ');
  } else if (!EqualNoCase(keyword, "Ignored")) {
    ++*errors;
  }
  if (!whole) ++*errors;
}

// Reads the text into the model as the loader should; the loader's result.
DWORD ModelLoad(const std::string &content, const std::string &section, Model *m) {
  int errors = 0;
  bool active = section.empty();
  size_t at = 0;
  while (at < content.size()) {
    std::string line;
    bool cut = false;
    // A CR LF pair ends a line like a lone LF; characters past kMaxLine are skipped.
    while (at < content.size()) {
      char c = content[at++];
      if (c == '\r' && at < content.size() && content[at] == '\n') c = content[at++];
      if (c == '\n') break;
      if (line.size() < kMaxLine)
        line += c;
      else
        cut = true;
    }
    line.resize(strlen(line.c_str()));  // the loader's line ends at a zero byte
    // The skipped rest of a line makes it an error where it is read, unless
    // the line's comment had begun.
    bool lostRest = cut && line.find('#') == std::string::npos;
    ModelLine(line, section, &active, m, &errors);
    if (lostRest && active) errors++;
  }
  return errors == 0 ? 0 : 2;
}

void CheckText(const char *buffer, size_t size, const std::string &expected) {
  if (memchr(buffer, 0, size) == nullptr) abort();
  if (expected != buffer) abort();
  for (size_t i = size; i < size + kGuard; i++)
    if (buffer[i] != kFill) abort();
}

void CheckList(const char *list, const CONFIG_TEMPLATE &entry, const std::string &expected,
               DWORD expectedSize) {
  if (expected.empty()) {
    if (list != nullptr || entry.size != 0 || entry.used != 0) abort();
    return;
  }
  if (list == nullptr || entry.used != expected.size() || entry.size != expectedSize) abort();
  if (entry.used >= entry.size) abort();  // room for the terminator
  if (memcmp(list, expected.data(), expected.size()) != 0 || list[entry.used] != 0) abort();
}

void Check(const Targets &t, const Model &m) {
  if (t.number != m.number || t.word != m.word || t.flags != m.flags) abort();
  CheckText(t.shortText, 1, m.shortText);
  CheckText(t.text, 9, m.text);
  CheckText(t.longText, 64, m.longText);
  CheckList(t.list, t.entries[7], m.list, m.listSize);
  CheckList(t.otherList, t.entries[8], m.otherList, m.otherListSize);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 1 << 20) return 0;
  // One memory file for the whole run, rewritten for each input and opened by
  // the loader through its /proc name.
  static int fd = memfd_create("config_fuzzer", 0);
  static std::string path = "/proc/self/fd/" + std::to_string(fd);
  if (fd < 0 || ftruncate(fd, 0) != 0) abort();
  if (size > 0 && pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) abort();
  std::string content(reinterpret_cast<const char *>(data), size);

  Targets targets;
  Model model;
  for (const char *section : {"", "Agent"}) {
    DWORD result = ZvLoadConfig(path.c_str(), section, targets.entries, FALSE);
    if (result != 0 && result != 2) abort();
    if (result != ModelLoad(content, section, &model)) abort();
    Check(targets, model);
  }
  return 0;
}
