// Destroying an encryption context leaves no copy of its key anywhere in the
// process: the whole writable memory is searched for the key's bytes, while
// threads that encrypted and decrypted with the context are still alive.
#include <zavrin.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <random>
#include <string>
#include <thread>

#include "crypto_test_util.h"

namespace {

// The test never holds the key itself, only its bytes XOR kMask, so that its own
// memory cannot be mistaken for a copy the library kept.
constexpr unsigned char kMask = 0x5A;

bool Matches(const unsigned char *at, const std::vector<unsigned char> &masked) {
  for (size_t i = 0; i < masked.size(); i++)
    if ((at[i] ^ kMask) != masked[i]) return false;
  return true;
}

// True if any writable mapping of the process holds the bytes that masked
// stands for; where then names the mapping and the offset of the first hit.
// Mappings larger than 1 GiB are the sanitizers' shadow memory.
bool MemoryHolds(const std::vector<unsigned char> &masked, std::string *where = nullptr) {
  FILE *maps = fopen("/proc/self/maps", "r");
  int mem = open("/proc/self/mem", O_RDONLY);
  if (maps == nullptr || mem < 0) {
    ADD_FAILURE() << "cannot read the process's memory";
    return true;
  }
  const size_t kChunk = 1 << 20;
  std::vector<unsigned char> chunk(kChunk + masked.size());
  unsigned char first = static_cast<unsigned char>(masked[0] ^ kMask);
  bool found = false;
  char line[512];
  while (!found && fgets(line, sizeof(line), maps) != nullptr) {
    unsigned long start, end;
    char perms[8];
    if (sscanf(line, "%lx-%lx %7s", &start, &end, perms) != 3) continue;
    if (perms[0] != 'r' || perms[1] != 'w' || end - start > (1ul << 30)) continue;
    if (strstr(line, "[vvar]") != nullptr) continue;
    // Chunks overlap by the pattern's length so that no match is cut in two.
    for (unsigned long at = start; at < end && !found; at += kChunk) {
      size_t want = std::min<unsigned long>(kChunk + masked.size() - 1, end - at);
      ssize_t got = pread(mem, chunk.data(), want, static_cast<off_t>(at));
      if (got <= 0) break;
      size_t n = static_cast<size_t>(got);
      for (size_t i = 0; i + masked.size() <= n && !found; i++) {
        const void *hit = memchr(chunk.data() + i, first, n - masked.size() + 1 - i);
        if (hit == nullptr) break;
        i = static_cast<const unsigned char *>(hit) - chunk.data();
        found = Matches(chunk.data() + i, masked);
        if (found && where != nullptr) {
          char offset[32];
          snprintf(offset, sizeof(offset), " at +0x%lx", at - start + i);
          line[strcspn(line, "\n")] = '\0';
          *where = std::string(line) + offset;
        }
      }
    }
  }
  OPENSSL_cleanse(chunk.data(), chunk.size());  // it may have held the key
  close(mem);
  fclose(maps);
  return found;
}

}  // namespace

TEST(EncryptionContext, DestroyLeavesNoCopyOfTheKeyInAnyThread) {
  for (int run = 0; run < 4; run++) {
    DWORD cipher = run % 2 == 0 ? CIPHER_AES_256 : CIPHER_BLOWFISH;
    bool libraryMade = run < 2;
    SCOPED_TRACE(testing::Message() << cipher << (libraryMade ? " made by the library" : ""));
    // Made as the key exchange makes it (the session keeps keyed cipher states),
    // or filled in by the program (a cipher state for each message).
    // Not from the crypto library's generator, which may leave its output on the
    // stack: the search is for copies the library keeps.
    std::vector<unsigned char> key(32), iv(16);
    std::random_device random;
    for (unsigned char &b : key) b = static_cast<unsigned char>(random());
    for (unsigned char &b : iv) b = static_cast<unsigned char>(random());
    ENCRYPTION_CONTEXT *context;
    if (libraryMade) {
      context = CreateEncryptionContext(cipher, key.data(), 32, iv.data(), TRUE);
    } else {
      context = static_cast<ENCRYPTION_CONTEXT *>(calloc(1, sizeof(ENCRYPTION_CONTEXT)));
      context->cipher = cipher;
      context->keyLength = 32;
      context->sessionKey = static_cast<BYTE *>(malloc(32));
      memcpy(context->sessionKey, key.data(), 32);
      memcpy(context->iv, iv.data(), sizeof(context->iv));
    }
    OPENSSL_cleanse(key.data(), key.size());
    ASSERT_NE(nullptr, context);
    // Blowfish is keyed with the first 16 bytes: look for those.
    std::vector<unsigned char> masked(16);
    for (size_t i = 0; i < masked.size(); i++) masked[i] = context->sessionKey[i] ^ kMask;

    crypto_test::Bytes plain = crypto_test::PlainMessage(200);
    auto useContext = [&] {
      ENCRYPTED_MESSAGE *e =
          CSCPEncryptMessage(context, reinterpret_cast<CSCP_MESSAGE *>(plain.data()));
      ASSERT_NE(nullptr, e);
      std::vector<BYTE> work(ntohl(e->size) + 16);
      EXPECT_EQ(TRUE, CSCPDecryptMessage(context, e, work.data()));
      free(e);
    };

    // Threads that used the context and stay alive past its destruction, and
    // one that has ended before.
    std::mutex mu;
    std::condition_variable cv;
    int ready = 0;
    bool release = false;
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; t++) {
      threads.emplace_back([&] {
        useContext();
        std::unique_lock<std::mutex> lock(mu);
        ready++;
        cv.notify_all();
        cv.wait(lock, [&] { return release; });
      });
    }
    std::thread([&] { useContext(); }).join();
    useContext();
    {
      std::unique_lock<std::mutex> lock(mu);
      cv.wait(lock, [&] { return ready == 3; });
    }

    EXPECT_TRUE(MemoryHolds(masked));  // the search finds a key that is there
    DestroyEncryptionContext(context);
    std::string where;
    EXPECT_FALSE(MemoryHolds(masked, &where)) << where;

    {
      std::lock_guard<std::mutex> lock(mu);
      release = true;
    }
    cv.notify_all();
    for (std::thread &t : threads) t.join();
  }
}
