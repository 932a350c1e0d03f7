// MatchString against the plainly written reference matcher on any pattern and
// text, with and without match case.
#include <zavrin/utils.h>

#include <stdint.h>
#include <stdlib.h>

#include <string>

#include "match_string_reference.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  // The first byte's low bit is the match-case flag; then the pattern and the
  // text, separated by a zero byte (anything after a second zero is unused).
  bool matchCase = (data[0] & 1) != 0;
  std::string rest(reinterpret_cast<const char *>(data + 1), size - 1);
  size_t cut = rest.find('\0');
  std::string pattern = rest.substr(0, cut);
  std::string text = cut == std::string::npos ? std::string() : rest.substr(cut + 1);
  text = text.substr(0, text.find('\0'));

  bool expected = zavrin_reference::Match(pattern, text, matchCase);
  BOOL result = MatchString(pattern.c_str(), text.c_str(), matchCase ? TRUE : FALSE);
  if (result != (expected ? TRUE : FALSE)) abort();
  return 0;
}
