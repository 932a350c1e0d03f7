// Writing and reading the XML form of messages.
#include <zavrin/message.h>

#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

namespace {

// A typical message: a few dozen variables of every type.
void FillTypical(CSCPMessage &message) {
  message.SetCode(21);
  message.SetId(12345);
  std::vector<BYTE> bytes(64, 0xA5);
  for (DWORD i = 0; i < 8; i++) {
    message.SetVariable(i * 5 + 1, static_cast<DWORD>(i * 1000));
    message.SetVariable(i * 5 + 2, "a value with <markup> & \"quotes\"");
    message.SetVariable(i * 5 + 3, static_cast<QWORD>(i) << 40);
    message.SetVariable(i * 5 + 4, 0.1 * i);
    message.SetVariable(i * 5 + 5, bytes.data(), static_cast<DWORD>(bytes.size()));
  }
}

void BM_CreateXml(benchmark::State &state) {
  CSCPMessage message;
  FillTypical(message);
  for (auto _ : state) {
    char *xml = message.CreateXML();
    benchmark::DoNotOptimize(xml);
    free(xml);
  }
}
BENCHMARK(BM_CreateXml);

void BM_ReadXml(benchmark::State &state) {
  CSCPMessage message;
  FillTypical(message);
  char *xml = message.CreateXML();
  for (auto _ : state) {
    CSCPMessage read(static_cast<const char *>(xml));
    benchmark::DoNotOptimize(read.GetId());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(strlen(xml)));
  free(xml);
}
BENCHMARK(BM_ReadXml);

// One long value made of many entity references, each a separate piece of
// character data: collection must stay linear in the value's length.
void BM_ReadXmlManyPieces(benchmark::State &state) {
  std::string doc = "<zvcp><message><variable id=\"1\" type=\"string\"><value>";
  for (int64_t i = 0; i < state.range(0); i++) doc += "&amp;x";
  doc += "</value></variable></message></zvcp>";
  for (auto _ : state) {
    CSCPMessage read(doc.c_str());
    benchmark::DoNotOptimize(read.IsVariableExist(1));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(doc.size()));
}
BENCHMARK(BM_ReadXmlManyPieces)->Arg(1 << 10)->Arg(1 << 14)->Arg(1 << 18);

// Many distinct variables: finding each id must not search the whole store.
void BM_ReadXmlManyVariables(benchmark::State &state) {
  std::string doc = "<zvcp><message>";
  for (int64_t i = 0; i < state.range(0); i++)
    doc += "<variable id=\"" + std::to_string(i * 7919) +
           "\" type=\"int32\"><value>1</value></variable>";
  doc += "</message></zvcp>";
  for (auto _ : state) {
    CSCPMessage read(doc.c_str());
    benchmark::DoNotOptimize(read.IsVariableExist(0));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(doc.size()));
}
BENCHMARK(BM_ReadXmlManyVariables)->Arg(1 << 10)->Arg(1 << 14)->Arg(1 << 17);

}  // namespace
