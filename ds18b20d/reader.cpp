// SPDX-License-Identifier: MIT
#include "reader.h"

#include <pthread.h>
#include <signal.h>
#include <time.h>

#include <cerrno>

namespace {

// A read that waits for its reading.
struct waiting {
    void *request;  // null: a free slot
    std::size_t size;
    std::int64_t began_ns;
    std::int64_t deadline_ns;
    bool held;         // not yet armed: only its caller may answer it
    bool interrupted;  // interrupted while held
};

// One read taken out of the table, to be answered outside the lock.
struct answer_to {
    void *request;
    std::size_t size;
};

// A descriptor's answer, asked for by a non-blocking read or a poll().
struct kept {
    std::uint64_t descriptor;  // 0: a free slot
    std::int64_t asked_ns;     // the first read or poll that asked
    std::int64_t deadline_ns;  // then failed as a read would be
    bool ready;
    w1_result result;
    w1_register reg;
    int errnum;
    void *poll_handle;  // to wake once ready: null where none
};

pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t wanted;   // to the reading thread: a read waits
pthread_cond_t changed;  // to the bounds' thread: a read came or went
pthread_cond_t emptied;  // to reader_drain: no read waits
waiting table[reader_waiting_max];
std::size_t count;
// Taken out of the table and not yet answered: the device must outlast them.
std::size_t answering;
kept answers[reader_waiting_max];
// Answers asked for and not yet ready: the reading thread's work, as
// waiting reads are.
std::size_t asked;
bool stopping;
// The last reading's conversion time, for the bounds of the reads to come.
int conversion_ms = 750;
reader_take take;
reader_answer answer;
reader_tell tell;
reader_wake wake;

std::int64_t now_ns()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// The monotonic clock's time wait_ns from now, a second at most, for
// pthread_cond_timedwait: in 32 bits, as a 64-bit division would take
// libgcc_s on a 32-bit ARM.
timespec after(std::int64_t wait_ns)
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    t.tv_nsec += wait_ns < 1000000000 ? static_cast<long>(wait_ns) : 999999999L;
    if (t.tv_nsec >= 1000000000L) {
        t.tv_sec++;
        t.tv_nsec -= 1000000000L;
    }
    return t;
}

waiting *find(void *request)
{
    for (waiting &w : table) {
        if (w.request == request)
            return &w;
    }
    return nullptr;
}

kept *find_kept(std::uint64_t descriptor)
{
    for (kept &k : answers) {
        if (k.descriptor == descriptor)
            return &k;
    }
    return nullptr;
}

// Under the lock: the kept answer for the descriptor, asked for now where
// it was not; null where there is no place for it.
kept *ask(std::uint64_t descriptor)
{
    kept *k = find_kept(descriptor);
    if (k == nullptr) {
        k = find_kept(0);
        if (k == nullptr)
            return nullptr;
        const std::int64_t now = now_ns();
        *k = kept{descriptor, now, now + reader_bound_ns(conversion_ms), false, w1_ok, {}, 0,
                  nullptr};
        asked++;
        pthread_cond_signal(&wanted);
        pthread_cond_signal(&changed);
    }
    return k;
}

// Under the lock: whether the reading (began at reading_ns) is fresh for
// an answer asked for.
bool any_fresh(const reading &r, std::int64_t reading_ns)
{
    for (const kept &k : answers) {
        if (k.descriptor != 0 && !k.ready && reader_fresh(k.asked_ns, reading_ns, r))
            return true;
    }
    return false;
}

// Under the lock: the answers that the reading (began at reading_ns)
// makes ready, their poll handles into woken.
std::size_t make_ready(const reading &r, std::int64_t reading_ns, void **woken)
{
    std::size_t made = 0;
    std::size_t n = 0;
    for (kept &k : answers) {
        if (k.descriptor == 0 || k.ready || !reader_fresh(k.asked_ns, reading_ns, r))
            continue;
        k.ready = true;
        k.result = r.result;
        k.reg = r.reg;
        k.errnum = r.errnum;
        asked--;
        made++;
        if (k.poll_handle != nullptr) {
            woken[n++] = k.poll_handle;
            k.poll_handle = nullptr;
        }
    }
    woken[n] = nullptr;
    return made;
}

bool any_expired(std::int64_t now)
{
    for (const kept &k : answers) {
        if (k.descriptor != 0 && !k.ready && k.deadline_ns <= now)
            return true;
    }
    return false;
}

// Under the lock: the answers asked for and not ready by their deadline
// at now made ready as failed, their poll handles into woken.
void expire(std::int64_t now, void **woken)
{
    std::size_t n = 0;
    for (kept &k : answers) {
        if (k.descriptor == 0 || k.ready || k.deadline_ns > now)
            continue;
        k.ready = true;
        k.result = w1_stuck;
        asked--;
        if (k.poll_handle != nullptr) {
            woken[n++] = k.poll_handle;
            k.poll_handle = nullptr;
        }
    }
    woken[n] = nullptr;
}

// Outside the lock: the polls of a null-ended list woken.
void wake_all(void *const *woken)
{
    for (; *woken != nullptr; woken++)
        wake(*woken, true);
}

// Under the lock: reader_drain may end once no read waits or is answered.
void tell_drain()
{
    if (count == 0 && answering == 0)
        pthread_cond_broadcast(&emptied);
}

void release(waiting &w)
{
    w = waiting{};
    count--;
    tell_drain();
    pthread_cond_signal(&changed);
}

// Under the lock: the armed reads that the reading (began at reading_ns)
// answers, or with reading null those past their deadline at now, taken
// out of the table into out.
std::size_t take_out(const reading *r, std::int64_t reading_ns, std::int64_t now,
                     answer_to *out)
{
    std::size_t n = 0;
    for (waiting &w : table) {
        if (w.request == nullptr || w.held)
            continue;
        if (r != nullptr ? reader_fresh(w.began_ns, reading_ns, *r) : w.deadline_ns <= now) {
            out[n++] = answer_to{w.request, w.size};
            answering++;
            release(w);
        }
    }
    return n;
}

// Under the lock, which it lets go meanwhile: the reads taken out answered
// with the reading, said in the log first, so that their readers find it
// said. The log tells what readers get: not a reading nobody waited for.
void deliver(const answer_to *out, std::size_t n, const reading &r)
{
    pthread_mutex_unlock(&lock);
    if (n > 0)
        tell(r);
    for (std::size_t i = 0; i < n; i++)
        answer(out[i].request, out[i].size, r);
    pthread_mutex_lock(&lock);
    answering -= n;
    tell_drain();
}

// Readings back to back while reads wait or answers are asked for, and
// one more after the last.
void *reading_loop(void *)
{
    static answer_to ready[reader_waiting_max];
    static void *woken[reader_waiting_max + 1];
    bool again = false;
    pthread_mutex_lock(&lock);
    for (;;) {
        while (count == 0 && asked == 0 && !again)
            pthread_cond_wait(&wanted, &lock);
        const std::int64_t began = now_ns();
        pthread_mutex_unlock(&lock);
        reading r{};
        take(r);
        pthread_mutex_lock(&lock);
        if (r.conversion_ms > 0)
            conversion_ms = r.conversion_ms;
        const std::size_t n = take_out(&r, began, 0, ready);
        // Said in the log before any reader can see it.
        if (n == 0 && any_fresh(r, began)) {
            pthread_mutex_unlock(&lock);
            tell(r);
            pthread_mutex_lock(&lock);
        }
        const std::size_t made = make_ready(r, began, woken);
        again = n > 0 || made > 0;
        deliver(ready, n, r);
        pthread_mutex_unlock(&lock);
        wake_all(woken);
        pthread_mutex_lock(&lock);
    }
    return nullptr;
}

// Fails each read, and each answer asked for, at its deadline, whatever
// the reading thread is held in.
void *bound_loop(void *)
{
    static answer_to expired[reader_waiting_max];
    static void *woken[reader_waiting_max + 1];
    pthread_mutex_lock(&lock);
    for (;;) {
        std::int64_t next = INT64_MAX;
        for (const waiting &w : table) {
            if (w.request != nullptr && !w.held && w.deadline_ns < next)
                next = w.deadline_ns;
        }
        for (const kept &k : answers) {
            if (k.descriptor != 0 && !k.ready && k.deadline_ns < next)
                next = k.deadline_ns;
        }
        const std::int64_t now = now_ns();
        if (next == INT64_MAX) {
            pthread_cond_wait(&changed, &lock);
            continue;
        }
        if (next > now) {
            const timespec until = after(next - now);
            pthread_cond_timedwait(&changed, &lock, &until);
            continue;
        }
        const std::size_t n = take_out(nullptr, 0, now, expired);
        reading stuck{};
        stuck.result = w1_stuck;
        deliver(expired, n, stuck);
        // Then the answers asked for, said in the log first as for reads.
        if (n == 0 && any_expired(now)) {
            pthread_mutex_unlock(&lock);
            tell(stuck);
            pthread_mutex_lock(&lock);
            expire(now, woken);
            pthread_mutex_unlock(&lock);
            wake_all(woken);
            pthread_mutex_lock(&lock);
        }
    }
    return nullptr;
}

bool start_thread(void *(*loop)(void *))
{
    sigset_t all;
    sigset_t was;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &was);
    pthread_t thread;
    const int error = pthread_create(&thread, nullptr, loop, nullptr);
    pthread_sigmask(SIG_SETMASK, &was, nullptr);
    if (error != 0) {
        errno = error;
        return false;
    }
    pthread_detach(thread);
    return true;
}

}  // namespace

bool reader_fresh(std::int64_t read_began_ns, std::int64_t reading_began_ns,
                  const reading &r)
{
    // A failed conversion counts as one: its failure is as fresh.
    const std::int64_t waited_ns = r.polled ? 0 : std::int64_t{r.conversion_ms} * 1000000;
    return read_began_ns < reading_began_ns + waited_ns;
}

std::int64_t reader_bound_ns(int ms)
{
    return (2 * std::int64_t{ms} + 4000) * 1000000;
}

bool reader_start(reader_take take_with, reader_answer answer_with, reader_tell tell_with,
                  reader_wake wake_with)
{
    take = take_with;
    answer = answer_with;
    tell = tell_with;
    wake = wake_with;
    pthread_condattr_t monotonic;
    pthread_condattr_init(&monotonic);
    pthread_condattr_setclock(&monotonic, CLOCK_MONOTONIC);
    pthread_cond_init(&wanted, nullptr);
    pthread_cond_init(&changed, &monotonic);
    pthread_cond_init(&emptied, nullptr);
    return start_thread(reading_loop) && start_thread(bound_loop);
}

int reader_wait(void *request, std::size_t size)
{
    const std::int64_t now = now_ns();
    pthread_mutex_lock(&lock);
    waiting *free = stopping ? nullptr : find(nullptr);
    if (free != nullptr) {
        *free = waiting{request, size, now, now + reader_bound_ns(conversion_ms), true, false};
        count++;
        pthread_cond_signal(&wanted);
    }
    const int error = stopping ? ENODEV : free == nullptr ? EBUSY : 0;
    pthread_mutex_unlock(&lock);
    return error;
}

bool reader_arm(void *request)
{
    pthread_mutex_lock(&lock);
    waiting *w = find(request);
    const bool armed = !w->interrupted;
    if (armed) {
        w->held = false;
        pthread_cond_signal(&changed);
    } else {
        release(*w);
    }
    pthread_mutex_unlock(&lock);
    return armed;
}

bool reader_interrupt(void *request)
{
    pthread_mutex_lock(&lock);
    waiting *w = find(request);
    const bool taken = w != nullptr && !w->held;
    if (taken)
        release(*w);
    else if (w != nullptr)
        w->interrupted = true;
    pthread_mutex_unlock(&lock);
    return taken;
}

int reader_ready(std::uint64_t descriptor, reading &r, bool asking)
{
    pthread_mutex_lock(&lock);
    kept *k = stopping ? nullptr : asking ? ask(descriptor) : find_kept(descriptor);
    int error = stopping ? ENODEV : k == nullptr && asking ? EBUSY : EAGAIN;
    if (k != nullptr && k->ready) {
        r.result = k->result;
        r.reg = k->reg;
        r.errnum = k->errnum;
        *k = kept{};
        error = 0;
    }
    pthread_mutex_unlock(&lock);
    return error;
}

bool reader_poll(std::uint64_t descriptor, void *poll_handle)
{
    pthread_mutex_lock(&lock);
    kept *k = stopping ? nullptr : ask(descriptor);
    const bool readable = k == nullptr || k->ready;
    void *old = nullptr;
    if (readable) {
        old = poll_handle;
    } else {
        old = k->poll_handle;
        k->poll_handle = poll_handle;
    }
    pthread_mutex_unlock(&lock);
    // Let go without a wake: a wake would have the kernel poll again, and
    // hand another handle, at once and for ever.
    if (old != nullptr)
        wake(old, false);
    return readable;
}

void reader_close(std::uint64_t descriptor)
{
    pthread_mutex_lock(&lock);
    kept *k = find_kept(descriptor);
    void *handle = nullptr;
    if (k != nullptr) {
        if (!k->ready)
            asked--;
        handle = k->poll_handle;
        *k = kept{};
    }
    pthread_mutex_unlock(&lock);
    if (handle != nullptr)
        wake(handle, false);
}

void reader_stop()
{
    static void *woken[reader_waiting_max + 1];
    std::size_t n = 0;
    pthread_mutex_lock(&lock);
    stopping = true;
    for (kept &k : answers) {
        if (k.poll_handle != nullptr)
            woken[n++] = k.poll_handle;
        k = kept{};
    }
    asked = 0;
    woken[n] = nullptr;
    pthread_mutex_unlock(&lock);
    // Woken, so that their next read fails at once.
    wake_all(woken);
}

void reader_drain()
{
    pthread_mutex_lock(&lock);
    while (count > 0 || answering > 0)
        pthread_cond_wait(&emptied, &lock);
    pthread_mutex_unlock(&lock);
}
