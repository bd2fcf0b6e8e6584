// SPDX-License-Identifier: MIT
#include "sensor.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace {

const char device_path[] = "/dev/ds18b20";

}  // namespace

float decode_sample(raw_sample sample)
{
    // The register is two's complement in sixteenths of a degree. Shifting
    // the signed value right by 2 keeps quarters and rounds toward minus
    // infinity, so -0.0625 reads as -0.25, never as a positive value.
    const auto reg = static_cast<std::int16_t>(
        static_cast<std::uint16_t>(sample.high << 8U | sample.low));
    const int quarters = reg >> 2;
    return static_cast<float>(quarters) * 0.25F;
}

int open_sensor()
{
    const int fd = open(device_path, O_RDONLY);
    if (fd < 0)
        perror("open device failed\n");
    return fd;
}

bool read_raw_sample(int fd, raw_sample &sample)
{
    unsigned char bytes[2];
    // A signal that does not end the program (Ctrl-Z and fg, a debugger
    // attaching) fails a read of the device with EINTR, as its driver
    // cannot have the kernel restart it: read again, as a driver's read
    // would have been. Only that: any other failure is the sensor's.
    ssize_t got = 0;
    do {
        got = read(fd, bytes, sizeof bytes);
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        perror("read device failed");
        return false;
    }
    if (got < static_cast<ssize_t>(sizeof bytes)) {
        // No errno to give, so not perror; one write, as perror does it. If
        // even standard error is gone there is no one left to tell.
        static const char report[] = "read device failed: short read\n";
        const ssize_t reported = write(STDERR_FILENO, report, sizeof report - 1);
        static_cast<void>(reported);
        return false;
    }
    sample = raw_sample{bytes[0], bytes[1]};
    return true;
}

float mean_of(float sum, int count)
{
    return sum / static_cast<float>(count);
}
