// A typical message of 20 variables built, written to the wire with
// CreateMessage and read back with every field fetched; beside it the same
// fields through protocol buffers (built where the build found them).
#include <zavrin.h>

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <string>

#include "../typical_message.h"

#if ZAVRIN_PEERS_PROTOBUF
#include "typical.pb.h"
#endif

namespace {

void Zavrin(benchmark::State &state) {
  char text[64];
  BYTE bytes[32];
  for (auto _ : state) {
    CSCPMessage msg;
    zavrin_bench::BuildTypical(&msg);
    CSCP_MESSAGE *wire = msg.CreateMessage();
    CSCPMessage read(wire, ZVCP_PROTOCOL_VERSION);
    QWORD sum = read.GetCode() + read.GetId();
    for (DWORD id = 1; id <= 8; id++) sum += read.GetVariableLong(id);
    sum += read.GetVariableInt64(9) + read.GetVariableInt64(10);
    sum += read.GetVariableShort(11) + read.GetVariableShort(12);
    sum += static_cast<QWORD>(read.GetVariableDouble(13) + read.GetVariableDouble(14));
    for (DWORD id = 15; id <= 18; id++) sum += read.GetVariableStr(id, text, sizeof(text))[0];
    sum += read.GetVariableBinary(19, bytes, sizeof(bytes));
    sum += read.GetVariableStr(20, text, sizeof(text))[0];
    benchmark::DoNotOptimize(sum);
    free(wire);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(Zavrin)->Name("message/zavrin/20");

#if ZAVRIN_PEERS_PROTOBUF
void Protobuf(benchmark::State &state) {
  std::string wire;
  for (auto _ : state) {
    peers::Typical msg;
    msg.set_code(0x1C);
    msg.set_id(4711);
    for (uint32_t i = 1; i <= 8; i++) msg.add_counters(i * 1000);
    msg.set_big(static_cast<uint64_t>(1) << 40);
    msg.set_count(123456789);
    msg.set_port1(161);
    msg.set_port2(80);
    msg.set_ratio(0.25);
    msg.set_temperature(98.6);
    msg.set_host("server01.example.net");
    msg.set_parameter("System.CPU.Usage");
    msg.set_status("Interface eth0: link up, 1000 Mbit/s full duplex");
    msg.set_city("Z\xC3\xBCrich");
    msg.set_digest(zavrin_bench::kTypicalDigest, sizeof(zavrin_bench::kTypicalDigest));
    msg.set_empty("");
    msg.SerializeToString(&wire);
    peers::Typical read;
    read.ParseFromString(wire);
    uint64_t sum = read.code() + read.id();
    for (uint32_t c : read.counters()) sum += c;
    sum += read.big() + read.count() + read.port1() + read.port2();
    sum += static_cast<uint64_t>(read.ratio() + read.temperature());
    sum += static_cast<uint64_t>(read.host()[0] + read.parameter()[0] + read.status()[0] +
                                 read.city()[0]);
    sum += read.digest().size() + read.empty().size();
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(Protobuf)->Name("message/protobuf/20");
#endif

}  // namespace
