// Thin wrappers over system services: error texts, whole files, host names,
// the kernel version and dynamic libraries.
#include <zavrin/utils.h>

#include <arpa/inet.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include "util/open_to_read.h"

namespace {

const size_t kLoadChunk = 16384;
const size_t kLoaderErrorSize = 255;

// The loader's text for its last failure into errorText, when there is one.
void StoreLoaderError(char *errorText) {
  if (errorText == nullptr) return;
  const char *text = dlerror();
  zv_strncpy(errorText, text != nullptr ? text : "", kLoaderErrorSize);
}

}  // namespace

int zavrin::OpenToRead(const char *path) {
  // Without O_NONBLOCK, opening a FIFO waits until a writer opens it.
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    close(fd);
    errno = EISDIR;
    return -1;
  }
  // Reads wait for data again, as they do on any other file.
  int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  return fd;
}

FILE *zavrin::StreamToRead(const char *path) {
  int fd = OpenToRead(path);
  if (fd < 0) return nullptr;
  FILE *stream = fdopen(fd, "r");
  if (stream == nullptr) {
    int error = errno;
    close(fd);
    errno = error;
  }
  return stream;
}

char *GetSystemErrorText(DWORD error, char *buffer, size_t size) {
  if (size == 0) return buffer;
  char work[256];
  // The GNU strerror_r: the text may be a static string rather than work.
  const char *text = strerror_r(static_cast<int>(error), work, sizeof(work));
  if (text == nullptr || strncmp(text, "Unknown error", 13) == 0) {
    snprintf(buffer, size, "MSG 0x%08X - Unable to find message text", error);
    return buffer;
  }
  char line[256];
  zv_strncpy(line, text, sizeof(line));
  line[strcspn(line, "\r\n")] = 0;
  return zv_strncpy(buffer, line, size);
}

BYTE *LoadFile(const char *fileName, DWORD *size) {
  int fd = zavrin::OpenToRead(fileName);
  if (fd < 0) return nullptr;
  struct stat st;
  // The size is reported in 32 bits: larger files cannot be loaded.
  if (fstat(fd, &st) != 0 || st.st_size < 0 || static_cast<uint64_t>(st.st_size) > 0xFFFFFFFEu) {
    close(fd);
    return nullptr;
  }
  size_t fileSize = static_cast<size_t>(st.st_size);
  BYTE *block = static_cast<BYTE *>(malloc(fileSize + 1));
  if (block == nullptr) {
    close(fd);
    return nullptr;
  }
  *size = static_cast<DWORD>(fileSize);
  size_t done = 0;
  while (done < fileSize) {
    size_t chunk = fileSize - done < kLoadChunk ? fileSize - done : kLoadChunk;
    ssize_t n = read(fd, block + done, chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      free(block);
      close(fd);
      return nullptr;
    }
    if (n == 0) {
      // The file shrank while it was read: what was read is the contents.
      *size = static_cast<DWORD>(done);
      break;
    }
    done += static_cast<size_t>(n);
  }
  close(fd);
  return block;
}

DWORD ResolveHostName(const char *name) {
  in_addr_t addr = inet_addr(name);
  if (addr != INADDR_ANY && addr != INADDR_NONE) return addr;
  struct addrinfo hints;
  memset(&hints, 0, sizeof(hints));
  hints.ai_family = AF_INET;
  struct addrinfo *result = nullptr;
  if (getaddrinfo(name, nullptr, &hints, &result) != 0 || result == nullptr) return INADDR_NONE;
  DWORD found = INADDR_NONE;
  for (struct addrinfo *ai = result; ai != nullptr; ai = ai->ai_next) {
    if (ai->ai_family == AF_INET && ai->ai_addr != nullptr) {
      found = reinterpret_cast<struct sockaddr_in *>(ai->ai_addr)->sin_addr.s_addr;
      break;
    }
  }
  freeaddrinfo(result);
  return found;
}

void GetOSVersionString(char *buffer, size_t size) {
  if (size == 0) return;
  memset(buffer, 0, size);
  struct utsname info;
  int major = 0;
  int minor = 0;
  if (uname(&info) == 0) sscanf(info.release, "%d.%d", &major, &minor);
  snprintf(buffer, size, "Linux %d.%d", major, minor);
}

void *DLOpen(const char *libName, char *errorText) {
  void *module = dlopen(libName, RTLD_NOW);
  if (module == nullptr) StoreLoaderError(errorText);
  return module;
}

void DLClose(void *module) {
  if (module != nullptr) dlclose(module);
}

void *DLGetSymbolAddr(void *module, const char *symbol, char *errorText) {
  // dlsym takes a null module as the process's default scope and would find any
  // symbol of the process: null is no module, and nothing is searched.
  if (module == nullptr) {
    if (errorText != nullptr) GetSystemErrorText(EINVAL, errorText, kLoaderErrorSize);
    return nullptr;
  }
  dlerror();  // clears an older failure, so that the text is this lookup's
  void *address = dlsym(module, symbol);
  if (address == nullptr) StoreLoaderError(errorText);
  return address;
}
