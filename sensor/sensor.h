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

// The register in degrees Celsius: a signed value in steps of 0.25,
// exact in single precision. The two finest bits are dropped (rounding
// down), so every byte pair has a value and there is no failure.
float decode_sample(raw_sample sample);

// Opens the device read-only. On failure the reason has been written to
// standard error and the result is negative; otherwise it is the descriptor.
int open_sensor();

// Performs one read of 2 bytes into the sample. True when both bytes
// arrived; otherwise the failure (error or short read) has been written to
// standard error and the sample holds what the read left in it.
bool read_raw_sample(int fd, raw_sample &sample);

// The mean of count temperatures whose sum is given, divided in single
// precision as the output is meant to be rounded from. count is above 0.
float mean_of(float sum, int count);

// Gives standard output a static buffer, fully buffered: nothing is
// allocated for it, and nothing is written until flush_output. Called
// before anything is printed.
void buffer_output();

// Writes out what has been printed since the last call. True when standard
// output took it all; otherwise the reason has been written to standard
// error.
bool flush_output();

#endif
