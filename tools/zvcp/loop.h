// One event loop per thread, for the agent and the load generator: epoll for the
// descriptors, one timer wheel for every deadline, and a queue through which
// other threads hand the loop work. Everything a loop does is a callback with a
// plain name; nothing on a loop thread may block.
#ifndef ZVCP_LOOP_H
#define ZVCP_LOOP_H

#include <stdint.h>

#include <functional>
#include <mutex>
#include <utility>
#include <vector>

namespace zvcp {

// Milliseconds of the monotonic clock.
uint64_t NowMs();

// A descriptor watched by a loop: callback(owner, epoll events) when it is ready.
struct Watch {
  int fd = -1;
  void *owner = nullptr;
  void (*callback)(void *owner, uint32_t events) = nullptr;
};

// A deadline kept in a loop's wheel: callback(owner) once it has passed. A timer
// is in at most one slot; arming it again moves it.
struct Timer {
  Timer *prev = nullptr, *next = nullptr;
  uint64_t deadline = 0;
  void *owner = nullptr;
  void (*callback)(void *owner) = nullptr;
  bool Armed() const { return next != nullptr; }
};

class EventLoop {
 public:
  // Resolution of the wheel: a timer fires up to this late.
  static constexpr uint64_t kTickMs = 100;

  EventLoop();
  ~EventLoop();
  EventLoop(const EventLoop &) = delete;
  EventLoop &operator=(const EventLoop &) = delete;
  bool Ok() const { return epoll_ >= 0 && wake_ >= 0; }

  // Starts, changes or ends the watch of w.fd for the given epoll events.
  bool Add(Watch *w, uint32_t events, int flags = 0);
  bool Modify(Watch *w, uint32_t events);
  void Remove(Watch *w);

  // Sets the timer to fire at deadline (NowMs() time); Cancel takes it out.
  void Arm(Timer *t, uint64_t deadline);
  void Cancel(Timer *t);

  // Runs until Stop; from any thread.
  void Run();
  void Stop();
  // Runs task on the loop's thread, soon; from any thread.
  void Post(std::function<void()> task);
  // Runs fn(arg) on this thread once the events at hand are handled: a callback
  // that ends an object whose events may still be in the batch frees it so.
  void Defer(void (*fn)(void *), void *arg);

 private:
  void RunPosted();
  void RunDeferred();
  void Expire(uint64_t now);

  static constexpr size_t kSlots = 1024;
  int epoll_ = -1;
  int wake_ = -1;  // eventfd that Post and Stop write
  Watch wakeWatch_;
  bool running_ = false;
  std::vector<Timer> slots_;  // sentinels of circular lists
  uint64_t tick_ = 0;         // the last tick expired
  size_t armed_ = 0;
  std::vector<std::pair<void (*)(void *), void *>> deferred_;
  std::mutex postedLock_;
  std::vector<std::function<void()>> posted_;
  bool stopAsked_ = false;  // under postedLock_
};

}  // namespace zvcp

#endif  // ZVCP_LOOP_H
