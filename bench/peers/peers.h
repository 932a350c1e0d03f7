// What the comparison benchmarks share: the same bytes for both sides of a pair.
#ifndef ZAVRIN_BENCH_PEERS_H
#define ZAVRIN_BENCH_PEERS_H

#include <stddef.h>
#include <stdint.h>

#include <random>
#include <vector>

namespace peers {

// Deterministic pseudo-random bytes, so that every run measures the same input.
inline std::vector<unsigned char> RandomBytes(size_t size, unsigned seed = 42) {
  std::mt19937 gen(seed);
  std::vector<unsigned char> bytes(size);
  for (auto &b : bytes) b = static_cast<unsigned char>(gen());
  return bytes;
}

}  // namespace peers

#endif  // ZAVRIN_BENCH_PEERS_H
