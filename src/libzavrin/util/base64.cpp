// Base64 of RFC 4648 with the standard alphabet and "=" padding.
#include <zavrin/utils.h>

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

namespace zavrin {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Value 0..63 of each byte of the alphabet, -1 for every other byte ("=" included).
struct DecodeTable {
  signed char value[256];
  constexpr DecodeTable() : value() {
    for (int i = 0; i < 256; i++) value[i] = -1;
    for (int i = 0; i < 64; i++)
      value[static_cast<unsigned char>(kAlphabet[i])] = static_cast<signed char>(i);
  }
};

constexpr DecodeTable kDecode;

inline int Value(char ch) {
  return kDecode.value[static_cast<unsigned char>(ch)];
}

// The two characters of every 12-bit value, so that a group of three bytes
// becomes its four characters with two lookups.
struct PairTable {
  char pair[4096][2];
  constexpr PairTable() : pair() {
    for (int i = 0; i < 4096; i++) {
      pair[i][0] = kAlphabet[i >> 6];
      pair[i][1] = kAlphabet[i & 63];
    }
  }
};

constexpr PairTable kPairs;

// For each of the four positions in a group, every byte's value already shifted
// into its place in the group's 24 bits; a byte outside the alphabet sets
// kNotAlphabet, which no combination of valid characters reaches.
constexpr uint32_t kNotAlphabet = 0x80000000u;

struct PlacedTable {
  uint32_t placed[4][256];
  constexpr PlacedTable() : placed() {
    for (int pos = 0; pos < 4; pos++) {
      for (int ch = 0; ch < 256; ch++) {
        int value = kDecode.value[ch];
        placed[pos][ch] = value < 0 ? kNotAlphabet : static_cast<uint32_t>(value) << (18 - 6 * pos);
      }
    }
  }
};

constexpr PlacedTable kPlaced;

}  // namespace
}  // namespace zavrin

using zavrin::kAlphabet;
using zavrin::kNotAlphabet;
using zavrin::kPairs;
using zavrin::kPlaced;
using zavrin::Value;

void base64_encode(const char *in, size_t inlen, char *out, size_t outlen) {
  const unsigned char *src = reinterpret_cast<const unsigned char *>(in);
  size_t written = 0;
  // Emits one character unless the output is full; false once it is.
  auto put = [&](int value) {
    if (written == outlen) return false;
    out[written++] = value < 0 ? '=' : kAlphabet[value & 63];
    return true;
  };

  // Whole groups whose four characters fit go through the pair table; the rest,
  // a short last group or output about to be cut short, character by character.
  size_t groups = inlen / 3;
  if (groups > outlen / 4) groups = outlen / 4;
  for (size_t g = 0; g < groups; g++) {
    uint32_t bits =
        (static_cast<uint32_t>(src[0]) << 16) | (static_cast<uint32_t>(src[1]) << 8) | src[2];
    memcpy(out + written, kPairs.pair[bits >> 12], 2);
    memcpy(out + written + 2, kPairs.pair[bits & 0xFFF], 2);
    src += 3;
    written += 4;
  }
  inlen -= groups * 3;

  while (inlen > 0) {
    unsigned b0 = src[0];
    unsigned b1 = inlen > 1 ? src[1] : 0;
    unsigned b2 = inlen > 2 ? src[2] : 0;
    if (!put(b0 >> 2) || !put((b0 << 4) | (b1 >> 4)) ||
        !put(inlen > 1 ? static_cast<int>((b1 << 2) | (b2 >> 6)) : -1) ||
        !put(inlen > 2 ? static_cast<int>(b2) : -1))
      return;
    if (inlen <= 3) break;
    src += 3;
    inlen -= 3;
  }
  if (written < outlen) out[written] = 0;
}

size_t base64_encode_alloc(const char *in, size_t inlen, char **out) {
  // The length wraps only for inputs so large that the wrapped value falls below
  // the input length, which is what this test catches.
  size_t outlen = (inlen + 2) / 3 * 4 + 1;
  if (inlen > outlen) {
    *out = nullptr;
    return 0;
  }
  *out = static_cast<char *>(malloc(outlen));
  if (*out == nullptr) return outlen;
  base64_encode(in, inlen, *out, outlen);
  return outlen - 1;
}

int isbase64(char ch) {
  return Value(ch) >= 0 ? 1 : 0;
}

int base64_decode(const char *in, size_t inlen, char *out, size_t *outlen) {
  size_t outleft = *outlen;
  // Bytes beyond the capacity are dropped; they do not make the input invalid.
  auto put = [&](unsigned value) {
    if (outleft == 0) return;
    *out++ = static_cast<char>(value & 0xFF);
    outleft--;
  };

  // Groups that are not the last cannot hold padding: while one has room for its
  // three bytes, all four characters are looked up at once. A byte outside the
  // alphabet leaves the group to the exact rules below.
  const unsigned char *src = reinterpret_cast<const unsigned char *>(in);
  while (inlen > 4 && outleft >= 3) {
    uint32_t bits = kPlaced.placed[0][src[0]] | kPlaced.placed[1][src[1]] |
                    kPlaced.placed[2][src[2]] | kPlaced.placed[3][src[3]];
    if (bits & kNotAlphabet) break;
    out[0] = static_cast<char>(bits >> 16);
    out[1] = static_cast<char>(bits >> 8);
    out[2] = static_cast<char>(bits);
    out += 3;
    outleft -= 3;
    src += 4;
    inlen -= 4;
  }
  in = reinterpret_cast<const char *>(src);

  while (inlen >= 2) {
    if (!isbase64(in[0]) || !isbase64(in[1])) break;
    unsigned d0 = Value(in[0]), d1 = Value(in[1]);
    put((d0 << 2) | (d1 >> 4));
    if (inlen == 2) break;

    if (in[2] == '=') {
      // "xx==" is only valid as the very last group.
      if (inlen != 4 || in[3] != '=') break;
    } else {
      if (!isbase64(in[2])) break;
      unsigned d2 = Value(in[2]);
      put(((d1 << 4) & 0xF0) | (d2 >> 2));
      if (inlen == 3) break;
      if (in[3] == '=') {
        if (inlen != 4) break;
      } else {
        if (!isbase64(in[3])) break;
        put(((d2 << 6) & 0xC0) | Value(in[3]));
      }
    }
    in += 4;
    inlen -= 4;
  }

  *outlen -= outleft;
  return inlen == 0 ? 1 : 0;
}

int base64_decode_alloc(const char *in, size_t inlen, char **out, size_t *outlen) {
  // Room for every whole group plus the two bytes a trailing partial group can
  // give before it is found invalid.
  size_t needlen = 3 * (inlen / 4) + 2;
  *out = static_cast<char *>(malloc(needlen));
  if (*out == nullptr) return 1;
  if (!base64_decode(in, inlen, *out, &needlen)) {
    free(*out);
    *out = nullptr;
    return 0;
  }
  if (outlen != nullptr) *outlen = needlen;
  return 1;
}
