// Lets a test make allocations fail, to check that the code behind them copes.
// Include it in exactly one source of a test executable: it replaces malloc and
// realloc for the whole executable. Sanitizers bring their own allocator, so
// there the replacement is left out and FAIL_ALLOC_AVAILABLE is 0.
#ifndef ZAVRIN_TEST_FAIL_ALLOC_H
#define ZAVRIN_TEST_FAIL_ALLOC_H

#include <stddef.h>

#include <atomic>

#include "test_support.h"

#define FAIL_ALLOC_AVAILABLE (!ZAVRIN_TEST_SANITIZED)

namespace zavrin_test {

// Allocations that may still succeed; negative: no limit.
inline std::atomic<int> allocationsLeft{-1};

// Runs body with `allowed` successful allocations, then lifts the limit again.
template <typename Body>
void WithAllocations(int allowed, Body body) {
  allocationsLeft = allowed;
  body();
  allocationsLeft = -1;
}

// The largest size asked of malloc or realloc since it was last set to 0: shows
// an allocation sized from outside input even when it failed or was freed again.
inline std::atomic<size_t> largestRequest{0};

inline void NoteRequest(size_t size) {
  size_t seen = largestRequest.load();
  while (size > seen && !largestRequest.compare_exchange_weak(seen, size)) {
  }
}

inline bool MayAllocate() {
  int left = allocationsLeft.load();
  while (left >= 0) {
    if (left == 0) return false;
    if (allocationsLeft.compare_exchange_weak(left, left - 1)) return true;
  }
  return true;
}

}  // namespace zavrin_test

#if FAIL_ALLOC_AVAILABLE
extern "C" void *__libc_malloc(size_t size);
extern "C" void *__libc_realloc(void *block, size_t size);
extern "C" void *malloc(size_t size) {
  zavrin_test::NoteRequest(size);
  return zavrin_test::MayAllocate() ? __libc_malloc(size) : nullptr;
}
extern "C" void *realloc(void *block, size_t size) {
  zavrin_test::NoteRequest(size);
  return zavrin_test::MayAllocate() ? __libc_realloc(block, size) : nullptr;
}
#endif

#endif  // ZAVRIN_TEST_FAIL_ALLOC_H
