// SPDX-License-Identifier: MIT
// Preloaded into a program, standard output takes one byte a write, as a
// slow pipe reader, a user-space file system or a terminal under flow
// control may: a program that does not finish a partial write loses the
// rest of its line.
#include <sys/syscall.h>
#include <unistd.h>

extern "C" ssize_t write(int fd, const void *buf, size_t count)
{
    if (fd == STDOUT_FILENO && count > 1)
        count = 1;
    return syscall(SYS_write, fd, buf, count);
}
