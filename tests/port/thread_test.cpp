#include "port/thread.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

using zavrin::Event;

namespace {

// Waits until count threads sleep in the event, so that a following Set or
// Pulse meets them there.
void AwaitWaiters(Event *event, uint32_t count) {
  for (int i = 0; i < 5000 && event->WaitingForTesting() != count; i++) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_EQ(count, event->WaitingForTesting());
}

// Waits until the counter of released threads reaches value.
void AwaitReleased(const std::atomic<int> &released, int value) {
  for (int i = 0; i < 5000 && released.load() < value; i++) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

// Starts count threads that each wait once on the event and count a release.
std::vector<std::thread> StartWaiters(Event *event, int count, std::atomic<int> *released,
                                      DWORD timeout = 5000) {
  std::vector<std::thread> threads;
  for (int i = 0; i < count; i++) {
    threads.emplace_back([=] {
      if (event->Wait(timeout)) (*released)++;
    });
  }
  return threads;
}

void JoinAll(std::vector<std::thread> *threads) {
  for (auto &t : *threads) t.join();
}

}  // namespace

TEST(Event, AutoResetSetReleasesOneWaiterPerSetting) {
  Event event(Event::kAutoReset);
  std::atomic<int> released{0};
  auto threads = StartWaiters(&event, 3, &released);
  AwaitWaiters(&event, 3);
  event.Set();
  AwaitWaiters(&event, 2);
  AwaitReleased(released, 1);
  EXPECT_EQ(1, released.load());
  // Two settings in a row with two sleepers release both: they do not merge.
  event.Set();
  event.Set();
  JoinAll(&threads);
  EXPECT_EQ(3, released.load());
  EXPECT_FALSE(event.Wait(0));
}

// A setting or pulse that finds a thread waiting is that thread's: one that
// starts waiting right afterwards does not take it over.
TEST(Event, AutoResetReleaseGoesToTheThreadThatWasWaiting) {
  for (bool pulse : {false, true}) {
    Event event(Event::kAutoReset);
    std::atomic<int> released{0};
    auto threads = StartWaiters(&event, 1, &released);
    AwaitWaiters(&event, 1);
    if (pulse) {
      event.Pulse();
    } else {
      event.Set();
    }
    EXPECT_FALSE(event.Wait(50)) << pulse;
    JoinAll(&threads);
    EXPECT_EQ(1, released.load()) << pulse;
  }
}

TEST(Event, AutoResetStaysSignalledForOneLaterWait) {
  Event event(Event::kAutoReset);
  event.Set();
  event.Set();
  EXPECT_TRUE(event.Wait(0));
  EXPECT_FALSE(event.Wait(0));

  Event initially(Event::kAutoReset, true);
  EXPECT_TRUE(initially.Wait(0));
  EXPECT_FALSE(initially.Wait(0));

  event.Set();
  event.Reset();
  EXPECT_FALSE(event.Wait(0));
}

TEST(Event, PulseWithoutWaiterLeavesItReset) {
  for (auto mode : {Event::kAutoReset, Event::kManualReset}) {
    Event event(mode);
    event.Pulse();
    EXPECT_FALSE(event.Wait(0));
    event.Set();
    event.Pulse();
    EXPECT_FALSE(event.Wait(0));
  }
}

TEST(Event, AutoResetPulseReleasesOneWaiter) {
  Event event(Event::kAutoReset);
  std::atomic<int> released{0};
  auto threads = StartWaiters(&event, 2, &released);
  AwaitWaiters(&event, 2);
  event.Pulse();
  AwaitWaiters(&event, 1);
  AwaitReleased(released, 1);
  EXPECT_EQ(1, released.load());
  EXPECT_FALSE(event.Wait(0));
  event.Pulse();
  JoinAll(&threads);
  EXPECT_EQ(2, released.load());
}

TEST(Event, ManualResetSetReleasesAllAndStaysSignalled) {
  Event event(Event::kManualReset);
  std::atomic<int> released{0};
  auto threads = StartWaiters(&event, 4, &released);
  AwaitWaiters(&event, 4);
  event.Set();
  JoinAll(&threads);
  EXPECT_EQ(4, released.load());
  EXPECT_TRUE(event.Wait(0));
  EXPECT_TRUE(event.Wait(0));
  event.Reset();
  EXPECT_FALSE(event.Wait(0));
}

TEST(Event, ManualResetSetThenResetStillReleasesPresentWaiters) {
  Event event(Event::kManualReset);
  std::atomic<int> released{0};
  auto threads = StartWaiters(&event, 3, &released);
  AwaitWaiters(&event, 3);
  event.Set();
  event.Reset();
  JoinAll(&threads);
  EXPECT_EQ(3, released.load());
}

TEST(Event, ManualResetPulseReleasesOnlyPresentWaiters) {
  Event event(Event::kManualReset);
  std::atomic<int> released{0};
  auto threads = StartWaiters(&event, 3, &released);
  AwaitWaiters(&event, 3);
  event.Pulse();
  JoinAll(&threads);
  EXPECT_EQ(3, released.load());
  // A thread that comes after the pulse sleeps until its time-out.
  EXPECT_FALSE(event.Wait(20));
}

TEST(Event, WaitSinceSeesAPulseThatCameBeforeTheWait) {
  Event event(Event::kManualReset);
  uint64_t generation = event.Generation();
  event.Pulse();
  EXPECT_TRUE(event.WaitSince(generation, 0));
  EXPECT_FALSE(event.WaitSince(event.Generation(), 0));
}

TEST(Event, TimedWaitTellsTimeOutFromSignal) {
  for (auto mode : {Event::kAutoReset, Event::kManualReset}) {
    Event event(mode);
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(event.Wait(50));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));

    std::thread setter([&] {
      AwaitWaiters(&event, 1);
      event.Set();
    });
    EXPECT_TRUE(event.Wait(5000));
    setter.join();
  }
}

TEST(Thread, JoinReturnsTheRoutineResult) {
  zavrin::Thread thread;
  EXPECT_EQ(0u, thread.Join());
  static int value = 0;
  ASSERT_TRUE(thread.Start(
      [](void *arg) -> DWORD {
        *static_cast<int *>(arg) = 7;
        return 1234;
      },
      &value));
  EXPECT_FALSE(thread.Start([](void *) -> DWORD { return 0; }, nullptr));
  EXPECT_EQ(1234u, thread.Join());
  EXPECT_EQ(7, value);
  EXPECT_FALSE(thread.started());
}

TEST(TickCount, FollowsTheMonotonicClockAndWraps) {
  DWORD before = zavrin::GetTickCount();
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  DWORD elapsed = zavrin::TicksSince(before, zavrin::GetTickCount());
  EXPECT_GE(elapsed, 29u);
  EXPECT_LT(elapsed, 10000u);

  // A counter that passes 0xFFFFFFFF still gives the elapsed time.
  EXPECT_EQ(0x30u, zavrin::TicksSince(0xFFFFFFF0u, 0x20u));
  zavrin::SetTickCountOffsetForTesting(0u - zavrin::GetTickCount() - 10);
  DWORD nearWrap = zavrin::GetTickCount();
  EXPECT_GT(nearWrap, 0xFFFFFF00u);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  DWORD afterWrap = zavrin::GetTickCount();
  zavrin::SetTickCountOffsetForTesting(0);
  EXPECT_LT(afterWrap, 0x1000u);
  EXPECT_GE(zavrin::TicksSince(nearWrap, afterWrap), 29u);
}

TEST(TickCount, ReduceTimeoutStopsAtZeroAndKeepsInfinite) {
  EXPECT_EQ(40u, zavrin::ReduceTimeout(100, 60));
  EXPECT_EQ(0u, zavrin::ReduceTimeout(100, 100));
  EXPECT_EQ(0u, zavrin::ReduceTimeout(100, 0xFFFFFFF0u));
  EXPECT_EQ(INFINITE, zavrin::ReduceTimeout(INFINITE, 5000));
}

TEST(ThreadSleep, ResumesAfterSignals) {
  struct sigaction action = {};
  action.sa_handler = [](int) {};
  struct sigaction old;
  sigaction(SIGUSR1, &action, &old);  // no SA_RESTART: nanosleep returns EINTR
  pthread_t sleeper = pthread_self();
  std::atomic<bool> done{false};
  std::thread poker([&] {
    while (!done) {
      pthread_kill(sleeper, SIGUSR1);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  auto start = std::chrono::steady_clock::now();
  zavrin::ThreadSleep(60);
  auto slept = std::chrono::steady_clock::now() - start;
  done = true;
  poker.join();
  sigaction(SIGUSR1, &old, nullptr);
  EXPECT_GE(slept, std::chrono::milliseconds(60));
}
