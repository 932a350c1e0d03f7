// CRC-32, MD5 and SHA-1 of memory blocks and of files.
#include <zavrin/utils.h>

#include <errno.h>
#include <openssl/evp.h>
#include <string.h>
#include <unistd.h>

#include "util/checksum_internal.h"
#include "util/open_to_read.h"

#if ZAVRIN_HAVE_ISAL
// ISA-L picks the widest carry-less-multiply kernel the processor has at run
// time; its results are zlib's.
#include <isa-l/crc.h>
#endif

namespace zavrin {
namespace {

// The table is built at compile time so that no first call has to fill it and no
// thread can see it half done.
struct Crc32Table {
  DWORD entry[256];
  constexpr Crc32Table() : entry() {
    for (DWORD i = 0; i < 256; i++) {
      DWORD c = i;
      for (int bit = 0; bit < 8; bit++) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
      entry[i] = c;
    }
  }
};

constexpr Crc32Table kCrc32Table;
static_assert(kCrc32Table.entry[1] == 0x77073096u, "CRC-32 table built with the wrong polynomial");

// Files are read in chunks of this size through a buffer on the stack.
constexpr size_t kFileChunk = 4096;

// One incremental digest through the crypto library. A digest that cannot be
// set up (out of memory) yields all zero bytes rather than stale output.
class Digest {
 public:
  explicit Digest(const EVP_MD *md) : ctx_(EVP_MD_CTX_new()) {
    ok_ = ctx_ != nullptr && EVP_DigestInit_ex(ctx_, md, nullptr) == 1;
    size_ = static_cast<size_t>(EVP_MD_get_size(md));
  }
  ~Digest() { EVP_MD_CTX_free(ctx_); }
  Digest(const Digest &) = delete;
  Digest &operator=(const Digest &) = delete;

  void Add(const void *data, size_t size) {
    if (ok_ && size > 0) ok_ = EVP_DigestUpdate(ctx_, data, size) == 1;
  }

  void Finish(BYTE *hash) {
    if (ok_ && EVP_DigestFinal_ex(ctx_, hash, nullptr) == 1) return;
    memset(hash, 0, size_);
  }

 private:
  EVP_MD_CTX *ctx_;
  bool ok_;
  size_t size_;
};

void DigestBuffer(const EVP_MD *md, const void *data, size_t size, BYTE *hash) {
  Digest digest(md);
  digest.Add(data, size);
  digest.Finish(hash);
}

// Feeds every chunk of the file to consume. A read error ends the data as the end
// of the file would; only a file that cannot be opened is a failure.
template <typename Consumer>
bool ReadFileChunks(const char *fileName, Consumer consume) {
  int fd = OpenToRead(fileName);
  if (fd < 0) return false;
  BYTE chunk[kFileChunk];
  for (;;) {
    ssize_t bytes = read(fd, chunk, sizeof(chunk));
    if (bytes < 0 && errno == EINTR) continue;
    if (bytes <= 0) break;
    consume(chunk, static_cast<size_t>(bytes));
  }
  close(fd);
  return true;
}

BOOL DigestFile(const EVP_MD *md, const char *fileName, BYTE *hash) {
  Digest digest(md);
  if (!ReadFileChunks(fileName, [&](const BYTE *chunk, size_t bytes) { digest.Add(chunk, bytes); }))
    return FALSE;
  digest.Finish(hash);
  return TRUE;
}

}  // namespace
}  // namespace zavrin

DWORD zavrin::Crc32ByTable(const void *data, DWORD size, DWORD crc) {
  const BYTE *p = static_cast<const BYTE *>(data);
  DWORD c = ~crc;
  for (DWORD i = 0; i < size; i++) c = kCrc32Table.entry[(c ^ p[i]) & 0xFF] ^ (c >> 8);
  return ~c;
}

DWORD CalculateCRC32(const void *data, DWORD size, DWORD crc) {
#if ZAVRIN_HAVE_ISAL
  return crc32_gzip_refl(crc, static_cast<const unsigned char *>(data), size);
#else
  return zavrin::Crc32ByTable(data, size, crc);
#endif
}

void CalculateMD5Hash(const void *data, size_t size, BYTE *hash) {
  zavrin::DigestBuffer(EVP_md5(), data, size, hash);
}

void CalculateSHA1Hash(const void *data, size_t size, BYTE *hash) {
  zavrin::DigestBuffer(EVP_sha1(), data, size, hash);
}

BOOL CalculateFileMD5Hash(const char *fileName, BYTE *hash) {
  return zavrin::DigestFile(EVP_md5(), fileName, hash);
}

BOOL CalculateFileSHA1Hash(const char *fileName, BYTE *hash) {
  return zavrin::DigestFile(EVP_sha1(), fileName, hash);
}

BOOL CalculateFileCRC32(const char *fileName, DWORD *result) {
  // The caller's result is left alone when the file cannot be opened.
  DWORD crc = 0;
  if (!zavrin::ReadFileChunks(fileName, [&](const BYTE *chunk, size_t bytes) {
        crc = CalculateCRC32(chunk, static_cast<DWORD>(bytes), crc);
      }))
    return FALSE;
  *result = crc;
  return TRUE;
}
