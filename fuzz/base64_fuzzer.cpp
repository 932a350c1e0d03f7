// Feeds arbitrary text to the Base64 decoder with varying capacities and checks
// that it stays inside them, and that whatever is encoded decodes back.
#include <zavrin/utils.h>

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  // The first byte picks the capacity; the rest is the text.
  size_t capacity = data[0];
  const char *text = reinterpret_cast<const char *>(data + 1);
  size_t textLen = size - 1;

  const size_t kGuard = 32;
  std::vector<char> out(capacity + kGuard, '\x5C');
  size_t outlen = capacity;
  int rc = base64_decode(text, textLen, out.data(), &outlen);
  if (outlen > capacity) abort();
  for (size_t i = capacity; i < out.size(); i++)
    if (out[i] != '\x5C') abort();

  char *decoded = nullptr;
  size_t decodedLen = 0;
  int allocRc = base64_decode_alloc(text, textLen, &decoded, &decodedLen);
  if (allocRc != rc) abort();
  if (decoded != nullptr) {
    if (decodedLen > textLen / 4 * 3) abort();
    if (memcmp(decoded, out.data(), decodedLen < outlen ? decodedLen : outlen) != 0) abort();
  }
  free(decoded);

  // Any bytes survive an encode and decode.
  char *encoded = nullptr;
  size_t encodedLen = base64_encode_alloc(text, textLen, &encoded);
  if (encoded == nullptr) return 0;
  if (encodedLen != strlen(encoded) || encodedLen != (textLen + 2) / 3 * 4) abort();
  char *back = nullptr;
  size_t backLen = 0;
  if (base64_decode_alloc(encoded, encodedLen, &back, &backLen) != 1 || back == nullptr) abort();
  if (backLen != textLen || memcmp(back, text, textLen) != 0) abort();
  free(back);
  free(encoded);
  return 0;
}
