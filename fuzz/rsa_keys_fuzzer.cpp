// Arbitrary bytes as an RSA key file. LoadRSAKeys gives a key or null, and a key
// it gives can be used. With the first byte odd, the rest is the key bytes alone
// and the harness frames them with their length and a correct digest, so that the
// fuzzer reaches the decoding of the keys; otherwise the rest is the whole file.
#include <zavrin.h>

#include <openssl/evp.h>
#include <openssl/sha.h>
#include <openssl/rsa.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <vector>

#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static int fd = memfd_create("key", 0);
  static char path[64];
  if (fd < 0) abort();
  snprintf(path, sizeof(path), "/proc/self/fd/%d", fd);
  if (size < 1) return 0;
  std::vector<unsigned char> file;
  if (data[0] & 1) {
    uint32_t length = static_cast<uint32_t>(size - 1);
    unsigned char le[4] = {
        static_cast<unsigned char>(length), static_cast<unsigned char>(length >> 8),
        static_cast<unsigned char>(length >> 16), static_cast<unsigned char>(length >> 24)};
    file.assign(le, le + 4);
    file.insert(file.end(), data + 1, data + size);
    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1(data + 1, size - 1, digest);
    file.insert(file.end(), digest, digest + sizeof(digest));
  } else {
    file.assign(data + 1, data + size);
  }
  if (ftruncate(fd, 0) != 0 ||
      pwrite(fd, file.data(), file.size(), 0) != static_cast<ssize_t>(file.size()))
    abort();

  RSA *key = LoadRSAKeys(path);
  if (key == nullptr) return 0;
  // A usable pair: encrypt with the public half, decrypt with the private one.
  const unsigned char secret[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  int length = RSA_size(key);
  unsigned char *sealed = static_cast<unsigned char *>(malloc(length));
  unsigned char *opened = static_cast<unsigned char *>(malloc(length));
  if (length >= 64) {
    int n = RSA_public_encrypt(sizeof(secret), secret, sealed, key, RSA_PKCS1_OAEP_PADDING);
    // The file's digest covers both halves, but not that they belong together: a
    // pair that does not match fails here without harm.
    if (n > 0) RSA_private_decrypt(n, sealed, opened, key, RSA_PKCS1_OAEP_PADDING);
  }
  free(sealed);
  free(opened);
  RSA_free(key);
  return 0;
}
