// SPDX-License-Identifier: MIT
// tempmean: the mean of 20 readings of the thermometer, as one bare number.
#include "output.h"
#include "sensor.h"

#include <unistd.h>

#include <cstdio>

namespace {

const int sample_count = 20;
const useconds_t pause_us = 100000;

}  // namespace

int main()
{
    const int fd = open_sensor();
    if (fd < 0)
        return -1;

    // A failed read is left out rather than counted as 0.00, so a broken
    // sensor cannot pass for a cold one.
    float sum = 0.0F;
    int full = 0;
    for (int i = 0; i < sample_count; i++) {
        raw_sample sample = {0, 0};
        if (read_raw_sample(fd, sample)) {
            sum += decode_sample(sample);
            full++;
        }
        usleep(pause_us);
    }
    if (full == 0)
        return 1;

    // Any mean of temperatures prints in at most 9 characters.
    char line[16];
    const int length = snprintf(line, sizeof line, "%6.2f\n",
                                static_cast<double>(mean_of(sum, full)));
    if (!write_output(line, static_cast<std::size_t>(length)))
        return 1;
    return 0;
}
