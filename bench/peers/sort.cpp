// QSortEx beside glibc's qsort_r (the same callback with a context) and
// std::sort (its comparison inlined): 1,000,000 random ints and 100,000
// 24-byte records ordered by their first 8 bytes. Every iteration sorts a fresh
// copy of the same unsorted data; the copying is not timed.
#include <zavrin/utils.h>

#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "peers.h"

namespace {

struct Record {
  uint64_t key;
  uint64_t payload[2];
};
static_assert(sizeof(Record) == 24, "24-byte records");

const size_t kInts = 1000000;
const size_t kRecords = 100000;

std::vector<int> RandomInts() {
  std::vector<unsigned char> bytes = peers::RandomBytes(kInts * sizeof(int));
  std::vector<int> values(kInts);
  memcpy(values.data(), bytes.data(), bytes.size());
  return values;
}

std::vector<Record> RandomRecords() {
  std::vector<unsigned char> bytes = peers::RandomBytes(kRecords * sizeof(Record), 7);
  std::vector<Record> records(kRecords);
  memcpy(records.data(), bytes.data(), bytes.size());
  return records;
}

// The callbacks both C sorts get; the context counts nothing, it only has to
// arrive.
int CompareInts(const void *a, const void *b, void *) {
  int x = *static_cast<const int *>(a);
  int y = *static_cast<const int *>(b);
  return (x > y) - (x < y);
}
int CompareRecords(const void *a, const void *b, void *) {
  uint64_t x = static_cast<const Record *>(a)->key;
  uint64_t y = static_cast<const Record *>(b)->key;
  return (x > y) - (x < y);
}

bool operator<(const Record &a, const Record &b) {
  return a.key < b.key;
}

template <typename T, typename Sort>
void Run(benchmark::State &state, const std::vector<T> &input, Sort sort) {
  std::vector<T> work(input.size());
  int context = 0;
  for (auto _ : state) {
    state.PauseTiming();
    work = input;
    state.ResumeTiming();
    sort(work.data(), work.size(), &context);
    benchmark::ClobberMemory();
  }
  if (!std::is_sorted(work.begin(), work.end())) state.SkipWithError("not sorted");
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * input.size()));
}

template <typename T>
void Zavrin(benchmark::State &state, const std::vector<T> &input, QSORT_COMPARE compare) {
  Run(state, input, [compare](T *data, size_t n, void *context) {
    QSortEx(data, static_cast<DWORD>(n), sizeof(T), context, compare);
  });
}
template <typename T>
void QsortR(benchmark::State &state, const std::vector<T> &input, QSORT_COMPARE compare) {
  Run(state, input, [compare](T *data, size_t n, void *context) {
    qsort_r(data, n, sizeof(T), compare, context);
  });
}
template <typename T>
void StdSort(benchmark::State &state, const std::vector<T> &input) {
  Run(state, input, [](T *data, size_t n, void *) { std::sort(data, data + n); });
}

const std::vector<int> &Ints() {
  static const std::vector<int> ints = RandomInts();
  return ints;
}
const std::vector<Record> &Records() {
  static const std::vector<Record> records = RandomRecords();
  return records;
}

void IntsZavrin(benchmark::State &state) {
  Zavrin(state, Ints(), CompareInts);
}
void IntsQsortR(benchmark::State &state) {
  QsortR(state, Ints(), CompareInts);
}
void IntsStdSort(benchmark::State &state) {
  StdSort(state, Ints());
}
void RecordsZavrin(benchmark::State &state) {
  Zavrin(state, Records(), CompareRecords);
}
void RecordsQsortR(benchmark::State &state) {
  QsortR(state, Records(), CompareRecords);
}
void RecordsStdSort(benchmark::State &state) {
  StdSort(state, Records());
}

}  // namespace

BENCHMARK(IntsZavrin)->Name("sort_ints/zavrin")->Unit(benchmark::kMillisecond);
BENCHMARK(IntsQsortR)->Name("sort_ints/qsort_r")->Unit(benchmark::kMillisecond);
BENCHMARK(IntsStdSort)->Name("sort_ints/std_sort")->Unit(benchmark::kMillisecond);
BENCHMARK(RecordsZavrin)->Name("sort_records/zavrin")->Unit(benchmark::kMillisecond);
BENCHMARK(RecordsQsortR)->Name("sort_records/qsort_r")->Unit(benchmark::kMillisecond);
BENCHMARK(RecordsStdSort)->Name("sort_records/std_sort")->Unit(benchmark::kMillisecond);
