// Feeds arbitrary text to uuid_parse and checks it against a plain model of the
// 36-character form; whatever parses prints back as the same text in lower
// case and parses again to the same bytes. Any 16 bytes survive printing too.
#include <zavrin/utils.h>

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

namespace {

bool IsHex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool ModelAccepts(const std::string &text) {
  if (text.size() != 36) return false;
  for (size_t i = 0; i < 36; i++) {
    bool hyphen = i == 8 || i == 13 || i == 18 || i == 23;
    if (hyphen ? text[i] != '-' : !IsHex(text[i])) return false;
  }
  return true;
}

std::string Lower(std::string s) {
  for (char &c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // The text ends at the first zero byte, as a C string would.
  std::string text(reinterpret_cast<const char *>(data), size);
  text = text.substr(0, text.find('\0'));

  uuid_t uu;
  memset(uu, 0xA5, sizeof(uu));
  int rc = uuid_parse(text.c_str(), uu);
  if (rc != (ModelAccepts(text) ? 0 : -1)) abort();
  if (rc != 0) {
    for (unsigned char b : uu)
      if (b != 0xA5) abort();  // written although the text was refused
  } else {
    char printed[37 + 8];
    memset(printed, 'Z', sizeof(printed));
    if (uuid_to_string(uu, printed) != printed) abort();
    if (printed[36] != 0 || Lower(text) != printed) abort();
    for (size_t k = 37; k < sizeof(printed); k++)
      if (printed[k] != 'Z') abort();
    uuid_t again;
    if (uuid_parse(printed, again) != 0 || memcmp(uu, again, sizeof(uu)) != 0) abort();
    if (uuid_compare(uu, again) != 0) abort();
  }

  if (size >= 16) {
    uuid_t raw, back;
    memcpy(raw, data, 16);
    char printed[37];
    uuid_to_string(raw, printed);
    if (!ModelAccepts(printed) || Lower(printed) != printed) abort();
    if (uuid_parse(printed, back) != 0 || memcmp(raw, back, 16) != 0) abort();
  }
  return 0;
}
