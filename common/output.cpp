// SPDX-License-Identifier: MIT
#include "output.h"

#include <unistd.h>

#include <cstdio>

bool write_output(const char *text, std::size_t size)
{
    // A pipe or a file may take part of it; the rest follows. No signal is
    // caught, so a write is never interrupted.
    while (size > 0) {
        const ssize_t written = write(STDOUT_FILENO, text, size);
        if (written < 0) {
            perror("write standard output failed");
            return false;
        }
        text += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}
