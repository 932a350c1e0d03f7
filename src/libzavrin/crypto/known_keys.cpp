// Known keys: the public keys a responder accepts, as SHA-256 fingerprints of
// the DER bytes that a key request carries.
#include "crypto/crypto_internal.h"

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <openssl/sha.h>

struct KNOWN_KEYS {
  size_t count;
  BYTE *fingerprints;  // count fingerprints of KEY_FINGERPRINT_SIZE bytes, sorted
};

namespace zavrin {

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// One line of the file. True when it is a fingerprint (stored in out) or nothing
// (*empty set); false for anything else.
bool ParseLine(const char *line, BYTE *out, bool *empty) {
  while (*line == ' ' || *line == '\t') line++;
  *empty = *line == '\0' || *line == '\n' || *line == '\r' || *line == '#';
  if (*empty) return true;
  for (size_t i = 0; i < KEY_FINGERPRINT_SIZE; i++) {
    int high = HexValue(line[2 * i]);
    int low = high < 0 ? -1 : HexValue(line[2 * i + 1]);
    if (low < 0) return false;
    out[i] = static_cast<BYTE>(high << 4 | low);
  }
  char after = line[2 * KEY_FINGERPRINT_SIZE];
  return after == '\0' || isspace(static_cast<unsigned char>(after));
}

int Compare(const void *a, const void *b) {
  return memcmp(a, b, KEY_FINGERPRINT_SIZE);
}

}  // namespace

bool KeyIsKnown(const KNOWN_KEYS *keys, const BYTE *der, size_t length) {
  BYTE fingerprint[KEY_FINGERPRINT_SIZE];
  if (EVP_Digest(der, length, fingerprint, nullptr, EVP_sha256(), nullptr) != 1) return false;
  return keys->count > 0 && bsearch(fingerprint, keys->fingerprints, keys->count,
                                    KEY_FINGERPRINT_SIZE, Compare) != nullptr;
}

}  // namespace zavrin

using namespace zavrin;

KNOWN_KEYS *LoadKnownKeys(const char *fileName) {
  if (fileName == nullptr) return nullptr;
  FILE *file = fopen(fileName, "r");
  if (file == nullptr) return nullptr;
  KNOWN_KEYS *keys = static_cast<KNOWN_KEYS *>(calloc(1, sizeof(KNOWN_KEYS)));
  size_t capacity = 0;
  bool ok = keys != nullptr;
  char *line = nullptr;
  size_t lineSize = 0;
  while (ok && getline(&line, &lineSize, file) >= 0) {
    BYTE fingerprint[KEY_FINGERPRINT_SIZE];
    bool empty = false;
    ok = ParseLine(line, fingerprint, &empty);
    if (!ok || empty) continue;
    if (keys->count == capacity) {
      capacity = capacity == 0 ? 16 : capacity * 2;
      void *grown = realloc(keys->fingerprints, capacity * KEY_FINGERPRINT_SIZE);
      ok = grown != nullptr;
      if (!ok) break;
      keys->fingerprints = static_cast<BYTE *>(grown);
    }
    memcpy(keys->fingerprints + KEY_FINGERPRINT_SIZE * keys->count++, fingerprint,
           KEY_FINGERPRINT_SIZE);
  }
  ok = ok && !ferror(file);
  free(line);
  fclose(file);
  if (!ok) {
    FreeKnownKeys(keys);
    return nullptr;
  }
  if (keys->count > 0) qsort(keys->fingerprints, keys->count, KEY_FINGERPRINT_SIZE, Compare);
  return keys;
}

void FreeKnownKeys(KNOWN_KEYS *keys) {
  if (keys == nullptr) return;
  free(keys->fingerprints);
  free(keys);
}

BOOL GetRSAKeyFingerprint(RSA *key, BYTE *fingerprint) {
  if (fingerprint == nullptr) return FALSE;
  ErrorQueueMark mark;
  KeyBuffer der;
  if (!EncodeRsaPublicKey(key, &der)) return FALSE;
  return EVP_Digest(der.data(), der.size(), fingerprint, nullptr, EVP_sha256(), nullptr) == 1;
}
