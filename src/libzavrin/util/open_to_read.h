// Opening the files that the library reads for its callers (configuration
// files, files to load, digest or put into a message).
#ifndef ZAVRIN_UTIL_OPEN_TO_READ_H
#define ZAVRIN_UTIL_OPEN_TO_READ_H

#include <stdio.h>

namespace zavrin {

// Opens path to read (close-on-exec): the descriptor, or -1 with errno set. A
// directory opens on Linux, though nothing can be read from it: it gives -1
// with EISDIR, like a file that cannot be opened. A FIFO opens without waiting
// for a writer; without one it reads as empty.
int OpenToRead(const char *path);

// The same as a stdio stream; null with errno set.
FILE *StreamToRead(const char *path);

}  // namespace zavrin

#endif  // ZAVRIN_UTIL_OPEN_TO_READ_H
