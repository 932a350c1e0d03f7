// The authenticated cipher: how it is negotiated beside the classic four, what
// its receiver refuses, and the responder's known keys.
#include <zavrin.h>

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "crypto_test_util.h"
#include "test_support.h"

using namespace crypto_test;
using zavrin_test::RunInChild;
using zavrin_test::SocketPair;
using zavrin_test::TempFile;

namespace {

constexpr DWORD kGcm = CIPHER_MASK_AES_256_GCM;
const unsigned char kIv[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

struct ContextFree {
  void operator()(ENCRYPTION_CONTEXT *c) const { DestroyEncryptionContext(c); }
};
using Context = std::unique_ptr<ENCRYPTION_CONTEXT, ContextFree>;

// Both ends of one authenticated session.
struct Pair {
  Context requester, responder;
  explicit Pair(unsigned seed = 1) {
    Bytes key(32, static_cast<unsigned char>(seed));
    requester.reset(CreateEncryptionContext(CIPHER_AES_256_GCM, key.data(), 32, kIv, TRUE));
    responder.reset(CreateEncryptionContext(CIPHER_AES_256_GCM, key.data(), 32, kIv, FALSE));
  }
};

Bytes Seal(ENCRYPTION_CONTEXT *from, const Bytes &plain) {
  ENCRYPTED_MESSAGE *e = CSCPEncryptMessage(
      from, reinterpret_cast<CSCP_MESSAGE *>(const_cast<unsigned char *>(plain.data())));
  if (e == nullptr) return Bytes();
  Bytes out(reinterpret_cast<unsigned char *>(e),
            reinterpret_cast<unsigned char *>(e) + GetBE32(&reinterpret_cast<BYTE *>(e)[4]));
  free(e);
  return out;
}

// True when to takes the message; *plain then holds what came out. A size field
// that says more than there is takes in what follows on the stream (zeros here),
// up to the most that a receiver would take.
bool Open(ENCRYPTION_CONTEXT *to, Bytes message, Bytes *plain = nullptr) {
  uint32_t size = GetBE32(&message[4]);
  if (size > (1u << 20)) return false;
  if (size > message.size()) message.resize(size);
  Bytes work(message.size() + 16);
  bool ok = CSCPDecryptMessage(to, reinterpret_cast<ENCRYPTED_MESSAGE *>(message.data()),
                               work.data()) == TRUE;
  if (ok && plain != nullptr)
    plain->assign(message.begin(), message.begin() + GetBE32(&message[4]));
  return ok;
}

// A key request of the given mask with the key's public half, as any peer sends it.
CSCPMessage *Request(DWORD mask, const Bytes &publicKey) {
  CSCPMessage *request = new CSCPMessage();
  request->SetCode(CMD_REQUEST_SESSION_KEY);
  request->SetId(7);
  request->SetVariable(VAR_ID_CIPHER_MASK, mask);
  request->SetVariable(VAR_ID_RSA_PUBLIC_KEY, const_cast<unsigned char *>(publicKey.data()),
                       static_cast<DWORD>(publicKey.size()));
  return request;
}

// Runs the exchange between a requester offering requesterMask and a responder
// allowing responderMask; the result, and on success both contexts.
DWORD Exchange(DWORD requesterMask, DWORD responderMask, Context *requester, Context *responder,
               const KNOWN_KEYS *knownKeys = nullptr, EVP_PKEY *key = RequesterKey()) {
  std::unique_ptr<CSCPMessage> request(Request(requesterMask, PublicDer(key)));
  ENCRYPTION_CONTEXT *made = nullptr;
  CSCPMessage *answer = nullptr;
  DWORD result = AnswerSessionKeyRequest(request.get(), &made, &answer, ZVCP_PROTOCOL_VERSION,
                                         responderMask, knownKeys);
  responder->reset(made);
  // The answer travels as a wire message, as it would between two processes.
  CSCP_MESSAGE *wire = answer->CreateMessage();
  delete answer;
  CSCPMessage received(wire, ZVCP_PROTOCOL_VERSION);
  free(wire);
  RSA *rsa = AsRsa(key);
  ENCRYPTION_CONTEXT *accepted = nullptr;
  DWORD requesterResult =
      SetupEncryptionContext(&received, &accepted, nullptr, rsa, ZVCP_PROTOCOL_VERSION);
  FreeRsa(rsa);
  requester->reset(accepted);
  EXPECT_EQ(result, requesterResult);
  return result;
}

TEST(AuthenticatedCipher, AProgramThatDidNotTurnItOnNeverUsesIt) {
  EXPECT_EQ(
      0, RunInChild([] {
        InitCryptoLib(0xFF);  // the classic mask keeps only the four
        if (CSCPGetSupportedCiphers() & kGcm) exit(1);
        CSCPMessage request;
        PrepareKeyRequestMsg(&request, nullptr);
        if (request.GetVariableLong(VAR_ID_CIPHER_MASK) & kGcm) exit(2);
        // As a responder it ignores the bit, as a requester it refuses the cipher.
        Context requester, responder;
        if (Exchange(0x1F, 0x1F, &requester, &responder) != RESULT_OK ||
            responder->cipher != CIPHER_AES_256)
          exit(3);
        CSCPMessage answer;
        answer.SetCode(CMD_SESSION_KEY);
        answer.SetVariable(VAR_ID_RESULT_CODE, 0u);
        answer.SetVariable(VAR_ID_CIPHER_ID, static_cast<WORD>(CIPHER_AES_256_GCM));
        answer.SetVariable(VAR_ID_SESSION_KEY_SIZE, static_cast<WORD>(32));
        ENCRYPTION_CONTEXT *ctx = nullptr;
        if (SetupEncryptionContext(&answer, &ctx, nullptr, nullptr, 2) != RESULT_BAD_SESSION_KEY)
          exit(4);
        exit(0);
      }));
}

TEST(AuthenticatedCipher, OldAndNewPeersAgreeInBothRoles) {
  ASSERT_EQ(TRUE, CSCPEnableAuthenticatedCipher());
  EXPECT_EQ(kGcm, CSCPGetSupportedCiphers() & kGcm);
  // An old peer's mask never has the new bit; this platform has no IDEA.
  const DWORD has = OpenSslCiphers() | kGcm;
  struct Case {
    DWORD requester, responder, expected;  // a cipher id, or the result when >= 28
  };
  const Case cases[] = {
      {0x0F, 0x0F, CIPHER_AES_256},           // old and old
      {0x0F, 0x1F, CIPHER_AES_256},           // old requester, new responder
      {0x1F, 0x0F, CIPHER_AES_256},           // new requester, old responder
      {0x1F, 0x1F, CIPHER_AES_256_GCM},       // new and new: the authenticated one
      {0x1C, 0x1F, CIPHER_AES_256_GCM},       //
      {0x0C, 0x1F, has & 0x04 ? 2u : 3u},     // old requester without AES
      {0x1A, 0x0B, CIPHER_BLOWFISH},          // new requester, old responder without AES
      {0x10, 0x0F, RESULT_NO_COMMON_CIPHER},  // only the new cipher, an old responder
      {0x0F, 0x10, RESULT_NO_COMMON_CIPHER},  // an old requester, a responder of the new only
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.requester << " " << c.responder);
    Context requester, responder;
    DWORD result = Exchange(c.requester, c.responder, &requester, &responder);
    if (c.expected >= RESULT_UNSUPPORTED_MESSAGE) {
      EXPECT_EQ(c.expected, result);
      continue;
    }
    ASSERT_EQ(static_cast<DWORD>(RESULT_OK), result);
    EXPECT_EQ(c.expected, requester->cipher);
    EXPECT_EQ(c.expected, responder->cipher);
    // Both directions carry messages.
    Bytes plain = PlainMessage(48), out;
    EXPECT_TRUE(Open(responder.get(), Seal(requester.get(), plain), &out));
    EXPECT_EQ(plain, out);
    EXPECT_TRUE(Open(requester.get(), Seal(responder.get(), plain), &out));
    EXPECT_EQ(plain, out);
  }
}

// A message with one bit flipped, or cut to length bytes with its size field
// saying so, as a forger would make it.
Bytes Flipped(Bytes m, size_t bit) {
  m[bit / 8] ^= static_cast<unsigned char>(0x80 >> (bit % 8));
  return m;
}
Bytes Cut(Bytes m, size_t length) {
  m.resize(length);
  if (length >= 8) PutBE32(&m[4], static_cast<uint32_t>(length));
  return m;
}

TEST(AuthenticatedMessage, EveryTamperingIsRefusedAndTheSessionGoesOn) {
  const Bytes plain = PlainMessage(40);
  Pair model;
  const Bytes first = Seal(model.requester.get(), plain);
  ASSERT_EQ(72u, first.size());  // header 16, message 40, tag 16
  Pair other(2);
  const Bytes foreign = Seal(other.requester.get(), plain);

  // what: the forged message, made from the session's own messages; delivered
  // after the requester's first `before` messages were taken; the next genuine
  // message is taken afterwards.
  struct Case {
    std::string what;
    int before;
    std::function<Bytes(const Bytes &first, const Bytes &second, const Bytes &reflected)> forge;
  };
  std::vector<Case> cases = {
      {"replay", 1, [](const Bytes &a, const Bytes &, const Bytes &) { return a; }},
      {"the later one first", 0, [](const Bytes &, const Bytes &b, const Bytes &) { return b; }},
      {"sent back to its sender", 0,
       [](const Bytes &, const Bytes &, const Bytes &r) { return r; }},
      {"another session's", 0,
       [&](const Bytes &, const Bytes &, const Bytes &) { return foreign; }},
      {"empty", 0, [](const Bytes &, const Bytes &, const Bytes &) { return Cut(Bytes(8), 8); }},
  };
  for (size_t bit = 0; bit < first.size() * 8; bit++)
    cases.push_back(
        {"bit " + std::to_string(bit), 0,
         [bit](const Bytes &a, const Bytes &, const Bytes &) { return Flipped(a, bit); }});
  for (size_t length = 8; length < first.size(); length++)
    cases.push_back(
        {"cut to " + std::to_string(length), 0,
         [length](const Bytes &a, const Bytes &, const Bytes &) { return Cut(a, length); }});

  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    Pair p;
    Bytes sent[3] = {Seal(p.requester.get(), plain), Seal(p.requester.get(), plain),
                     Seal(p.requester.get(), plain)};
    Bytes reflected = Seal(p.responder.get(), plain);
    ASSERT_EQ(first, sent[0]);  // the same keys, numbers and bytes every time
    for (int i = 0; i < c.before; i++) ASSERT_TRUE(Open(p.responder.get(), sent[i]));
    EXPECT_FALSE(Open(p.responder.get(), c.forge(sent[0], sent[1], reflected)));
    Bytes out;
    EXPECT_TRUE(Open(p.responder.get(), sent[c.before], &out));
    EXPECT_EQ(plain, out);
  }
}

// Threads that seal on one session at once take every number once; put on the
// wire in the order of their numbers, the messages are all taken.
TEST(AuthenticatedMessage, ThreadsSealingAtOnceNeverShareANumber) {
  Pair p;
  constexpr int kThreads = 4, kEach = 50;
  std::vector<Bytes> sealed[kThreads];
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; t++) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; i++)
        sealed[t].push_back(Seal(p.requester.get(), PlainMessage(64, 0, t)));
    });
  }
  for (std::thread &thread : threads) thread.join();
  std::map<uint64_t, Bytes> byNumber;
  for (const auto &messages : sealed) {
    for (const Bytes &m : messages) {
      uint64_t number = static_cast<uint64_t>(GetBE32(&m[8])) << 32 | GetBE32(&m[12]);
      EXPECT_TRUE(byNumber.emplace(number, m).second) << number;
    }
  }
  ASSERT_EQ(static_cast<size_t>(kThreads * kEach), byNumber.size());
  EXPECT_EQ(static_cast<uint64_t>(kThreads * kEach - 1), byNumber.rbegin()->first);
  for (const auto &entry : byNumber) EXPECT_TRUE(Open(p.responder.get(), entry.second));
}

TEST(AuthenticatedMessage, TheReceiverRefusesWhatComesInClear) {
  Pair p;
  SocketPair sockets;
  Bytes plain = PlainMessage(64);
  Bytes sealed = Seal(p.requester.get(), plain);
  Bytes codeChanged = Flipped(sealed, 15);  // 131 becomes 130
  for (const Bytes *m : {&plain, &codeChanged, &sealed})
    ASSERT_TRUE(zavrin_test::WriteAll(sockets.remote(), m->data(), m->size()));
  RECEIVE_BUFFER rb;
  RecvZVCPMessage(0, nullptr, &rb, 0, nullptr, nullptr, 0);
  Bytes buffer(4096), work(4096 + 16);
  ENCRYPTION_CONTEXT *session = p.responder.get();
  CSCP_MESSAGE *msg = reinterpret_cast<CSCP_MESSAGE *>(buffer.data());
  const int expected[] = {2, 2, 64};
  for (int result : expected)
    EXPECT_EQ(result,
              RecvZVCPMessage(sockets.local(), msg, &rb, 4096, &session, work.data(), 1000));
  EXPECT_EQ(0, memcmp(buffer.data(), plain.data(), plain.size()));
}

// The SHA-256 of the DER public key, from OpenSSL alone.
std::string Fingerprint(const Bytes &der) {
  unsigned char digest[32];
  EVP_Digest(der.data(), der.size(), digest, nullptr, EVP_sha256(), nullptr);
  return zavrin_test::ToHex(digest, sizeof(digest));
}

TEST(KnownKeys, FingerprintIsTheSha256OfTheDerPublicKey) {
  RSA *rsa = AsRsa(RequesterKey());
  BYTE fingerprint[KEY_FINGERPRINT_SIZE];
  ASSERT_EQ(TRUE, GetRSAKeyFingerprint(rsa, fingerprint));
  FreeRsa(rsa);
  EXPECT_EQ(Fingerprint(PublicDer(RequesterKey())), zavrin_test::ToHex(fingerprint, 32));
}

TEST(KnownKeys, FileFormat) {
  const std::string known = Fingerprint(PublicDer(RequesterKey()));
  std::string upper = known;
  for (char &ch : upper) ch = static_cast<char>(toupper(ch));
  struct Case {
    std::string content;
    bool loads, knowsTheKey;
  };
  const Case cases[] = {
      {"", true, false},
      {"# the server\n\n" + known + "\n", true, true},
      {"  " + upper + "  requester.key\n", true, true},     // what sha256sum prints
      {Fingerprint({1, 2, 3}) + "\n" + known, true, true},  // no line end at the end
      {known.substr(1) + "\n", false, false},
      {known + "0\n", false, false},
      {"not a fingerprint\n" + known + "\n", false, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.content);
    TempFile file(c.content);
    KNOWN_KEYS *keys = LoadKnownKeys(file.path().c_str());
    EXPECT_EQ(c.loads, keys != nullptr);
    if (keys == nullptr) continue;
    Context requester, responder;
    EXPECT_EQ(c.knowsTheKey ? RESULT_OK : RESULT_UNKNOWN_KEY,
              Exchange(0x0F, 0x0F, &requester, &responder, keys));
    FreeKnownKeys(keys);
  }
  EXPECT_EQ(nullptr, LoadKnownKeys("/nonexistent/keys"));
}

// A key that the responder's RSA cannot use (too short for OAEP to carry the key)
// and bytes that do not decode as a key both fail with 43 once RSA work is tried:
// with a list that does not hold them they fail with 45, so none was tried.
TEST(KnownKeys, AnUnknownKeyIsRefusedBeforeAnyRsaWork) {
  const Bytes garbage = {0x30, 0x03, 0x02, 0x01, 0x05};
  TempFile listed(Fingerprint(PublicDer(RequesterKey())) + "\n" +
                  Fingerprint(PublicDer(SmallKey())) + "\n" + Fingerprint(garbage) + "\n");
  TempFile unlisted(Fingerprint(PublicDer(OtherKey())) + "\n");
  KNOWN_KEYS *withThem = LoadKnownKeys(listed.path().c_str());
  KNOWN_KEYS *without = LoadKnownKeys(unlisted.path().c_str());
  ASSERT_NE(nullptr, withThem);
  ASSERT_NE(nullptr, without);
  struct Case {
    const char *what;
    Bytes key;
    const KNOWN_KEYS *keys;
    DWORD expected;
  };
  const Case cases[] = {
      {"known", PublicDer(RequesterKey()), withThem, RESULT_OK},
      {"unknown", PublicDer(RequesterKey()), without, RESULT_UNKNOWN_KEY},
      {"no list", PublicDer(RequesterKey()), nullptr, RESULT_OK},
      {"short key known", PublicDer(SmallKey()), withThem, RESULT_BAD_PUBLIC_KEY},
      {"short key unknown", PublicDer(SmallKey()), without, RESULT_UNKNOWN_KEY},
      {"garbage known", garbage, withThem, RESULT_BAD_PUBLIC_KEY},
      {"garbage unknown", garbage, without, RESULT_UNKNOWN_KEY},
      {"no key", Bytes(), withThem, RESULT_UNKNOWN_KEY},
  };
  for (const Case &c : cases) {
    std::unique_ptr<CSCPMessage> request(Request(0x0F, c.key));
    if (c.key.empty())
      request->DeleteAllVariables(), request->SetVariable(VAR_ID_CIPHER_MASK, 0x0Fu);
    ENCRYPTION_CONTEXT *made = nullptr;
    CSCPMessage *answer = nullptr;
    EXPECT_EQ(c.expected, AnswerSessionKeyRequest(request.get(), &made, &answer, 2, 0x0F, c.keys))
        << c.what;
    // The refusal travels in the answer: an old requester returns it as a failure.
    ASSERT_NE(nullptr, answer);
    EXPECT_EQ(c.expected, answer->GetVariableLong(VAR_ID_RESULT_CODE)) << c.what;
    EXPECT_EQ(c.expected == RESULT_OK, made != nullptr) << c.what;
    delete answer;
    DestroyEncryptionContext(made);
  }
  FreeKnownKeys(withThem);
  FreeKnownKeys(without);
}

}  // namespace
