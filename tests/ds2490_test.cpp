// SPDX-License-Identifier: MIT
// The emulated adapter's USB/IP, driven as vhci_hcd drives it, over a
// socket pair: no kernel, and no sensors behind it.
#include "bus.h"
#include "usbip.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

// An empty bus: each slot reads what the adapter writes. A 1-Wire reset
// makes the adapter stuck where the case asks, as a sensor's "stuck"
// answer does at its conversion, and back at once.
namespace {
bool stuck_on_reset;
std::int64_t stuck_until;
std::int64_t late;
int unstucks;
}  // namespace

void bus_reset() { stuck_until = stuck_on_reset ? 1 : stuck_until; }
unsigned char bus_touch_byte(unsigned char byte, bool) { return byte; }
unsigned char bus_touch_bit(unsigned char bit) { return bit; }
int bus_search(unsigned char[][8], int) { return 0; }
std::int64_t bus_stuck_until_ns() { return stuck_until; }
void bus_unstuck() { stuck_until = 0, unstucks++; }
std::int64_t bus_take_late_ns() { return std::exchange(late, 0); }

namespace {

void put32(unsigned char *p, std::uint32_t v)
{
    for (unsigned i = 0; i < 4; i++)
        p[i] = static_cast<unsigned char>(v >> (24 - 8 * i));
}

std::uint32_t get32(const unsigned char *p)
{
    return std::uint32_t{p[0]} << 24U | std::uint32_t{p[1]} << 16U | std::uint32_t{p[2]} << 8U | p[3];
}

// What the host sends: w, data on EP2 (size 0xFF bytes); r, a bulk IN of
// size on EP3; c, a communication command (value, index) on EP0; z, the
// device's reset; s, a read of the status packet on EP1; u, an unlink of
// target. Seqnums from the case's base.
struct message {
    char kind;
    std::uint32_t seqnum;
    unsigned size_or_value;
    unsigned index_or_target;
};

struct reply {
    std::uint32_t command;  // 3: RET_SUBMIT, 4: RET_UNLINK
    std::uint32_t seqnum;
    int status;
    int size;               // RET_SUBMIT's actual length
};

bool operator==(const reply &a, const reply &b)
{
    return a.command == b.command && a.seqnum == b.seqnum && a.status == b.status && a.size == b.size;
}

void PrintTo(const reply &r, std::ostream *out)
{
    *out << (r.command == 3 ? "RET_SUBMIT " : "RET_UNLINK ") << r.seqnum << " " << r.status << " "
         << r.size;
}

bool is_in[1024];  // by seqnum: a RET_SUBMIT's data follows where it is

std::vector<unsigned char> bytes_of(const std::vector<message> &sent, std::uint32_t base)
{
    std::vector<unsigned char> all;
    for (const message &m : sent) {
        unsigned char b[48] = {};
        const bool in = m.kind == 'r' || m.kind == 's';
        is_in[(base + m.seqnum) % 1024] = in;
        put32(b, m.kind == 'u' ? 2 : 1);
        put32(b + 4, base + m.seqnum);
        put32(b + 12, in ? 1 : 0);
        put32(b + 16, m.kind == 'w' ? 2 : m.kind == 'r' ? 3 : m.kind == 's' ? 1 : 0);
        if (m.kind == 'u') {
            put32(b + 20, base + m.index_or_target);
        } else if (m.kind == 'c' || m.kind == 'z') {
            const unsigned char setup[8] = {0x40, static_cast<unsigned char>(m.kind == 'c' ? 1 : 0),
                                            static_cast<unsigned char>(m.size_or_value),
                                            static_cast<unsigned char>(m.size_or_value >> 8U),
                                            static_cast<unsigned char>(m.index_or_target),
                                            static_cast<unsigned char>(m.index_or_target >> 8U),
                                            0, 0};
            std::memcpy(b + 40, setup, 8);
        } else {
            put32(b + 24, m.kind == 's' ? 32 : m.size_or_value);
        }
        all.insert(all.end(), b, b + 48);
        if (m.kind == 'w')
            all.insert(all.end(), m.size_or_value, 0xFF);
    }
    return all;
}

void send(int fd, const std::vector<unsigned char> &bytes)
{
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

bool readable(int fd)
{
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 0) > 0;
}

// The replies waiting at the host's end, and the last status packet.
std::vector<reply> replies(int fd, unsigned char status[16])
{
    std::vector<reply> got;
    unsigned char h[48];
    while (readable(fd) && recv(fd, h, sizeof h, MSG_WAITALL) == 48) {
        const reply r{get32(h), get32(h + 4), static_cast<int>(get32(h + 20)),
                      static_cast<int>(get32(h + 24))};
        got.push_back(r);
        unsigned char data[512];
        if (r.command == 3 && is_in[r.seqnum % 1024] && r.size > 0 &&
            recv(fd, data, static_cast<size_t>(r.size), MSG_WAITALL) == 16)
            std::memcpy(status, data, 16);
    }
    return got;
}

// A timer's signal sends the host's next requests while the adapter waits
// for them, and asks for its state: the wait is interrupted twice.
int alarm_fd;
std::vector<unsigned char> alarm_bytes;

void on_alarm(int)
{
    (void)!write(alarm_fd, alarm_bytes.data(), alarm_bytes.size());
    raise(SIGUSR1);
}

// The log's lines, less their seconds.
std::string without_seconds(std::FILE *log)
{
    std::string text;
    char line[256];
    rewind(log);
    while (std::fgets(line, sizeof line, log) != nullptr)
        text += std::strchr(line, ' ') + 1;
    return text;
}

double seconds_since(const timespec &began)
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec - began.tv_sec) +
           static_cast<double>(now.tv_nsec - began.tv_nsec) / 1e9;
}

const int econnreset = -ECONNRESET;
const int epipe = -EPIPE;

// Each case starts with the device's reset (its seqnum 0), and ends with
// a read of the status packet (99), whose FIFO counts it checks.
TEST(Ds2490Usbip, Requests)
{
    const struct {
        const char *name;
        std::vector<message> sent;
        std::vector<message> on_signal;  // sent while the adapter waits
        std::vector<reply> expected;
        int out_fifo, in_fifo;
        bool stuck_on_reset;
        int late_ms;
        const char *state;               // the log, where on_signal is
    } cases[] = {
        // First, for the requests that the state shows to be its own.
        {"a signal while waiting for the socket: the state, then what came",
         {{'w', 1, 9, 0}, {'r', 2, 9, 0}, {'u', 4, 0, 3}},
         {{'u', 5, 0, 2}, {'w', 3, 1, 0}},
         {{3, 1, 0, 9}, {4, 5, econnreset, 0}, {4, 4, econnreset, 0}}, 9, 0, false, 0,
         "state alive, FIFO out 9 in 0, last command 0x0000\n"
         "state read 102 waiting for 9 bytes\n"
         "state unlink 104 held for 103\n"
         "request 100 submit ep0 out 0 bytes setup 40 00 00 00 00 00 00 00: answered 0, 0 bytes\n"
         "request 101 submit ep2 out 9 bytes: answered 0, 9 bytes\n"
         "request 102 submit ep3 in 9 bytes: waiting\n"
         "request 104 unlink of 103: held\n"
         "state ends\n"},
        {"a block: EP2's bytes through the bus, then to EP3",
         {{'w', 1, 3, 0}, {'c', 2, 0x0075, 3}}, {},
         {{3, 1, 0, 3}, {3, 2, 0, 0}}, 0, 3, false, 0, nullptr},
        {"a read gets what waits in EP3",
         {{'w', 1, 3, 0}, {'c', 2, 0x0075, 3}, {'r', 3, 64, 0}}, {},
         {{3, 1, 0, 3}, {3, 2, 0, 0}, {3, 3, 0, 3}}, 0, 0, false, 0, nullptr},
        {"a read waits for its bytes",
         {{'r', 1, 9, 0}, {'w', 2, 2, 0}, {'c', 3, 0x0075, 2}}, {},
         {{3, 2, 0, 2}, {3, 3, 0, 0}, {3, 1, 0, 2}}, 0, 0, false, 0, nullptr},
        {"an unlink of a waiting read: -ECONNRESET, and the read nothing more",
         {{'r', 1, 9, 0}, {'u', 2, 0, 1}, {'w', 3, 2, 0}, {'c', 4, 0x0075, 2}}, {},
         {{4, 2, econnreset, 0}, {3, 3, 0, 2}, {3, 4, 0, 0}}, 0, 2, false, 0, nullptr},
        {"an unlink before its write: held, and the write not done",
         {{'u', 2, 0, 1}, {'w', 1, 9, 0}}, {},
         {{4, 2, econnreset, 0}}, 0, 0, false, 0, nullptr},
        {"an unlink before its read: held, and the read not waiting",
         {{'u', 2, 0, 1}, {'r', 1, 9, 0}, {'w', 3, 1, 0}, {'c', 4, 0x0075, 1}}, {},
         {{4, 2, econnreset, 0}, {3, 3, 0, 1}, {3, 4, 0, 0}}, 0, 1, false, 0, nullptr},
        {"an unlink of an answered write: 0, and the FIFOs emptied",
         {{'w', 1, 9, 0}, {'u', 2, 0, 1}}, {},
         {{3, 1, 0, 9}, {4, 2, 0, 0}}, 0, 0, false, 0, nullptr},
        {"an unlink of an answered block: 0, and the FIFOs emptied",
         {{'w', 1, 3, 0}, {'c', 2, 0x0075, 3}, {'u', 3, 0, 2}}, {},
         {{3, 1, 0, 3}, {3, 2, 0, 0}, {4, 3, 0, 0}}, 0, 0, false, 0, nullptr},
        {"a write answered late, unlinked meanwhile: 0, and the FIFOs emptied",
         {{'w', 1, 9, 0}, {'u', 2, 0, 1}}, {},
         {{3, 1, 0, 9}, {4, 2, 0, 0}}, 0, 0, false, 50, nullptr},
        {"stuck, then back: what came meanwhile fails, its unlinks as ever",
         {{'w', 1, 9, 0}, {'r', 2, 9, 0}, {'c', 3, 0x0043, 0}, {'w', 4, 9, 0},
          {'u', 5, 0, 2}, {'u', 6, 0, 4}}, {},
         {{3, 1, 0, 9}, {3, 3, 0, 0}, {3, 4, epipe, 0}, {4, 5, econnreset, 0}, {4, 6, 0, 0}},
         0, 0, true, 0, nullptr},
    };
    std::FILE *log = std::tmpfile();
    ASSERT_NE(log, nullptr);
    usbip_dump_on_signal(log);
    struct sigaction action {};
    action.sa_handler = on_alarm;
    sigaction(SIGALRM, &action, nullptr);
    int ends[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
    const int host = ends[0];
    const int device = ends[1];
    std::uint32_t base = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        base += 100;
        unsigned char status[16] = {};
        send(host, bytes_of({{'z', 0, 0, 0}}, base));
        ASSERT_TRUE(usbip_serve(device));
        ASSERT_EQ(replies(host, status), (std::vector<reply>{{3, base, 0, 0}}));

        stuck_on_reset = c.stuck_on_reset;
        late = std::int64_t{c.late_ms} * 1000000;
        const int unstucks_before = unstucks;
        timespec began{};
        clock_gettime(CLOCK_MONOTONIC, &began);
        send(host, bytes_of(c.sent, base));
        while (readable(device))
            ASSERT_TRUE(usbip_serve(device));
        if (!c.on_signal.empty()) {
            alarm_fd = host;
            alarm_bytes = bytes_of(c.on_signal, base);
            const itimerval soon{{0, 0}, {0, 20000}};
            setitimer(ITIMER_REAL, &soon, nullptr);
            ASSERT_TRUE(usbip_serve(device));
            while (readable(device))
                ASSERT_TRUE(usbip_serve(device));
            EXPECT_EQ(without_seconds(log), c.state);
        }
        EXPECT_GE(seconds_since(began), c.late_ms / 1000.0);
        std::vector<reply> expected = c.expected;
        for (reply &r : expected)
            r.seqnum += base;
        EXPECT_EQ(replies(host, status), expected);
        EXPECT_EQ(unstucks - unstucks_before, c.stuck_on_reset ? 1 : 0);
        stuck_on_reset = false;

        send(host, bytes_of({{'s', 99, 0, 0}}, base));
        // A signal that comes with the request: the state, all the same.
        if (c.state != nullptr)
            raise(SIGUSR1);
        ASSERT_TRUE(usbip_serve(device));
        if (c.state != nullptr) {
            const std::string states = without_seconds(log);
            EXPECT_EQ(states.find("state ends\n", std::strlen(c.state)), states.size() - 11);
        }
        ASSERT_EQ(replies(host, status), (std::vector<reply>{{3, base + 99, 0, 16}}));
        EXPECT_EQ(status[8], 0x20) << "idle";
        EXPECT_EQ(status[12], c.out_fifo) << "EP2's FIFO";
        EXPECT_EQ(status[13], c.in_fifo) << "EP3's FIFO";
    }
    // The socket's end ends the serving.
    close(host);
    EXPECT_FALSE(usbip_serve(device));
    close(device);
    std::fclose(log);
}

}  // namespace
