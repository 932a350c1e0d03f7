#include <zavrin/containers.h>

#include <gtest/gtest.h>

#include "fail_alloc.h"
#include "port/thread.h"

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

// Reads the ring of a queue, so that the tests can follow elements to their slots.
struct QueueInspector {
  explicit QueueInspector(Queue *q) : queue(q) {}
  DWORD capacity() const { return queue->capacity; }
  DWORD head() const { return queue->head; }
  DWORD tail() const { return queue->tail; }
  void *slot(DWORD index) const { return queue->slots[index]; }
  uint32_t sleepers() const { return queue->wakeEvent->WaitingForTesting(); }
  Queue *queue;
};

namespace {

char A, B, C, D, E, F, X;

std::vector<void *> TakeAll(Queue *queue) {
  std::vector<void *> taken;
  for (void *p = queue->Get(); p != nullptr; p = queue->Get()) taken.push_back(p);
  return taken;
}

}  // namespace

TEST(Queue, DefaultRingGrowsBy32AtThe257thPut) {
  Queue queue;
  QueueInspector ring(&queue);
  std::vector<int> values(257);
  for (int i = 0; i < 256; i++) queue.Put(&values[i]);
  EXPECT_EQ(256u, ring.capacity());
  queue.Put(&values[256]);
  EXPECT_EQ(288u, ring.capacity());
  EXPECT_EQ(257u, queue.Size());
  std::vector<void *> taken = TakeAll(&queue);
  ASSERT_EQ(257u, taken.size());
  for (int i = 0; i < 257; i++) EXPECT_EQ(&values[i], taken[i]) << i;
}

TEST(Queue, FullRingMovesTheOldRunToTheNewEnd) {
  Queue queue(4, 2);
  QueueInspector ring(&queue);
  queue.Put(&A);
  queue.Put(&B);
  queue.Put(&C);
  queue.Put(&D);
  EXPECT_EQ(&A, queue.Get());
  queue.Put(&E);
  EXPECT_EQ(&E, ring.slot(0));
  EXPECT_EQ(1u, ring.head());
  EXPECT_EQ(1u, ring.tail());

  queue.Put(&F);
  EXPECT_EQ(6u, ring.capacity());
  EXPECT_EQ(&E, ring.slot(0));
  EXPECT_EQ(&F, ring.slot(1));
  EXPECT_EQ(&B, ring.slot(3));
  EXPECT_EQ(&C, ring.slot(4));
  EXPECT_EQ(&D, ring.slot(5));
  EXPECT_EQ(3u, ring.head());
  EXPECT_EQ(2u, ring.tail());
  EXPECT_EQ((std::vector<void *>{&B, &C, &D, &E, &F}), TakeAll(&queue));
}

TEST(Queue, InsertGoesToTheFront) {
  Queue fresh;
  QueueInspector ring(&fresh);
  fresh.Insert(&X);
  EXPECT_EQ(&X, ring.slot(255));
  EXPECT_EQ(&X, fresh.Get());
  fresh.Put(&A);
  EXPECT_EQ(&A, fresh.Get());
  EXPECT_EQ(nullptr, fresh.Get());

  Queue queue;
  queue.Put(&A);
  queue.Put(&B);
  queue.Insert(&X);
  EXPECT_EQ((std::vector<void *>{&X, &A, &B}), TakeAll(&queue));

  // Insert into a full ring grows it first.
  Queue full(2, 1);
  full.Put(&A);
  full.Put(&B);
  full.Insert(&X);
  EXPECT_EQ((std::vector<void *>{&X, &A, &B}), TakeAll(&full));
}

TEST(Queue, EmptyAndZeroSizedQueues) {
  Queue queue;
  EXPECT_EQ(nullptr, queue.Get());

  Queue zero(0, 1);
  QueueInspector ring(&zero);
  EXPECT_EQ(0u, ring.capacity());
  EXPECT_EQ(nullptr, zero.Get());
  zero.Put(&A);
  EXPECT_EQ(1u, ring.capacity());
  zero.Put(&B);
  EXPECT_EQ((std::vector<void *>{&A, &B}), TakeAll(&zero));

  // An increment of 0 cannot grow a full ring: it is taken as 1 rather than
  // overwriting the oldest element.
  Queue noIncrement(1, 0);
  noIncrement.Put(&A);
  noIncrement.Put(&B);
  EXPECT_EQ((std::vector<void *>{&A, &B}), TakeAll(&noIncrement));
}

TEST(Queue, ClearForgetsElementsAndKeepsCapacity) {
  Queue queue(2, 3);
  QueueInspector ring(&queue);
  for (char *p : {&A, &B, &C}) queue.Put(p);
  EXPECT_EQ(5u, ring.capacity());
  queue.Clear();
  EXPECT_EQ(0u, queue.Size());
  EXPECT_EQ(nullptr, queue.Get());
  EXPECT_EQ(5u, ring.capacity());
  queue.Put(&D);
  EXPECT_EQ(&D, queue.Get());
}

TEST(Queue, ShutdownReturnsTheMarkerAndKeepsElements) {
  Queue queue;
  queue.Put(&A);
  queue.Put(&B);
  queue.SetShutdownMode();
  EXPECT_EQ(QUEUE_SHUTDOWN_MARKER, queue.Get());
  EXPECT_EQ(QUEUE_SHUTDOWN_MARKER, queue.GetOrBlock());
  EXPECT_EQ(2u, queue.Size());
  EXPECT_EQ(reinterpret_cast<void *>(~uintptr_t{0}), QUEUE_SHUTDOWN_MARKER);
}

TEST(Queue, ShutdownReleasesABlockedConsumer) {
  Queue queue;
  std::atomic<void *> result{nullptr};
  std::thread consumer([&] { result = queue.GetOrBlock(); });
  // Shut down only once the consumer sleeps in the event.
  QueueInspector ring(&queue);
  for (int i = 0; i < 5000 && ring.sleepers() == 0; i++) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(1u, ring.sleepers());
  queue.SetShutdownMode();
  consumer.join();
  EXPECT_EQ(QUEUE_SHUTDOWN_MARKER, result.load());
}

// Elements put while several consumers sleep, and a shutdown, reach every one of
// them, however the settings of the wake event merge.
TEST(Queue, EverySleeperWakesForItsElementOrTheShutdown) {
  for (bool shutdown : {false, true}) {
    SCOPED_TRACE(shutdown);
    Queue queue;
    const int kConsumers = 4;
    std::atomic<int> returned{0};
    std::vector<std::thread> consumers;
    int values[kConsumers];
    for (int c = 0; c < kConsumers; c++) {
      consumers.emplace_back([&] {
        queue.GetOrBlock();
        returned++;
      });
    }
    QueueInspector ring(&queue);
    for (int i = 0; i < 5000 && ring.sleepers() < kConsumers; i++)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(static_cast<unsigned>(kConsumers), ring.sleepers());
    if (shutdown) {
      queue.SetShutdownMode();
    } else {
      for (int c = 0; c < kConsumers; c++) queue.Put(&values[c]);
    }
    for (int i = 0; i < 10000 && returned < kConsumers; i++)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(kConsumers, returned.load());
    // Whatever happened, no thread is left behind.
    while (returned < kConsumers) {
      queue.SetShutdownMode();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    for (auto &t : consumers) t.join();
    EXPECT_EQ(0u, queue.Size());
  }
}

// One element at a time, each put while the consumers are on their way into
// sleep or already asleep: a Put that leaves the wake event alone because a
// setting is still pending must not strand an element beside a sleeper.
TEST(Queue, ElementsHandedOneByOneToFallingAsleepConsumersAllArrive) {
  for (int consumers : {1, 2}) {
    SCOPED_TRACE(consumers);
    Queue queue;
    const int kElements = 3000;
    std::atomic<int> taken{0};
    std::vector<std::thread> threads;
    for (int c = 0; c < consumers; c++) {
      threads.emplace_back([&] {
        while (queue.GetOrBlock() != QUEUE_SHUTDOWN_MARKER) taken++;
      });
    }
    int value = 0;
    for (int i = 1; i <= kElements; i++) {
      queue.Put(&value);
      // Wait for the take, at most 5 s; a stranded element ends the test.
      auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
      while (taken < i && std::chrono::steady_clock::now() < deadline) {
        if (i % 2 == 0) std::this_thread::yield();
      }
      if (taken < i) {
        ADD_FAILURE() << "element " << i << " was not taken";
        break;
      }
    }
    queue.SetShutdownMode();
    for (auto &t : threads) t.join();
  }
}

TEST(Queue, BlockedConsumersTakeEveryElementOnce) {
  Queue queue(4, 4);
  const int kConsumers = 4, kPerProducer = 5000, kProducers = 2;
  std::vector<std::vector<int>> values(kProducers, std::vector<int>(kPerProducer));
  std::vector<std::atomic<int>> seen(kProducers * kPerProducer);
  std::vector<std::thread> threads;
  for (int c = 0; c < kConsumers; c++) {
    threads.emplace_back([&] {
      for (;;) {
        void *p = queue.GetOrBlock();
        if (p == QUEUE_SHUTDOWN_MARKER) return;
        int *value = static_cast<int *>(p);
        seen[*value]++;
      }
    });
  }
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; p++) {
    producers.emplace_back([&, p] {
      for (int i = 0; i < kPerProducer; i++) {
        values[p][i] = p * kPerProducer + i;
        queue.Put(&values[p][i]);
      }
    });
  }
  for (auto &t : producers) t.join();
  while (queue.Size() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  // Each setting of the event wakes one sleeper, so shut down until all left.
  std::atomic<bool> joined{false};
  std::thread stopper([&] {
    while (!joined) {
      queue.SetShutdownMode();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  for (auto &t : threads) t.join();
  joined = true;
  stopper.join();
  for (size_t i = 0; i < seen.size(); i++) ASSERT_EQ(1, seen[i].load()) << i;
}

TEST(Queue, FullRingThatCannotGrowStaysIntact) {
  if (!FAIL_ALLOC_AVAILABLE) GTEST_SKIP() << "the sanitizer owns the allocator";
  Queue queue(2, 2);
  QueueInspector ring(&queue);
  queue.Put(&A);
  queue.Put(&B);
  zavrin_test::WithAllocations(0, [&] { queue.Put(&C); });
  zavrin_test::WithAllocations(0, [&] { queue.Insert(&X); });
  EXPECT_EQ(2u, ring.capacity());
  EXPECT_EQ(2u, queue.Size());
  queue.Put(&D);
  EXPECT_EQ(4u, ring.capacity());
  EXPECT_EQ((std::vector<void *>{&A, &B, &D}), TakeAll(&queue));

  // A ring that never got its first slots stays empty.
  Queue zero(0, 8);
  zavrin_test::WithAllocations(0, [&] { zero.Put(&A); });
  EXPECT_EQ(0u, zero.Size());
  EXPECT_EQ(nullptr, zero.Get());
}
