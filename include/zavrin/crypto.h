// Encryption of the protocol: crypto set-up, cipher table, session key exchange and
// encrypted messages.
#ifndef ZAVRIN_CRYPTO_H
#define ZAVRIN_CRYPTO_H

#include <zavrin/types.h>
#include <zavrin/message.h>

#endif  // ZAVRIN_CRYPTO_H
