// SPDX-License-Identifier: MIT
// device-calls: reads of DEVICE as programs with an event loop, or with a
// signal handler, make them, each said in a line with how long it took
// ("at once": within 50 ms):
//   device-calls nonblocking DEVICE TIMES
//     a read in non-blocking mode, poll() for it, a read again, and one
//     more with the descriptor made blocking by fcntl; TIMES gets the
//     monotonic clock's seconds when the first read began and when poll()
//     woke, in the emulated bus's log's clock
//   device-calls read DEVICE
//     one read
//   device-calls asked DEVICE
//     one read in non-blocking mode, and the descriptor closed at once
//   device-calls interrupted DEVICE FILE
//     one read, which SIGINT interrupts once FILE exists (SIGINT is
//     handled: the program would go on); "within 100 ms" of the signal
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

double now()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// One 2-byte read, said as "WHAT: 0191, at once" or "WHAT: REASON, after
// 230 ms", at once meaning within 50 ms of since; with since 0, untimed.
void timed_read(int fd, const char *what, double since)
{
    unsigned char bytes[2] = {};
    const ssize_t got = read(fd, bytes, sizeof bytes);
    const int error = errno;
    const double took = now() - since;
    char result[64];
    if (got == 2)
        snprintf(result, sizeof result, "%02x%02x", bytes[1], bytes[0]);
    else
        snprintf(result, sizeof result, "%s", got < 0 ? strerror(error) : "short");
    if (since == 0)
        printf("%s: %s\n", what, result);
    else if (took < 0.05)
        printf("%s: %s, at once\n", what, result);
    else
        printf("%s: %s, after %d ms\n", what, result, static_cast<int>(took * 1000));
}

int nonblocking(const char *device, const char *times)
{
    const int fd = open(device, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        perror(device);
        return 2;
    }
    const double asked = now();
    timed_read(fd, "a non-blocking read", asked);
    pollfd polled{fd, POLLIN, 0};
    const int ready = poll(&polled, 1, 10000);
    const double woke = now();
    if (ready == 1 && polled.revents == POLLIN)
        puts("poll: readable");
    else
        printf("poll: %d, revents %#x\n", ready, static_cast<unsigned>(polled.revents));
    timed_read(fd, "the read after it", now());
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    timed_read(fd, "made blocking again", 0);
    FILE *out = fopen(times, "w");
    if (out == nullptr) {
        perror(times);
        return 2;
    }
    fprintf(out, "%.6f %.6f\n", asked, woke);
    fclose(out);
    return 0;
}

pthread_t reading_thread;
const char *go_file;
volatile double signalled;

void caught(int) {}

// Once the file exists (a minute at most), SIGINT to the reading thread.
void *interrupter(void *)
{
    struct stat st{};
    for (int tries = 0; tries < 6000 && stat(go_file, &st) != 0; tries++) {
        const timespec pause{0, 10000000};
        nanosleep(&pause, nullptr);
    }
    signalled = now();
    pthread_kill(reading_thread, SIGINT);
    return nullptr;
}

int interrupted(const char *device, const char *file)
{
    struct sigaction action{};
    action.sa_handler = caught;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    const int fd = open(device, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        perror(device);
        return 2;
    }
    reading_thread = pthread_self();
    go_file = file;
    // The other thread must not take the signal itself.
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGINT);
    pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
    pthread_t thread;
    pthread_create(&thread, nullptr, interrupter, nullptr);
    pthread_sigmask(SIG_UNBLOCK, &blocked, nullptr);
    unsigned char bytes[2] = {};
    const ssize_t got = read(fd, bytes, sizeof bytes);
    const int error = errno;
    const double ended = now();
    if (got < 0 && error == EINTR && signalled > 0) {
        const double took = ended - signalled;
        if (took < 0.1)
            puts("a read, then SIGINT: Interrupted system call, within 100 ms");
        else
            printf("a read, then SIGINT: Interrupted system call, after %d ms\n",
                   static_cast<int>(took * 1000));
    } else {
        printf("a read, then SIGINT: %s, before the signal\n",
               got == 2 ? "read" : got < 0 ? strerror(error) : "short");
    }
    pthread_join(thread, nullptr);
    return 0;
}

}  // namespace

int main(int argc, char *argv[])
{
    if (argc == 4 && strcmp(argv[1], "nonblocking") == 0)
        return nonblocking(argv[2], argv[3]);
    if (argc == 3 && strcmp(argv[1], "read") == 0) {
        const int fd = open(argv[2], O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            perror(argv[2]);
            return 2;
        }
        timed_read(fd, "a read", now());
        return 0;
    }
    if (argc == 3 && strcmp(argv[1], "asked") == 0) {
        const int fd = open(argv[2], O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            perror(argv[2]);
            return 2;
        }
        timed_read(fd, "a non-blocking read, then closed", now());
        close(fd);
        return 0;
    }
    if (argc == 4 && strcmp(argv[1], "interrupted") == 0)
        return interrupted(argv[2], argv[3]);
    fputs("usage: device-calls nonblocking DEVICE TIMES | read DEVICE | asked DEVICE | "
          "interrupted DEVICE FILE\n", stderr);
    return 2;
}
