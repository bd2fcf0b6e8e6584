// SPDX-License-Identifier: MIT
// The emulated DS2490 (ds2490.h).
#include "ds2490.h"

#include "bus.h"

#include <cerrno>
#include <cstring>

namespace {

// ---- The DS2490: its command, its data FIFOs and its status.

unsigned char out_fifo[256];   // EP2, from the host
int out_count;
unsigned char in_fifo[256];    // EP3, to the host
int in_count;
unsigned last_command;

void to_host(unsigned char byte)
{
    if (in_count < static_cast<int>(sizeof in_fifo))
        in_fifo[in_count++] = byte;
}

int from_host(unsigned char *bytes, int size)
{
    const int taken = size < out_count ? size : out_count;
    memcpy(bytes, out_fifo, static_cast<size_t>(taken));
    memmove(out_fifo, out_fifo + taken, static_cast<size_t>(out_count - taken));
    out_count -= taken;
    return taken;
}

// A search from the start the host gives (always from the first here):
// each ROM found, to the host.
void search(int limit, bool alarms_only)
{
    unsigned char start[8];
    from_host(start, 8);
    if (alarms_only)
        return;
    unsigned char roms[8][8];
    const int found = bus_search(roms, limit);
    for (int i = 0; i < found; i++) {
        for (unsigned char byte : roms[i])
            to_host(byte);
    }
}

// A communication command: the code in the value's low byte (less its
// IM and D bits), its flags above.
void communicate(unsigned value, unsigned index)
{
    const bool strong_pullup = (value & 0x1000U) != 0;
    last_command = value;
    if ((value & 0x0100U) != 0)  // RST: a 1-Wire reset first
        bus_reset();
    switch (value & 0xF6U) {
    case 0x42:  // 1-Wire reset
        bus_reset();
        break;
    case 0x52:  // byte I/O
        to_host(bus_touch_byte(static_cast<unsigned char>(index & 0xFF), strong_pullup));
        break;
    case 0x74: {  // block I/O, from EP2 to EP3
        unsigned char block[256];
        const int size = from_host(block, index < sizeof block ? static_cast<int>(index) : 256);
        for (int i = 0; i < size; i++)
            to_host(bus_touch_byte(block[i], strong_pullup && i == size - 1));
        break;
    }
    case 0x20:  // bit I/O
        to_host(bus_touch_bit((value & 0x08U) != 0 ? 1 : 0));
        break;
    case 0xF4:  // search access
        search(static_cast<int>(index >> 8U), (index & 0xFF) == 0xEC);
        break;
    default:    // durations, pulses: nothing to emulate
        break;
    }
}

// ---- USB: the device, its descriptors, its requests and its endpoints.

const unsigned char device_descriptor[18] = {
    18, 1, 0x10, 0x01,  // USB 1.1: the hub asks for no BOS
    0xFF, 0, 0, 64,     // vendor class; 64-byte control packets
    0xFA, 0x04, 0x90, 0x24,  // 04FA:2490
    0x00, 0x01, 0, 0, 0, 1,  // no strings; one configuration
};

// One configuration, one interface with alternate settings 0 to 3, each
// with the status (interrupt), data out and data in (bulk) endpoints.
int configuration_descriptor(unsigned char *d)
{
    const unsigned char head[9] = {9, 2, 0, 0, 1, 1, 0, 0x80, 50};
    int size = 0;
    memcpy(d, head, sizeof head);
    size += 9;
    for (unsigned char alt = 0; alt < 4; alt++) {
        const unsigned char interface[9] = {9, 4, 0, alt, 3, 0xFF, 0, 0, 0};
        const unsigned char interval = alt % 2 == 1 ? 1 : 10;
        const unsigned char bulk = alt >= 2 ? 64 : 16;
        const unsigned char endpoints[21] = {
            7, 5, 0x81, 3, 0x20, 0, interval,
            7, 5, 0x02, 2, bulk, 0, 0,
            7, 5, 0x83, 2, bulk, 0, 0,
        };
        memcpy(d + size, interface, sizeof interface);
        memcpy(d + size + 9, endpoints, sizeof endpoints);
        size += 30;
    }
    d[2] = static_cast<unsigned char>(size);
    d[3] = static_cast<unsigned char>(size >> 8);
    return size;
}

// A control request: the answer's size (IN), or -1 to stall.
int control(const unsigned char setup[8], unsigned char *reply)
{
    const unsigned type = setup[0];
    const unsigned request = setup[1];
    const unsigned value = setup[2] | static_cast<unsigned>(setup[3]) << 8U;
    const unsigned index = setup[4] | static_cast<unsigned>(setup[5]) << 8U;
    if (type == 0x40) {  // the DS2490's own
        if (request == 1)
            communicate(value, index);
        else if (request == 0 && value == 0)  // reset the device
            ds2490_reset();
        return 0;
    }
    if (type == 0x80 && request == 6) {  // GET_DESCRIPTOR
        if (value >> 8U == 1) {
            memcpy(reply, device_descriptor, sizeof device_descriptor);
            return sizeof device_descriptor;
        }
        if (value >> 8U == 2)
            return configuration_descriptor(reply);
        return -1;
    }
    if (type == 0x80 && request == 0) {  // GET_STATUS
        reply[0] = reply[1] = 0;
        return 2;
    }
    // SET_ADDRESS, SET_CONFIGURATION, SET_INTERFACE, CLEAR_FEATURE.
    return type <= 2 && (request == 1 || request == 5 || request == 9 || request == 11) ? 0 : -1;
}

// The status packet: idle (every command is done at once), the last
// command, and what waits in each FIFO.
int status(unsigned char reply[16])
{
    memset(reply, 0, 16);
    reply[8] = 0x20;
    reply[9] = static_cast<unsigned char>(last_command & 0xFF);
    reply[10] = static_cast<unsigned char>(last_command >> 8U);
    reply[12] = static_cast<unsigned char>(out_count);
    reply[13] = static_cast<unsigned char>(in_count);
    return 16;
}

}  // namespace

ds2490_answer ds2490_transfer(unsigned endpoint, bool in, const unsigned char setup[8],
                              unsigned char *data, int size)
{
    ds2490_answer a{};
    if (endpoint == 0) {
        const int answered = control(setup, data);
        if (answered < 0)
            a.status = -EPIPE;
        else if (in)
            a.size = answered < size ? answered : size;
    } else if (endpoint == 1 && in) {
        unsigned char packet[16];
        const int packet_size = status(packet);
        a.size = packet_size < size ? packet_size : size;
        memcpy(data, packet, static_cast<size_t>(a.size));
    } else if (endpoint == 2 && !in) {
        // Taken as far as there is room; the host is told all were.
        const int room = static_cast<int>(sizeof out_fifo) - out_count;
        const int taken = size < room ? size : room;
        memcpy(out_fifo + out_count, data, static_cast<size_t>(taken));
        out_count += taken;
        a.size = size;
        a.late_ns = bus_take_late_ns();
    } else if (endpoint == 3 && in) {
        // A bulk IN with nothing waiting waits until there is.
        a.waits = in_count == 0;
        a.size = in_count < size ? in_count : size;
        memcpy(data, in_fifo, static_cast<size_t>(a.size));
        memmove(in_fifo, in_fifo + a.size, static_cast<size_t>(in_count - a.size));
        in_count -= a.size;
    } else {
        a.status = -EPIPE;
    }
    return a;
}

void ds2490_reset()
{
    in_count = out_count = 0;
}

int ds2490_out_count()
{
    return out_count;
}

int ds2490_in_count()
{
    return in_count;
}

unsigned ds2490_last_command()
{
    return last_command;
}

std::int64_t ds2490_stuck_until_ns()
{
    return bus_stuck_until_ns();
}

void ds2490_unstuck()
{
    ds2490_reset();
    bus_unstuck();
}
