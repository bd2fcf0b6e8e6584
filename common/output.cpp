// SPDX-License-Identifier: MIT
#include "output.h"

#include <cstdio>

void buffer_output()
{
    static char buffer[BUFSIZ];
    setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
}

bool flush_output()
{
    // Each result is far smaller than the buffer and is flushed at once, so
    // this is the only place where standard output is written, and where a
    // failure to write shows.
    if (fflush(stdout) != 0) {
        perror("write standard output failed");
        return false;
    }
    return true;
}
