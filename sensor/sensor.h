// SPDX-License-Identifier: MIT
// The DS18B20 behind /dev/ds18b20, as tempmean and tempwatch see it:
// one raw sample is the 16-bit temperature register, low byte first.
#ifndef SENSOR_SENSOR_H
#define SENSOR_SENSOR_H

#include <cstdint>

// The two bytes of one read, in the order the driver delivers them.
struct raw_sample {
    std::uint8_t low;   // register bits 0 to 7
    std::uint8_t high;  // register bits 8 to 15
};

// The register in degrees Celsius: a signed value in steps of 0.25, exact
// in single precision, with the two finest bits dropped (rounding down).
// Every byte pair has a value.
float decode_sample(raw_sample sample);

// Opens the device read-only. On failure the reason has been written to
// standard error and the result is negative; otherwise it is the descriptor.
int open_sensor();

// Performs one read of 2 bytes into the sample, made again where a signal
// interrupted it (EINTR) and the program goes on. True when both bytes
// arrived; otherwise the failure (error or short read) has been written to
// standard error and the sample is as it was.
bool read_raw_sample(int fd, raw_sample &sample);

// The mean of count temperatures (count above 0) from their sum. The
// division is in single precision: the printed mean is rounded from that,
// and a double's quotient would round some means to another last digit.
float mean_of(float sum, int count);

#endif
