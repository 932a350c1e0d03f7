// Encrypted messages, checked against OpenSSL used directly and zlib's CRC-32.
#include <zavrin.h>

#include <gtest/gtest.h>
#include <stdlib.h>
#include <zlib.h>

#include <thread>

#include "crypto_test_util.h"
#include "test_support.h"

using namespace crypto_test;

namespace {

const unsigned char kIv[16] = {0x10, 0x21, 0x32, 0x43, 0x54, 0x65, 0x76, 0x87,
                               0x98, 0xA9, 0xBA, 0xCB, 0xDC, 0xED, 0xFE, 0x0F};

Bytes KeyBytes(size_t length, unsigned seed) {
  Bytes key(length);
  for (size_t i = 0; i < length; i++) key[i] = static_cast<unsigned char>(seed + i * 13);
  return key;
}

// Encrypts through the library and returns the block's size bytes.
Bytes Encrypt(TestSession &session, Bytes plain) {
  ENCRYPTED_MESSAGE *block =
      CSCPEncryptMessage(&session.ctx, reinterpret_cast<CSCP_MESSAGE *>(plain.data()));
  if (block == nullptr) return Bytes();
  const unsigned char *p = reinterpret_cast<const unsigned char *>(block);
  Bytes out(p, p + GetBE32(p + 4));
  free(block);
  return out;
}

// Decrypts in buffers of exactly the sizes the contract asks for, so that the
// sanitizers see any read or write past them. *result holds the message buffer
// afterwards.
BOOL Decrypt(TestSession &session, const Bytes &message, Bytes *result = nullptr,
             Bytes *work = nullptr) {
  Bytes buffer(message);
  Bytes ownWork;
  if (work == nullptr) {
    ownWork.resize(message.size() + 16);
    work = &ownWork;
  }
  BOOL ok = CSCPDecryptMessage(&session.ctx, reinterpret_cast<ENCRYPTED_MESSAGE *>(buffer.data()),
                               work->data());
  if (result != nullptr) *result = buffer;
  return ok;
}

std::vector<const KnownCipher *> AvailableCiphers() {
  std::vector<const KnownCipher *> list;
  DWORD mask = OpenSslCiphers();
  for (const KnownCipher &known : kCiphers)
    if (mask & (1u << known.id)) list.push_back(&known);
  return list;
}

int CipherKeyLength(const KnownCipher &known) {
  // What each cipher is keyed with: its default key length.
  return known.id == CIPHER_BLOWFISH ? 16 : static_cast<int>(known.sessionKeyLength);
}

}  // namespace

TEST(EncryptedMessage, SizesFollowTheCipherBlocks) {
  TestSession aes(CIPHER_AES_256, KeyBytes(32, 1), kIv);
  // 16-byte message: 24 bytes of plaintext become 32.
  Bytes e = Encrypt(aes, PlainMessage(16));
  ASSERT_EQ(40u, e.size());
  EXPECT_EQ(0x00, e[0]);
  EXPECT_EQ(131, e[1]);
  EXPECT_EQ(0, e[2]);  // padding
  EXPECT_EQ(0, e[3]);  // reserved
  EXPECT_EQ(40u, GetBE32(&e[4]));
  // 40-byte message: 48 bytes of plaintext become 64 under AES, 56 under 3DES.
  EXPECT_EQ(72u, Encrypt(aes, PlainMessage(40)).size());
  TestSession des(CIPHER_TRIPLE_DES, KeyBytes(24, 2), kIv);
  e = Encrypt(des, PlainMessage(40));
  EXPECT_EQ(64u, e.size());
  EXPECT_EQ(0, e[2]);
}

TEST(EncryptedMessage, PayloadDecryptsWithPlainOpenSsl) {
  for (const KnownCipher *known : AvailableCiphers()) {
    SCOPED_TRACE(known->name);
    TestSession session(known->id, KeyBytes(known->sessionKeyLength, 5), kIv);
    Bytes plain = PlainMessage(104, 0x0008, 3);
    Bytes e = Encrypt(session, plain);
    ASSERT_GE(e.size(), 8u);
    EXPECT_EQ(e.size() % 8, 0u);
    Bytes payload(e.begin() + 8, e.end() - e[2]), out;
    ASSERT_TRUE(EvpCrypt(known->name, false, session.key.data(), CipherKeyLength(*known), kIv,
                         payload, &out));
    ASSERT_EQ(8 + plain.size(), out.size());
    uLong crc = crc32(0L, plain.data(), static_cast<uInt>(plain.size()));
    EXPECT_EQ(crc, GetBE32(&out[0]));
    EXPECT_EQ(0u, GetBE32(&out[4]));
    EXPECT_EQ(zavrin_test::ToHex(plain.data(), plain.size()),
              zavrin_test::ToHex(&out[8], plain.size()));
  }
}

TEST(EncryptedMessage, BlowfishUsesTheFirstSixteenKeyBytes) {
  TestSession session(CIPHER_BLOWFISH, KeyBytes(32, 9), kIv);
  Bytes plain = PlainMessage(48);
  Bytes e = Encrypt(session, plain);
  Bytes payload(e.begin() + 8, e.end() - e[2]), out;
  // Keyed with all 32 bytes, the payload does not decrypt to the message.
  bool full = EvpCrypt("BF-CBC", false, session.key.data(), 32, kIv, payload, &out);
  EXPECT_FALSE(full && out.size() == 8 + plain.size() && memcmp(&out[8], plain.data(), 48) == 0);
  ASSERT_TRUE(EvpCrypt("BF-CBC", false, session.key.data(), 16, kIv, payload, &out));
  EXPECT_EQ(0, memcmp(&out[8], plain.data(), plain.size()));
  // And a message made by a peer that keys with 16 bytes decrypts here.
  Bytes prefixed(8, 0);
  PutBE32(&prefixed[0], static_cast<uint32_t>(crc32(0L, plain.data(), 48)));
  prefixed.insert(prefixed.end(), plain.begin(), plain.end());
  Bytes cipherText;
  ASSERT_TRUE(EvpCrypt("BF-CBC", true, session.key.data(), 16, kIv, prefixed, &cipherText));
  Bytes expected(e.begin(), e.begin() + 8);
  expected.insert(expected.end(), cipherText.begin(), cipherText.end());
  EXPECT_EQ(expected, e);
}

// An encrypted message built by hand: header, then EVP output of the prefix and the
// plain message, the prefix's reserved word and the header's reserved byte as given.
Bytes HandMade(const KnownCipher &known, const Bytes &key, const Bytes &plain,
               uint32_t prefixReserved, unsigned char headerReserved) {
  Bytes prefixed(8, 0);
  PutBE32(&prefixed[0], static_cast<uint32_t>(crc32(0L, plain.data(), plain.size())));
  PutBE32(&prefixed[4], prefixReserved);
  prefixed.insert(prefixed.end(), plain.begin(), plain.end());
  Bytes cipherText;
  EXPECT_TRUE(
      EvpCrypt(known.name, true, key.data(), CipherKeyLength(known), kIv, prefixed, &cipherText));
  Bytes m(8, 0);
  m[1] = 131;
  m[3] = headerReserved;
  m.insert(m.end(), cipherText.begin(), cipherText.end());
  PutBE32(&m[4], static_cast<uint32_t>(m.size()));
  return m;
}

// The clear header and the cipher output of the given plaintext (prefix and
// message as the test builds them), under the cipher's default key length.
Bytes Wrap(const KnownCipher &known, const Bytes &key, const Bytes &plaintext, unsigned code) {
  Bytes cipherText;
  EXPECT_TRUE(
      EvpCrypt(known.name, true, key.data(), CipherKeyLength(known), kIv, plaintext, &cipherText));
  Bytes m(8, 0);
  PutBE16(&m[0], code);
  m.insert(m.end(), cipherText.begin(), cipherText.end());
  PutBE32(&m[4], static_cast<uint32_t>(m.size()));
  return m;
}

// The prefix (CRC-32 of the first crcLength message bytes) and the message.
Bytes Prefixed(const Bytes &message, size_t crcLength) {
  Bytes p(8, 0);
  PutBE32(&p[0], static_cast<uint32_t>(crc32(0L, message.data(), static_cast<uInt>(crcLength))));
  p.insert(p.end(), message.begin(), message.end());
  return p;
}

// The message's size and checksum decide, not the code field nor the cipher's
// padding check; the size field is in host order afterwards either way.
TEST(EncryptedMessage, DecidedBySizeAndChecksum) {
  for (const KnownCipher *known : AvailableCiphers()) {
    SCOPED_TRACE(known->name);
    TestSession session(known->id, KeyBytes(known->sessionKeyLength, 21), kIv);
    Bytes plain = PlainMessage(56, 0, 8);  // 64 bytes with the prefix: whole blocks
    Bytes longer = plain;
    longer.insert(longer.end(), 24, 0x77);  // decrypts to more than the message
    Bytes tiny = PlainMessage(16);
    PutBE32(&tiny[4], 8);
    Bytes lastBlockDamaged = Wrap(*known, session.key, Prefixed(plain, 56), 131);
    lastBlockDamaged[lastBlockDamaged.size() - 1] ^= 0x5A;
    Bytes otherCodeDamaged = Wrap(*known, session.key, Prefixed(plain, 56), 0x1234);
    otherCodeDamaged[12] ^= 0x01;
    const struct {
      const char *name;
      Bytes message;
      BOOL result;
    } cases[] = {
        {"padding-only last block damaged", lastBlockDamaged, TRUE},
        {"plaintext beyond the message", Wrap(*known, session.key, Prefixed(longer, 56), 131),
         TRUE},
        {"code other than 131", Wrap(*known, session.key, Prefixed(plain, 56), 0x1234), TRUE},
        {"code other than 131, damaged", otherCodeDamaged, FALSE},
        {"size below 16", Wrap(*known, session.key, Prefixed(tiny, 8), 131), FALSE},
    };
    for (const auto &c : cases) {
      SCOPED_TRACE(c.name);
      Bytes result;
      ASSERT_EQ(c.result, Decrypt(session, c.message, &result));
      if (c.result == TRUE) {
        EXPECT_EQ(plain, Bytes(result.begin(), result.begin() + 56));
      } else {
        uint32_t field;
        memcpy(&field, &result[4], 4);
        EXPECT_EQ(c.message.size(), field);
      }
    }
  }
}

TEST(EncryptedMessage, RoundTripsByteForByte) {
  for (const KnownCipher *known : AvailableCiphers()) {
    SCOPED_TRACE(known->name);
    TestSession session(known->id, KeyBytes(known->sessionKeyLength, 7), kIv);
    for (uint32_t size : {16u, 24u, 40u, 1000u, 65536u}) {
      Bytes plain = PlainMessage(size, 0, size);
      Bytes e = Encrypt(session, plain);
      // No state runs from one message to the next.
      EXPECT_EQ(e, Encrypt(session, plain));
      Bytes result;
      ASSERT_EQ(TRUE, Decrypt(session, e, &result)) << size;
      EXPECT_EQ(plain, Bytes(result.begin(), result.begin() + size));
    }
    // Neither reserved field is looked at on receipt.
    Bytes plain = PlainMessage(32);
    Bytes result;
    ASSERT_EQ(TRUE,
              Decrypt(session, HandMade(*known, session.key, plain, 0xDEADBEEF, 0x5A), &result));
    EXPECT_EQ(plain, Bytes(result.begin(), result.begin() + 32));
    // Padding bytes after the cipher output, counted in the header, are skipped.
    Bytes padded = HandMade(*known, session.key, plain, 0, 0);
    padded.insert(padded.end(), 8, 0xEE);
    padded[2] = 8;
    PutBE32(&padded[4], static_cast<uint32_t>(padded.size()));
    ASSERT_EQ(TRUE, Decrypt(session, padded, &result));
    EXPECT_EQ(plain, Bytes(result.begin(), result.begin() + 32));
  }
}

TEST(EncryptedMessage, NoEncryptionFlagGivesAPlainCopy) {
  Bytes plain = PlainMessage(40, 0x0004 | 0x0010);
  TestSession aes(CIPHER_AES_256, KeyBytes(32, 1), kIv);
  TestSession idea(CIPHER_IDEA, KeyBytes(16, 1), kIv);
  EXPECT_EQ(plain, Encrypt(aes, plain));
  EXPECT_EQ(plain, Encrypt(idea, plain));
  ENCRYPTED_MESSAGE *copy =
      CSCPEncryptMessage(nullptr, reinterpret_cast<CSCP_MESSAGE *>(plain.data()));
  ASSERT_NE(nullptr, copy);
  EXPECT_EQ(0, memcmp(copy, plain.data(), plain.size()));
  free(copy);
}

TEST(EncryptedMessage, CipherWithoutTableEntryIsRefused) {
  Bytes plain = PlainMessage(40);
  TestSession aes(CIPHER_AES_256, KeyBytes(32, 1), kIv);
  Bytes e = Encrypt(aes, plain);
  for (DWORD cipher : {5u, 0xFFFFFFFFu}) {
    TestSession bad(cipher, KeyBytes(32, 1), kIv);
    EXPECT_TRUE(Encrypt(bad, plain).empty());
    Bytes result;
    EXPECT_EQ(FALSE, Decrypt(bad, e, &result));
    EXPECT_EQ(e, result);  // untouched, size field included
  }
  if ((OpenSslCiphers() & (1u << CIPHER_IDEA)) == 0) {
    TestSession idea(CIPHER_IDEA, KeyBytes(16, 1), kIv);
    EXPECT_TRUE(Encrypt(idea, plain).empty());
    Bytes result;
    EXPECT_EQ(FALSE, Decrypt(idea, e, &result));
    EXPECT_EQ(e, result);
  }
  // A key shorter than the cipher reads is never read past its end.
  TestSession shortKey(CIPHER_AES_256, KeyBytes(16, 1), kIv);
  EXPECT_TRUE(Encrypt(shortKey, plain).empty());
  EXPECT_EQ(FALSE, Decrypt(shortKey, e));
}

TEST(EncryptedMessage, EveryChangedByteIsRefused) {
  for (const KnownCipher *known : AvailableCiphers()) {
    SCOPED_TRACE(known->name);
    TestSession session(known->id, KeyBytes(known->sessionKeyLength, 11), kIv);
    const Bytes e = Encrypt(session, PlainMessage(56, 0, 4));
    for (size_t pos = 0; pos < e.size(); pos++) {
      for (int delta = 1; delta < 256; delta++) {
        Bytes changed(e);
        changed[pos] ^= delta;
        uint32_t size = GetBE32(&changed[4]);
        // The receiver hands over as many bytes as the size field says: past a
        // sane maximum it never gets this far.
        if (size > 1u << 16) continue;
        changed.resize(std::max<size_t>(size, 8), 0);
        Bytes result;
        BOOL ok = Decrypt(session, changed, &result);
        // The prefix and the message fill whole blocks here, so the last block
        // holds only cipher padding: damage there harms no byte of the message.
        bool paddingBlock = pos >= e.size() - static_cast<size_t>(known->blockSize);
        // A size field grown by whole blocks appends blocks after the message,
        // whose decrypted bytes are dropped.
        bool grown = pos >= 4 && pos <= 7 && size > e.size() &&
                     (size - 8) % static_cast<uint32_t>(known->blockSize) == 0;
        // Neither the code nor the reserved byte is looked at on receipt.
        if (pos <= 1 || pos == 3 || paddingBlock || grown) {
          EXPECT_EQ(TRUE, ok) << "byte " << pos << " ^ " << int(delta);
        } else {
          EXPECT_EQ(FALSE, ok) << "byte " << pos << " ^ " << int(delta);
        }
      }
    }
    // Truncated by whole blocks, the size field saying so.
    for (size_t cut = 8; cut < e.size() - 8; cut += 8) {
      Bytes truncated(e.begin(), e.end() - cut);
      PutBE32(&truncated[4], static_cast<uint32_t>(truncated.size()));
      EXPECT_EQ(FALSE, Decrypt(session, truncated)) << "cut " << cut;
    }
  }
}

TEST(EncryptedMessage, OtherKeysAndSessionsAreRefused) {
  TestSession a(CIPHER_AES_256, KeyBytes(32, 1), kIv);
  TestSession otherKey(CIPHER_AES_256, KeyBytes(32, 2), kIv);
  unsigned char otherIv[16];
  memcpy(otherIv, kIv, 16);
  otherIv[0] ^= 1;
  TestSession otherIvSession(CIPHER_AES_256, KeyBytes(32, 1), otherIv);
  TestSession otherCipher(CIPHER_TRIPLE_DES, KeyBytes(24, 1), kIv);
  for (uint32_t size : {16u, 40u, 200u}) {
    Bytes e = Encrypt(a, PlainMessage(size));
    // A refusal is the result alone: the cipher's failed padding check stays out
    // of the caller's error queue.
    BOOL results[3] = {TRUE, TRUE, TRUE};
    EXPECT_TRUE(KeepsTheErrorQueue([&] {
      results[0] = Decrypt(otherKey, e);
      results[1] = Decrypt(otherIvSession, e);
      results[2] = Decrypt(otherCipher, e);
    })) << size;
    EXPECT_EQ(FALSE, results[0]);
    EXPECT_EQ(FALSE, results[1]);
    EXPECT_EQ(FALSE, results[2]);
  }
}

TEST(EncryptedMessage, ChecksLookOnlyAtBytesTheCipherProduced) {
  TestSession session(CIPHER_AES_256, KeyBytes(32, 3), kIv);
  const KnownCipher &aes = kCiphers[CIPHER_AES_256];
  // A work buffer that still holds a good message from an earlier call.
  Bytes earlier = Encrypt(session, PlainMessage(40));
  Bytes work(earlier.size() + 16);
  ASSERT_EQ(TRUE, Decrypt(session, earlier, nullptr, &work));

  // Padding that leaves no encrypted bytes: nothing is decrypted, so the earlier
  // message must not pass for this one.
  Bytes empty(earlier.begin(), earlier.end());
  empty[2] = static_cast<unsigned char>(empty.size() - 8);
  EXPECT_EQ(FALSE, Decrypt(session, empty, nullptr, &work));
  Bytes headerOnly(earlier.begin(), earlier.begin() + 8);
  PutBE32(&headerOnly[4], 8);
  EXPECT_EQ(FALSE, Decrypt(session, headerOnly, nullptr, &work));
  Bytes tooSmall(earlier.begin(), earlier.begin() + 8);
  PutBE32(&tooSmall[4], 4);
  EXPECT_EQ(FALSE, Decrypt(session, tooSmall, nullptr, &work));

  // An encrypted part that is not whole blocks.
  Bytes ragged(earlier);
  ragged[2] = 8;
  EXPECT_EQ(FALSE, Decrypt(session, ragged, nullptr, &work));

  // A plain size beyond the decrypted bytes, with the rest of a matching message
  // lying in the work buffer just after them.
  Bytes plain = PlainMessage(40, 0, 9);
  Bytes head(plain.begin(), plain.begin() + 24);
  Bytes prefixed(8, 0);
  PutBE32(&prefixed[0], static_cast<uint32_t>(crc32(0L, plain.data(), 40)));
  prefixed.insert(prefixed.end(), head.begin(), head.end());
  Bytes cipherText;
  ASSERT_TRUE(EvpCrypt(aes.name, true, session.key.data(), 32, kIv, prefixed, &cipherText));
  Bytes m(8, 0);
  m[1] = 131;
  m.insert(m.end(), cipherText.begin(), cipherText.end());
  PutBE32(&m[4], static_cast<uint32_t>(m.size()));
  ASSERT_GE(m.size(), 40u);
  Bytes trap(m.size() + 16, 0);
  memcpy(&trap[8 + 24], &plain[24], 16);
  EXPECT_EQ(FALSE, Decrypt(session, m, nullptr, &trap));
}

TEST(EncryptedMessage, SessionsTakenInTurnStayApart) {
  // Same key bytes under two ciphers, and two keys under one cipher, in turns
  // on one thread.
  TestSession aes(CIPHER_AES_256, KeyBytes(32, 6), kIv);
  TestSession blowfish(CIPHER_BLOWFISH, KeyBytes(32, 6), kIv);
  TestSession aes2(CIPHER_AES_256, KeyBytes(32, 7), kIv);
  TestSession *sessions[] = {&aes, &blowfish, &aes2};
  for (int round = 0; round < 3; round++) {
    std::vector<Bytes> made;
    Bytes plain = PlainMessage(48, 0, round);
    for (TestSession *s : sessions) made.push_back(Encrypt(*s, plain));
    for (int i = 0; i < 3; i++) {
      for (int j = 0; j < 3; j++) {
        Bytes result;
        BOOL ok = Decrypt(*sessions[j], made[i], &result);
        EXPECT_EQ(i == j ? TRUE : FALSE, ok) << i << " by " << j;
        if (i == j) {
          EXPECT_EQ(plain, Bytes(result.begin(), result.begin() + 48));
        }
      }
    }
  }
  // A session whose key changed in place is keyed afresh.
  Bytes plain = PlainMessage(40);
  Bytes before = Encrypt(aes, plain);
  aes.key[0] ^= 0x01;
  EXPECT_NE(before, Encrypt(aes, plain));
  EXPECT_EQ(FALSE, Decrypt(aes, before));
}

TEST(EncryptedMessage, ThreadsShareOneContext) {
  for (DWORD cipher : {CIPHER_AES_256, CIPHER_BLOWFISH}) {
    SCOPED_TRACE(cipher);
    TestSession session(cipher, KeyBytes(32, 4), kIv);
    // Made on this thread: every thread must make the same bytes and read them.
    std::vector<Bytes> plains, made;
    for (unsigned i = 0; i < 64; i++) {
      plains.push_back(PlainMessage(16 + 8 * i, 0, i));
      made.push_back(Encrypt(session, plains.back()));
    }
    std::vector<int> failures(8, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; t++) {
      threads.emplace_back([&, t] {
        for (size_t n = 0; n < 2 * plains.size(); n++) {
          size_t k = (n * 7 + t) % plains.size();
          Bytes result;
          if (Encrypt(session, plains[k]) != made[k] ||
              Decrypt(session, made[k], &result) != TRUE ||
              !std::equal(plains[k].begin(), plains[k].end(), result.begin()))
            failures[t]++;
        }
      });
    }
    for (std::thread &thread : threads) thread.join();
    for (int t = 0; t < 8; t++) EXPECT_EQ(0, failures[t]) << "thread " << t;
  }
}

// Messages made outside the library: the openssl command line encrypted the CRC
// prefix (from zlib) and a 40-byte message (code 0x1234, id 40, body bytes
// (i * 7 + 40 * 31) & 0xFF from offset 16) under key 00..1f, IV f0..ff.
TEST(EncryptedMessage, DecryptsMessagesMadeElsewhere) {
  Bytes key, iv;
  for (int i = 0; i < 32; i++) key.push_back(static_cast<unsigned char>(i));
  for (int i = 0; i < 16; i++) iv.push_back(static_cast<unsigned char>(0xF0 + i));
  const struct {
    DWORD cipher;
    size_t keyLength;
    const char *hex;
  } vectors[] = {
      {CIPHER_AES_256, 32,
       "0083000000000048b340651be78fcaf89eb53ea8cbf6e9f44b2feb7b348bc8424107bc29b6af36b66f69"
       "3e1ab12afcf98f315f62727caf7c9dd035b0ac02abd52c9a6186a7c88695"},
      {CIPHER_BLOWFISH, 32,
       "0083000000000040a9f491c7b01cab7d49271abe6b86ddf81e662adc11f6f12c012d3f8804e5c49a483a"
       "088a7b485d7551996bbaf6c3a2b62cdc7f384bc58ea4"},
      {CIPHER_TRIPLE_DES, 24,
       "0083000000000040966e491270064dacf2c83591b6473f6666b422a5275e002033a13522746eb51c9d20"
       "9cbfb2c2f86e8bd6862412bd4f54e71a040f749a8c06"},
  };
  Bytes plain(40);
  PutBE16(&plain[0], 0x1234);
  PutBE32(&plain[4], 40);
  PutBE32(&plain[8], 40);
  for (int i = 16; i < 40; i++) plain[i] = static_cast<unsigned char>((i * 7 + 40 * 31) & 0xFF);
  for (const auto &v : vectors) {
    SCOPED_TRACE(v.cipher);
    TestSession session(v.cipher, Bytes(key.begin(), key.begin() + v.keyLength), iv.data());
    Bytes message = zavrin_test::FromHex(v.hex), result;
    ASSERT_EQ(TRUE, Decrypt(session, message, &result));
    EXPECT_EQ(plain, Bytes(result.begin(), result.begin() + 40));
    // And the library makes the very same bytes.
    EXPECT_EQ(message, Encrypt(session, plain));
  }
}
