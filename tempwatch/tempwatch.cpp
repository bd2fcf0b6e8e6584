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
    buffer_output();
    const int fd = open_sensor();
    if (fd < 0)
        exit(1);

    raw_sample sample = {0, 0};
    // Place of the reading in its block: it starts again after each block,
    // so it never grows however long the monitor runs.
    int in_block = 0;
    for (;;) {
        usleep(pause_us);
        // A failed read prints no line, so a dead sensor never repeats its
        // last temperature; it still takes its place in the block.
        if (read_raw_sample(fd, sample))
            printf("The temperature is %6.2f\n",
                   static_cast<double>(decode_sample(sample)));
        if (++in_block == block_size) {
            putchar('\n');
            in_block = 0;
        }
        // Flushed each time so that a pipe or a log file sees every
        // reading as it is taken, and a kill loses none.
        if (!flush_output())
            exit(1);
    }
}
