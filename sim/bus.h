// SPDX-License-Identifier: MIT
// The emulated 1-Wire bus: the sensors that the script names (DS18B20s and
// DS18S20s), each answering the bus's time slots as the real one does, and
// the log of what they did. Its master is the emulated DS2490 (ds2490.h).
// The script's and the log's formats are in ds2490-sim.cpp.
#ifndef SIM_BUS_H
#define SIM_BUS_H

#include <cstdint>
#include <cstdio>

// Reads the script, and keeps its path to read it again where it is
// replaced; the log gets a line an event. False where the script cannot be
// read (errno says why). A script that is not one ends the program, saying
// which line.
bool bus_start(const char *script, std::FILE *log);

// A 1-Wire reset: each sensor present waits for a ROM command. The script
// is read again here where it was replaced.
void bus_reset();

// One byte through the bus, each of its 8 slots a wired AND of the master's
// bit and what each sensor drives; the strong pull-up follows it where
// asked. The bus's byte.
unsigned char bus_touch_byte(unsigned char byte, bool strong_pullup);

// One slot (bit 0 of bit); the bus's bit.
unsigned char bus_touch_bit(unsigned char bit);

// The ROMs of the sensors present, in the order the search finds them, at
// most limit (0: all); the count. Each sensor then waits for a reset.
int bus_search(unsigned char roms[][8], int limit);

// Until when the adapter answers nothing, as a sensor's "stuck" answer
// says (monotonic ns; 0: it answers).
std::int64_t bus_stuck_until_ns();

// The adapter answers again: said in the log.
void bus_unstuck();

// How late the adapter answers the next data the host sends it, as a
// sensor's "late" answer asks for its next read of the scratchpad (ns; 0:
// on time). Asked once: the answer after it is on time again.
std::int64_t bus_take_late_ns();

#endif
