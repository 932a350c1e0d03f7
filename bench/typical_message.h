// The typical message of the benchmarks: 20 variables of the usual mix (mostly
// numbers, some short texts, one small binary).
#ifndef ZAVRIN_BENCH_TYPICAL_MESSAGE_H
#define ZAVRIN_BENCH_TYPICAL_MESSAGE_H

#include <zavrin/message.h>

namespace zavrin_bench {

inline const BYTE kTypicalDigest[20] = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10,
                                        11, 12, 13, 14, 15, 16, 17, 18, 19, 20};

inline void BuildTypical(CSCPMessage *msg) {
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
  msg->SetVariable(19, kTypicalDigest, sizeof(kTypicalDigest));
  msg->SetVariable(20, "");
}

}  // namespace zavrin_bench

#endif  // ZAVRIN_BENCH_TYPICAL_MESSAGE_H
