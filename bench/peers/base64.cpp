// Base64 into caller buffers: the library's coder beside OpenSSL's block coder.
#include <zavrin/utils.h>

#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include "peers.h"

namespace {

size_t EncodedLength(size_t n) {
  return (n + 2) / 3 * 4;
}

template <typename Coder>
void Encode(benchmark::State &state, Coder encode) {
  std::vector<unsigned char> data = peers::RandomBytes(static_cast<size_t>(state.range(0)));
  std::vector<char> text(EncodedLength(data.size()) + 1);
  for (auto _ : state) {
    encode(data, text);
    benchmark::DoNotOptimize(text.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

template <typename Decoder>
void Decode(benchmark::State &state, Decoder decode) {
  std::vector<unsigned char> data = peers::RandomBytes(static_cast<size_t>(state.range(0)));
  std::vector<char> text(EncodedLength(data.size()) + 1);
  base64_encode(reinterpret_cast<const char *>(data.data()), data.size(), text.data(), text.size());
  text.pop_back();
  std::vector<unsigned char> out(data.size() + 3);
  for (auto _ : state) {
    decode(text, out);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void EncodeZavrin(benchmark::State &state) {
  Encode(state, [](const std::vector<unsigned char> &in, std::vector<char> &out) {
    base64_encode(reinterpret_cast<const char *>(in.data()), in.size(), out.data(), out.size());
  });
}
void EncodeOpenssl(benchmark::State &state) {
  Encode(state, [](const std::vector<unsigned char> &in, std::vector<char> &out) {
    EVP_EncodeBlock(reinterpret_cast<unsigned char *>(out.data()), in.data(),
                    static_cast<int>(in.size()));
  });
}
void DecodeZavrin(benchmark::State &state) {
  Decode(state, [](const std::vector<char> &in, std::vector<unsigned char> &out) {
    size_t outLen = out.size();
    benchmark::DoNotOptimize(
        base64_decode(in.data(), in.size(), reinterpret_cast<char *>(out.data()), &outLen));
  });
}
void DecodeOpenssl(benchmark::State &state) {
  Decode(state, [](const std::vector<char> &in, std::vector<unsigned char> &out) {
    benchmark::DoNotOptimize(EVP_DecodeBlock(out.data(),
                                             reinterpret_cast<const unsigned char *>(in.data()),
                                             static_cast<int>(in.size())));
  });
}

}  // namespace

BENCHMARK(EncodeZavrin)->Name("base64_encode/zavrin")->Arg(64)->Arg(4096)->Arg(65536);
BENCHMARK(EncodeOpenssl)->Name("base64_encode/openssl")->Arg(64)->Arg(4096)->Arg(65536);
BENCHMARK(DecodeZavrin)->Name("base64_decode/zavrin")->Arg(64)->Arg(4096)->Arg(65536);
BENCHMARK(DecodeOpenssl)->Name("base64_decode/openssl")->Arg(64)->Arg(4096)->Arg(65536);
