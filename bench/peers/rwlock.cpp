// The read/write lock beside pthread_rwlock: uncontended read and write
// acquisitions, and 4 readers with 1 writer on a shared value.
#include <zavrin/containers.h>

#include <benchmark/benchmark.h>
#include <pthread.h>

#include <thread>
#include <vector>

namespace {

struct ZavrinLock {
  RWLOCK lock = RWLockCreate();
  ~ZavrinLock() { RWLockDestroy(lock); }
  void Read() { RWLockReadLock(lock, INFINITE); }
  void Write() { RWLockWriteLock(lock, INFINITE); }
  void Unlock() { RWLockUnlock(lock); }
};

struct PthreadLock {
  pthread_rwlock_t lock = PTHREAD_RWLOCK_INITIALIZER;
  ~PthreadLock() { pthread_rwlock_destroy(&lock); }
  void Read() { pthread_rwlock_rdlock(&lock); }
  void Write() { pthread_rwlock_wrlock(&lock); }
  void Unlock() { pthread_rwlock_unlock(&lock); }
};

template <typename L>
void Read(benchmark::State &state) {
  L lock;
  for (auto _ : state) {
    lock.Read();
    lock.Unlock();
  }
  state.SetItemsProcessed(state.iterations());
}

template <typename L>
void Write(benchmark::State &state) {
  L lock;
  for (auto _ : state) {
    lock.Write();
    lock.Unlock();
  }
  state.SetItemsProcessed(state.iterations());
}

const int kReads = 20000, kWrites = 2000;  // per thread and iteration

// range(0) readers and one writer on a shared counter.
template <typename L>
void Mixed(benchmark::State &state) {
  const int readers = static_cast<int>(state.range(0));
  for (auto _ : state) {
    L lock;
    volatile long shared = 0;
    std::vector<std::thread> threads;
    for (int r = 0; r < readers; r++) {
      threads.emplace_back([&] {
        long sum = 0;
        for (int i = 0; i < kReads; i++) {
          lock.Read();
          sum += shared;
          lock.Unlock();
        }
        benchmark::DoNotOptimize(sum);
      });
    }
    threads.emplace_back([&] {
      for (int i = 0; i < kWrites; i++) {
        lock.Write();
        shared = shared + 1;
        lock.Unlock();
      }
    });
    for (auto &t : threads) t.join();
  }
  state.SetItemsProcessed(state.iterations() * (readers * kReads + kWrites));
}

}  // namespace

BENCHMARK(Read<ZavrinLock>)->Name("rwlock_read/zavrin");
BENCHMARK(Read<PthreadLock>)->Name("rwlock_read/pthread");
BENCHMARK(Write<ZavrinLock>)->Name("rwlock_write/zavrin");
BENCHMARK(Write<PthreadLock>)->Name("rwlock_write/pthread");
BENCHMARK(Mixed<ZavrinLock>)->Name("rwlock_mixed/zavrin")->Arg(4)->UseRealTime();
BENCHMARK(Mixed<PthreadLock>)->Name("rwlock_mixed/pthread")->Arg(4)->UseRealTime();
