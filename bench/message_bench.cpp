// Building, writing and reading a typical message: 20 variables of the usual
// mix (mostly numbers, some short texts, one small binary), in both versions.
#include <zavrin.h>

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <string>

#include "port/unicode.h"
#include "typical_message.h"

namespace {

void BM_Build(benchmark::State &state) {
  for (auto _ : state) {
    CSCPMessage msg(static_cast<int>(state.range(0)));
    zavrin_bench::BuildTypical(&msg);
    benchmark::DoNotOptimize(&msg);
  }
}
BENCHMARK(BM_Build)->Arg(1)->Arg(2);

void BM_Write(benchmark::State &state) {
  CSCPMessage msg(static_cast<int>(state.range(0)));
  zavrin_bench::BuildTypical(&msg);
  for (auto _ : state) {
    CSCP_MESSAGE *wire = msg.CreateMessage();
    benchmark::DoNotOptimize(wire);
    free(wire);
  }
}
BENCHMARK(BM_Write)->Arg(1)->Arg(2);

void BM_Read(benchmark::State &state) {
  int version = static_cast<int>(state.range(0));
  CSCPMessage msg(version);
  zavrin_bench::BuildTypical(&msg);
  CSCP_MESSAGE *wire = msg.CreateMessage();
  for (auto _ : state) {
    CSCPMessage read(wire, version);
    benchmark::DoNotOptimize(read.GetVariableLong(8));
  }
  free(wire);
}
BENCHMARK(BM_Read)->Arg(1)->Arg(2);

void BM_ReadAllVariables(benchmark::State &state) {
  CSCPMessage msg;
  zavrin_bench::BuildTypical(&msg);
  char text[64];
  BYTE bytes[32];
  for (auto _ : state) {
    DWORD sum = 0;
    for (DWORD id = 1; id <= 8; id++) sum += msg.GetVariableLong(id);
    sum += static_cast<DWORD>(msg.GetVariableInt64(9) + msg.GetVariableShort(11));
    for (DWORD id = 15; id <= 18; id++) sum += msg.GetVariableStr(id, text, sizeof(text))[0];
    sum += msg.GetVariableBinary(19, bytes, sizeof(bytes));
    benchmark::DoNotOptimize(sum);
  }
}
BENCHMARK(BM_ReadAllVariables);

void BM_Utf8ToUtf16(benchmark::State &state) {
  std::string text = state.range(0) == 0 ? std::string(1024, 'a') : [] {
    std::string mixed;
    while (mixed.size() < 1024) mixed += "Z\xC3\xBCrich \xE2\x82\xAC \xF0\x9F\x97\xBB ";
    return mixed;
  }();
  std::u16string out(text.size(), u'\0');
  for (auto _ : state) {
    benchmark::DoNotOptimize(zavrin::Utf8ToUtf16(text.data(), text.size(), &out[0], out.size()));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_Utf8ToUtf16)->Arg(0)->Arg(1);

}  // namespace
