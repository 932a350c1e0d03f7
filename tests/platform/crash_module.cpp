// A module that crash-report tests load after the crash handler is
// registered, as a program loads its plug-ins.
#include <stdint.h>

extern "C" __attribute__((visibility("default"), noinline)) uint32_t CrashInLoadedModule(void *) {
  volatile int *volatile target = nullptr;
  *target = 1;
  return 0;
}
