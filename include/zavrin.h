/// \file
/// libzavrin: the base library of the Zavrin network-management system.
/// This umbrella header declares the whole public interface.
#ifndef ZAVRIN_H
#define ZAVRIN_H

// The portability interfaces the programs are written against: option parsing,
// directory reading and scanning, 64-bit conversions and regular expressions.
// The GNU C library supplies them all; the library exports none of its own.
#include <dirent.h>
#include <getopt.h>
#include <regex.h>
#include <stdlib.h>
#include <wchar.h>

#include <zavrin/types.h>
#include <zavrin/utils.h>
#include <zavrin/message.h>
#include <zavrin/crypto.h>
#include <zavrin/containers.h>
#include <zavrin/platform.h>
#include <zavrin/config.h>

#endif  // ZAVRIN_H
