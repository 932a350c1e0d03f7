// QSortEx: a quicksort without recursion that hands the caller's context to
// every comparison. Long ranges are partitioned block by block, short ones and
// what the blocks leave by scans from both ends. Ranges of 12 elements or
// fewer are not partitioned; one insertion pass over the whole array puts them
// in order at the end.
#include <zavrin/utils.h>

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <cstddef>

namespace {

// The ways of moving elements: byte by byte when the array or the size is not
// a multiple of 4, else in 32-bit words. The algorithm is the same for each;
// the movers only let the compiler move aligned elements in words, and the
// fixed-size ones (4, 8 and 16 bytes) give it the element size as a constant.
struct ByteMover {
  size_t size;
  size_t Size() const { return size; }
  void Swap(char *a, char *b) const {
    for (size_t k = 0; k < size; k++) {
      char t = a[k];
      a[k] = b[k];
      b[k] = t;
    }
  }
  void Copy(char *to, const char *from) const { memcpy(to, from, size); }
};

template <size_t kBytes>
struct FixedMover {
  static_assert(kBytes % 4 == 0, "whole 32-bit words");
  size_t Size() const { return kBytes; }
  void Swap(char *a, char *b) const {
    uint32_t x[kBytes / 4], y[kBytes / 4];
    memcpy(x, a, kBytes);
    memcpy(y, b, kBytes);
    memcpy(a, y, kBytes);
    memcpy(b, x, kBytes);
  }
  void Copy(char *to, const char *from) const { memcpy(to, from, kBytes); }
};

struct WordsMover {
  size_t words;
  size_t Size() const { return words * 4; }
  void Swap(char *a, char *b) const {
    for (size_t k = 0; k < words; k++, a += 4, b += 4) {
      uint32_t x, y;
      memcpy(&x, a, 4);
      memcpy(&y, b, 4);
      memcpy(a, &y, 4);
      memcpy(b, &x, 4);
    }
  }
  void Copy(char *to, const char *from) const { memcpy(to, from, words * 4); }
};

// A range is partitioned while it spans at least this many element widths.
const size_t kSmallWidths = 12;
// Above this many widths the pivot is the median of nine elements.
const size_t kNinePivotWidths = 40;
// The pending ranges. The larger part is pushed and the smaller continued, so
// each push at least halves the range being worked on: the stack never holds
// more than log2(count) ranges, fewer than 32 for any 32-bit count.
const int kStackSize = 32;

template <class Mover>
class Sorter {
 public:
  Sorter(char *base, size_t count, void *context, QSORT_COMPARE compare, char *temp, Mover move)
      : base_(base),
        count_(count),
        context_(context),
        compare_(compare),
        temp_(temp),
        move_(move) {}

  void Sort() {
    if (count_ - 1 > kSmallWidths) QuickSortPhase();
    InsertionPhase();
  }

  // Without a temporary element: a heap sort that only exchanges elements.
  void HeapSort() {
    for (size_t root = count_ / 2; root-- > 0;) SiftDown(root, count_);
    for (size_t n = count_ - 1; n > 0; n--) {
      move_.Swap(base_, At(n));
      SiftDown(0, n);
    }
  }

 private:
  size_t Size() const { return move_.Size(); }
  char *At(size_t index) const { return base_ + index * Size(); }
  int Compare(const char *a, const char *b) const { return compare_(a, b, context_); }

  char *Median3(char *a, char *b, char *c) const {
    if (Compare(a, b) < 0) {
      if (Compare(b, c) < 0) return b;
      return Compare(a, c) < 0 ? c : a;
    }
    if (Compare(a, c) < 0) return a;
    return Compare(b, c) < 0 ? c : b;
  }

  // Whether first..last is in order, each element against the next.
  bool InOrder(const char *first, const char *last) const {
    for (const char *p = first; p < last; p += Size()) {
      if (Compare(p, p + Size()) > 0) return false;
    }
    return true;
  }

  // Puts first, mid and last in order among themselves.
  void Order3(char *first, char *mid, char *last) const {
    if (Compare(first, mid) < 0) {
      if (Compare(mid, last) > 0) {
        move_.Swap(mid, last);
        if (Compare(first, mid) > 0) move_.Swap(first, mid);
      }
    } else if (Compare(mid, last) > 0) {
      move_.Swap(first, last);
    } else {
      move_.Swap(first, mid);
      if (Compare(mid, last) > 0) move_.Swap(mid, last);
    }
  }

  void QuickSortPhase() {
    struct Range {
      char *first;
      char *last;
    } pending[kStackSize];
    int depth = 0;
    const ptrdiff_t smallSpan = static_cast<ptrdiff_t>(kSmallWidths * Size());
    char *first = base_;
    char *last = At(count_ - 1);
    for (;;) {
      size_t widths = static_cast<size_t>(last - first) / Size();
      char *mid = first + widths / 2 * Size();
      char *pivot;
      char *i;
      char *j;
      if (widths > kNinePivotWidths) {
        size_t s = widths / 8 * Size();
        char *m1 = Median3(first, first + s, first + 2 * s);
        char *m2 = Median3(mid - s, mid, mid + s);
        char *m3 = Median3(last - 2 * s, last - s, last);
        pivot = Median3(m1, m2, m3);
        i = first;
        j = last;
      } else {
        Order3(first, mid, last);
        pivot = mid;
        i = first + Size();
        j = last - Size();
      }
      move_.Copy(temp_, pivot);

      bool exchanged = PartitionBlocks(&i, &j);
      // The scans stop at the pivot's equals, which lie inside the range; the
      // bounds only keep an inconsistent comparison from leading them out.
      for (;;) {
        while (i < last && Compare(i, temp_) < 0) i += Size();
        while (j > first && Compare(temp_, j) < 0) j -= Size();
        if (i < j) {
          move_.Swap(i, j);
          i += Size();
          j -= Size();
          exchanged = true;
          if (i > j) break;
        } else {
          if (i == j) {
            i += Size();
            // j is at first only when nothing was exchanged and the pivot
            // is the range's first element: the left part is that element.
            if (j > first) j -= Size();
          }
          break;
        }
      }

      // A partition that exchanged nothing leaves its range to the insertion
      // pass when the range is in order already. Only then: a range whose
      // smaller elements lie before the pivot and its larger ones after it,
      // each side shuffled (what selecting the median leaves), exchanges
      // nothing either, and the insertion pass would take quadratic time on it.
      if (exchanged || !InOrder(first, last)) {
        bool leftSmall = j - first < smallSpan;
        bool rightSmall = last - i < smallSpan;
        if (!leftSmall && !rightSmall) {
          Range larger = (j - first > last - i) ? Range{first, j} : Range{i, last};
          if (larger.first == first) {
            first = i;
          } else {
            last = j;
          }
          // Cannot fill up (see kStackSize); if it did, the insertion pass would
          // still sort the range, only more slowly.
          if (depth < kStackSize) pending[depth++] = larger;
          continue;
        }
        if (!rightSmall) {
          first = i;
          continue;
        }
        if (!leftSmall) {
          last = j;
          continue;
        }
      }
      if (depth == 0) return;
      depth--;
      first = pending[depth].first;
      last = pending[depth].last;
    }
  }

  // Partitions i..j block by block, without a branch on any comparison's
  // outcome: one pass compares a block of elements at each end with the pivot
  // and notes which belong to the other side (the pivot's equals belong to
  // both, as with the scans); then as many of those as both blocks have are
  // exchanged in pairs. A random order makes every branch on an outcome a
  // coin toss for the processor, which costs more than the comparison.
  // Stops when fewer than two blocks are left between i and j: the scans
  // finish that part, including the elements of a block whose strays were
  // not all exchanged. Everything before i then belongs to the left and
  // everything after j to the right. Returns whether it exchanged anything.
  bool PartitionBlocks(char **left, char **right) {
    static const int kBlock = 64;
    const ptrdiff_t blockSpan = kBlock * static_cast<ptrdiff_t>(Size());
    unsigned char strayLeft[kBlock], strayRight[kBlock];
    int firstLeft = 0, numLeft = 0, firstRight = 0, numRight = 0;
    char *i = *left;
    char *j = *right;
    bool exchanged = false;
    while (j - i >= 2 * blockSpan) {
      if (numLeft == 0) {
        firstLeft = 0;
        const char *e = i;
        for (int k = 0; k < kBlock; k++, e += Size()) {
          strayLeft[numLeft] = static_cast<unsigned char>(k);
          numLeft += Compare(e, temp_) >= 0;
        }
      }
      if (numRight == 0) {
        firstRight = 0;
        const char *e = j;
        for (int k = 0; k < kBlock; k++, e -= Size()) {
          strayRight[numRight] = static_cast<unsigned char>(k);
          numRight += Compare(temp_, e) >= 0;
        }
      }
      int pairs = numLeft < numRight ? numLeft : numRight;
      for (int k = 0; k < pairs; k++) {
        move_.Swap(i + strayLeft[firstLeft + k] * Size(), j - strayRight[firstRight + k] * Size());
      }
      if (pairs > 0) exchanged = true;
      numLeft -= pairs;
      numRight -= pairs;
      firstLeft += pairs;
      firstRight += pairs;
      if (numLeft == 0) i += blockSpan;
      if (numRight == 0) j -= blockSpan;
    }
    *left = i;
    *right = j;
    return exchanged;
  }

  void InsertionPhase() {
    // The smallest of the first 13 elements goes in front. After a dropped
    // range it need not be the smallest of all, so the going back below is
    // bounded by element 0 as well.
    size_t k = count_ > kSmallWidths ? kSmallWidths : count_ - 1;
    char *candidate = base_;
    for (size_t e = k; e >= 1; e--) {
      if (Compare(candidate, At(e)) > 0) candidate = At(e);
    }
    if (candidate != base_) move_.Swap(base_, candidate);

    // Each element goes back to its place; the elements it passes move up one
    // by one behind it, while it waits in the temporary element.
    char *end = At(count_);
    for (char *x = base_ + Size(); x < end; x += Size()) {
      char *place = x - Size();
      if (Compare(place, x) <= 0) continue;
      move_.Copy(temp_, x);
      move_.Copy(x, place);
      while (place > base_ && Compare(place - Size(), temp_) > 0) {
        move_.Copy(place, place - Size());
        place -= Size();
      }
      move_.Copy(place, temp_);
    }
  }

  void SiftDown(size_t root, size_t n) const {
    for (;;) {
      size_t child = 2 * root + 1;
      if (child >= n) return;
      if (child + 1 < n && Compare(At(child), At(child + 1)) < 0) child++;
      if (Compare(At(root), At(child)) >= 0) return;
      move_.Swap(At(root), At(child));
      root = child;
    }
  }

  char *const base_;
  const size_t count_;
  void *const context_;
  const QSORT_COMPARE compare_;
  char *const temp_;
  const Mover move_;
};

template <class Mover>
void Run(char *base, size_t count, size_t size, void *context, QSORT_COMPARE compare, Mover move) {
  // Small elements need no allocation at all; larger ones one per call. The
  // comparison may read the temporary element through its own type: it is
  // aligned as malloc aligns.
  alignas(std::max_align_t) char local[256];
  char *temp = size <= sizeof(local) ? local : static_cast<char *>(malloc(size));
  if (temp == nullptr) {
    Sorter<Mover>(base, count, context, compare, nullptr, move).HeapSort();
    return;
  }
  Sorter<Mover>(base, count, context, compare, temp, move).Sort();
  if (temp != local) free(temp);
}

}  // namespace

void QSortEx(void *base, DWORD count, DWORD size, void *context, QSORT_COMPARE compare) {
  // Zero-sized elements are all alike: there is nothing to order.
  if (count <= 1 || size == 0) return;
  char *array = static_cast<char *>(base);
  if (reinterpret_cast<uintptr_t>(base) % 4 != 0 || size % 4 != 0) {
    Run(array, count, size, context, compare, ByteMover{size});
  } else if (size == 4) {
    Run(array, count, size, context, compare, FixedMover<4>{});
  } else if (size == 8) {
    Run(array, count, size, context, compare, FixedMover<8>{});
  } else if (size == 16) {
    Run(array, count, size, context, compare, FixedMover<16>{});
  } else {
    Run(array, count, size, context, compare, WordsMover{size / 4});
  }
}
