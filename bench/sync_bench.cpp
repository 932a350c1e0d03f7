// Costs of the synchronisation building blocks: queue operations, lock
// acquisitions and an event hand-off between two threads.
#include <zavrin/containers.h>

#include <benchmark/benchmark.h>

#include <atomic>
#include <thread>

#include "port/thread.h"

static void BM_QueuePutGet(benchmark::State &state) {
  Queue queue;
  int element = 0;
  for (auto _ : state) {
    queue.Put(&element);
    benchmark::DoNotOptimize(queue.Get());
  }
}
BENCHMARK(BM_QueuePutGet);

// Fills the queue from empty, so that the ring grows by its increment.
static void BM_QueueGrowFromEmpty(benchmark::State &state) {
  int element = 0;
  for (auto _ : state) {
    Queue queue(0, 32);
    for (int i = 0; i < state.range(0); i++) queue.Put(&element);
    benchmark::DoNotOptimize(queue.Size());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_QueueGrowFromEmpty)->Arg(1024)->Arg(16384);

// One producer, one consumer sleeping in GetOrBlock.
static void BM_QueueProducerConsumer(benchmark::State &state) {
  Queue queue;
  int element = 0;
  std::thread consumer([&] {
    while (queue.GetOrBlock() != QUEUE_SHUTDOWN_MARKER) {
    }
  });
  for (auto _ : state) queue.Put(&element);
  queue.SetShutdownMode();
  consumer.join();
}
BENCHMARK(BM_QueueProducerConsumer);

static void BM_RWLockReadUnlock(benchmark::State &state) {
  RWLOCK lock = RWLockCreate();
  for (auto _ : state) {
    RWLockReadLock(lock, INFINITE);
    RWLockUnlock(lock);
  }
  RWLockDestroy(lock);
}
BENCHMARK(BM_RWLockReadUnlock);

static void BM_RWLockWriteUnlock(benchmark::State &state) {
  RWLOCK lock = RWLockCreate();
  for (auto _ : state) {
    RWLockWriteLock(lock, INFINITE);
    RWLockUnlock(lock);
  }
  RWLockDestroy(lock);
}
BENCHMARK(BM_RWLockWriteUnlock);

// A round trip: set one auto-reset event, wait for the other thread's answer.
static void BM_EventPingPong(benchmark::State &state) {
  zavrin::Event ping(zavrin::Event::kAutoReset), pong(zavrin::Event::kAutoReset);
  std::atomic<bool> stop{false};
  std::thread partner([&] {
    for (;;) {
      ping.Wait(INFINITE);
      if (stop) return;
      pong.Set();
    }
  });
  for (auto _ : state) {
    ping.Set();
    pong.Wait(INFINITE);
  }
  stop = true;
  ping.Set();
  partner.join();
}
BENCHMARK(BM_EventPingPong);

static void BM_GetTickCount(benchmark::State &state) {
  for (auto _ : state) benchmark::DoNotOptimize(zavrin::GetTickCount());
}
BENCHMARK(BM_GetTickCount);
