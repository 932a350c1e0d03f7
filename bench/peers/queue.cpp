// Queue with producers and consumers sleeping in GetOrBlock, beside std::mutex
// + std::deque + std::condition_variable: 1 producer and 1 consumer, 4 and 4.
#include <zavrin/containers.h>

#include <benchmark/benchmark.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace {

struct ZavrinQueue {
  Queue queue;
  void Put(void *p) { queue.Put(p); }
  void *Take() { return queue.GetOrBlock(); }
};

struct StdQueue {
  std::mutex mu;
  std::condition_variable cv;
  std::deque<void *> items;
  void Put(void *p) {
    {
      std::lock_guard<std::mutex> lock(mu);
      items.push_back(p);
    }
    cv.notify_one();
  }
  void *Take() {
    std::unique_lock<std::mutex> lock(mu);
    cv.wait(lock, [&] { return !items.empty(); });
    void *p = items.front();
    items.pop_front();
    return p;
  }
};

const int kItems = 40000;  // per iteration, across all producers

// Each iteration moves kItems pointers from the producers to the consumers; each
// consumer then takes one end marker, put after the last item.
template <typename Q>
void Transfer(benchmark::State &state) {
  const int threads = static_cast<int>(state.range(0));
  static int item, endMarker;
  for (auto _ : state) {
    Q q;
    std::vector<std::thread> pool;
    for (int c = 0; c < threads; c++) {
      pool.emplace_back([&] {
        while (q.Take() != &endMarker) {
        }
      });
    }
    std::vector<std::thread> producers;
    for (int p = 0; p < threads; p++) {
      producers.emplace_back([&] {
        for (int i = 0; i < kItems / threads; i++) q.Put(&item);
      });
    }
    for (auto &t : producers) t.join();
    for (int c = 0; c < threads; c++) q.Put(&endMarker);
    for (auto &t : pool) t.join();
  }
  state.SetItemsProcessed(state.iterations() * kItems);
}

}  // namespace

BENCHMARK(Transfer<ZavrinQueue>)->Name("queue/zavrin")->Arg(1)->Arg(4)->UseRealTime();
BENCHMARK(Transfer<StdQueue>)->Name("queue/std")->Arg(1)->Arg(4)->UseRealTime();
