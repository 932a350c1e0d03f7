#include "containers/rwlock.h"

#include <gtest/gtest.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

struct Counters {
  DWORD waitingReaders, waitingWriters;
  int lockCount;
};

Counters Read(RWLOCK lock) {
  zavrin::MutexLock hold(&lock->mutex);
  return Counters{lock->waitingReaders, lock->waitingWriters, lock->LockCount()};
}

// Waits until the lock's counters satisfy done (or five seconds pass).
template <typename Pred>
bool AwaitCounters(RWLOCK lock, Pred done) {
  for (int i = 0; i < 5000; i++) {
    if (done(Read(lock))) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

bool AwaitFlag(const std::atomic<bool> &flag) {
  for (int i = 0; i < 5000 && !flag; i++) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return flag;
}

// Waits until count threads sleep in the event (or five seconds pass).
bool AwaitEventWaiters(zavrin::Event *event, uint32_t count) {
  for (int i = 0; i < 5000 && event->WaitingForTesting() != count; i++) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return event->WaitingForTesting() == count;
}

using Clock = std::chrono::steady_clock;

long MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

}  // namespace

TEST(RWLock, ReadersShareAndExcludeAWriter) {
  RWLOCK lock = RWLockCreate();
  ASSERT_NE(nullptr, lock);
  EXPECT_EQ(1, RWLockReadLock(lock, 0));
  EXPECT_EQ(1, RWLockReadLock(lock, 0));
  EXPECT_EQ(2, Read(lock).lockCount);
  EXPECT_EQ(0, RWLockWriteLock(lock, 0));
  EXPECT_EQ(0u, Read(lock).waitingWriters);
  RWLockUnlock(lock);
  RWLockUnlock(lock);
  EXPECT_EQ(1, RWLockWriteLock(lock, 0));
  EXPECT_EQ(-1, Read(lock).lockCount);
  EXPECT_EQ(0, RWLockReadLock(lock, 0));
  EXPECT_EQ(0, RWLockWriteLock(lock, 0));
  RWLockUnlock(lock);
  RWLockUnlock(lock);
  EXPECT_EQ(0, Read(lock).lockCount);
  RWLockDestroy(lock);
}

TEST(RWLock, WaitingWriterGoesBeforeNewReaders) {
  RWLOCK lock = RWLockCreate();
  ASSERT_EQ(1, RWLockReadLock(lock, 0));
  ASSERT_EQ(1, RWLockReadLock(lock, 0));
  std::atomic<bool> writerIn{false}, writerOut{false}, readerIn{false};
  std::thread writer([&] {
    ASSERT_EQ(1, RWLockWriteLock(lock, INFINITE));
    writerIn = true;
    while (!writerOut) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    RWLockUnlock(lock);
  });
  ASSERT_TRUE(AwaitCounters(lock, [](Counters c) { return c.waitingWriters == 1; }));
  std::thread reader([&] {
    ASSERT_EQ(1, RWLockReadLock(lock, INFINITE));
    readerIn = true;
    RWLockUnlock(lock);
  });
  ASSERT_TRUE(AwaitCounters(lock, [](Counters c) { return c.waitingReaders == 1; }));

  RWLockUnlock(lock);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(writerIn);
  EXPECT_EQ(1, Read(lock).lockCount);

  RWLockUnlock(lock);
  ASSERT_TRUE(AwaitFlag(writerIn));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(readerIn);
  EXPECT_EQ(1u, Read(lock).waitingReaders);

  writerOut = true;
  writer.join();
  reader.join();
  EXPECT_TRUE(readerIn);
  EXPECT_EQ(0, Read(lock).lockCount);
  RWLockDestroy(lock);
}

TEST(RWLock, WriterUnlockWakesAWriterBeforeReaders) {
  RWLOCK lock = RWLockCreate();
  ASSERT_EQ(1, RWLockWriteLock(lock, 0));
  std::atomic<bool> writerIn{false}, writerOut{false};
  std::atomic<int> readersIn{0};
  std::thread writer([&] {
    ASSERT_EQ(1, RWLockWriteLock(lock, INFINITE));
    writerIn = true;
    while (!writerOut) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    RWLockUnlock(lock);
  });
  ASSERT_TRUE(AwaitCounters(lock, [](Counters c) { return c.waitingWriters == 1; }));
  std::vector<std::thread> readers;
  for (int i = 0; i < 3; i++) {
    readers.emplace_back([&] {
      ASSERT_EQ(1, RWLockReadLock(lock, INFINITE));
      readersIn++;
    });
  }
  ASSERT_TRUE(AwaitCounters(lock, [](Counters c) { return c.waitingReaders == 3; }));

  RWLockUnlock(lock);
  ASSERT_TRUE(AwaitFlag(writerIn));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(0, readersIn.load());
  writerOut = true;
  writer.join();
  for (auto &t : readers) t.join();
  EXPECT_EQ(3, Read(lock).lockCount);
  for (int i = 0; i < 3; i++) RWLockUnlock(lock);
  RWLockDestroy(lock);
}

TEST(RWLock, ReaderHeldBackByAWriterSleepsOnAfterItGivesUp) {
  RWLOCK lock = RWLockCreate();
  ASSERT_EQ(1, RWLockReadLock(lock, 0));
  std::atomic<bool> writerDone{false}, readerIn{false};
  std::thread writer([&] {
    EXPECT_EQ(0, RWLockWriteLock(lock, 200));
    writerDone = true;
  });
  ASSERT_TRUE(AwaitCounters(lock, [](Counters c) { return c.waitingWriters == 1; }));
  std::thread reader([&] {
    EXPECT_EQ(1, RWLockReadLock(lock, INFINITE));
    readerIn = true;
  });
  ASSERT_TRUE(AwaitFlag(writerDone));
  writer.join();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(readerIn);
  RWLockUnlock(lock);
  reader.join();
  EXPECT_TRUE(readerIn);
  EXPECT_EQ(1, Read(lock).lockCount);
  RWLockUnlock(lock);
  RWLockDestroy(lock);
}

// The holder leaves the lock at the moment the only waiting writer's time-out
// runs out: the wake-up goes to the writer, which gives up. The reader that
// waited behind it must not sleep on a lock that is now free.
TEST(RWLock, WriterGivingUpOnAFreedLockLetsReadersIn) {
  RWLOCK lock = RWLockCreate();
  ASSERT_EQ(1, RWLockReadLock(lock, 0));
  std::thread writer([&] { EXPECT_EQ(0, RWLockWriteLock(lock, 300)); });
  ASSERT_TRUE(AwaitCounters(lock, [](Counters c) { return c.waitingWriters == 1; }));
  std::atomic<int> readResult{-1};
  std::thread reader([&] { readResult = RWLockReadLock(lock, 5000); });
  ASSERT_TRUE(AwaitCounters(lock, [](Counters c) { return c.waitingReaders == 1; }));
  ASSERT_TRUE(AwaitEventWaiters(&lock->writeEvent, 1));
  {
    // Hold the mutex until the writer's wait has run out, then release the
    // read hold the way RWLockUnlock does while the writer still counts as
    // waiting.
    zavrin::MutexLock hold(&lock->mutex);
    ASSERT_EQ(1u, lock->waitingWriters);
    ASSERT_TRUE(AwaitEventWaiters(&lock->writeEvent, 0));
    lock->SetLockCount(0);
    lock->writeEvent.Set();
  }
  writer.join();
  reader.join();
  EXPECT_EQ(1, readResult.load());
  RWLockUnlock(lock);
  RWLockDestroy(lock);
}

TEST(RWLock, TimeOutsAddUpAcrossWakeUps) {
  // A sleeper woken every 20 ms that finds the lock still taken must give up
  // after its time-out in total, not restart it at every wake-up.
  for (bool write : {false, true}) {
    RWLOCK lock = RWLockCreate();
    ASSERT_EQ(1, RWLockWriteLock(lock, 0));
    std::atomic<bool> done{false};
    std::atomic<int> result{-1};
    auto start = Clock::now();
    std::thread sleeper([&] {
      result = write ? RWLockWriteLock(lock, 150) : RWLockReadLock(lock, 150);
      done = true;
    });
    while (!done && MsSince(start) < 3000) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      if (write) {
        lock->writeEvent.Set();
      } else {
        lock->readEvent.Pulse();
      }
    }
    sleeper.join();
    EXPECT_EQ(0, result.load()) << write;
    EXPECT_GE(MsSince(start), 145) << write;
    EXPECT_LT(MsSince(start), 3000) << write;
    RWLockUnlock(lock);
    RWLockDestroy(lock);
  }
}

TEST(RWLock, TimeOutSurvivesAWrapOfTheTickCounter) {
  RWLOCK lock = RWLockCreate();
  ASSERT_EQ(1, RWLockWriteLock(lock, 0));
  // The counter passes 0xFFFFFFFF `margin` ms after the reader starts and in
  // the middle of its wait, through which it is woken every 10 ms. A slow
  // machine that lets the wrap come before the reader sleeps gets a wider
  // margin.
  bool wrapped = false;
  for (DWORD margin : {100u, 1000u}) {
    if (wrapped) break;
    const DWORD timeout = margin + 200;
    zavrin::SetTickCountOffsetForTesting(0u - zavrin::GetTickCount() - margin);
    auto start = Clock::now();
    std::atomic<bool> done{false};
    std::atomic<int> result{-1};
    std::thread reader([&] {
      result = RWLockReadLock(lock, timeout);
      done = true;
    });
    EXPECT_TRUE(AwaitEventWaiters(&lock->readEvent, 1));
    bool sleptBeforeWrap = zavrin::GetTickCount() > 0x80000000u;
    while (!done && MsSince(start) < 5000) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      lock->readEvent.Pulse();
    }
    reader.join();
    long waited = MsSince(start);
    wrapped = sleptBeforeWrap && zavrin::GetTickCount() < 0x80000000u;
    zavrin::SetTickCountOffsetForTesting(0);
    EXPECT_EQ(0, result.load()) << margin;
    EXPECT_GE(waited, static_cast<long>(timeout) - 5) << margin;
    EXPECT_LT(waited, 5000) << margin;
  }
  EXPECT_TRUE(wrapped) << "the counter never wrapped during a wait";
  RWLockUnlock(lock);
  RWLockDestroy(lock);
}

TEST(RWLock, InfiniteWaitReturnsOnlyWithTheLock) {
  RWLOCK lock = RWLockCreate();
  ASSERT_EQ(1, RWLockWriteLock(lock, 0));
  std::atomic<bool> in{false};
  std::thread reader([&] {
    EXPECT_EQ(1, RWLockReadLock(lock, INFINITE));
    in = true;
  });
  ASSERT_TRUE(AwaitCounters(lock, [](Counters c) { return c.waitingReaders == 1; }));
  // Wake-ups that find the writer still there send the reader back to sleep.
  for (int i = 0; i < 5; i++) {
    lock->readEvent.Pulse();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_FALSE(in);
  RWLockUnlock(lock);
  reader.join();
  EXPECT_TRUE(in);
  RWLockUnlock(lock);
  RWLockDestroy(lock);
}

TEST(RWLock, DestroyLeavesAHeldLockUsable) {
  RWLOCK lock = RWLockCreate();
  ASSERT_EQ(1, RWLockReadLock(lock, 0));
  RWLockDestroy(lock);
  EXPECT_EQ(1, Read(lock).lockCount);
  RWLockUnlock(lock);
  ASSERT_EQ(1, RWLockWriteLock(lock, 0));
  RWLockDestroy(lock);
  EXPECT_EQ(-1, Read(lock).lockCount);
  RWLockUnlock(lock);
  // Unlocking a free lock leaves it free.
  RWLockUnlock(lock);
  EXPECT_EQ(0, Read(lock).lockCount);
  RWLockDestroy(lock);  // frees it: the leak checker would tell otherwise
}

TEST(RWLock, NullLockReturnsAtOnce) {
  EXPECT_EQ(0, RWLockReadLock(nullptr, INFINITE));
  EXPECT_EQ(0, RWLockWriteLock(nullptr, INFINITE));
  RWLockUnlock(nullptr);
  RWLockDestroy(nullptr);
}

TEST(RWLock, WritersExcludeEveryoneUnderLoad) {
  RWLOCK lock = RWLockCreate();
  // Plain variables: a reader overlapping a writer is a data race that the
  // thread sanitizer reports, and without it shows as a torn pair.
  long first = 0, second = 0;
  std::atomic<int> torn{0}, writes{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; t++) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 5000; i++) {
        // Some acquisitions give up at once or after a millisecond, so that
        // time-outs mix with the hand-overs.
        DWORD timeout = i % 3 == 0 ? INFINITE : static_cast<DWORD>(i % 3 - 1);
        if ((i + t) % 4 == 0) {
          if (RWLockWriteLock(lock, timeout) == 0) continue;
          first++;
          second++;
          writes++;
        } else {
          if (RWLockReadLock(lock, timeout) == 0) continue;
          if (first != second) torn++;
        }
        RWLockUnlock(lock);
      }
    });
  }
  for (auto &t : threads) t.join();
  EXPECT_EQ(0, torn.load());
  EXPECT_EQ(writes.load(), first);
  EXPECT_GT(first, 0);
  // Free, and nobody left counted as waiting.
  EXPECT_EQ(0u, lock->state.load());
  RWLockDestroy(lock);
}

// The gate is left open by the last release of readers. A writer that then
// takes the free lock without the mutex does not close it, and a reader that
// waits behind that writer must sleep, not pass the open gate again and again.
TEST(RWLock, ReaderBehindAWriterSleepsThoughTheGateWasLeftOpen) {
  RWLOCK lock = RWLockCreate();
  ASSERT_EQ(1, RWLockWriteLock(lock, 0));
  std::thread first([&] {
    EXPECT_EQ(1, RWLockReadLock(lock, INFINITE));
    RWLockUnlock(lock);
  });
  ASSERT_TRUE(AwaitCounters(lock, [](Counters c) { return c.waitingReaders == 1; }));
  RWLockUnlock(lock);
  first.join();
  ASSERT_EQ(1, RWLockWriteLock(lock, 0));
  std::atomic<long> cpuMs{-1};
  std::atomic<int> result{-1};
  std::thread second([&] {
    struct timespec before, after;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &before);
    result = RWLockReadLock(lock, 200);
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &after);
    cpuMs = (after.tv_sec - before.tv_sec) * 1000 + (after.tv_nsec - before.tv_nsec) / 1000000;
  });
  // Wake-ups that take less than a tick use up none of the time-out, so a
  // reader passing the open gate would spin until the writer leaves.
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  RWLockUnlock(lock);
  second.join();
  EXPECT_EQ(0, result.load());
  EXPECT_LT(cpuMs.load(), 50);
  if (result == 1) RWLockUnlock(lock);
  RWLockDestroy(lock);
}
