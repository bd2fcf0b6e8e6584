// SPDX-License-Identifier: MIT
// The emulated DS2490 USB 1-Wire adapter as its host sees it: its
// descriptors and control requests (endpoint 0), its status (1), its data
// FIFOs, from the host (2) and to it (3), and the 1-Wire bus (bus.h) behind
// them. Every command is done at once, so the status always says idle.
#ifndef SIM_DS2490_H
#define SIM_DS2490_H

#include <cstdint>

// How the adapter answers a transfer.
struct ds2490_answer {
    int status;             // 0, or -EPIPE: the endpoint stalls it
    int size;               // IN: the bytes given; OUT: those taken
    bool waits;             // an IN with nothing to give yet: ask again later
    std::int64_t late_ns;   // answered this much later, as the script asks
};

// A transfer on endpoint (0 to 3): setup is a control transfer's request;
// data holds an OUT transfer's size bytes, or takes an IN transfer's, size
// at most (512).
ds2490_answer ds2490_transfer(unsigned endpoint, bool in, const unsigned char setup[8],
                              unsigned char *data, int size);

// The FIFOs emptied, as the device's reset empties them.
void ds2490_reset();

// What waits in each FIFO, and the last communication command, as the
// status packet says them.
int ds2490_out_count();
int ds2490_in_count();
unsigned ds2490_last_command();

// Until when the adapter answers nothing (monotonic ns; 0: it answers).
std::int64_t ds2490_stuck_until_ns();

// Back from being stuck, as from the device's reset.
void ds2490_unstuck();

#endif
