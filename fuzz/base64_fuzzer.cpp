// Feeds arbitrary text to the Base64 coder with varying capacities and checks
// every result against a plain character-at-a-time model: the same characters,
// the same bytes, counts and result codes, nothing written outside the buffer.
// Besides the raw input it decodes the input's encoding, whole and with one
// character replaced, so that long valid runs and late faults are covered too.
#include <zavrin/utils.h>

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
const char kGuardByte = '\x5C';
const size_t kGuard = 32;

int ModelValue(char ch) {
  const char *at = ch == 0 ? nullptr : strchr(kAlphabet, ch);
  return at == nullptr ? -1 : static_cast<int>(at - kAlphabet);
}

// The characters base64_encode writes into outlen bytes, terminator included.
std::string ModelEncode(const std::string &in, size_t outlen) {
  std::string out;
  for (size_t i = 0; i < in.size(); i += 3) {
    size_t left = in.size() - i;
    unsigned b0 = static_cast<unsigned char>(in[i]);
    unsigned b1 = left > 1 ? static_cast<unsigned char>(in[i + 1]) : 0;
    unsigned b2 = left > 2 ? static_cast<unsigned char>(in[i + 2]) : 0;
    out += kAlphabet[b0 >> 2];
    out += kAlphabet[((b0 << 4) | (b1 >> 4)) & 63];
    out += left > 1 ? kAlphabet[((b1 << 2) | (b2 >> 6)) & 63] : '=';
    out += left > 2 ? kAlphabet[b2 & 63] : '=';
  }
  if (out.size() < outlen) return out + '\0';
  return out.substr(0, outlen);
}

struct Decoded {
  int rc;
  std::string bytes;  // what lands in the buffer
};

Decoded ModelDecode(const std::string &in, size_t capacity) {
  Decoded d{0, std::string()};
  auto put = [&](unsigned byte) {
    if (d.bytes.size() < capacity) d.bytes += static_cast<char>(byte);
  };
  size_t i = 0;
  while (in.size() - i >= 2) {
    size_t left = in.size() - i;
    int v0 = ModelValue(in[i]), v1 = ModelValue(in[i + 1]);
    if (v0 < 0 || v1 < 0) break;
    put((static_cast<unsigned>(v0) << 2) | (static_cast<unsigned>(v1) >> 4));
    if (left == 2) break;
    if (in[i + 2] == '=') {
      if (left != 4 || in[i + 3] != '=') break;
    } else {
      int v2 = ModelValue(in[i + 2]);
      if (v2 < 0) break;
      put(((static_cast<unsigned>(v1) << 4) & 0xF0) | (static_cast<unsigned>(v2) >> 2));
      if (left == 3) break;
      if (in[i + 3] == '=') {
        if (left != 4) break;
      } else {
        int v3 = ModelValue(in[i + 3]);
        if (v3 < 0) break;
        put(((static_cast<unsigned>(v2) << 6) & 0xC0) | static_cast<unsigned>(v3));
      }
    }
    i += 4;
  }
  d.rc = i == in.size() ? 1 : 0;
  return d;
}

void CheckEncode(const std::string &in, size_t outlen) {
  std::vector<char> out(outlen + kGuard, kGuardByte);
  base64_encode(in.data(), in.size(), out.data(), outlen);
  std::string expected = ModelEncode(in, outlen);
  if (memcmp(out.data(), expected.data(), expected.size()) != 0) abort();
  for (size_t i = expected.size(); i < out.size(); i++)
    if (out[i] != kGuardByte) abort();
}

void CheckDecode(const std::string &text, size_t capacity) {
  std::vector<char> out(capacity + kGuard, kGuardByte);
  size_t outlen = capacity;
  int rc = base64_decode(text.data(), text.size(), out.data(), &outlen);
  Decoded expected = ModelDecode(text, capacity);
  if (rc != expected.rc || outlen != expected.bytes.size()) abort();
  if (memcmp(out.data(), expected.bytes.data(), outlen) != 0) abort();
  for (size_t i = outlen; i < out.size(); i++)
    if (out[i] != kGuardByte) abort();

  char *decoded = nullptr;
  size_t decodedLen = 0;
  int allocRc = base64_decode_alloc(text.data(), text.size(), &decoded, &decodedLen);
  Decoded whole = ModelDecode(text, text.size());
  if (allocRc != whole.rc || (decoded == nullptr) != (whole.rc == 0)) abort();
  if (decoded != nullptr &&
      (decodedLen != whole.bytes.size() || memcmp(decoded, whole.bytes.data(), decodedLen) != 0))
    abort();
  free(decoded);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  // The first byte picks the capacity; the rest is the text.
  size_t capacity = data[0];
  std::string text(reinterpret_cast<const char *>(data + 1), size - 1);

  CheckDecode(text, capacity);
  CheckEncode(text, capacity);
  CheckEncode(text, (text.size() + 2) / 3 * 4 + 1);

  char *encoded = nullptr;
  size_t encodedLen = base64_encode_alloc(text.data(), text.size(), &encoded);
  if (encoded == nullptr) return 0;
  std::string expected = ModelEncode(text, encodedLen + 1);
  if (encodedLen + 1 != expected.size() || memcmp(encoded, expected.data(), expected.size()) != 0)
    abort();
  std::string valid(encoded, encodedLen);
  free(encoded);

  // Any bytes survive an encode and decode.
  CheckDecode(valid, valid.size());
  CheckDecode(valid, capacity);
  Decoded back = ModelDecode(valid, valid.size());
  if (back.rc != 1 || back.bytes != text) abort();
  // One character replaced by the capacity byte, where the capacity byte says.
  if (!valid.empty()) {
    valid[capacity * 131 % valid.size()] = static_cast<char>(data[0]);
    CheckDecode(valid, valid.size());
    CheckDecode(valid, capacity);
  }
  return 0;
}
