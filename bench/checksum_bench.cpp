// Throughput of CRC-32, the digests and Base64.
#include <zavrin/utils.h>

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <random>
#include <vector>

namespace {

std::vector<char> RandomBytes(size_t size) {
  std::mt19937 gen(42);
  std::vector<char> bytes(size);
  for (auto &b : bytes) b = static_cast<char>(gen());
  return bytes;
}

void BM_Crc32(benchmark::State &state) {
  std::vector<char> data = RandomBytes(static_cast<size_t>(state.range(0)));
  DWORD crc = 0;
  for (auto _ : state) {
    crc = CalculateCRC32(data.data(), static_cast<DWORD>(data.size()), crc);
    benchmark::DoNotOptimize(crc);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Crc32)->Arg(64)->Arg(4096)->Arg(1 << 20);

void BM_Sha1(benchmark::State &state) {
  std::vector<char> data = RandomBytes(static_cast<size_t>(state.range(0)));
  BYTE hash[20];
  for (auto _ : state) {
    CalculateSHA1Hash(data.data(), data.size(), hash);
    benchmark::DoNotOptimize(hash);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Sha1)->Arg(64)->Arg(1 << 20);

void BM_Base64Encode(benchmark::State &state) {
  std::vector<char> data = RandomBytes(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    char *out = nullptr;
    benchmark::DoNotOptimize(base64_encode_alloc(data.data(), data.size(), &out));
    free(out);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Base64Encode)->Arg(64)->Arg(1 << 20);

void BM_Base64Decode(benchmark::State &state) {
  std::vector<char> data = RandomBytes(static_cast<size_t>(state.range(0)));
  char *text = nullptr;
  size_t textLen = base64_encode_alloc(data.data(), data.size(), &text);
  for (auto _ : state) {
    char *out = nullptr;
    size_t outLen = 0;
    benchmark::DoNotOptimize(base64_decode_alloc(text, textLen, &out, &outLen));
    free(out);
  }
  free(text);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Base64Decode)->Arg(64)->Arg(1 << 20);

}  // namespace
