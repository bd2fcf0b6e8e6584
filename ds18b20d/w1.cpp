// SPDX-License-Identifier: MIT
#include "w1.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Cursor over the text: each reader takes what it knows from the front, or
// takes nothing and says false.
struct cursor {
    const char *at;
    const char *end;
};

bool hex_digit(char c, unsigned &value)
{
    if (c >= '0' && c <= '9')
        value = static_cast<unsigned>(c - '0');
    else if (c >= 'a' && c <= 'f')
        value = static_cast<unsigned>(c - 'a' + 10);
    else if (c >= 'A' && c <= 'F')
        value = static_cast<unsigned>(c - 'A' + 10);
    else
        return false;
    return true;
}

bool take_hex_byte(cursor &c, unsigned char &byte)
{
    unsigned high = 0;
    unsigned low = 0;
    if (c.end - c.at < 2 || !hex_digit(c.at[0], high) || !hex_digit(c.at[1], low))
        return false;
    byte = static_cast<unsigned char>(high << 4U | low);
    c.at += 2;
    return true;
}

bool take(cursor &c, const char *word)
{
    const std::size_t size = strlen(word);
    if (static_cast<std::size_t>(c.end - c.at) < size || memcmp(c.at, word, size) != 0)
        return false;
    c.at += size;
    return true;
}

// "xx " nine times: the scratchpad.
bool take_scratchpad(cursor &c, unsigned char bytes[9])
{
    for (int i = 0; i < 9; i++) {
        if (!take_hex_byte(c, bytes[i]) || !take(c, " "))
            return false;
    }
    return true;
}

// A decimal integer, maybe negative: the kernel's millidegrees, which the
// register already says exactly, so only its form is checked.
bool take_integer(cursor &c)
{
    take(c, "-");
    const char *digits = c.at;
    while (c.at < c.end && *c.at >= '0' && *c.at <= '9')
        c.at++;
    return c.at > digits;
}

const char *const served_families[] = {"28-", "22-", "3b-"};

// FAMILY-SERIAL, as the kernel names a slave: two hex digits and a dash.
bool slave_name(const char *name)
{
    unsigned digit = 0;
    return hex_digit(name[0], digit) && hex_digit(name[1], digit) && name[2] == '-' &&
           name[3] != '\0';
}

// A bus master, as the kernel lists it beside its slaves.
bool master_name(const char *name)
{
    const char prefix[] = "w1_bus_master";
    return strncmp(name, prefix, sizeof prefix - 1) == 0;
}

// Adds a name to a space-separated list, in order, where it fits whole:
// the directory's own order differs from one kernel's build to another.
void list_name(char *list, std::size_t size, const char *name)
{
    const std::size_t used = strlen(list);
    const std::size_t length = strlen(name);
    if (used + length + (used > 0 ? 1 : 0) >= size)
        return;
    char *at = list;
    while (*at != '\0' && strncmp(name, at, strcspn(at, " ")) >= 0) {
        at += strcspn(at, " ");
        at += *at == ' ' ? 1 : 0;
    }
    if (*at == '\0') {
        snprintf(list + used, size - used, "%s%s", used > 0 ? " " : "", name);
        return;
    }
    memmove(at + length + 1, at, strlen(at) + 1);
    memcpy(at, name, length);
    at[length] = ' ';
}

// A sysfs attribute that holds a whole number, such as "190\n".
bool read_attribute(const char *path, int &value)
{
    char text[16];
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const ssize_t got = read(fd, text, sizeof text);
    close(fd);
    value = 0;
    ssize_t i = 0;
    for (; i < got && i < 9 && text[i] >= '0' && text[i] <= '9'; i++)
        value = value * 10 + (text[i] - '0');
    return i > 0;
}

}  // namespace

unsigned char w1_crc8(const unsigned char *bytes, std::size_t size)
{
    unsigned crc = 0;
    for (std::size_t i = 0; i < size; i++) {
        unsigned byte = bytes[i];
        for (int bit = 0; bit < 8; bit++) {
            const unsigned mix = (crc ^ byte) & 1U;
            crc >>= 1U;
            if (mix != 0)
                crc ^= 0x8CU;
            byte >>= 1U;
        }
    }
    return static_cast<unsigned char>(crc);
}

w1_result w1_parse(const char *text, std::size_t size, w1_register &reg)
{
    if (size == 0)
        return w1_empty;
    cursor c{text, text + size};
    unsigned char bytes[9];
    unsigned char again[9];
    unsigned char crc = 0;
    if (!take_scratchpad(c, bytes) || !take(c, ": crc=") || !take_hex_byte(c, crc))
        return w1_malformed;
    // Older kernels say NO here; newer ones give no text at all instead.
    if (take(c, " NO\n"))
        return w1_crc_no;
    if (!take(c, " YES\n") || !take_scratchpad(c, again) || !take(c, "t=") ||
        !take_integer(c) || !take(c, "\n"))
        return w1_malformed;
    if (w1_crc8(bytes, 8) != bytes[8] || crc != bytes[8] || memcmp(bytes, again, 9) != 0)
        return w1_crc_mismatch;
    // The kernel zeroes its buffer, and a short read or a data line held
    // low leaves nine zeros, whose CRC fits. No DS18B20 sends them: its
    // configuration register has its five low bits set. Only all nine are
    // refused, so that clones with other reserved bytes are still served.
    static const unsigned char zeros[9] = {};
    if (memcmp(bytes, zeros, 9) == 0)
        return w1_zeros;
    // 85.00 with byte 6 at its reset value is the power-on register: the
    // sensor lost power and made no conversion. A real 85.00 has another
    // byte 6, and is served.
    if (bytes[0] == 0x50 && bytes[1] == 0x05 && bytes[6] == 0x0C)
        return w1_power_on;
    reg = w1_register{bytes[0], bytes[1]};
    return w1_ok;
}

bool w1_served_family(const char *name)
{
    if (!slave_name(name))
        return false;
    for (const char *family : served_families) {
        if (strncasecmp(name, family, 3) == 0)
            return true;
    }
    return false;
}

bool w1_sensor_name(const char *name)
{
    return w1_served_family(name) && strchr(name, '/') == nullptr;
}

w1_result w1_choose(const char *devices, const char *wanted, char *name,
                    std::size_t name_size, char *found, std::size_t found_size,
                    char *masters, std::size_t masters_size)
{
    found[0] = '\0';
    masters[0] = '\0';
    int count = 0;
    bool bus = false;
    DIR *dir = opendir(devices);
    if (dir != nullptr) {
        while (const dirent *entry = readdir(dir)) {
            if (master_name(entry->d_name)) {
                bus = true;
                list_name(masters, masters_size, entry->d_name);
            }
            if (!slave_name(entry->d_name))
                continue;
            bus = true;  // slaves make a bus, even with no master listed
            list_name(found, found_size, entry->d_name);
            if (wanted != nullptr ? strcmp(entry->d_name, wanted) == 0
                                  : w1_served_family(entry->d_name)) {
                if (count++ == 0)
                    snprintf(name, name_size, "%s", entry->d_name);
            }
        }
        closedir(dir);
    }
    if (count == 0 && wanted != nullptr)
        return w1_gone;
    if (count == 0)
        return bus ? w1_none : w1_no_bus;
    return count > 1 ? w1_several : w1_ok;
}

w1_result w1_read(const char *devices, const char *name, w1_register &reg, int &errnum)
{
    char path[512];
    snprintf(path, sizeof path, "%s/%s/w1_slave", devices, name);
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        errnum = errno;
        return errnum == ENOENT ? w1_gone : w1_read_failed;
    }
    // The conversion runs while the first read blocks; the text then comes
    // whole, but a short read is still followed to the end.
    char text[256];
    std::size_t size = 0;
    ssize_t got = 0;
    while (size < sizeof text && (got = read(fd, text + size, sizeof text - size)) > 0)
        size += static_cast<std::size_t>(got);
    errnum = errno;
    close(fd);
    if (got < 0)
        return errnum == ENODEV || errnum == ENOENT ? w1_gone : w1_read_failed;
    return w1_parse(text, size, reg);
}

int w1_conversion_ms(const char *devices, const char *name, bool &polled)
{
    char path[512];
    int value = 0;
    snprintf(path, sizeof path, "%s/%s/features", devices, name);
    polled = read_attribute(path, value) && (value & 2) != 0;
    snprintf(path, sizeof path, "%s/%s/conv_time", devices, name);
    return read_attribute(path, value) && value > 0 ? value : 750;
}

int w1_bulk_state(const char *devices, const char *name)
{
    // The sensor's directory is in its master's: sysfs resolves the link
    // before "..".
    char path[512];
    snprintf(path, sizeof path, "%s/%s/../therm_bulk_read", devices, name);
    char text[8];
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    const ssize_t got = read(fd, text, sizeof text);
    close(fd);
    if (got >= 2 && text[0] == '-' && text[1] == '1')
        return -1;
    return got >= 1 && text[0] == '1' ? 1 : 0;
}

int w1_errno(w1_result result, int errnum)
{
    switch (result) {
    case w1_ok:
        return 0;
    case w1_crc_no:
    case w1_crc_mismatch:
        return EBADMSG;      // "Bad message"
    case w1_empty:
        return EIO;          // "Input/output error"
    case w1_malformed:
        return EPROTO;       // "Protocol error"
    case w1_power_on:
        return EAGAIN;       // "Resource temporarily unavailable"
    case w1_gone:
    case w1_no_bus:
    case w1_none:
        return ENODEV;       // "No such device"
    case w1_several:
        return ENOTUNIQ;     // "Name not unique on network"
    case w1_zeros:
        return ENODATA;      // "No data available"
    case w1_stuck:
        return ETIMEDOUT;    // "Connection timed out"
    case w1_read_failed:
        break;
    }
    return errnum;
}

void w1_celsius(w1_register reg, char *text, std::size_t size)
{
    const int sixteenths = static_cast<short>(reg.high << 8U | reg.low);
    const int magnitude = abs(sixteenths);
    snprintf(text, size, "%s%d.%04d", sixteenths < 0 ? "-" : "", magnitude / 16,
             magnitude % 16 * 625);
}

const char *w1_describe(w1_result result)
{
    switch (result) {
    case w1_ok:
        return "reading";
    case w1_crc_no:
        return "the kernel's CRC check failed (NO)";
    case w1_crc_mismatch:
        return "the CRC does not fit the bytes";
    case w1_empty:
        return "an empty read: the kernel's CRC check failed on every try, or the sensor "
               "did not answer (wiring, pull-up, power)";
    case w1_malformed:
        return "w1_slave's text is malformed";
    case w1_power_on:
        return "the power-on value: the sensor made no conversion";
    case w1_gone:
        return "the sensor is gone";
    case w1_no_bus:
        return "no 1-Wire bus master driver is loaded";
    case w1_none:
        return "no DS18B20 found";
    case w1_several:
        return "several sensors: choose one with --sensor";
    case w1_zeros:
        return "nine zero bytes: a data line held low, or a failed transfer (wiring, "
               "pull-up, power)";
    case w1_stuck:
        return "the 1-Wire bus did not answer in time: its adapter or driver is stuck "
               "(check the adapter's connection, the wiring and the power; the kernel's "
               "log may say more)";
    case w1_read_failed:
        break;
    }
    return "w1_slave could not be read";
}
