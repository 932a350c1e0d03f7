// Building, writing and reading a typical message: 20 variables of the usual
// mix (mostly numbers, some short texts, one small binary), in both versions.
#include <zavrin.h>

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <string>

#include "port/unicode.h"

namespace {

void BuildTypical(CSCPMessage *msg) {
  static const BYTE digest[20] = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10,
                                  11, 12, 13, 14, 15, 16, 17, 18, 19, 20};
  msg->SetCode(0x1C);
  msg->SetId(4711);
  for (DWORD id = 1; id <= 8; id++) msg->SetVariable(id, id * 1000);
  msg->SetVariable(9, static_cast<QWORD>(1) << 40);
  msg->SetVariable(10, static_cast<QWORD>(123456789));
  msg->SetVariable(11, static_cast<WORD>(161));
  msg->SetVariable(12, static_cast<WORD>(80));
  msg->SetVariable(13, 0.25);
  msg->SetVariable(14, 98.6);
  msg->SetVariable(15, "server01.example.net");
  msg->SetVariable(16, "System.CPU.Usage");
  msg->SetVariable(17, "Interface eth0: link up, 1000 Mbit/s full duplex");
  msg->SetVariable(18, "Z\xC3\xBCrich");
  msg->SetVariable(19, digest, sizeof(digest));
  msg->SetVariable(20, "");
}

void BM_Build(benchmark::State &state) {
  for (auto _ : state) {
    CSCPMessage msg(static_cast<int>(state.range(0)));
    BuildTypical(&msg);
    benchmark::DoNotOptimize(&msg);
  }
}
BENCHMARK(BM_Build)->Arg(1)->Arg(2);

void BM_Write(benchmark::State &state) {
  CSCPMessage msg(static_cast<int>(state.range(0)));
  BuildTypical(&msg);
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
  BuildTypical(&msg);
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
  BuildTypical(&msg);
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
