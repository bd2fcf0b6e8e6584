// SPDX-License-Identifier: MIT
// The emulated adapter's USB/IP side (usbip.h).
#include "usbip.h"

#include "ds2490.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace {

enum : uint8_t { cmd_submit = 1, cmd_unlink = 2, ret_submit = 3, ret_unlink = 4 };

uint32_t get32(const unsigned char *p)
{
    return static_cast<uint32_t>(p[0]) << 24U | static_cast<uint32_t>(p[1]) << 16U |
           static_cast<uint32_t>(p[2]) << 8U | p[3];
}

void put32(unsigned char *p, uint32_t v)
{
    p[0] = static_cast<unsigned char>(v >> 24U);
    p[1] = static_cast<unsigned char>(v >> 16U);
    p[2] = static_cast<unsigned char>(v >> 8U);
    p[3] = static_cast<unsigned char>(v);
}

int64_t now_ns()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// ---- What the host asked, and what it was answered: for the state's dump.

enum outcome : uint8_t { being_answered, answered, waiting, held, unlinked };

struct request_note {
    int64_t at_ns;
    int64_t late_ns;
    uint32_t command;
    uint32_t seqnum;
    uint32_t endpoint;
    uint32_t target;       // an unlink's submit
    int size;
    int status;
    int given;
    outcome what;
    bool in;
    unsigned char setup[8];
};

request_note notes[16];
unsigned note_count;

request_note &remember(const unsigned char header[48])
{
    request_note &n = notes[note_count++ % 16];
    n = request_note{};
    n.at_ns = now_ns();
    n.command = get32(header);
    n.seqnum = get32(header + 4);
    n.in = get32(header + 12) == 1;
    n.endpoint = get32(header + 16);
    n.target = get32(header + 20);
    n.size = static_cast<int>(get32(header + 24));
    memcpy(n.setup, header + 40, 8);
    return n;
}

// The newest note of that command and seqnum, or null where it is gone.
request_note *noted(uint32_t command, uint32_t seqnum)
{
    for (unsigned i = 0; i < 16 && i < note_count; i++) {
        request_note &n = notes[(note_count - 1 - i) % 16];
        if (n.command == command && n.seqnum == seqnum)
            return &n;
    }
    return nullptr;
}

void settle_note(uint32_t command, uint32_t seqnum, outcome what, int status, int given)
{
    if (request_note *n = noted(command, seqnum)) {
        n->what = what;
        n->status = status;
        n->given = given;
    }
}

// ---- The protocol's state.

// The bulk IN that waits for bytes.
struct {
    bool is;
    uint32_t seqnum;
    int size;
} reading;

// Unlinks that came before their submits.
struct held_unlink {
    uint32_t seqnum;
    uint32_t target;
};
held_unlink held_unlinks[8];
int held_count;

// The last submit seen: vhci_hcd numbers its requests, submits and
// unlinks alike, as it queues them, and sends its submits in that order.
uint32_t last_submit;
bool any_submit;

bool seen(uint32_t seqnum)
{
    return any_submit && static_cast<int32_t>(seqnum - last_submit) <= 0;
}

// ---- The state's dump, asked for by SIGUSR1.

FILE *dump_log;
volatile sig_atomic_t dump_asked;
// SIGUSR1 is let through only while the adapter waits, so that one that
// comes just before a wait ends the wait; one that came with the bytes
// waited for is taken after it.
sigset_t usr1;
sigset_t waiting_mask;

void ask_dump(int)
{
    dump_asked = 1;
}

void print_note(const request_note &n)
{
    const double at = static_cast<double>(n.at_ns) / 1e9;
    if (n.command == cmd_unlink) {
        fprintf(dump_log, "%.6f request %u unlink of %u: ", at, n.seqnum, n.target);
    } else {
        fprintf(dump_log, "%.6f request %u submit ep%u %s %d bytes", at, n.seqnum, n.endpoint,
                n.in ? "in" : "out", n.size);
        if (n.endpoint == 0) {
            fputs(" setup", dump_log);
            for (unsigned char byte : n.setup)
                fprintf(dump_log, " %02x", byte);
        }
        fputs(": ", dump_log);
    }
    switch (n.what) {
    case being_answered:
        fputs("being answered", dump_log);
        break;
    case answered:
        fprintf(dump_log, "answered %d", n.status);
        if (n.command == cmd_submit)
            fprintf(dump_log, ", %d bytes", n.given);
        if (n.late_ns != 0)
            fprintf(dump_log, ", %.3f s late", static_cast<double>(n.late_ns) / 1e9);
        break;
    case waiting:
        fputs("waiting", dump_log);
        break;
    case held:
        fputs("held", dump_log);
        break;
    case unlinked:
        fputs("unlinked, not answered", dump_log);
        break;
    }
    fputc('\n', dump_log);
}

void dump()
{
    const double now = static_cast<double>(now_ns()) / 1e9;
    fprintf(dump_log, "%.6f state alive, FIFO out %d in %d, last command 0x%04x\n", now,
            ds2490_out_count(), ds2490_in_count(), ds2490_last_command());
    if (ds2490_stuck_until_ns() != 0)
        fprintf(dump_log, "%.6f state stuck until %.6f\n", now,
                static_cast<double>(ds2490_stuck_until_ns()) / 1e9);
    if (reading.is)
        fprintf(dump_log, "%.6f state read %u waiting for %d bytes\n", now, reading.seqnum,
                reading.size);
    for (int i = 0; i < held_count; i++)
        fprintf(dump_log, "%.6f state unlink %u held for %u\n", now, held_unlinks[i].seqnum,
                held_unlinks[i].target);
    const unsigned first = note_count > 16 ? note_count - 16 : 0;
    for (unsigned i = first; i < note_count; i++)
        print_note(notes[i % 16]);
    fprintf(dump_log, "%.6f state ends\n", now);
    fflush(dump_log);
}

// ppoll, and the state's dump where SIGUSR1 came meanwhile.
int wait_for(pollfd *fds, nfds_t count, const timespec *timeout)
{
    if (dump_log == nullptr)
        return ppoll(fds, count, timeout, nullptr);
    const int n = ppoll(fds, count, timeout, &waiting_mask);
    const int saved = errno;
    sigset_t pending;
    int signal = 0;
    if (sigpending(&pending) == 0 && sigismember(&pending, SIGUSR1) == 1 &&
        sigwait(&usr1, &signal) == 0)
        dump_asked = 1;
    if (dump_asked != 0) {
        dump_asked = 0;
        dump();
    }
    errno = saved;
    return n;
}

// ---- The socket.

bool readable(int fd, const timespec *timeout)
{
    pollfd p{fd, POLLIN, 0};
    for (;;) {
        const int n = wait_for(&p, 1, timeout);
        if (n >= 0)
            return n > 0;
        if (errno != EINTR)
            return false;
    }
}

bool read_all(int fd, unsigned char *bytes, size_t size)
{
    while (size > 0) {
        // Readable, or ended: the read says which.
        if (!readable(fd, nullptr))
            return false;
        const ssize_t got = read(fd, bytes, size);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        bytes += got;
        size -= static_cast<size_t>(got);
    }
    return true;
}

bool write_all(int fd, const unsigned char *bytes, size_t size)
{
    while (size > 0) {
        const ssize_t put = write(fd, bytes, size);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        bytes += put;
        size -= static_cast<size_t>(put);
    }
    return true;
}

void pause_until(int64_t deadline_ns)
{
    for (int64_t left = deadline_ns - now_ns(); left > 0; left = deadline_ns - now_ns()) {
        const timespec t{static_cast<time_t>(left / 1000000000), static_cast<long>(left % 1000000000)};
        wait_for(nullptr, 0, &t);
    }
}

// RET_SUBMIT with its status, and an IN transfer's data.
bool answer_submit(int fd, uint32_t seqnum, bool in, int status, const unsigned char *data, int size)
{
    unsigned char reply[48 + 512] = {};
    put32(reply, ret_submit);
    put32(reply + 4, seqnum);
    put32(reply + 20, static_cast<uint32_t>(status));
    put32(reply + 24, static_cast<uint32_t>(size));
    if (in && size > 0)
        memcpy(reply + 48, data, static_cast<size_t>(size));
    settle_note(cmd_submit, seqnum, answered, status, size);
    return write_all(fd, reply, 48 + static_cast<size_t>(in ? size : 0));
}

bool answer_unlink(int fd, uint32_t seqnum, int status)
{
    unsigned char reply[48] = {};
    put32(reply, ret_unlink);
    put32(reply + 4, seqnum);
    put32(reply + 20, static_cast<uint32_t>(status));
    settle_note(cmd_unlink, seqnum, answered, status, 0);
    return write_all(fd, reply, sizeof reply);
}

// The waiting read, answered where bytes have come.
bool answer_reading(int fd)
{
    if (!reading.is)
        return true;
    unsigned char data[512];
    const ds2490_answer a = ds2490_transfer(3, true, nullptr, data, reading.size);
    if (a.waits)
        return true;
    reading.is = false;
    return answer_submit(fd, reading.seqnum, true, a.status, data, a.size);
}

bool unlink(int fd, const unsigned char header[48])
{
    request_note &n = remember(header);
    const uint32_t seqnum = get32(header + 4);
    const uint32_t target = get32(header + 20);
    if (reading.is && reading.seqnum == target) {
        reading.is = false;
        settle_note(cmd_submit, target, unlinked, 0, 0);
        return answer_unlink(fd, seqnum, -ECONNRESET);
    }
    if (!seen(target) && held_count < 8) {
        held_unlinks[held_count++] = held_unlink{seqnum, target};
        n.what = held;
        return true;
    }
    ds2490_reset();
    return answer_unlink(fd, seqnum, 0);
}

bool serve(int fd, const unsigned char header[48], bool failing);

// A late answer goes after the host's unlink of it, when the host has
// given it up for certain, whatever its load: RET_SUBMIT, then the unlink
// as ever. Where none comes, in 5 s, it goes all the same.
bool answer_late(int fd, const request_note &n, const ds2490_answer &a, unsigned char *data,
                 bool failing)
{
    pause_until(n.at_ns + n.late_ns);
    const timespec bound{5, 0};
    unsigned char next[48];
    const bool more = readable(fd, &bound);
    if (more && !read_all(fd, next, sizeof next))
        return false;
    return answer_submit(fd, n.seqnum, n.in, a.status, data, a.size) && answer_reading(fd) &&
           (!more || serve(fd, next, failing));
}

// One request; a submit fails where the adapter is just back from being
// stuck.
bool serve(int fd, const unsigned char header[48], bool failing)
{
    const uint32_t command = get32(header);
    if (command == cmd_unlink)
        return unlink(fd, header);
    if (command != cmd_submit)
        return false;
    const uint32_t seqnum = get32(header + 4);
    const bool in = get32(header + 12) == 1;
    const uint32_t endpoint = get32(header + 16);
    const uint32_t size = get32(header + 24);
    unsigned char data[512];
    if (size > sizeof data || (!in && !read_all(fd, data, size)))
        return false;
    request_note &n = remember(header);
    last_submit = seqnum;
    any_submit = true;
    for (int i = 0; i < held_count; i++) {
        if (held_unlinks[i].target == seqnum) {
            const uint32_t unlink_seqnum = held_unlinks[i].seqnum;
            held_unlinks[i] = held_unlinks[--held_count];
            n.what = unlinked;
            return answer_unlink(fd, unlink_seqnum, -ECONNRESET);
        }
    }
    if (failing || (reading.is && endpoint == 3))
        return answer_submit(fd, seqnum, in, -EPIPE, nullptr, 0);
    const ds2490_answer a = ds2490_transfer(endpoint, in, header + 40, data, static_cast<int>(size));
    if (a.waits) {
        reading.is = true;
        reading.seqnum = seqnum;
        reading.size = static_cast<int>(size);
        n.what = waiting;
        return true;
    }
    if (a.late_ns != 0) {
        n.late_ns = a.late_ns;
        return answer_late(fd, n, a, data, failing);
    }
    return answer_submit(fd, seqnum, in, a.status, data, a.size) && answer_reading(fd);
}

bool serve_one(int fd, bool failing)
{
    unsigned char header[48];
    return read_all(fd, header, sizeof header) && serve(fd, header, failing);
}

// A stuck adapter answers nothing, not even the host's unlinks, until it
// comes back as from a reset: what the host sent meanwhile fails, so that
// what it sends next is answered afresh. A read still waiting goes on
// waiting.
bool unstick(int fd)
{
    pause_until(ds2490_stuck_until_ns());
    ds2490_unstuck();
    const timespec now{};
    while (readable(fd, &now)) {
        if (!serve_one(fd, true))
            return false;
    }
    return true;
}

}  // namespace

int usbip_attach()
{
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
        return -1;
    const int sysfs = open("/sys/devices/platform/vhci_hcd.0/attach", O_WRONLY | O_CLOEXEC);
    char line[64];
    const int size = snprintf(line, sizeof line, "0 %d 65538 2", ends[1]);
    const bool attached = sysfs >= 0 && write(sysfs, line, static_cast<size_t>(size)) == size;
    const int saved = errno;
    if (sysfs >= 0)
        close(sysfs);
    close(ends[1]);
    if (!attached) {
        close(ends[0]);
        errno = saved;
        return -1;
    }
    return ends[0];
}

void usbip_dump_on_signal(FILE *log)
{
    struct sigaction action {};
    action.sa_handler = ask_dump;
    sigemptyset(&action.sa_mask);
    sigaction(SIGUSR1, &action, nullptr);
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    sigprocmask(SIG_BLOCK, &usr1, &waiting_mask);
    sigdelset(&waiting_mask, SIGUSR1);
    dump_log = log;
}

bool usbip_serve(int fd)
{
    if (ds2490_stuck_until_ns() != 0)
        return unstick(fd);
    return serve_one(fd, false);
}
