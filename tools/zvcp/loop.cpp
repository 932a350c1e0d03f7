// The event loop: epoll, a timer wheel and a queue of posted work.
#include "loop.h"

#include <errno.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

namespace zvcp {

uint64_t NowMs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_nsec) / 1000000;
}

namespace {

void Unlink(Timer *t) {
  t->prev->next = t->next;
  t->next->prev = t->prev;
  t->prev = t->next = nullptr;
}

void LinkBefore(Timer *sentinel, Timer *t) {
  t->next = sentinel;
  t->prev = sentinel->prev;
  sentinel->prev->next = t;
  sentinel->prev = t;
}

}  // namespace

EventLoop::EventLoop() : slots_(kSlots) {
  for (Timer &s : slots_) s.prev = s.next = &s;
  tick_ = NowMs() / kTickMs;
  epoll_ = epoll_create1(EPOLL_CLOEXEC);
  wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  wakeWatch_.fd = wake_;
  if (Ok()) Add(&wakeWatch_, EPOLLIN);
}

EventLoop::~EventLoop() {
  if (epoll_ >= 0) close(epoll_);
  if (wake_ >= 0) close(wake_);
}

bool EventLoop::Add(Watch *w, uint32_t events, int flags) {
  epoll_event e = {};
  e.events = events | static_cast<uint32_t>(flags);
  e.data.ptr = w;
  return epoll_ctl(epoll_, EPOLL_CTL_ADD, w->fd, &e) == 0;
}

bool EventLoop::Modify(Watch *w, uint32_t events) {
  epoll_event e = {};
  e.events = events;
  e.data.ptr = w;
  return epoll_ctl(epoll_, EPOLL_CTL_MOD, w->fd, &e) == 0;
}

void EventLoop::Remove(Watch *w) {
  epoll_ctl(epoll_, EPOLL_CTL_DEL, w->fd, nullptr);
}

void EventLoop::Arm(Timer *t, uint64_t deadline) {
  if (t->Armed())
    Unlink(t);
  else
    armed_++;
  t->deadline = deadline;
  uint64_t tick = deadline / kTickMs;
  if (tick <= tick_) tick = tick_ + 1;
  LinkBefore(&slots_[tick % kSlots], t);
}

void EventLoop::Cancel(Timer *t) {
  if (!t->Armed()) return;
  Unlink(t);
  armed_--;
}

// Fires every timer whose deadline has passed. A slot holds timers of later
// rounds too: they go back in.
void EventLoop::Expire(uint64_t now) {
  uint64_t last = now / kTickMs;
  if (last - tick_ > kSlots) tick_ = last - kSlots;
  while (tick_ < last) {
    tick_++;
    Timer due;
    due.prev = due.next = &due;
    Timer *slot = &slots_[tick_ % kSlots];
    if (slot->next == slot) continue;
    // The slot's list moves to a list of its own: callbacks may arm and cancel
    // any timer, this slot's included.
    due.next = slot->next;
    due.prev = slot->prev;
    due.next->prev = &due;
    due.prev->next = &due;
    slot->prev = slot->next = slot;
    while (due.next != &due) {
      Timer *t = due.next;
      Unlink(t);
      if (t->deadline / kTickMs > tick_) {
        LinkBefore(&slots_[(t->deadline / kTickMs) % kSlots], t);
        continue;
      }
      armed_--;
      t->callback(t->owner);
    }
  }
}

void EventLoop::Post(std::function<void()> task) {
  {
    std::lock_guard<std::mutex> hold(postedLock_);
    posted_.push_back(std::move(task));
  }
  uint64_t one = 1;
  ssize_t n = write(wake_, &one, sizeof(one));
  (void)n;
}

void EventLoop::Stop() {
  {
    std::lock_guard<std::mutex> hold(postedLock_);
    stopAsked_ = true;
  }
  uint64_t one = 1;
  ssize_t n = write(wake_, &one, sizeof(one));
  (void)n;
}

void EventLoop::RunPosted() {
  std::vector<std::function<void()>> tasks;
  {
    std::lock_guard<std::mutex> hold(postedLock_);
    tasks.swap(posted_);
    if (stopAsked_) running_ = false;
  }
  for (auto &task : tasks) task();
}

void EventLoop::Defer(void (*fn)(void *), void *arg) {
  deferred_.emplace_back(fn, arg);
}

void EventLoop::RunDeferred() {
  while (!deferred_.empty()) {
    std::vector<std::pair<void (*)(void *), void *>> now;
    now.swap(deferred_);
    for (auto &d : now) d.first(d.second);
  }
}

void EventLoop::Run() {
  running_ = true;
  epoll_event events[256];
  while (running_) {
    // With timers armed the loop wakes once a tick; otherwise only for events.
    int n = epoll_wait(epoll_, events, 256, armed_ > 0 ? static_cast<int>(kTickMs) : -1);
    if (n < 0 && errno != EINTR) break;
    for (int i = 0; i < n; i++) {
      Watch *w = static_cast<Watch *>(events[i].data.ptr);
      if (w == &wakeWatch_) {
        uint64_t count;
        while (read(wake_, &count, sizeof(count)) > 0) {
        }
        continue;
      }
      w->callback(w->owner, events[i].events);
    }
    RunDeferred();
    RunPosted();
    if (armed_ > 0) Expire(NowMs());
    RunDeferred();
  }
}

}  // namespace zvcp
