// Thread-safe building blocks and containers: Queue, read/write lock, String.
#ifndef ZAVRIN_CONTAINERS_H
#define ZAVRIN_CONTAINERS_H

#include <zavrin/types.h>

// ---- Queue ----

// ---- Read/write lock ----

// ---- String ----

#endif  // ZAVRIN_CONTAINERS_H
