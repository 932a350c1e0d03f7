// The text rewriters checked against straightforward models written here:
// EscapeStringForXML, String::Translate and String::EscapeCharacter. The input is
// split at the first two 0xFF bytes into a text, a search text and a replacement
// (Translate), whose first bytes are also the escaped and the escape character.
#include <zavrin.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

namespace {

std::string XmlModel(const std::string &text) {
  std::string out;
  for (unsigned char c : text) {
    if (c == 0) break;
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      default:
        if (c < 0x20) {
          char ref[8];
          snprintf(ref, sizeof(ref), "&#x%02X;", c);
          out += ref;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out;
}

// Left to right, matches never overlap, inserted text is never searched again.
std::string TranslateModel(const std::string &text, const std::string &from,
                           const std::string &to) {
  if (from.empty()) return text;
  std::string out;
  size_t p = 0;
  while (p < text.size()) {
    if (text.compare(p, from.size(), from) == 0 && p + from.size() <= text.size()) {
      out += to;
      p += from.size();
    } else {
      out += text[p++];
    }
  }
  return out;
}

// Only the text before its first zero byte is scanned; bytes compare as signed.
std::string EscapeModel(const std::string &text, int ch, int esc) {
  size_t scanEnd = text.find('\0');
  if (scanEnd == std::string::npos) scanEnd = text.size();
  std::string out;
  for (size_t i = 0; i < text.size(); i++) {
    if (i < scanEnd && static_cast<signed char>(text[i]) == ch) out += static_cast<char>(esc);
    out += text[i];
  }
  return out;
}

std::string Contents(const String &s) {
  return std::string(static_cast<const char *>(s), s.Size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string input(reinterpret_cast<const char *>(data), size);
  size_t cut1 = input.find('\xff');
  size_t cut2 = cut1 == std::string::npos ? cut1 : input.find('\xff', cut1 + 1);
  std::string text = input.substr(0, cut1);
  std::string from = cut1 == std::string::npos ? "" : input.substr(cut1 + 1, cut2 - cut1 - 1);
  std::string to = cut2 == std::string::npos ? "" : input.substr(cut2 + 1);
  // The search and replacement texts end at a zero byte, as C strings do.
  from = from.substr(0, from.find('\0'));
  to = to.substr(0, to.find('\0'));

  // Length -1 (up to the zero) and the exact length agree with the model.
  char *escaped = EscapeStringForXML(text.c_str(), static_cast<int>(text.size()));
  if (escaped == nullptr || XmlModel(text) != escaped) abort();
  free(escaped);
  escaped = EscapeStringForXML(text.c_str(), -1);
  if (escaped == nullptr || XmlModel(text) != escaped) abort();
  free(escaped);

  String s;
  s.AddString(text.data(), static_cast<DWORD>(text.size()));
  s.Translate(from.c_str(), to.c_str());
  if (Contents(s) != TranslateModel(text, from, to)) abort();

  int ch = from.empty() ? 'a' : static_cast<signed char>(from[0]);
  int esc = to.empty() ? '\\' : static_cast<signed char>(to[0]);
  String e;
  e.AddString(text.data(), static_cast<DWORD>(text.size()));
  e.EscapeCharacter(ch, esc);
  if (Contents(e) != EscapeModel(text, ch, esc)) abort();
  return 0;
}
