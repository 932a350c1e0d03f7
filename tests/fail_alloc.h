// Lets a test make the next allocations fail, to check that the code behind
// them copes. Include it in exactly one source of a test executable: it
// replaces realloc for the whole executable. Sanitizers bring their own
// allocator, so there the replacement is left out and FAIL_ALLOC_AVAILABLE is 0.
#ifndef ZAVRIN_TEST_FAIL_ALLOC_H
#define ZAVRIN_TEST_FAIL_ALLOC_H

#include <stddef.h>

#include <atomic>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define FAIL_ALLOC_AVAILABLE 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || \
    __has_feature(memory_sanitizer)
#define FAIL_ALLOC_AVAILABLE 0
#endif
#endif
#ifndef FAIL_ALLOC_AVAILABLE
#define FAIL_ALLOC_AVAILABLE 1
#endif

namespace zavrin_test {
// Number of realloc calls still to fail.
inline std::atomic<int> failReallocs{0};
}  // namespace zavrin_test

#if FAIL_ALLOC_AVAILABLE
extern "C" void *__libc_realloc(void *block, size_t size);

extern "C" void *realloc(void *block, size_t size) {
  if (zavrin_test::failReallocs.load() > 0) {
    zavrin_test::failReallocs--;
    return nullptr;
  }
  return __libc_realloc(block, size);
}
#endif

#endif  // ZAVRIN_TEST_FAIL_ALLOC_H
