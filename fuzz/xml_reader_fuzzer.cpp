// Reads arbitrary text as the XML form of a message; whatever is read must write
// out again and read back to the same document.
#include <zavrin/message.h>

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

namespace {

// True if the document holds a reference to a control byte that XML 1.0 does not
// allow (anything below 0x20 but TAB, LF and CR): the reader stops there.
bool HasForbiddenReference(const char *xml) {
  for (const char *p = strstr(xml, "&#x"); p != nullptr; p = strstr(p + 3, "&#x")) {
    unsigned value = static_cast<unsigned>(strtoul(p + 3, nullptr, 16));
    if (value < 0x20 && value != 0x09 && value != 0x0A && value != 0x0D) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string text(reinterpret_cast<const char *>(data), size);  // adds the terminator
  CSCPMessage message(text.c_str());
  char *xml = message.CreateXML();
  if (xml == nullptr) return 0;
  // Strings that carry control bytes XML cannot hold stop the second reading early;
  // every other document must come back the same.
  CSCPMessage again(static_cast<const char *>(xml));
  char *xml2 = again.CreateXML();
  if (xml2 != nullptr && !HasForbiddenReference(xml) && strcmp(xml, xml2) != 0) abort();
  free(xml2);
  free(xml);
  return 0;
}
