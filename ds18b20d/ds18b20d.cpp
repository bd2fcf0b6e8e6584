// SPDX-License-Identifier: MIT
// ds18b20d: /dev/ds18b20 for a stock kernel. It makes the character device
// in user space (CUSE) and answers each 2-byte read with the temperature
// register of the 1-Wire thermometer, from a conversion of the kernel's
// w1_therm driver that ended after the read began (reader.h).
#define FUSE_USE_VERSION 312

#include "reader.h"
#include "w1.h"

#include <cuse_lowlevel.h>

#include <fcntl.h>
#include <getopt.h>
#include <grp.h>
#include <poll.h>
#include <pthread.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char device[] = "/dev/ds18b20";
const char run_as[] = "_ds18b20d";

// What the command line chose.
const char *devices = "/sys/bus/w1/devices";
const char *wanted = nullptr;
uid_t run_uid;
gid_t run_gid;
// Set once the device exists and root is given up.
bool ready;

[[noreturn]] void fail(const char *why)
{
    fprintf(stderr, "ds18b20d: %s\n", why);
    exit(1);
}

[[noreturn]] void usage()
{
    fputs("usage: ds18b20d [--sensor FAMILY-SERIAL] [--w1-devices DIR] [--check]\n", stderr);
    exit(1);
}

// Another program's bulk conversion (therm_bulk_read) answers the next
// read of w1_slave: with no text while it runs, then with its result,
// converted before the read. While it runs it is waited for: it ends
// within the bus's longest conversion, and w1_therm would only answer
// nothing. Its result, once it is there, is read and thrown away, as no
// wait makes it fresh. The kernel says this for the whole bus: while
// another sensor's result stays unread, each reading first throws away
// one of its own.
void clear_bulk(const char *name)
{
    // 10 s at most, then the reading says what the kernel gives.
    for (int tries = 0; tries < 1000; tries++) {
        const int state = w1_bulk_state(devices, name);
        if (state == 0)
            return;
        if (state > 0) {
            w1_register stale{};
            int errnum = 0;
            w1_read(devices, name, stale, errnum);
            return;
        }
        const timespec pause{0, 10000000};  // 10 ms
        nanosleep(&pause, nullptr);
    }
}

// One sensor reading: the sensor chosen for it, then its register, from a
// conversion of its own.
void take_reading(reading &r)
{
    r.errnum = 0;
    r.result = w1_choose(devices, wanted, r.name, sizeof r.name, r.found, sizeof r.found,
                         r.masters, sizeof r.masters);
    if (r.result == w1_ok) {
        r.conversion_ms = w1_conversion_ms(devices, r.name, r.polled);
        clear_bulk(r.name);
        r.result = w1_read(devices, r.name, r.reg, r.errnum);
        // A bulk conversion begun since the check: once more after it.
        if (r.result == w1_empty && w1_bulk_state(devices, r.name) != 0) {
            clear_bulk(r.name);
            r.result = w1_read(devices, r.name, r.reg, r.errnum);
        }
    } else if (wanted != nullptr) {
        snprintf(r.name, sizeof r.name, "%s", wanted);
    }
}

// How a reading went, in one line for the log. Where there is nothing to
// serve, the line says the likely cause and what to do about it.
void describe(const reading &r, char *line, size_t size)
{
    switch (r.result) {
    case w1_ok:
        snprintf(line, size, "serving %s", r.name);
        break;
    case w1_no_bus:
        snprintf(line, size, "no 1-Wire bus in %s: no bus master driver is loaded (on a "
                             "Raspberry Pi: dtoverlay=w1-gpio in config.txt, then reboot)",
                 devices);
        break;
    case w1_none:
        if (r.found[0] != '\0')
            snprintf(line, size, "no DS18B20 in %s, only %s: none has the DS18B20's register "
                                 "(families 28, 22 and 3b)", devices, r.found);
        else
            snprintf(line, size, "no DS18B20 in %s: nothing on the bus (%s): check the "
                                 "wiring, the 4.7 kOhm pull-up and the power",
                     devices, r.masters);
        break;
    case w1_several:
        snprintf(line, size, "several sensors in %s: %s: choose one with --sensor", devices,
                 r.found);
        break;
    case w1_read_failed:
        snprintf(line, size, "%s: %s: %s", r.name, w1_describe(r.result), strerror(r.errnum));
        break;
    case w1_stuck:
        snprintf(line, size, "%s", w1_describe(r.result));
        break;
    default:
        snprintf(line, size, "%s: %s", r.name, w1_describe(r.result));
        break;
    }
}

// Says how a reading went, in one line on standard error.
void tell(const reading &r)
{
    char line[1024];
    describe(r, line, sizeof line);
    fprintf(stderr, "ds18b20d: %s\n", line);
}

// The log says what changed, not every read: a dead sensor read every
// 10 seconds for a year is one line, and so is its return. The line is
// what is compared, so that an empty bus which gains a DS18S20 is told.
pthread_mutex_t told_lock = PTHREAD_MUTEX_INITIALIZER;
char told[1024];

void tell_changes(const reading &r)
{
    char line[sizeof told];
    describe(r, line, sizeof line);
    pthread_mutex_lock(&told_lock);
    if (strcmp(line, told) != 0) {
        fprintf(stderr, "ds18b20d: %s\n", line);
        snprintf(told, sizeof told, "%s", line);
    }
    pthread_mutex_unlock(&told_lock);
}

// Each open descriptor's number, for the answer it may keep (reader.h).
pthread_mutex_t opened_lock = PTHREAD_MUTEX_INITIALIZER;
std::uint64_t opened;

void device_open(fuse_req_t req, fuse_file_info *fi)
{
    if ((fi->flags & O_ACCMODE) != O_RDONLY) {
        fuse_reply_err(req, EACCES);
        return;
    }
    pthread_mutex_lock(&opened_lock);
    fi->fh = ++opened;
    pthread_mutex_unlock(&opened_lock);
    fi->direct_io = 1;
    fi->nonseekable = 1;
    fuse_reply_open(req, fi);
}

// A read's answer: 2 bytes, low first; a read of 1 gets the low byte. A
// failed reading fails the read with an errno that tells why.
void answer(void *request, size_t size, const reading &r)
{
    const auto req = static_cast<fuse_req_t>(request);
    if (r.result != w1_ok) {
        fuse_reply_err(req, w1_errno(r.result, r.errnum));
        return;
    }
    const char bytes[2] = {static_cast<char>(r.reg.low), static_cast<char>(r.reg.high)};
    fuse_reply_buf(req, bytes, size < 2 ? size : 2);
}

// Ctrl-C on a reader: the kernel waits for this answer, even for a reader
// that is being killed.
void interrupted(fuse_req_t req, void *)
{
    if (reader_interrupt(req))
        fuse_reply_err(req, EINTR);
}

// Each read waits for the reading thread's answer, holding no thread of
// libfuse's, of which there are ten at most. A read in non-blocking mode
// (as the descriptor is at the read: fcntl may change it) never waits. An
// answer the descriptor keeps is served at once, to a blocking read too,
// as poll() said it would be.
void device_read(fuse_req_t req, size_t size, off_t, fuse_file_info *fi)
{
    if (size == 0) {
        fuse_reply_buf(req, nullptr, 0);
        return;
    }
    const bool nonblocking = (fi->flags & O_NONBLOCK) != 0;
    reading kept{};
    int error = reader_ready(fi->fh, kept, nonblocking);
    if (error == 0) {
        answer(req, size, kept);
        return;
    }
    if (!nonblocking && error == EAGAIN)
        error = reader_wait(req, size);
    if (error != 0) {
        fuse_reply_err(req, error);
        return;
    }
    fuse_req_interrupt_func(req, interrupted, nullptr);
    if (!reader_arm(req))
        fuse_reply_err(req, EINTR);
}

// poll(), select() and epoll: readable once the descriptor keeps an
// answer, asked for now where it was not.
void device_poll(fuse_req_t req, fuse_file_info *fi, fuse_pollhandle *handle)
{
    fuse_reply_poll(req, reader_poll(fi->fh, handle) ? POLLIN | POLLRDNORM : 0);
}

void wake_poll(void *handle, bool notify)
{
    auto *poll_handle = static_cast<fuse_pollhandle *>(handle);
    if (notify)
        fuse_lowlevel_notify_poll(poll_handle);
    fuse_pollhandle_destroy(poll_handle);
}

void device_release(fuse_req_t req, fuse_file_info *fi)
{
    reader_close(fi->fh);
    fuse_reply_err(req, 0);
}

// systemd's readiness message, where systemd asked for one.
void notify_ready()
{
    const char *path = getenv("NOTIFY_SOCKET");
    sockaddr_un addr{};
    if (path == nullptr || (path[0] != '/' && path[0] != '@') ||
        strlen(path) >= sizeof addr.sun_path)
        return;
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path, path, strlen(path));
    if (addr.sun_path[0] == '@')
        addr.sun_path[0] = '\0';  // an abstract socket
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        perror("ds18b20d: telling systemd it is ready");
        return;
    }
    const char message[] = "READY=1";
    const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + strlen(path));
    if (sendto(fd, message, sizeof message - 1, 0, reinterpret_cast<sockaddr *>(&addr), size) < 0)
        perror("ds18b20d: telling systemd it is ready");
    close(fd);
}

// The kernel has made the device: devtmpfs's node follows shortly, owned
// by root with mode 0600. Like w1_slave, it is for any user to read; then
// root is given up, as reading w1_slave needs none of it.
void device_ready(void *)
{
    struct stat st{};
    for (int tries = 0; stat(device, &st) != 0; tries++) {
        if (tries == 500) {
            fprintf(stderr, "ds18b20d: %s did not appear\n", device);
            _exit(1);
        }
        const timespec pause{0, 10000000};  // 10 ms
        nanosleep(&pause, nullptr);
    }
    if (chmod(device, 0444) != 0) {
        fprintf(stderr, "ds18b20d: cannot make %s readable: %s\n", device, strerror(errno));
        _exit(1);
    }
    if (setgroups(0, nullptr) != 0 || setgid(run_gid) != 0 || setuid(run_uid) != 0) {
        fprintf(stderr, "ds18b20d: cannot run as %s: %s\n", run_as, strerror(errno));
        _exit(1);
    }
    ready = true;
    fprintf(stderr, "ds18b20d: %s ready, running as %s\n", device, run_as);
    notify_ready();
}

// --check: what there is, what would be served, and one reading of it.
int check()
{
    reading r{};
    take_reading(r);
    printf("sensors in %s: %s\n", devices, r.found[0] != '\0' ? r.found : "none");
    if (r.result != w1_ok) {
        fflush(stdout);
        tell(r);
        return 1;
    }
    char celsius[16];
    w1_celsius(r.reg, celsius, sizeof celsius);
    printf("%s: register 0x%02X%02X, %s degrees Celsius\n", r.name, r.reg.high, r.reg.low,
           celsius);
    return 0;
}

fuse_session *session;
pthread_t loop_thread;

sigset_t stop_signals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    return set;
}

// Set once libfuse's loop has returned.
pthread_mutex_t loop_lock = PTHREAD_MUTEX_INITIALIZER;
bool loop_ended;

// SIGHUP, an administrator's "reload", does nothing: ds18b20d has nothing
// to read again, as it chooses the sensor afresh at each reading. Not
// ignored but handled, so that the stop can wake the loop's thread with
// it: without SA_RESTART, which would restart libfuse's sem_wait.
void hung_up(int) {}

void keep_serving_on_hangup()
{
    struct sigaction action{};
    action.sa_handler = hung_up;
    sigemptyset(&action.sa_mask);
    sigaction(SIGHUP, &action, nullptr);
}

// SIGTERM or SIGINT, which every other thread blocks: reads from now on
// fail at once, those waiting are answered or fail at their bound while
// the loop still serves the device and its interrupts, and then the loop
// ends.
void *stop_loop(void *)
{
    const sigset_t stops = stop_signals();
    int signal = 0;
    while (sigwait(&stops, &signal) != 0) {
    }
    // As ps -T shows it: the device is going.
    pthread_setname_np(pthread_self(), "stopping");
    reader_stop();
    reader_drain();
    fuse_session_exit(session);
    // The loop's thread sleeps until a signal's handler interrupts it, as
    // with libfuse's own; sent again until the loop has ended, in case one
    // comes just before that sleep.
    for (;;) {
        pthread_mutex_lock(&loop_lock);
        const bool ended = loop_ended;
        if (!ended)
            pthread_kill(loop_thread, SIGHUP);
        pthread_mutex_unlock(&loop_lock);
        if (ended)
            return nullptr;
        const timespec pause{0, 100000000};  // 100 ms
        nanosleep(&pause, nullptr);
    }
}

// Serves the device in the foreground until SIGTERM or SIGINT; the reads
// then waiting are answered before the device goes.
int serve(const cuse_info &info, const cuse_lowlevel_ops &ops)
{
    // Blocked here, and so in every thread started from now on: the stop's
    // thread takes them. libfuse leaves SIGHUP alone once it is handled.
    const sigset_t stops = stop_signals();
    pthread_sigmask(SIG_BLOCK, &stops, nullptr);
    keep_serving_on_hangup();
    // All a read touches, ready before the device exists.
    if (!reader_start(take_reading, answer, tell_changes, wake_poll)) {
        fprintf(stderr, "ds18b20d: cannot start reading: %s\n", strerror(errno));
        exit(1);
    }
    char name[] = "ds18b20d";
    char foreground[] = "-f";
    char *fuse_argv[] = {name, foreground, nullptr};
    int multithreaded = 0;
    session = cuse_lowlevel_setup(2, fuse_argv, &info, &ops, &multithreaded, nullptr);
    if (session == nullptr)
        return 1;
    keep_serving_on_hangup();
    loop_thread = pthread_self();
    pthread_t stopper;
    const int error = pthread_create(&stopper, nullptr, stop_loop, nullptr);
    if (error != 0) {
        fprintf(stderr, "ds18b20d: cannot start its stop: %s\n", strerror(error));
        exit(1);
    }
    pthread_detach(stopper);
    fuse_loop_config *config = fuse_loop_cfg_create();
    const int status = fuse_session_loop_mt(session, config);
    pthread_mutex_lock(&loop_lock);
    loop_ended = true;
    pthread_mutex_unlock(&loop_lock);
    fuse_loop_cfg_destroy(config);
    if (ready)
        reader_drain();
    cuse_lowlevel_teardown(session);
    return status;
}

void parse_arguments(int argc, char *argv[], bool &checking)
{
    const option options[] = {
        {"sensor", required_argument, nullptr, 's'},
        {"w1-devices", required_argument, nullptr, 'w'},
        {"check", no_argument, nullptr, 'c'},
        {nullptr, 0, nullptr, 0},
    };
    int opt = 0;
    while ((opt = getopt_long(argc, argv, "", options, nullptr)) != -1) {
        if (opt == 's') {
            if (!w1_sensor_name(optarg)) {
                fprintf(stderr, "ds18b20d: --sensor %s: not a sensor with the DS18B20's "
                                "register (families 28, 22 and 3b)\n", optarg);
                exit(1);
            }
            wanted = optarg;
        } else if (opt == 'w')
            devices = optarg;
        else if (opt == 'c')
            checking = true;
        else
            usage();
    }
    if (optind != argc)
        usage();
}

}  // namespace

int main(int argc, char *argv[])
{
    bool checking = false;
    parse_arguments(argc, argv, checking);
    if (checking)
        return check();

    if (geteuid() != 0)
        fail("must be started as root: it makes /dev/ds18b20, then gives up root");
    // Opened once here, so that a node that is there but refused (a
    // sandbox's device policy, a module that will not load) says why.
    const int cuse = open("/dev/cuse", O_RDWR | O_CLOEXEC);
    if (cuse < 0 && errno == ENOENT)
        fail("no /dev/cuse: load the cuse module (modprobe cuse)");
    if (cuse < 0) {
        fprintf(stderr, "ds18b20d: cannot open /dev/cuse: %s\n", strerror(errno));
        exit(1);
    }
    close(cuse);
    if (access(device, F_OK) == 0)
        fail("/dev/ds18b20 is taken: another ds18b20d, or a kernel driver, has it");
    const passwd *user = getpwnam(run_as);
    if (user == nullptr)
        fail("no user _ds18b20d to run as (the package makes it)");
    run_uid = user->pw_uid;
    run_gid = user->pw_gid;

    const char *dev_info[] = {"DEVNAME=ds18b20"};
    cuse_info info{};
    info.dev_info_argc = 1;
    info.dev_info_argv = dev_info;
    cuse_lowlevel_ops ops{};
    ops.init_done = device_ready;
    ops.open = device_open;
    ops.read = device_read;
    ops.poll = device_poll;
    ops.release = device_release;
    const int status = serve(info, ops);
    if (!ready)
        fail("/dev/ds18b20 could not be made: another ds18b20d, or a kernel driver, has it");
    // A signal that ends it is no failure.
    return status < 0 ? 1 : 0;
}
