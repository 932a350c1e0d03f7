// The smallest helpers: bounded copy, block duplication and exchange, trimming,
// character counting, the wall clock and file sizes.
#include <zavrin/utils.h>

#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

char *zv_strncpy(char *dest, const char *src, size_t size) {
  // Byte copy: a UTF-8 sequence cut at the end is the caller's to avoid, as with
  // any bounded byte copy. Like strncpy it fills the rest of the destination
  // with zeros, so a fixed-size field holds no stale bytes after the text.
  if (size == 0) return dest;
  strncpy(dest, src, size - 1);
  dest[size - 1] = 0;
  return dest;
}

void *zv_memdup(const void *data, size_t size) {
  void *block = malloc(size > 0 ? size : 1);
  if (block != nullptr && size > 0) memcpy(block, data, size);
  return block;
}

void zv_memswap(void *block1, void *block2, size_t size) {
  unsigned char *a = static_cast<unsigned char *>(block1);
  unsigned char *b = static_cast<unsigned char *>(block2);
  // Exchange through a small stack buffer: no allocation that could fail.
  unsigned char temp[256];
  while (size > 0) {
    size_t chunk = size < sizeof(temp) ? size : sizeof(temp);
    memcpy(temp, a, chunk);
    memcpy(a, b, chunk);
    memcpy(b, temp, chunk);
    a += chunk;
    b += chunk;
    size -= chunk;
  }
}

void StrStrip(char *str) {
  size_t lead = strspn(str, " \t");
  if (lead > 0) memmove(str, str + lead, strlen(str + lead) + 1);
  size_t len = strlen(str);
  while (len > 0 && (str[len - 1] == ' ' || str[len - 1] == '\t')) len--;
  str[len] = 0;
}

int NumChars(const char *str, int ch) {
  int count = 0;
  for (const char *p = str; *p != 0; p++) {
    if (static_cast<int>(static_cast<signed char>(*p)) == ch) count++;
  }
  return count;
}

INT64 GetCurrentTimeMs(void) {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<INT64>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

QWORD FileSize(const char *fileName) {
  struct stat st;
  if (stat(fileName, &st) != 0) return 0;
  return static_cast<QWORD>(st.st_size);
}
