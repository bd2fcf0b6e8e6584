// SPDX-License-Identifier: MIT
// ds18b20d's readings, at the sensor's pace. One thread reads w1_slave,
// one reading after another while reads of the device wait, so the daemon
// never has two readings of the bus under way. Each reading answers every
// read that began before its conversion ended: readers at once share one
// conversion, and no read gets a temperature measured before it was asked
// for. While reads keep coming the next conversion starts as one ends;
// after the last read there is one more at most. A read not answered
// within its bound fails, however long the kernel holds the reading.
#ifndef DS18B20D_READER_H
#define DS18B20D_READER_H

#include "w1.h"

#include <cstddef>
#include <cstdint>

// One reading: the sensor chosen for it, its register, and how long
// w1_therm waits for its conversion (w1_conversion_ms; 0 where no sensor
// was chosen, and so none converted).
struct reading {
    w1_result result;
    w1_register reg;
    int errnum;
    int conversion_ms;
    bool polled;
    char name[256];
    char found[512];
    char masters[128];
};

// Reads that may wait at once: a hundred readers and more. One read
// beyond them fails at once with EBUSY.
constexpr std::size_t reader_waiting_max = 256;

// The reading that answers a read is the first to end after it began
// whose conversion ends after it began: w1_therm's wait after Convert T,
// which comes after the reading began, lasts conversion_ms (unless the
// kernel polls for the end). A failed reading answers alike.
bool reader_fresh(std::int64_t read_began_ns, std::int64_t reading_began_ns,
                  const reading &r);

// How long a read may wait, in ns: twice the conversion, since a read that
// comes just too late for one conversion waits for the next too, and four
// seconds for the bus's own traffic (a search, the kernel's retries) and a
// loaded machine. 4.19 s at 9 bits, 5.5 s at 12.
std::int64_t reader_bound_ns(int conversion_ms);

// What the daemon does with readings: take one (as long as the kernel
// takes), answer a read with one, log one where the log's line changes,
// and wake a poll() (notify) or let its handle go.
using reader_take = void (*)(reading &r);
using reader_answer = void (*)(void *request, std::size_t size, const reading &r);
using reader_tell = void (*)(const reading &r);
using reader_wake = void (*)(void *poll_handle, bool notify);

// Starts the reading thread and the one that keeps the bounds, with every
// signal blocked: a signal in the middle of a reading would cut w1_therm's
// wait short and fail it. False, with errno, where one cannot be started.
// Called before the device exists, so that all a read touches is ready.
bool reader_start(reader_take take, reader_answer answer, reader_tell tell,
                  reader_wake wake);

// A read of size bytes waits from now on, held until reader_arm, so that
// its caller can arrange for an interruption first. Otherwise the errno
// its caller answers it with: EBUSY where reader_waiting_max wait
// already, ENODEV once the stop began.
int reader_wait(void *request, std::size_t size);

// The held read may now be answered. False where it was interrupted
// meanwhile: it no longer waits, and its caller answers it.
bool reader_arm(void *request);

// The read was interrupted. True where it waited and no longer does: the
// caller answers it. A held read is marked, for reader_arm to say.
bool reader_interrupt(void *request);

// Each open descriptor (a number of the caller's, not 0) may keep one
// answer, asked for by a non-blocking read or a poll() and kept for its
// next read, however late that comes: fresh for the first read or poll
// that asked for it, or failed (w1_stuck) at the bound a read made then
// would have. 0 with the answer in r, which the descriptor no longer
// keeps; or EAGAIN where none is ready (asked for now, where ask and not
// asked yet), EBUSY where no place is left to keep one (as many as reads
// may wait), ENODEV once the stop began.
int reader_ready(std::uint64_t descriptor, reading &r, bool ask);

// poll(): true where a read would not wait (an answer is ready, or the
// read fails at once). Otherwise an answer is asked for, and poll_handle
// (where not null) is woken once it is ready; a handle kept from before
// is let go.
bool reader_poll(std::uint64_t descriptor, void *poll_handle);

// The descriptor is closed: its answer, ready or being prepared, is
// dropped, and its poll handle let go. A reading under way goes on for
// the other reads; none is started for this one.
void reader_close(std::uint64_t descriptor);

// The stop begins: reads from now on fail with ENODEV, kept answers are
// dropped and their polls woken. Reads already waiting are still answered.
void reader_stop();

// Until no read waits: each answered, or failed at its bound.
void reader_drain();

#endif
