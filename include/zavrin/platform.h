// Platform-bound pieces: the crash guard and the guarded thread start.
#ifndef ZAVRIN_PLATFORM_H
#define ZAVRIN_PLATFORM_H

#include <zavrin/types.h>

// ---- Crash guard and guarded thread start ----

#endif  // ZAVRIN_PLATFORM_H
