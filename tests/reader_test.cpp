// SPDX-License-Identifier: MIT
// The reader's rules (reader.h), with a fake sensor whose readings the
// test lets end one by one, and fake requests and poll handles: which
// reads get which reading, and when.
#include "reader.h"

#include <gtest/gtest.h>

#include <pthread.h>
#include <time.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

namespace {

// The fake sensor: reading N (from 1) ends once released reaches N, with
// the register's low byte N; what was answered and woken, in order.
pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t changed = PTHREAD_COND_INITIALIZER;
int begun;
int released;
int done;
int conversion_ms = 750;
// Polled, as most cases have it: then no read that began after a reading
// did gets it, and the reading after a case's last is no next case's.
bool polled = true;
std::string events;

void take(reading &r)
{
    pthread_mutex_lock(&lock);
    const int number = ++begun;
    pthread_cond_broadcast(&changed);
    while (released < number)
        pthread_cond_wait(&changed, &lock);
    r.result = w1_ok;
    r.reg = w1_register{static_cast<unsigned char>(number), 0};
    r.conversion_ms = conversion_ms;
    r.polled = polled;
    done = number;
    pthread_cond_broadcast(&changed);
    pthread_mutex_unlock(&lock);
}

// A request is a number, said as "rN"; an answer "rN=READING" or
// "rN=stuck", taken from the first reading N0 of the case.
// The answer to r99 is held until slow_let_go.
int first;
bool slow_let_go;

void answer(void *request, std::size_t, const reading &r)
{
    pthread_mutex_lock(&lock);
    while (reinterpret_cast<std::uintptr_t>(request) == 99 && !slow_let_go)
        pthread_cond_wait(&changed, &lock);
    events += " r" + std::to_string(reinterpret_cast<std::uintptr_t>(request)) + "=" +
              (r.result == w1_stuck ? std::string("stuck") : std::to_string(r.reg.low - first));
    pthread_cond_broadcast(&changed);
    pthread_mutex_unlock(&lock);
}

void tell(const reading &) {}

void wake(void *handle, bool notify)
{
    pthread_mutex_lock(&lock);
    events += std::string(notify ? " woke h" : " let go h") +
              std::to_string(reinterpret_cast<std::uintptr_t>(handle));
    pthread_cond_broadcast(&changed);
    pthread_mutex_unlock(&lock);
}

void *request(int n)
{
    return reinterpret_cast<void *>(static_cast<std::uintptr_t>(n));
}

void note(const std::string &event);

// Waits (10 s at most) until reading N of the case has begun.
void begins(int n)
{
    timespec until{};
    clock_gettime(CLOCK_REALTIME, &until);
    until.tv_sec += 10;
    pthread_mutex_lock(&lock);
    while (begun < first + n && pthread_cond_timedwait(&changed, &lock, &until) == 0) {
    }
    const bool did = begun >= first + n;
    pthread_mutex_unlock(&lock);
    if (!did)
        note("reading " + std::to_string(n) + " never began");
}

// Lets reading N of the case end, and waits (10 s at most) until its
// answers, or those of "wanted" events, are given.
void ends(int n, const std::string &wanted = "")
{
    timespec until{};
    clock_gettime(CLOCK_REALTIME, &until);
    until.tv_sec += 10;
    pthread_mutex_lock(&lock);
    released = first + n;
    pthread_cond_broadcast(&changed);
    while ((done < first + n || events.find(wanted) == std::string::npos) &&
           pthread_cond_timedwait(&changed, &lock, &until) == 0) {
    }
    const bool did = done >= first + n && events.find(wanted) != std::string::npos;
    pthread_mutex_unlock(&lock);
    if (!did)
        note("reading " + std::to_string(n) + " never ended so");
}

std::string said(int error)
{
    return error == 0 ? "ok" : error == EAGAIN ? "EAGAIN" : error == EBUSY ? "EBUSY"
                             : error == ENODEV ? "ENODEV" : std::to_string(error);
}

void note(const std::string &event)
{
    pthread_mutex_lock(&lock);
    events += " " + event;
    pthread_mutex_unlock(&lock);
}

// A read that waits, armed at once: "wait rN" where it is refused.
void reads(int n)
{
    const int error = reader_wait(request(n), 2);
    if (error != 0)
        note("wait r" + std::to_string(n) + "=" + said(error));
    else if (!reader_arm(request(n)))
        note("arm r" + std::to_string(n) + "=false");
}

// A non-blocking read on descriptor D: "dD=READING" or its errno.
void tries(std::uint64_t d)
{
    reading r{};
    const int error = reader_ready(d, r, true);
    note("d" + std::to_string(d) + "=" +
         (error == 0 ? std::to_string(r.reg.low - first) : said(error)));
}

// A blocking read on descriptor D, which takes the answer kept for it.
void blocking(std::uint64_t d)
{
    reading r{};
    const int error = reader_ready(d, r, false);
    note("d" + std::to_string(d) + " blocking=" +
         (error != 0 ? said(error) : r.result == w1_stuck ? "stuck"
                                                          : std::to_string(r.reg.low - first)));
}

void polls(std::uint64_t d, int handle)
{
    note("poll d" + std::to_string(d) + "=" +
         (reader_poll(d, request(handle)) ? "readable" : "waits"));
}

void set_polled(bool to)
{
    pthread_mutex_lock(&lock);
    polled = to;
    pthread_mutex_unlock(&lock);
}

void set_conversion(int ms)
{
    pthread_mutex_lock(&lock);
    conversion_ms = ms;
    pthread_mutex_unlock(&lock);
}

// Each case begins with no read waiting and the fake sensor idle, and
// ends the same way: the reading after its last answer let end too.
const struct {
    const char *name;
    void (*steps)();
    const char *events;
} cases[] = {
    {"a held read is not answered by a reading, but by one once armed",
     [] {
         reader_wait(request(1), 2);
         begins(1);
         ends(1);
         begins(2);
         reader_arm(request(1));
         ends(2, " r1=2");
         begins(3);
         ends(3);
     },
     " r1=2"},
    {"a held read interrupted is answered by its caller alone",
     [] {
         reader_wait(request(1), 2);
         begins(1);
         note(reader_interrupt(request(1)) ? "interrupt=true" : "interrupt=false");
         note(reader_arm(request(1)) ? "arm=true" : "arm=false");
         reads(2);
         ends(1);
         begins(2);
         ends(2, " r2=2");
         begins(3);
         ends(3);
     },
     " interrupt=false arm=false r2=2"},
    {"an armed read interrupted is no longer answered",
     [] {
         reads(1);
         begins(1);
         note(reader_interrupt(request(1)) ? "interrupt=true" : "interrupt=false");
         ends(1);
     },
     " interrupt=true"},
    {"a read beyond the table's size gets EBUSY at once",
     [] {
         reads(500);
         begins(1);
         for (int i = 1; i < static_cast<int>(reader_waiting_max); i++)
             reader_wait(request(i), 2);
         reads(1000);
         for (int i = 1; i < static_cast<int>(reader_waiting_max); i++) {
             reader_interrupt(request(i));
             reader_arm(request(i));
         }
         ends(1, " r500=1");
         begins(2);
         ends(2);
     },
     " wait r1000=EBUSY r500=1"},
    {"with a polled conversion, a read that began after the reading did waits for the next",
     [] {
         reads(1);
         begins(1);
         reads(2);
         ends(1, " r1=1");
         begins(2);
         ends(2, " r2=2");
         begins(3);
         ends(3);
     },
     " r1=1 r2=2"},
    {"with w1_therm's wait, a read that began within the conversion gets it",
     [] {
         set_polled(false);
         reads(1);
         begins(1);
         reads(2);
         ends(1, " r2=1");
         begins(2);
         set_polled(true);
         ends(2);
     },
     " r1=1 r2=1"},
    {"with w1_therm's wait, a read that began after the conversion waits for the next",
     [] {
         set_polled(false);
         set_conversion(50);
         reads(1);
         begins(1);
         // Past the reading's 50 ms, as w1_therm would have waited them.
         const timespec pause{0, 75000000};
         nanosleep(&pause, nullptr);
         reads(2);
         ends(1, " r1=1");
         begins(2);
         set_polled(true);
         set_conversion(750);
         ends(2, " r2=2");
         begins(3);
         ends(3);
     },
     " r1=1 r2=2"},
    {"a non-blocking read asks, and the next after the reading gets it",
     [] {
         tries(1);
         begins(1);
         tries(1);
         ends(1);
         begins(2);
         tries(1);
         tries(1);
         ends(2);
         begins(3);
         reader_close(1);
         ends(3);
     },
     " d1=EAGAIN d1=EAGAIN d1=1 d1=EAGAIN"},
    {"a blocking read takes a kept answer at once, and waits where none is",
     [] {
         polls(2, 7);
         begins(1);
         ends(1, " woke h7");
         begins(2);
         blocking(2);
         blocking(2);
         reads(1);
         ends(2);
         begins(3);
         ends(3, " r1=3");
         begins(4);
         ends(4);
     },
     " poll d2=waits woke h7 d2 blocking=1 d2 blocking=EAGAIN r1=3"},
    {"poll: readable once the answer is ready, a handle replaced let go",
     [] {
         polls(3, 1);
         begins(1);
         polls(3, 2);
         ends(1, " woke h2");
         polls(3, 3);
         tries(3);
         begins(2);
         ends(2);
     },
     " poll d3=waits let go h1 poll d3=waits woke h2 let go h3 poll d3=readable d3=1"},
    {"a descriptor closed: its answer dropped, its handle let go",
     [] {
         polls(4, 4);
         begins(1);
         reader_close(4);
         ends(1);
         blocking(4);
         tries(5);
         begins(2);
         reader_close(5);
         ends(2);
     },
     " poll d4=waits let go h4 d4 blocking=EAGAIN d5=EAGAIN"},
    {"a read's bound follows the last reading's conversion time",
     [] {
         set_conversion(1);
         reads(1);
         begins(1);
         ends(1, " r1=1");
         begins(2);
         ends(2);
         // 4.002 s: not 5.5 s, as at 750 ms. The reading never ends; an
         // answer asked for fails alike.
         reads(2);
         polls(8, 10);
         begins(3);
         timespec began{};
         clock_gettime(CLOCK_MONOTONIC, &began);
         timespec until{};
         clock_gettime(CLOCK_REALTIME, &until);
         until.tv_sec += 10;
         pthread_mutex_lock(&lock);
         while (events.find(" woke h10") == std::string::npos &&
                pthread_cond_timedwait(&changed, &lock, &until) == 0) {
         }
         pthread_mutex_unlock(&lock);
         timespec now{};
         clock_gettime(CLOCK_MONOTONIC, &now);
         const long long ms = static_cast<long long>(now.tv_sec - began.tv_sec) * 1000 +
                              (now.tv_nsec - began.tv_nsec) / 1000000;
         note(ms >= 3900 && ms < 4500 ? "within 4.0 s" : "after " + std::to_string(ms) + " ms");
         blocking(8);
         set_conversion(750);
         ends(3);
     },
     " r1=1 poll d8=waits r2=stuck woke h10 within 4.0 s d8 blocking=stuck"},
    {"the drain waits for an answer taken out of the table",
     [] {
         reads(99);
         begins(1);
         ends(1);
         pthread_t drainer;
         pthread_create(&drainer, nullptr, [](void *) -> void * {
             reader_drain();
             note("drained");
             return nullptr;
         }, nullptr);
         // Long enough for a drain that does not wait to end.
         const timespec pause{0, 200000000};
         nanosleep(&pause, nullptr);
         note("let go");
         pthread_mutex_lock(&lock);
         slow_let_go = true;
         pthread_cond_broadcast(&changed);
         pthread_mutex_unlock(&lock);
         pthread_join(drainer, nullptr);
         begins(2);
         ends(2);
     },
     " let go r99=1 drained"},
    // Last: the stop is for good.
    {"the stop: reads from then on refused, polls woken, reads waiting answered",
     [] {
         reads(1);
         begins(1);
         polls(6, 8);
         reader_stop();
         reads(2);
         tries(6);
         polls(7, 9);
         ends(1, " r1=1");
         reader_drain();
         note("drained");
     },
     " poll d6=waits woke h8 wait r2=ENODEV d6=ENODEV let go h9 poll d7=readable r1=1 drained"},
};

TEST(Reader, Rules)
{
    ASSERT_TRUE(reader_start(take, answer, tell, wake));
    for (const auto &c : cases) {
        pthread_mutex_lock(&lock);
        first = begun;
        events.clear();
        pthread_mutex_unlock(&lock);
        c.steps();
        pthread_mutex_lock(&lock);
        EXPECT_EQ(events, c.events) << c.name;
        pthread_mutex_unlock(&lock);
    }
}

}  // namespace
