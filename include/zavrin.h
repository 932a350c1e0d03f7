// libzavrin: the base library of the Zavrin network-management system.
// This umbrella header declares the whole public interface.
#ifndef ZAVRIN_H
#define ZAVRIN_H

#include <zavrin/types.h>
#include <zavrin/utils.h>
#include <zavrin/message.h>
#include <zavrin/crypto.h>
#include <zavrin/containers.h>
#include <zavrin/platform.h>
#include <zavrin/config.h>

#endif  // ZAVRIN_H
