// SPDX-License-Identifier: MIT
// tempwatch: one labelled reading every 10 seconds, in blocks of 20, until
// it is killed.
#include "output.h"
#include "sensor.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace {

const int block_size = 20;
const useconds_t pause_us = 10000000;

}  // namespace

int main()
{
    const int fd = open_sensor();
    if (fd < 0)
        exit(1);

    raw_sample sample = {0, 0};
    // Place of the reading in its block: it starts again after each block,
    // so it never grows however long the monitor runs.
    int in_block = 0;
    for (;;) {
        usleep(pause_us);
        // The reading's line, and the empty line after a block, go out in
        // one piece before the next pause: a pipe or a log file sees every
        // reading as it is taken, and a kill loses none. Any temperature
        // prints in at most 9 characters, so the text always fits.
        char text[48];
        std::size_t length = 0;
        // A failed read prints no line, so a dead sensor never repeats its
        // last temperature; it still takes its place in the block.
        if (read_raw_sample(fd, sample))
            length = static_cast<std::size_t>(
                snprintf(text, sizeof text, "The temperature is %6.2f\n",
                         static_cast<double>(decode_sample(sample))));
        if (++in_block == block_size) {
            text[length++] = '\n';
            in_block = 0;
        }
        if (!write_output(text, length))
            exit(1);
    }
}
