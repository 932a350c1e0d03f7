// QSortEx on elements whose size, key width and alignment the input chooses,
// checked against std::sort: the keys come out in order, the elements are a
// permutation of those put in, and every comparison gets the caller's context
// and pointers either to elements of the array or to one private element.
#include <zavrin/utils.h>

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <vector>

namespace {

struct Context {
  const Context *self;
  const char *base;
  size_t count;
  size_t size;
  size_t keyBytes;
  const void *outside;  // the one address outside the array seen so far
  size_t calls;
};

void CheckArgument(Context *ctx, const void *p) {
  const char *c = static_cast<const char *>(p);
  if (c >= ctx->base && c < ctx->base + ctx->count * ctx->size) {
    if ((c - ctx->base) % static_cast<ptrdiff_t>(ctx->size) != 0) abort();  // not an element
    return;
  }
  if (ctx->outside == nullptr) ctx->outside = p;
  if (ctx->outside != p) abort();  // a second element outside the array
}

int CompareKeys(const void *a, const void *b, void *context) {
  Context *ctx = static_cast<Context *>(context);
  if (ctx == nullptr || ctx->self != ctx) abort();
  ctx->calls++;
  CheckArgument(ctx, a);
  CheckArgument(ctx, b);
  return memcmp(a, b, ctx->keyBytes);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 3) return 0;
  // Byte 0: element size (1 to 64, or 257 to 320 above 0xEF, which needs an
  // allocated temporary element); byte 1: key bytes compared (1 to the size);
  // byte 2: the array's offset from an aligned address (0 to 3). The rest: the
  // elements.
  size_t elementSize = data[0] >= 0xF0 ? 257 + (data[0] & 0x3F) : 1 + (data[0] & 0x3F);
  size_t keyBytes = 1 + data[1] % elementSize;
  size_t offset = data[2] & 3;
  const uint8_t *elements = data + 3;
  size_t count = (size - 3) / elementSize;

  // Exactly the array's bytes after the offset, so that a step outside is caught.
  char *block = static_cast<char *>(malloc(offset + count * elementSize));
  char *base = block + offset;
  if (count > 0) memcpy(base, elements, count * elementSize);
  Context ctx{&ctx, base, count, elementSize, keyBytes, nullptr, 0};
  QSortEx(base, static_cast<DWORD>(count), static_cast<DWORD>(elementSize), &ctx, CompareKeys);
  if (count <= 1 && ctx.calls != 0) abort();

  for (size_t i = 1; i < count; i++)
    if (memcmp(base + (i - 1) * elementSize, base + i * elementSize, keyBytes) > 0) abort();
  // The same elements as before: both sets in full-element order, side by side.
  auto whole = [elementSize](const char *a, const char *b) {
    return memcmp(a, b, elementSize) < 0;
  };
  std::vector<const char *> before(count), after(count);
  for (size_t i = 0; i < count; i++) {
    before[i] = reinterpret_cast<const char *>(elements) + i * elementSize;
    after[i] = base + i * elementSize;
  }
  std::sort(before.begin(), before.end(), whole);
  std::sort(after.begin(), after.end(), whole);
  for (size_t i = 0; i < count; i++)
    if (memcmp(before[i], after[i], elementSize) != 0) abort();
  free(block);
  return 0;
}
