// The hand-off from MsgWaitQueue::Put to the return of the matching
// WaitForMessage, with 1 and with 8 threads waiting, each for its own id;
// beside it the container users would write themselves: a mutex, a list of
// messages and one condition variable that every put notifies.
#include <zavrin/message.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// The peer: what a hand-written reply table looks like.
class CondvarTable {
 public:
  ~CondvarTable() {
    for (CSCPMessage *msg : held_) delete msg;
  }
  void Put(CSCPMessage *msg) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      held_.push_back(msg);
    }
    cv_.notify_all();
  }
  CSCPMessage *Wait(WORD code, DWORD id, DWORD timeoutMs) {
    std::unique_lock<std::mutex> lock(mu_);
    CSCPMessage *found = nullptr;
    cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
      for (auto it = held_.begin(); it != held_.end(); ++it) {
        if ((*it)->GetCode() == code && (*it)->GetId() == id) {
          found = *it;
          held_.erase(it);
          return true;
        }
      }
      return false;
    });
    return found;
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<CSCPMessage *> held_;
};

struct ZavrinTable {
  MsgWaitQueue queue;
  void Put(CSCPMessage *msg) { queue.Put(msg); }
  CSCPMessage *Wait(WORD code, DWORD id, DWORD timeoutMs) {
    return queue.WaitForMessage(code, id, timeoutMs);
  }
};

const WORD kCode = 0x1F;

// Each waiter w waits in a loop for id w; the bench thread puts one reply for
// one waiter at a time, round robin, once every waiter has gone back to sleep,
// and the latency is the time from before Put to the return of the wait.
template <typename Table>
void Wakeup(benchmark::State &state) {
  const int waiterCount = static_cast<int>(state.range(0));
  Table table;
  std::atomic<bool> stop{false};
  std::vector<std::atomic<int64_t>> returned(waiterCount);
  for (auto &r : returned) r = 0;
  std::vector<std::thread> waiters;
  for (int w = 0; w < waiterCount; w++) {
    waiters.emplace_back([&, w] {
      while (!stop) {
        CSCPMessage *msg = table.Wait(kCode, static_cast<DWORD>(w), 1000);
        if (msg == nullptr) continue;
        returned[w] = Clock::now().time_since_epoch().count();
        delete msg;
      }
    });
  }
  std::vector<double> latencies;
  int target = 0;
  for (auto _ : state) {
    // Long enough for the waiters to be asleep again.
    std::this_thread::sleep_for(std::chrono::microseconds(300));
    returned[target] = 0;
    CSCPMessage *msg = new CSCPMessage();
    msg->SetCode(kCode);
    msg->SetId(static_cast<DWORD>(target));
    int64_t put = Clock::now().time_since_epoch().count();
    table.Put(msg);
    int64_t back;
    while ((back = returned[target].load()) == 0) std::this_thread::yield();
    double seconds = std::chrono::duration<double>(Clock::duration(back - put)).count();
    state.SetIterationTime(seconds);
    latencies.push_back(seconds * 1e6);
    target = (target + 1) % waiterCount;
  }
  stop = true;
  for (int w = 0; w < waiterCount; w++) {
    CSCPMessage *msg = new CSCPMessage();
    msg->SetCode(kCode);
    msg->SetId(static_cast<DWORD>(w));
    table.Put(msg);
  }
  for (auto &t : waiters) t.join();
  std::sort(latencies.begin(), latencies.end());
  if (!latencies.empty()) {
    state.counters["median_us"] = latencies[latencies.size() / 2];
    state.counters["p99_us"] =
        latencies[std::min(latencies.size() - 1, latencies.size() * 99 / 100)];
  }
  state.SetItemsProcessed(state.iterations());
}

}  // namespace

BENCHMARK(Wakeup<ZavrinTable>)
    ->Name("wakeup/zavrin")
    ->Arg(1)
    ->Arg(8)
    ->UseManualTime()
    ->Iterations(2000);
BENCHMARK(Wakeup<CondvarTable>)
    ->Name("wakeup/condvar")
    ->Arg(1)
    ->Arg(8)
    ->UseManualTime()
    ->Iterations(2000);
