// SPDX-License-Identifier: MIT
// timed-read DEVICE: one 2-byte read of DEVICE, as the programs make it,
// said with the monotonic clock's seconds before and after it, in the
// emulated bus's log's clock, so that a test can tell which conversion
// answered it:
//   12.345678 12.456789 0191
//   12.345678 14.545678 Connection timed out
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

double now()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

}  // namespace

int main(int argc, char *argv[])
{
    if (argc != 2) {
        fputs("usage: timed-read DEVICE\n", stderr);
        return 2;
    }
    const int fd = open(argv[1], O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        perror(argv[1]);
        return 2;
    }
    unsigned char bytes[2] = {};
    const double began = now();
    const ssize_t got = read(fd, bytes, sizeof bytes);
    const int error = errno;
    const double ended = now();
    if (got == 2)
        printf("%.6f %.6f %02x%02x\n", began, ended, bytes[1], bytes[0]);
    else
        printf("%.6f %.6f %s\n", began, ended, got < 0 ? strerror(error) : "short");
    return got == 2 ? 0 : 1;
}
