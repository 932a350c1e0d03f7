#include <zavrin.h>

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <stdlib.h>
#include <string.h>

#include <random>
#include <string>
#include <vector>

namespace {

struct Vector {
  const char *plain;
  const char *encoded;
};

// RFC 4648 section 10, and a few short texts besides.
const Vector kVectors[] = {
    {"", ""},
    {"f", "Zg=="},
    {"fo", "Zm8="},
    {"foo", "Zm9v"},
    {"foob", "Zm9vYg=="},
    {"fooba", "Zm9vYmE="},
    {"foobar", "Zm9vYmFy"},
    {"abc", "YWJj"},
    {"ab", "YWI="},
    {"a", "YQ=="},
};

std::string Encode(const std::string &plain) {
  char *out = nullptr;
  size_t len = base64_encode_alloc(plain.data(), plain.size(), &out);
  EXPECT_NE(nullptr, out);
  if (out == nullptr) return std::string();
  EXPECT_EQ(strlen(out), len);
  std::string text(out, len);
  free(out);
  return text;
}

// Independent reference: the crypto library's block encoder.
std::string ReferenceEncode(const std::string &plain) {
  std::vector<unsigned char> out(plain.size() / 3 * 4 + 8);
  int n = EVP_EncodeBlock(out.data(), reinterpret_cast<const unsigned char *>(plain.data()),
                          static_cast<int>(plain.size()));
  return std::string(reinterpret_cast<char *>(out.data()), n);
}

const size_t kGuard = 16;
const char kGuardByte = '\x5C';

// Decodes into a buffer of the given capacity followed by a guard region and
// fails the test if anything lands in the guard.
int DecodeGuarded(const std::string &text, size_t capacity, std::string *decoded) {
  std::vector<char> buffer(capacity + kGuard, kGuardByte);
  size_t outlen = capacity;
  int rc = base64_decode(text.data(), text.size(), buffer.data(), &outlen);
  EXPECT_LE(outlen, capacity);
  for (size_t i = capacity; i < buffer.size(); i++) EXPECT_EQ(kGuardByte, buffer[i]) << text;
  decoded->assign(buffer.data(), std::min(outlen, capacity));
  return rc;
}

std::string RandomBytes(size_t size, unsigned seed) {
  std::mt19937 gen(seed);
  std::string bytes(size, 0);
  for (auto &b : bytes) b = static_cast<char>(gen());
  return bytes;
}

}  // namespace

TEST(Base64Encode, KnownVectorsAndReference) {
  for (const Vector &v : kVectors) EXPECT_EQ(v.encoded, Encode(v.plain)) << v.plain;
  for (size_t len = 0; len < 200; len++) {
    std::string bytes = RandomBytes(len, static_cast<unsigned>(len));
    ASSERT_EQ(ReferenceEncode(bytes), Encode(bytes)) << len;
  }
}

TEST(Base64Encode, TruncatesAtOutlenWithoutOverrun) {
  char out[8];
  memset(out, 'x', sizeof(out));
  base64_encode("abc", 3, out, 4);
  EXPECT_EQ(0, memcmp(out, "YWJjx", 5));  // full, so no terminator
  memset(out, 'x', sizeof(out));
  base64_encode("abc", 3, out, 2);
  EXPECT_EQ(0, memcmp(out, "YWx", 3));

  const std::string text = "Zm9vYmE=";
  for (size_t outlen = 0; outlen <= text.size() + 2; outlen++) {
    std::vector<char> buffer(outlen + kGuard, kGuardByte);
    base64_encode("fooba", 5, buffer.data(), outlen);
    size_t n = std::min(outlen, text.size());
    EXPECT_EQ(text.substr(0, n), std::string(buffer.data(), n));
    if (outlen > text.size()) {
      EXPECT_EQ(0, buffer[text.size()]);
    }
    for (size_t i = std::max(outlen, n + (outlen > text.size() ? 1 : 0)); i < buffer.size(); i++)
      ASSERT_EQ(kGuardByte, buffer[i]) << outlen;
  }
}

TEST(Base64Encode, AllocOfNothingAndOverflow) {
  char *out = reinterpret_cast<char *>(1);
  EXPECT_EQ(0u, base64_encode_alloc("", 0, &out));
  ASSERT_NE(nullptr, out);
  EXPECT_EQ(0, out[0]);
  free(out);

  // Lengths whose encoded size does not fit: reported before anything is read.
  for (size_t inlen : {SIZE_MAX, SIZE_MAX - 1, SIZE_MAX / 4 * 3 + 3}) {
    out = reinterpret_cast<char *>(1);
    EXPECT_EQ(0u, base64_encode_alloc("", inlen, &out)) << inlen;
    EXPECT_EQ(nullptr, out);
  }
}

TEST(Base64, IsBase64) {
  EXPECT_EQ(0, isbase64('='));
  EXPECT_EQ(0, isbase64(' '));
  EXPECT_EQ(0, isbase64('\0'));
  EXPECT_EQ(0, isbase64('\xC3'));
  EXPECT_EQ(1, isbase64('+'));
  EXPECT_EQ(1, isbase64('/'));
  int count = 0;
  for (int c = -128; c < 128; c++) count += isbase64(static_cast<char>(c));
  EXPECT_EQ(64, count);
}

TEST(Base64Decode, KnownVectors) {
  for (const Vector &v : kVectors) {
    std::string decoded;
    EXPECT_EQ(1, DecodeGuarded(v.encoded, 16, &decoded)) << v.encoded;
    EXPECT_EQ(v.plain, decoded);
  }
}

TEST(Base64Decode, ShortAndMisplacedPadding) {
  std::string decoded;
  EXPECT_EQ(0, DecodeGuarded("YQ", 16, &decoded));
  EXPECT_EQ("a", decoded);
  EXPECT_EQ(0, DecodeGuarded("YQ=", 16, &decoded));
  EXPECT_EQ("a", decoded);
  EXPECT_EQ(0, DecodeGuarded("YQ==YQ==", 16, &decoded));
  EXPECT_EQ("a", decoded);
  EXPECT_EQ(0, DecodeGuarded("YWJj\n", 16, &decoded));
  EXPECT_EQ("abc", decoded);
  EXPECT_EQ(0, DecodeGuarded("YWJ=YWJj", 16, &decoded));
  EXPECT_EQ("ab", decoded);
  EXPECT_EQ(0, DecodeGuarded("Y", 16, &decoded));
  EXPECT_EQ("", decoded);
  EXPECT_EQ(0, DecodeGuarded("YQ=x", 16, &decoded));
  EXPECT_EQ("a", decoded);
}

TEST(Base64Decode, DropsWhatExceedsCapacity) {
  std::string decoded;
  for (size_t capacity = 0; capacity <= 7; capacity++) {
    EXPECT_EQ(1, DecodeGuarded("Zm9vYmFy", capacity, &decoded));
    EXPECT_EQ(std::string("foobar").substr(0, capacity), decoded);
  }
}

TEST(Base64Decode, EveryTruncationStaysInBounds) {
  std::string plain = RandomBytes(40, 7);
  std::string text = ReferenceEncode(plain);
  for (size_t len = 0; len <= text.size(); len++) {
    std::string prefix = text.substr(0, len);
    for (size_t capacity : {size_t(0), size_t(1), len * 3 / 4, len * 3 / 4 + 2, size_t(64)}) {
      std::string decoded;
      int rc = DecodeGuarded(prefix, capacity, &decoded);
      EXPECT_EQ(len % 4 == 0 ? 1 : 0, rc) << len;
      // Whatever was written is the start of the original bytes.
      EXPECT_EQ(plain.substr(0, decoded.size()), decoded) << len << " " << capacity;
      if (capacity == 64) {
        size_t whole = len / 4 * 3 + (len % 4 == 0 ? 0 : len % 4 - 1);
        EXPECT_EQ(std::min(whole, plain.size()), decoded.size());
      }
    }
  }
}

TEST(Base64Decode, InvalidCharacterAtEveryPosition) {
  std::string plain = RandomBytes(30, 9);
  std::string text = ReferenceEncode(plain);
  for (char bad : {' ', '\n', '=', '-', '\0', '\xFF', '.'}) {
    for (size_t pos = 0; pos < text.size(); pos++) {
      std::string broken = text;
      broken[pos] = bad;
      // A last character of "=" completes a valid two-byte group.
      if (bad == '=' && pos == text.size() - 1) continue;
      for (size_t capacity : {size_t(3), size_t(64)}) {
        std::string decoded;
        EXPECT_EQ(0, DecodeGuarded(broken, capacity, &decoded)) << pos;
        EXPECT_EQ(plain.substr(0, decoded.size()), decoded) << pos;
        // The groups before the bad one are all decoded.
        if (capacity == 64) {
          EXPECT_GE(decoded.size(), pos / 4 * 3) << pos;
        }
      }
    }
  }
}

TEST(Base64DecodeAlloc, ValidAndInvalid) {
  char *out = nullptr;
  size_t outlen = 99;
  EXPECT_EQ(1, base64_decode_alloc("YWJj", 4, &out, &outlen));
  ASSERT_NE(nullptr, out);
  EXPECT_EQ(3u, outlen);
  EXPECT_EQ(0, memcmp(out, "abc", 3));
  free(out);

  EXPECT_EQ(1, base64_decode_alloc("", 0, &out, nullptr));
  EXPECT_NE(nullptr, out);
  free(out);

  outlen = 99;
  for (const char *bad : {"YQ", "YQ=", "YWJjYWI", "YWJj*", "YQ==YQ=="}) {
    out = reinterpret_cast<char *>(1);
    EXPECT_EQ(0, base64_decode_alloc(bad, strlen(bad), &out, &outlen)) << bad;
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(99u, outlen);
  }

  std::string plain = RandomBytes(1000, 3);
  std::string text = ReferenceEncode(plain);
  EXPECT_EQ(1, base64_decode_alloc(text.data(), text.size(), &out, &outlen));
  ASSERT_NE(nullptr, out);
  EXPECT_EQ(plain, std::string(out, outlen));
  free(out);
}
