// CRC-32: CalculateCRC32 beside zlib's crc32 on the same bytes.
#include <zavrin/utils.h>

#include <benchmark/benchmark.h>
#include <zlib.h>

#include "peers.h"

namespace {

template <typename Crc>
void Crc32(benchmark::State &state, Crc crc) {
  std::vector<unsigned char> data = peers::RandomBytes(static_cast<size_t>(state.range(0)));
  DWORD value = 0;
  for (auto _ : state) {
    value = crc(data.data(), static_cast<DWORD>(data.size()), value);
    benchmark::DoNotOptimize(value);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void Zavrin(benchmark::State &state) {
  Crc32(state, [](const unsigned char *p, DWORD n, DWORD c) { return CalculateCRC32(p, n, c); });
}
void Zlib(benchmark::State &state) {
  Crc32(state, [](const unsigned char *p, DWORD n, DWORD c) {
    return static_cast<DWORD>(crc32(c, p, n));
  });
}

}  // namespace

BENCHMARK(Zavrin)->Name("crc32/zavrin")->Arg(64)->Arg(4096)->Arg(65536);
BENCHMARK(Zlib)->Name("crc32/zlib")->Arg(64)->Arg(4096)->Arg(65536);
