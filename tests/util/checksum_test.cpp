#include <zavrin.h>

#include <gtest/gtest.h>
#include <string.h>
#include <zlib.h>

#include <random>
#include <string>
#include <vector>

#include "util/checksum_internal.h"
#include "test_support.h"

using zavrin_test::TempFile;
using zavrin_test::ToHex;

namespace {

std::vector<BYTE> RandomBytes(size_t size, unsigned seed) {
  std::mt19937 gen(seed);
  std::vector<BYTE> bytes(size);
  for (auto &b : bytes) b = static_cast<BYTE>(gen());
  return bytes;
}

DWORD ZlibCrc(const std::vector<BYTE> &bytes) {
  return static_cast<DWORD>(crc32(crc32(0, nullptr, 0), bytes.data(), bytes.size()));
}

std::string Md5Hex(const std::string &text) {
  BYTE hash[16];
  CalculateMD5Hash(text.data(), text.size(), hash);
  return ToHex(hash, sizeof(hash));
}

std::string Sha1Hex(const std::string &text) {
  BYTE hash[20];
  CalculateSHA1Hash(text.data(), text.size(), hash);
  return ToHex(hash, sizeof(hash));
}

}  // namespace

TEST(Crc32, KnownValues) {
  EXPECT_EQ(0xCBF43926u, CalculateCRC32("123456789", 9, 0));
  EXPECT_EQ(0x352441C2u, CalculateCRC32("abc", 3, 0));
  EXPECT_EQ(0u, CalculateCRC32("", 0, 0));
  EXPECT_EQ(0x12345678u, CalculateCRC32("", 0, 0x12345678u));
  EXPECT_EQ(0xCBF43926u, CalculateCRC32("6789", 4, CalculateCRC32("12345", 5, 0)));
}

TEST(Crc32, MatchesZlibForEveryLengthUpTo1000) {
  std::vector<BYTE> all = RandomBytes(1000, 1);
  for (size_t len = 0; len <= all.size(); len++) {
    std::vector<BYTE> part(all.begin(), all.begin() + len);
    ASSERT_EQ(ZlibCrc(part), CalculateCRC32(part.data(), static_cast<DWORD>(len), 0)) << len;
  }
}

TEST(Crc32, MatchesZlibOnOneMebibyteAndAcrossSplits) {
  std::vector<BYTE> big = RandomBytes(1 << 20, 2);
  DWORD expected = ZlibCrc(big);
  EXPECT_EQ(expected, CalculateCRC32(big.data(), static_cast<DWORD>(big.size()), 0));
  for (size_t split :
       {size_t(0), size_t(1), size_t(4095), size_t(4096), size_t(777777), big.size()}) {
    DWORD first = CalculateCRC32(big.data(), static_cast<DWORD>(split), 0);
    EXPECT_EQ(expected,
              CalculateCRC32(big.data() + split, static_cast<DWORD>(big.size() - split), first))
        << split;
  }
  // Many small pieces of uneven size.
  DWORD running = 0;
  size_t pos = 0;
  for (size_t step = 1; pos < big.size(); step = step * 7 % 1013 + 1) {
    size_t n = std::min(step, big.size() - pos);
    running = CalculateCRC32(big.data() + pos, static_cast<DWORD>(n), running);
    pos += n;
  }
  EXPECT_EQ(expected, running);
}

// CalculateCRC32 runs on the accelerated library where the build found it and on
// the byte-wise table elsewhere; both must give zlib's values, from any starting
// CRC, at any alignment, and carry on from each other's results.
TEST(Crc32, TableAndBuildPathAgreeWithZlib) {
  struct Case {
    size_t size;
    size_t offset;  // start this many bytes into the buffer, for odd alignments
    size_t split;   // the first call covers this many bytes, the second the rest
  };
  const Case cases[] = {{0, 0, 0},        {1, 3, 0},       {7, 1, 3},          {15, 0, 8},
                        {16, 5, 16},      {63, 2, 31},     {64, 0, 1},         {255, 7, 128},
                        {256, 1, 200},    {1000, 3, 999},  {4096, 0, 2048},    {4097, 6, 4096},
                        {65536, 0, 4096}, {65539, 5, 777}, {1 << 20, 0, 12345}};
  std::mt19937 gen(7);
  for (const Case &c : cases) {
    // Never empty: zlib takes a null pointer as a request for its initial value.
    std::vector<BYTE> buffer = RandomBytes(c.size + c.offset + 1, static_cast<unsigned>(c.size));
    const BYTE *data = buffer.data() + c.offset;
    DWORD seed = static_cast<DWORD>(gen());
    DWORD fromZlib = static_cast<DWORD>(crc32(seed, data, static_cast<uInt>(c.size)));
    DWORD size = static_cast<DWORD>(c.size), split = static_cast<DWORD>(c.split);
    EXPECT_EQ(fromZlib, CalculateCRC32(data, size, seed)) << c.size;
    EXPECT_EQ(fromZlib, zavrin::Crc32ByTable(data, size, seed)) << c.size;
    // Each path continues the other's running value.
    EXPECT_EQ(fromZlib,
              CalculateCRC32(data + split, size - split, zavrin::Crc32ByTable(data, split, seed)))
        << c.size;
    EXPECT_EQ(fromZlib,
              zavrin::Crc32ByTable(data + split, size - split, CalculateCRC32(data, split, seed)))
        << c.size;
  }
}

TEST(Md5, Rfc1321Suite) {
  EXPECT_EQ("d41d8cd98f00b204e9800998ecf8427e", Md5Hex(""));
  EXPECT_EQ("0cc175b9c0f1b6a831c399e269772661", Md5Hex("a"));
  EXPECT_EQ("900150983cd24fb0d6963f7d28e17f72", Md5Hex("abc"));
  EXPECT_EQ("f96b697d7cb7938d525a2f31aaf161d0", Md5Hex("message digest"));
  EXPECT_EQ("c3fcd3d76192e4007dfb496cca67e13b", Md5Hex("abcdefghijklmnopqrstuvwxyz"));
  EXPECT_EQ("d174ab98d277d9f5a5611c2c9f419d9f",
            Md5Hex("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"));
  EXPECT_EQ("57edf4a22be3c955ac49da2e2107b67a", Md5Hex("1234567890123456789012345678901234567890"
                                                       "1234567890123456789012345678901234567890"));
}

TEST(Sha1, Fips180Vectors) {
  EXPECT_EQ("da39a3ee5e6b4b0d3255bfef95601890afd80709", Sha1Hex(""));
  EXPECT_EQ("a9993e364706816aba3e25717850c26c9cd0d89d", Sha1Hex("abc"));
  EXPECT_EQ("84983e441c3bd26ebaae4aa1f95129e5e54670f1",
            Sha1Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"));
  EXPECT_EQ("34aa973cd4c4daa4f61eeb2bdbad27316534016f", Sha1Hex(std::string(1000000, 'a')));
}

TEST(FileChecksums, EmptyFileGivesDigestsOfNothing) {
  TempFile file;
  BYTE md5[16], sha1[20];
  DWORD crc = 0xDEADBEEF;
  ASSERT_TRUE(CalculateFileMD5Hash(file.path().c_str(), md5));
  ASSERT_TRUE(CalculateFileSHA1Hash(file.path().c_str(), sha1));
  ASSERT_TRUE(CalculateFileCRC32(file.path().c_str(), &crc));
  EXPECT_EQ("d41d8cd98f00b204e9800998ecf8427e", ToHex(md5, 16));
  EXPECT_EQ("da39a3ee5e6b4b0d3255bfef95601890afd80709", ToHex(sha1, 20));
  EXPECT_EQ(0u, crc);
}

TEST(FileChecksums, MissingFileLeavesOutputUntouched) {
  BYTE md5[16], sha1[20];
  memset(md5, 0x5A, sizeof(md5));
  memset(sha1, 0x5A, sizeof(sha1));
  DWORD crc = 0xDEADBEEF;
  const char *missing = "/nonexistent-dir/no-such-file";
  EXPECT_FALSE(CalculateFileMD5Hash(missing, md5));
  EXPECT_FALSE(CalculateFileSHA1Hash(missing, sha1));
  EXPECT_FALSE(CalculateFileCRC32(missing, &crc));
  EXPECT_EQ("5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a", ToHex(md5, 16));
  EXPECT_EQ("5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a", ToHex(sha1, 20));
  EXPECT_EQ(0xDEADBEEFu, crc);
}

TEST(FileChecksums, EqualBufferVariantsAroundChunkBoundaries) {
  for (size_t size : {size_t(1), size_t(4095), size_t(4096), size_t(4097), size_t(3 * 4096 + 17)}) {
    std::vector<BYTE> bytes = RandomBytes(size, static_cast<unsigned>(size));
    TempFile file(std::string(bytes.begin(), bytes.end()));
    BYTE md5[16], sha1[20], fileMd5[16], fileSha1[20];
    DWORD crc = 0;
    CalculateMD5Hash(bytes.data(), size, md5);
    CalculateSHA1Hash(bytes.data(), size, sha1);
    ASSERT_TRUE(CalculateFileMD5Hash(file.path().c_str(), fileMd5));
    ASSERT_TRUE(CalculateFileSHA1Hash(file.path().c_str(), fileSha1));
    ASSERT_TRUE(CalculateFileCRC32(file.path().c_str(), &crc));
    EXPECT_EQ(ToHex(md5, 16), ToHex(fileMd5, 16)) << size;
    EXPECT_EQ(ToHex(sha1, 20), ToHex(fileSha1, 20)) << size;
    EXPECT_EQ(ZlibCrc(bytes), crc) << size;
  }
}
