// ZVCP messages and their transport: the wire records, the message object, the
// command codes and the wait queue for replies.
#ifndef ZAVRIN_MESSAGE_H
#define ZAVRIN_MESSAGE_H

#include <zavrin/types.h>

// ---- Wire format and message object ----

// ---- XML form ----

// ---- Command codes ----

// ---- Message wait queue ----

#endif  // ZAVRIN_MESSAGE_H
