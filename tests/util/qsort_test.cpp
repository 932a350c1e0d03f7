#include <zavrin.h>

#include <gtest/gtest.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "fail_alloc.h"
#include "test_support.h"

namespace {

enum Shape { kRandom, kSorted, kReversed, kAllEqual, kOrganPipe, kPartitioned };
const Shape kShapes[] = {kRandom, kSorted, kReversed, kAllEqual, kOrganPipe, kPartitioned};

// Keys for n elements of the given shape. kPartitioned puts all smaller keys,
// shuffled, before the middle one and all larger keys after it (as selecting
// the median leaves them): a range that needs no exchange around its pivot.
std::vector<uint32_t> Keys(Shape shape, size_t n, std::mt19937 &gen) {
  std::vector<uint32_t> keys(n);
  for (size_t i = 0; i < n; i++) {
    switch (shape) {
      case kRandom:
        keys[i] = static_cast<uint32_t>(gen() % (n / 2 + 1));
        break;
      case kSorted:
        keys[i] = static_cast<uint32_t>(i);
        break;
      case kReversed:
        keys[i] = static_cast<uint32_t>(n - i);
        break;
      case kAllEqual:
        keys[i] = 7;
        break;
      case kOrganPipe:
        keys[i] = static_cast<uint32_t>(std::min(i, n - 1 - i));
        break;
      case kPartitioned:
        keys[i] = static_cast<uint32_t>(i);
        break;
    }
  }
  if (shape == kPartitioned && n > 2) {
    long middle = static_cast<long>((n - 1) / 2);  // where the pivot is taken from
    std::shuffle(keys.begin(), keys.begin() + middle, gen);
    std::shuffle(keys.begin() + middle + 1, keys.end(), gen);
  }
  return keys;
}

// What every comparison gets: the context QSortEx was given.
struct SortContext {
  const SortContext *self;
  size_t keyBytes;
  const char *base;
  size_t count;
  size_t size;
  size_t calls = 0;
  size_t misplaced = 0;  // pointers into the array but not at an element
};

void NoteArgument(SortContext *ctx, const void *p) {
  const char *c = static_cast<const char *>(p);
  if (c >= ctx->base && c < ctx->base + ctx->count * ctx->size &&
      (c - ctx->base) % static_cast<ptrdiff_t>(ctx->size) != 0)
    ctx->misplaced++;
}

// Orders elements by their leading key bytes (big-endian), the rest is payload.
int CompareKeys(const void *a, const void *b, void *context) {
  SortContext *ctx = static_cast<SortContext *>(context);
  if (ctx->self != ctx) abort();  // not the context QSortEx was given
  ctx->calls++;
  NoteArgument(ctx, a);
  NoteArgument(ctx, b);
  return memcmp(a, b, ctx->keyBytes);
}

// Sorts n elements of `size` bytes at an offset into a buffer and checks the
// result against std::sort: the keys in order, the same elements as before.
void CheckSort(Shape shape, size_t n, size_t size, size_t offset, std::mt19937 &gen,
               int allocations = -1) {
  std::vector<uint32_t> keys = Keys(shape, n, gen);
  size_t keyBytes = size < 3 ? size : 3;
  std::vector<std::string> elements(n);
  for (size_t i = 0; i < n; i++) {
    std::string &e = elements[i];
    e.resize(size);
    for (size_t k = 0; k < keyBytes; k++)
      e[k] = static_cast<char>(keys[i] >> (8 * (keyBytes - 1 - k)));
    for (size_t k = keyBytes; k < size; k++) e[k] = static_cast<char>(i >> (8 * (k % 4)));
  }
  std::vector<char> buffer(offset + n * size + 1);
  for (size_t i = 0; i < n; i++) memcpy(&buffer[offset + i * size], elements[i].data(), size);

  char *base = buffer.data() + offset;
  SortContext ctx{&ctx, keyBytes, base, n, size};
  zavrin_test::WithAllocations(allocations, [&] {
    QSortEx(base, static_cast<DWORD>(n), static_cast<DWORD>(size), &ctx, CompareKeys);
  });

  std::vector<std::string> result(n);
  for (size_t i = 0; i < n; i++) result[i].assign(base + i * size, size);
  std::string where = "shape " + std::to_string(shape) + " n " + std::to_string(n) + " size " +
                      std::to_string(size) + " offset " + std::to_string(offset);
  for (size_t i = 1; i < n; i++)
    ASSERT_LE(result[i - 1].substr(0, keyBytes), result[i].substr(0, keyBytes)) << where;
  std::sort(elements.begin(), elements.end());
  std::sort(result.begin(), result.end());
  ASSERT_EQ(elements, result) << where;
  ASSERT_EQ(0u, ctx.misplaced) << where;
  if (n <= 1) {
    ASSERT_EQ(0u, ctx.calls) << where;
  }
}

}  // namespace

TEST(QSortEx, SortsEveryShapeSizeAndCount) {
  std::mt19937 gen(7);
  const size_t sizes[] = {1, 3, 4, 8, 12, 16, 24};
  for (size_t size : sizes)
    for (size_t offset : {0, 1})
      for (Shape shape : kShapes)
        for (size_t n = 0; n <= 200; n++) CheckSort(shape, n, size, offset, gen);
}

TEST(QSortEx, SortsAMillionInts) {
  std::mt19937 gen(11);
  for (Shape shape : {kRandom, kSorted, kReversed, kAllEqual, kOrganPipe}) {
    const size_t n = 1000000;
    std::vector<uint32_t> keys = Keys(shape, n, gen);
    std::vector<int> values(keys.begin(), keys.end());
    std::vector<int> expected = values;
    std::sort(expected.begin(), expected.end());
    struct Ctx {
      const Ctx *self;
      size_t calls;
    } ctx{&ctx, 0};
    QSortEx(values.data(), n, sizeof(int), &ctx, [](const void *a, const void *b, void *c) {
      Ctx *context = static_cast<Ctx *>(c);
      if (context->self != context) abort();
      context->calls++;
      int x = *static_cast<const int *>(a), y = *static_cast<const int *>(b);
      return x < y ? -1 : (x > y ? 1 : 0);
    });
    ASSERT_EQ(expected, values) << "shape " << shape;
    EXPECT_GT(ctx.calls, n - 1);
  }
}

// Comparisons, not time: a range left to the insertion pass while out of
// order would cost about n * n / 4 of them.
TEST(QSortEx, ComparisonsGrowAsNLogN) {
  const size_t n = 200001;
  const size_t nLogN = 18 * n;
  struct Case {
    Shape shape;
    size_t most;
  } cases[] = {
      {kRandom, 2 * nLogN},   {kSorted, 3 * n + 64},   {kReversed, 2 * nLogN},
      {kAllEqual, 2 * nLogN}, {kOrganPipe, 2 * nLogN}, {kPartitioned, 2 * nLogN},
  };
  std::mt19937 gen(5);
  for (const Case &c : cases) {
    std::vector<uint32_t> keys = Keys(c.shape, n, gen);
    size_t calls = 0;
    QSortEx(keys.data(), static_cast<DWORD>(n), sizeof(uint32_t), &calls,
            [](const void *a, const void *b, void *context) {
              ++*static_cast<size_t *>(context);
              uint32_t x = *static_cast<const uint32_t *>(a), y = *static_cast<const uint32_t *>(b);
              return x < y ? -1 : (x > y ? 1 : 0);
            });
    ASSERT_TRUE(std::is_sorted(keys.begin(), keys.end())) << "shape " << c.shape;
    EXPECT_LE(calls, c.most) << "shape " << c.shape;
  }
}

TEST(QSortEx, SortsWithoutItsTemporaryElement) {
  if (!FAIL_ALLOC_AVAILABLE) GTEST_SKIP() << "the sanitizers keep their own allocator";
  std::mt19937 gen(3);
  for (Shape shape : kShapes) {
    // Elements this large need an allocation, which fails here.
    CheckSort(shape, 150, 300, 0, gen, 0);
  }
}

// The comparison may read an element through its own type: the temporary
// element is aligned as malloc aligns, as the array's elements may be.
TEST(QSortEx, TemporaryElementIsAlignedForAnyType) {
  struct alignas(alignof(max_align_t)) Element {
    long double key;
  };
  for (DWORD count : {2u, 20u}) {
    std::vector<Element> elements(count);
    for (DWORD i = 0; i < count; i++) elements[i].key = count - i;
    size_t misaligned = 0;
    QSortEx(elements.data(), count, sizeof(Element), &misaligned,
            [](const void *a, const void *b, void *context) {
              for (const void *p : {a, b}) {
                if (reinterpret_cast<uintptr_t>(p) % alignof(max_align_t) != 0)
                  ++*static_cast<size_t *>(context);
              }
              long double x = static_cast<const Element *>(a)->key;
              long double y = static_cast<const Element *>(b)->key;
              return x < y ? -1 : x > y ? 1 : 0;
            });
    EXPECT_EQ(0u, misaligned) << count;
    for (DWORD i = 0; i < count; i++) EXPECT_EQ(i + 1, elements[i].key);
  }
}

// A comparison that is no order at all (coin tosses; doubles with NaNs among
// them) gives no sorted result, but every argument is still an element of the
// array or the one temporary element, and the elements are those put in.
TEST(QSortEx, ComparisonThatIsNoOrderStaysInsideTheArray) {
  struct Probe {
    const double *base;
    size_t count;
    const void *outside = nullptr;  // the temporary element, once seen
    bool strayed = false;
    std::mt19937 coin{9};
    bool toss = false;
    void Note(const void *p) {
      const double *d = static_cast<const double *>(p);
      if (d >= base && d < base + count) return;
      if (outside == nullptr) outside = p;
      if (outside != p) strayed = true;
    }
  };
  for (bool toss : {true, false}) {
    for (size_t n : {14, 200, 5000, 100000}) {
      std::mt19937 gen(static_cast<unsigned>(n));
      std::vector<double> values(n);
      for (size_t i = 0; i < n; i++) values[i] = gen() % 3 == 0 ? NAN : static_cast<double>(gen());
      std::vector<double> sorted = values;
      Probe probe{sorted.data(), n};
      probe.toss = toss;
      QSortEx(sorted.data(), static_cast<DWORD>(n), sizeof(double), &probe,
              [](const void *a, const void *b, void *context) {
                Probe *p = static_cast<Probe *>(context);
                p->Note(a);
                p->Note(b);
                if (p->toss) return static_cast<int>(p->coin() % 3) - 1;
                double x = *static_cast<const double *>(a), y = *static_cast<const double *>(b);
                return x < y ? -1 : (x > y ? 1 : 0);
              });
      EXPECT_FALSE(probe.strayed) << toss << " " << n;
      // The same multiset: compare the bit patterns, NaNs included.
      auto bits = [](std::vector<double> v) {
        std::vector<uint64_t> b(v.size());
        memcpy(b.data(), v.data(), v.size() * sizeof(double));
        std::sort(b.begin(), b.end());
        return b;
      };
      EXPECT_EQ(bits(values), bits(sorted)) << toss << " " << n;
    }
  }
}
