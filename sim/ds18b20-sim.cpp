// SPDX-License-Identifier: MIT
// ds18b20-sim: a stand-in for the kernel driver. It mounts one read-only
// file whose reads are answered, in turn, from a script, and it logs every
// read it is asked for, so that tests can check what the programs asked and
// when.
//
//   ds18b20-sim SCRIPT LOG MOUNTPOINT
//
// A script has one answer a line; after the last it starts again at the
// first. "#" starts a comment.
//   25.25            a temperature (rounded to the register's 1/16 degree)
//   0x0191           a register value, delivered low byte first
//   25.25 bytes 1    a short read: only the first N (0 or 1) bytes
//   error EIO        the read fails with that errno (a name or a number)
//   ... after 150ms  any answer may wait first (us, ms or s); opened
//                    with O_NONBLOCK, such a read fails with EAGAIN
// The log gets one line a read, as it arrives: "SECONDS read SIZE", with
// the monotonic clock's seconds.
#define FUSE_USE_VERSION 31

#include <fuse.h>

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

struct answer {
    unsigned char bytes[2];
    int size;        // bytes delivered, when errnum is 0
    int errnum;      // the read fails with it when not 0
    long delay_us;   // waited before answering
};

// A fixed table, so that the simulator needs no C++ runtime library and
// runs on a board that has none built for its core.
answer script[4096];
std::size_t script_size;
std::size_t next_answer;
pthread_mutex_t next_lock = PTHREAD_MUTEX_INITIALIZER;
int log_fd = -1;

struct errno_name {
    const char *name;
    int value;
};

const errno_name errno_names[] = {
    {"EIO", EIO},       {"EAGAIN", EAGAIN},   {"EINTR", EINTR},
    {"ENODEV", ENODEV}, {"ENXIO", ENXIO},     {"EINVAL", EINVAL},
    {"EBUSY", EBUSY},   {"ETIMEDOUT", ETIMEDOUT},
};

bool parse_errno(const char *word, int &value)
{
    for (const errno_name &e : errno_names) {
        if (strcmp(word, e.name) == 0) {
            value = e.value;
            return true;
        }
    }
    char *end = nullptr;
    const long n = strtol(word, &end, 10);
    if (*word == '\0' || *end != '\0' || n <= 0 || n > 4095)
        return false;
    value = static_cast<int>(n);
    return true;
}

bool parse_duration(const char *word, long &us)
{
    char *end = nullptr;
    const double n = strtod(word, &end);
    double scale = 0;
    if (strcmp(end, "us") == 0)
        scale = 1;
    else if (strcmp(end, "ms") == 0)
        scale = 1e3;
    else if (strcmp(end, "s") == 0)
        scale = 1e6;
    if (end == word || scale == 0 || n < 0)
        return false;
    us = std::lround(n * scale);
    return true;
}

bool parse_register(const char *word, unsigned &reg)
{
    char *end = nullptr;
    if (strncmp(word, "0x", 2) == 0) {
        const unsigned long n = strtoul(word + 2, &end, 16);
        if (end == word + 2 || *end != '\0' || n > 0xFFFF)
            return false;
        reg = static_cast<unsigned>(n);
        return true;
    }
    const double celsius = strtod(word, &end);
    if (end == word || *end != '\0' || celsius < -2048 || celsius >= 2048)
        return false;
    const long sixteenths = std::lround(celsius * 16);
    reg = static_cast<unsigned>(sixteenths) & 0xFFFFU;
    return true;
}

// One script line into an answer; false with a reason for a malformed one.
bool parse_line(char *line, answer &a, const char *&why)
{
    a = answer{{0, 0}, 2, 0, 0};
    char *save = nullptr;
    char *word = strtok_r(line, " \t", &save);
    if (strcmp(word, "error") == 0) {
        word = strtok_r(nullptr, " \t", &save);
        why = "error needs an errno";
        if (word == nullptr || !parse_errno(word, a.errnum))
            return false;
    } else {
        unsigned reg = 0;
        why = "not a temperature or 0xHHHH register";
        if (!parse_register(word, reg))
            return false;
        a.bytes[0] = static_cast<unsigned char>(reg & 0xFFU);
        a.bytes[1] = static_cast<unsigned char>(reg >> 8U);
    }
    while ((word = strtok_r(nullptr, " \t", &save)) != nullptr) {
        const char *value = strtok_r(nullptr, " \t", &save);
        if (strcmp(word, "bytes") == 0 && value != nullptr &&
            (strcmp(value, "0") == 0 || strcmp(value, "1") == 0)) {
            a.size = value[0] - '0';
        } else if (strcmp(word, "after") == 0 && value != nullptr &&
                   parse_duration(value, a.delay_us)) {
        } else {
            why = "expected \"bytes 0|1\" or \"after DURATION\"";
            return false;
        }
    }
    return true;
}

bool load_script(const char *path)
{
    FILE *f = fopen(path, "r");
    if (f == nullptr) {
        fprintf(stderr, "ds18b20-sim: %s: %s\n", path, strerror(errno));
        return false;
    }
    char line[256];
    int number = 0;
    bool ok = true;
    while (ok && fgets(line, sizeof line, f) != nullptr) {
        number++;
        line[strcspn(line, "#\r\n")] = '\0';
        if (line[strspn(line, " \t")] == '\0')
            continue;
        answer a{};
        const char *why = "";
        ok = parse_line(line, a, why);
        if (ok && script_size == sizeof script / sizeof script[0]) {
            fprintf(stderr, "ds18b20-sim: %s:%d: more than %zu answers\n", path, number,
                    script_size);
            ok = false;
        } else if (ok) {
            script[script_size++] = a;
        } else {
            fprintf(stderr, "ds18b20-sim: %s:%d: %s\n", path, number, why);
        }
    }
    fclose(f);
    if (ok && script_size == 0) {
        fprintf(stderr, "ds18b20-sim: %s: no answers\n", path);
        ok = false;
    }
    return ok;
}

void log_read(std::size_t size)
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    char line[64];
    const int n = snprintf(line, sizeof line, "%lld.%06ld read %zu\n",
                           static_cast<long long>(now.tv_sec),
                           now.tv_nsec / 1000, size);
    // One write a line: readers of the log see whole lines only.
    if (write(log_fd, line, static_cast<std::size_t>(n)) != n)
        perror("ds18b20-sim: log");
}

int sim_getattr(const char *path, struct stat *st, fuse_file_info *)
{
    if (strcmp(path, "/") != 0)
        return -ENOENT;
    memset(st, 0, sizeof *st);
    st->st_nlink = 1;
    st->st_mode = S_IFREG | 0444;
    return 0;
}

int sim_open(const char *path, fuse_file_info *fi)
{
    if (strcmp(path, "/") != 0)
        return -ENOENT;
    if ((fi->flags & O_ACCMODE) != O_RDONLY)
        return -EACCES;
    // Every read must reach the script, at the size the program asked for,
    // as with a character device: no page cache, no read-ahead, no offset.
    fi->direct_io = 1;
    fi->nonseekable = 1;
    return 0;
}

int sim_read(const char *, char *buf, size_t size, off_t, fuse_file_info *fi)
{
    pthread_mutex_lock(&next_lock);
    log_read(size);
    const answer &a = script[next_answer];
    next_answer = (next_answer + 1) % script_size;
    pthread_mutex_unlock(&next_lock);
    if (a.delay_us > 0) {
        // As a driver that honours the open's O_NONBLOCK: a reading that
        // is not ready at once fails rather than waits.
        if ((fi->flags & O_NONBLOCK) != 0)
            return -EAGAIN;
        usleep(static_cast<useconds_t>(a.delay_us));
    }
    if (a.errnum != 0)
        return -a.errnum;
    const std::size_t n = std::min(size, static_cast<std::size_t>(a.size));
    memcpy(buf, a.bytes, n);
    return static_cast<int>(n);
}

}  // namespace

int main(int argc, char *argv[])
{
    if (argc != 4) {
        fputs("usage: ds18b20-sim SCRIPT LOG MOUNTPOINT\n", stderr);
        return 2;
    }
    if (!load_script(argv[1]))
        return 1;
    log_fd = open(argv[2], O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (log_fd < 0) {
        fprintf(stderr, "ds18b20-sim: %s: %s\n", argv[2], strerror(errno));
        return 1;
    }

    fuse_operations ops{};
    ops.getattr = sim_getattr;
    ops.open = sim_open;
    ops.read = sim_read;
    // Single-threaded, so answers leave in script order. Without -f the
    // process that was started exits only once the mount is in place, and
    // a daemon serves the file from then on.
    char opts[] = "-o";
    char options[] = "ro,fsname=ds18b20-sim,subtype=ds18b20-sim";
    char single[] = "-s";
    char *fuse_argv[] = {argv[0], opts, options, argv[3], single, nullptr};
    return fuse_main(5, fuse_argv, &ops, nullptr);
}
