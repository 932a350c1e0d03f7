#include <zavrin/message.h>

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <chrono>
#include <random>
#include <thread>
#include <vector>

#include "fail_alloc.h"
#include "port/thread.h"
#include "test_support.h"
#include "transport/wait_queue_waiter.h"

// Looks at the elements a queue holds.
struct MsgWaitQueueInspector {
  explicit MsgWaitQueueInspector(MsgWaitQueue *q) : queue(q) {}
  DWORD count() {
    queue->Lock();
    DWORD result = queue->elementCount;
    queue->Unlock();
    return result;
  }
  // Time-to-live of the only element, or 0 when the queue is empty.
  DWORD ttlOfOnly() {
    queue->Lock();
    DWORD result = queue->elementCount == 1 ? queue->elements[0].ttl : 0;
    queue->Unlock();
    return result;
  }
  uint32_t sleepers() {
    queue->Lock();
    uint32_t result = 0;
    for (MsgWaitQueueWaiter *w = queue->waiters; w != nullptr; w = w->next) result++;
    queue->Unlock();
    return result;
  }
  bool hasHousekeeper() const { return queue->housekeeper != nullptr; }
  MsgWaitQueue *queue;
};

namespace {

CSCPMessage *NewMessage(WORD code, DWORD id, DWORD tag = 0) {
  CSCPMessage *msg = new CSCPMessage();
  msg->SetCode(code);
  msg->SetId(id);
  msg->SetVariable(1, tag);
  return msg;
}

CSCP_MESSAGE *NewRaw(WORD code, DWORD id) {
  CSCP_MESSAGE *msg = static_cast<CSCP_MESSAGE *>(calloc(1, sizeof(CSCP_MESSAGE)));
  msg->code = code;
  msg->id = id;
  msg->size = sizeof(CSCP_MESSAGE);
  return msg;
}

using Clock = std::chrono::steady_clock;

// Polls until done() holds or five seconds pass.
template <typename Pred>
bool Await(Pred done) {
  for (int i = 0; i < 5000; i++) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

// Every case runs with a housekeeper thread per queue and with the one that
// queues share: they must behave the same.
class WaitQueue : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { MsgWaitQueue::ShareHousekeeper(GetParam()); }
  void TearDown() override { MsgWaitQueue::ShareHousekeeper(FALSE); }
};

INSTANTIATE_TEST_SUITE_P(Housekeeper, WaitQueue, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &info) {
                           return info.param ? "Shared" : "Own";
                         });

int HousekeeperThreads() {
  return zavrin_test::ThreadsNamed(MSG_WAIT_QUEUE_THREAD_NAME);
}

}  // namespace

TEST_P(WaitQueue, MessagePutBeforeTheWaitIsTakenAtOnce) {
  MsgWaitQueue queue;
  queue.Put(NewMessage(10, 1, 111));
  CSCPMessage *msg = queue.WaitForMessage(10, 1, 0);
  ASSERT_NE(nullptr, msg);
  EXPECT_EQ(111u, msg->GetVariableLong(1));
  delete msg;
  EXPECT_EQ(nullptr, queue.WaitForMessage(10, 1, 0));
}

TEST_P(WaitQueue, SameCodeAndIdComeOldestFirst) {
  MsgWaitQueue queue;
  queue.Put(NewMessage(10, 1, 1));
  queue.Put(NewMessage(11, 1, 9));
  queue.Put(NewMessage(10, 2, 9));
  queue.Put(NewMessage(10, 1, 2));
  for (DWORD tag : {1u, 2u}) {
    CSCPMessage *msg = queue.WaitForMessage(10, 1, 0);
    ASSERT_NE(nullptr, msg);
    EXPECT_EQ(tag, msg->GetVariableLong(1));
    delete msg;
  }
  EXPECT_EQ(nullptr, queue.WaitForMessage(10, 1, 0));
  EXPECT_EQ(2u, MsgWaitQueueInspector(&queue).count());
}

TEST_P(WaitQueue, RawAndObjectMessagesNeverMatchEachOther) {
  MsgWaitQueue queue;
  queue.Put(NewRaw(20, 5));
  queue.Put(NewMessage(21, 6));
  EXPECT_EQ(nullptr, queue.WaitForMessage(20, 5, 0));
  EXPECT_EQ(nullptr, queue.WaitForRawMessage(21, 6, 0));
  CSCP_MESSAGE *raw = queue.WaitForRawMessage(20, 5, 0);
  ASSERT_NE(nullptr, raw);
  free(raw);
  delete queue.WaitForMessage(21, 6, 0);
  EXPECT_EQ(0u, MsgWaitQueueInspector(&queue).count());
}

TEST_P(WaitQueue, RawHeaderIsMatchedAsStored) {
  MsgWaitQueue queue;
  // As it comes off the wire: code 0x0102 and id 0x01020304 in network order.
  const WORD code = htons(0x0102);
  const DWORD id = htonl(0x01020304);
  queue.Put(NewRaw(code, id));
  // The fields with their bytes the other way round are not the stored ones: the
  // host order on a little-endian machine, and what a conversion would make of
  // them on a big-endian one.
  EXPECT_EQ(nullptr, queue.WaitForRawMessage(__builtin_bswap16(code), __builtin_bswap32(id), 0));
  CSCP_MESSAGE *raw = queue.WaitForRawMessage(code, id, 0);
  ASSERT_NE(nullptr, raw);
  free(raw);
}

TEST_P(WaitQueue, EmptyQueueTimesOut) {
  MsgWaitQueue queue;
  EXPECT_EQ(nullptr, queue.WaitForMessage(1, 1, 0));
  auto start = Clock::now();
  EXPECT_EQ(nullptr, queue.WaitForRawMessage(1, 1, 250));
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(245));

  // Replies for others wake the waiter every few milliseconds; its time-out
  // still runs out in total rather than starting again at each wake-up.
  std::atomic<bool> done{false};
  start = Clock::now();
  std::thread putter([&] {
    for (DWORD id = 100; !done && Clock::now() - start < std::chrono::seconds(5); id++) {
      queue.Put(NewMessage(2, id));
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  EXPECT_EQ(nullptr, queue.WaitForMessage(1, 1, 300));
  auto waited = Clock::now() - start;
  done = true;
  putter.join();
  EXPECT_GE(waited, std::chrono::milliseconds(295));
  EXPECT_LT(waited, std::chrono::seconds(5));
}

TEST_P(WaitQueue, PutWakesASleepingWaiterByItsPulse) {
  MsgWaitQueue queue;
  MsgWaitQueueInspector inspector(&queue);
  // Ten waiters that have just begun a 100 ms slice when the reply comes.
  // Woken by the pulse, a waiter returns within moments; left to the slice's
  // end, it would take nearly 100 ms every time. The median leaves room for
  // a few rounds that a loaded machine delays.
  std::vector<Clock::duration> delays;
  for (DWORD id = 0; id < 10; id++) {
    std::atomic<bool> got{false};
    Clock::time_point returned;
    std::thread waiter([&] {
      CSCPMessage *msg = queue.WaitForMessage(30, id, 5000);
      returned = Clock::now();
      got = msg != nullptr;
      delete msg;
    });
    ASSERT_TRUE(Await([&] { return inspector.sleepers() == 1; }));
    auto put = Clock::now();
    queue.Put(NewMessage(30, id));
    waiter.join();
    EXPECT_TRUE(got);
    delays.push_back(returned - put);
  }
  std::sort(delays.begin(), delays.end());
  EXPECT_LT(delays[delays.size() / 2], std::chrono::milliseconds(50));
}

TEST_P(WaitQueue, HoldTimeCountsDownByHousekeeperPasses) {
  MsgWaitQueue queue;
  MsgWaitQueueInspector inspector(&queue);
  ASSERT_TRUE(inspector.hasHousekeeper());
  queue.SetHoldTime(450);
  queue.Put(NewMessage(40, 1));
  // 450 leaves after three passes: 450, 250, 50, gone.
  std::vector<DWORD> seen;
  ASSERT_TRUE(Await([&] {
    DWORD ttl = inspector.ttlOfOnly();
    if (seen.empty() || seen.back() != ttl) seen.push_back(ttl);
    return ttl == 0;
  }));
  for (DWORD ttl : seen) EXPECT_TRUE(ttl == 450 || ttl == 250 || ttl == 50 || ttl == 0) << ttl;
  EXPECT_EQ(0u, seen.back());
}

TEST_P(WaitQueue, ShortHoldTimeDropsOnlyNewMessages) {
  MsgWaitQueue queue;
  MsgWaitQueueInspector inspector(&queue);
  queue.Put(NewMessage(50, 1));
  // The default hold time, or what one housekeeper pass has left of it.
  DWORD initial = inspector.ttlOfOnly();
  EXPECT_TRUE(initial == 30000 || initial == 29800) << initial;
  queue.SetHoldTime(100);
  queue.Put(NewMessage(50, 2));
  queue.Put(NewRaw(50, 3));
  ASSERT_TRUE(Await([&] { return inspector.count() == 1; }));
  EXPECT_EQ(nullptr, queue.WaitForMessage(50, 2, 0));
  EXPECT_EQ(nullptr, queue.WaitForRawMessage(50, 3, 0));
  CSCPMessage *kept = queue.WaitForMessage(50, 1, 0);
  EXPECT_NE(nullptr, kept);
  delete kept;
}

TEST_P(WaitQueue, ClearDestroysMessagesOfBothKinds) {
  MsgWaitQueue queue;
  queue.Put(NewMessage(60, 1));
  queue.Put(NewRaw(60, 1));
  queue.Clear();
  EXPECT_EQ(0u, MsgWaitQueueInspector(&queue).count());
  EXPECT_EQ(nullptr, queue.WaitForMessage(60, 1, 0));
  EXPECT_EQ(nullptr, queue.WaitForRawMessage(60, 1, 0));
  queue.Put(NewMessage(60, 2));
  delete queue.WaitForMessage(60, 2, 0);
}

TEST_P(WaitQueue, DestructionDestroysHeldMessagesAndEndsTheHousekeeper) {
  // The leak checker sees whether the messages and the thread's records go.
  for (int i = 0; i < 5; i++) {
    MsgWaitQueue queue;
    queue.Put(NewMessage(70, 1));
    queue.Put(NewRaw(70, 2));
  }
}

TEST_P(WaitQueue, NullMessageIsIgnored) {
  MsgWaitQueue queue;
  queue.Put(static_cast<CSCPMessage *>(nullptr));
  queue.Put(static_cast<CSCP_MESSAGE *>(nullptr));
  EXPECT_EQ(0u, MsgWaitQueueInspector(&queue).count());
}

TEST_P(WaitQueue, PutThatCannotGrowTheArrayKeepsTheRest) {
  if (!FAIL_ALLOC_AVAILABLE) GTEST_SKIP() << "the sanitizer owns the allocator";
  MsgWaitQueue queue;
  queue.Put(NewMessage(80, 1));
  CSCP_MESSAGE *raw = NewRaw(80, 2);
  zavrin_test::WithAllocations(0, [&] { queue.Put(raw); });
  EXPECT_EQ(1u, MsgWaitQueueInspector(&queue).count());
  EXPECT_EQ(nullptr, queue.WaitForRawMessage(80, 2, 0));
  queue.Put(NewMessage(80, 3));
  for (DWORD id : {1u, 3u}) {
    CSCPMessage *msg = queue.WaitForMessage(80, id, 0);
    EXPECT_NE(nullptr, msg) << id;
    delete msg;
  }
}

TEST_P(WaitQueue, EightWaitersGetEachOfTheirRepliesOnce) {
  const int kWaiters = 8, kReplies = 1000, kBlock = 32;
  MsgWaitQueue queue;
  // Replies go out block by block, shuffled across waiters and ids within a
  // block, so that each waiter finds its next reply among others'.
  std::vector<std::pair<WORD, DWORD>> order;
  std::mt19937 random(12345);
  for (int block = 0; block < kReplies / kBlock + 1; block++) {
    size_t first = order.size();
    for (int w = 0; w < kWaiters; w++) {
      for (int k = block * kBlock; k < std::min(kReplies, (block + 1) * kBlock); k++) {
        order.emplace_back(static_cast<WORD>(100 + w), static_cast<DWORD>(k));
      }
    }
    std::shuffle(order.begin() + first, order.end(), random);
  }
  std::atomic<int> received{0}, wrong{0};
  std::vector<std::thread> waiters;
  for (int w = 0; w < kWaiters; w++) {
    waiters.emplace_back([&, w] {
      WORD code = static_cast<WORD>(100 + w);
      for (DWORD k = 0; k < kReplies; k++) {
        CSCPMessage *msg = queue.WaitForMessage(code, k, 10000);
        if (msg == nullptr) {
          wrong++;
          return;
        }
        if (msg->GetCode() != code || msg->GetId() != k ||
            msg->GetVariableLong(1) != code * 10000u + k)
          wrong++;
        received++;
        delete msg;
      }
    });
  }
  std::thread putter([&] {
    for (auto &reply : order)
      queue.Put(NewMessage(reply.first, reply.second, reply.first * 10000u + reply.second));
  });
  putter.join();
  for (auto &t : waiters) t.join();
  EXPECT_EQ(0, wrong.load());
  EXPECT_EQ(kWaiters * kReplies, received.load());
  EXPECT_EQ(0u, MsgWaitQueueInspector(&queue).count());
}

// Queues made while sharing is chosen cost one thread together, those made
// before or after keep one each; every housekeeper ends with its last queue.
TEST(MsgWaitQueueHousekeeper, SharedQueuesCostOneThread) {
  ASSERT_TRUE(zavrin_test::SettlesAt(HousekeeperThreads, 0));
  std::vector<std::unique_ptr<MsgWaitQueue>> queues;
  queues.emplace_back(new MsgWaitQueue);  // before: its own
  MsgWaitQueue::ShareHousekeeper(TRUE);
  for (int i = 0; i < 500; i++) queues.emplace_back(new MsgWaitQueue);
  MsgWaitQueue::ShareHousekeeper(FALSE);
  queues.emplace_back(new MsgWaitQueue);  // after: its own
  EXPECT_EQ(3, HousekeeperThreads());
  // Every shared queue is kept: a message with a short hold time goes from each.
  for (auto &q : queues) {
    q->SetHoldTime(100);
    q->Put(NewRaw(90, 1));
  }
  for (auto &q : queues) {
    MsgWaitQueueInspector inspector(q.get());
    ASSERT_TRUE(Await([&] { return inspector.count() == 0; }));
  }
  queues.erase(queues.begin() + 1, queues.begin() + 400);
  EXPECT_EQ(3, HousekeeperThreads());
  queues.clear();
  EXPECT_TRUE(zavrin_test::SettlesAt(HousekeeperThreads, 0));
  // A new sharing queue starts the thread again.
  MsgWaitQueue::ShareHousekeeper(TRUE);
  {
    MsgWaitQueue again;
    EXPECT_EQ(1, HousekeeperThreads());
    again.SetHoldTime(100);
    again.Put(NewRaw(90, 2));
    MsgWaitQueueInspector inspector(&again);
    EXPECT_TRUE(Await([&] { return inspector.count() == 0; }));
  }
  MsgWaitQueue::ShareHousekeeper(FALSE);
  EXPECT_TRUE(zavrin_test::SettlesAt(HousekeeperThreads, 0));
}
