// SPDX-License-Identifier: MIT
// ds2490-sim: a 1-Wire bus for the kernel's own w1 drivers to run on. It
// is a DS2490 USB adapter (the kernel's ds2490 module drives it) with
// DS18B20s behind it, served over USB/IP and attached through the kernel's
// vhci_hcd with no network: a socket pair, one end handed to the kernel.
// Everything above the adapter is the kernel's: search, Match ROM, Convert
// T, Read Scratchpad, CRC, retries, strong pull-up and resolution.
//
//   ds2490-sim SCRIPT LOG
//
// The script has a line a sensor: its name as the kernel gives it, maybe
// "parasite" (powered from the bus: a conversion needs the strong
// pull-up), then its answers, one a conversion, in turn, and then from the
// first again. "#" starts a comment.
//   28-0316a279e1ff: 23.125, -10.125, 0x0191
//   28-0316a279e200 parasite: 21.5
// An answer is a temperature or a register value, taken at the resolution
// the sensor is set to, with the datasheet's conversion time for it; that
// followed by "bad-crc" (every read of its scratchpad is corrupted) or
// "bad-crc-once" (only the first); "power-on" (the sensor lost power: its
// scratchpad is as at power-on, its resolution as its EEPROM says); or
// "absent 3s" (no presence for that long, in ms or s, then back as from
// power-on); "zeros" (the data line held low through the next read of the
// scratchpad: nine zero bytes); or "stuck 5s" (the adapter stops answering
// the host for that long). The script is read again when it is replaced
// (rename another file over it), so sensors can leave and come back.
//
// The log gets a line a conversion asked for, "SECONDS convert NAME", one
// when its register is in the scratchpad, "SECONDS converted NAME 0191",
// one when a sensor stops answering and when it is back ("absent",
// "back"), and one when the adapter is stuck and answers again ("stuck",
// "unstuck"), with the monotonic clock's seconds.
#include "w1.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// ---- The sensors, as the script says and as their state goes.

enum answer_kind { reading, power_on, absent, zeros, stuck };

struct answer {
    answer_kind kind;
    double value;        // reading: degrees, or the register where is_register
    bool is_register;
    int bad_crc;         // reading: 0, 1 (the first read only), 2 (every read)
    int64_t absent_ns;   // absent, stuck: for how long
};

// Where a sensor is in the bus's conversation since the last reset.
enum phase { asleep, rom_command, matching, function_command, reading_rom,
             reading_scratchpad, writing_scratchpad, reading_power, converting_busy };

struct sensor {
    char name[32];
    unsigned char rom[8];
    bool parasite;
    answer answers[32];
    int answer_count;
    int next_answer;
    unsigned char scratchpad[8];   // without its CRC, which is made per read
    unsigned char eeprom[3];       // TH, TL, configuration
    bool converting;
    int64_t converted_at_ns;
    unsigned char result[2];       // the register the conversion gives
    int bad_crc;
    bool corrupt_this_read;
    bool zeros;                    // the next read of the scratchpad
    bool zeros_this_read;
    int64_t absent_until_ns;
    bool plugged;                  // in the script, as it is now
    phase at;
    int index;
};

sensor sensors[8];
int sensor_count;
const char *script_path;
struct stat script_seen;
FILE *log_file;
int64_t stuck_until_ns;

int64_t now_ns()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

bool is_ds18s20(const sensor &s)
{
    return s.rom[0] == 0x10;
}

// 9 to 12 bits, from the configuration register (the DS18S20 has none).
int resolution_bits(const sensor &s)
{
    return is_ds18s20(s) ? 12 : 9 + static_cast<int>(s.scratchpad[4] >> 5U & 3U);
}

void power_up(sensor &s)
{
    // The register reads +85 until the first conversion; byte 6 is 0x0C.
    const unsigned char reset[8] = {0x50, 0x05, s.eeprom[0], s.eeprom[1], s.eeprom[2],
                                    0xFF, 0x0C, 0x10};
    memcpy(s.scratchpad, reset, sizeof reset);
    if (is_ds18s20(s)) {
        s.scratchpad[0] = 0xAA;
        s.scratchpad[1] = 0x00;
        s.scratchpad[4] = 0xFF;
    }
    s.converting = false;
    s.bad_crc = 0;
}

// The conversion's register, when its time has come.
void settle(sensor &s, int64_t now)
{
    if (!s.converting || now < s.converted_at_ns)
        return;
    s.converting = false;
    s.scratchpad[0] = s.result[0];
    s.scratchpad[1] = s.result[1];
    // Stamped with when the conversion ended, not when it was noticed.
    fprintf(log_file, "%.6f converted %s %02x%02x\n", static_cast<double>(s.converted_at_ns) / 1e9,
            s.name, s.result[1], s.result[0]);
    fflush(log_file);
    if (!is_ds18s20(s))
        s.scratchpad[6] = static_cast<unsigned char>(0x10 - (s.result[0] & 0x0F));
}

bool present(const sensor &s, int64_t now)
{
    return s.plugged && now >= s.absent_until_ns;
}

void note(const char *event, const sensor &s, int64_t now)
{
    fprintf(log_file, "%.6f %s %s\n", static_cast<double>(now) / 1e9, event, s.name);
    fflush(log_file);
}

void start_conversion(sensor &s, bool strong_pullup, int64_t now)
{
    note("convert", s, now);
    // One already under way goes on: a second reader gets the same result.
    if (s.converting)
        return;
    // Without the strong pull-up a parasite-powered sensor browns out.
    if (s.parasite && !strong_pullup) {
        power_up(s);
        return;
    }
    if (s.answer_count == 0)
        return;
    const answer &a = s.answers[s.next_answer];
    s.next_answer = (s.next_answer + 1) % s.answer_count;
    if (a.kind == power_on) {
        power_up(s);
        return;
    }
    if (a.kind == zeros) {
        s.zeros = true;
        return;
    }
    if (a.kind == stuck) {
        note("stuck", s, now);
        stuck_until_ns = now + a.absent_ns;
        return;
    }
    if (a.kind == absent) {
        note("absent", s, now);
        s.absent_until_ns = now + a.absent_ns;
        s.at = asleep;
        power_up(s);
        return;
    }
    const int bits = resolution_bits(s);
    const double scale = is_ds18s20(s) ? 2 : 16;
    long reg = static_cast<long>(a.is_register ? a.value : a.value * scale + (a.value < 0 ? -0.5 : 0.5));
    // The bits below the resolution read as 0.
    reg &= ~((1L << (12 - bits)) - 1);
    s.result[0] = static_cast<unsigned char>(reg & 0xFF);
    s.result[1] = static_cast<unsigned char>(reg >> 8 & 0xFF);
    s.bad_crc = a.bad_crc;
    s.converting = true;
    // The datasheet's longest: 93.75 ms at 9 bits, doubling with each bit.
    s.converted_at_ns = now + (93750000LL << (bits - 9));
}

// ---- The script.

bool parse_duration(const char *text, int64_t &ns)
{
    char *end = nullptr;
    const double amount = strtod(text, &end);
    if (end == text || amount < 0)
        return false;
    if (strcmp(end, "ms") == 0)
        ns = static_cast<int64_t>(amount * 1e6);
    else if (strcmp(end, "s") == 0)
        ns = static_cast<int64_t>(amount * 1e9);
    else
        return false;
    return true;
}

// The hexadecimal number that is all of TEXT, of 1 to 16 digits. Not
// strtol or sscanf: built on Debian 13 they ask for its C library's C23
// versions, and the booted Debian 12 systems run this bus too.
bool parse_hex(const char *text, unsigned long long &value)
{
    value = 0;
    std::size_t digits = 0;
    for (; text[digits] != '\0'; digits++) {
        const char c = text[digits];
        unsigned digit = 0;
        if (c >= '0' && c <= '9')
            digit = static_cast<unsigned>(c - '0');
        else if (c >= 'a' && c <= 'f')
            digit = static_cast<unsigned>(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F')
            digit = static_cast<unsigned>(c - 'A' + 10);
        else
            return false;
        if (digits == 16)
            return false;
        value = value << 4U | digit;
    }
    return digits > 0;
}

bool parse_answer(char *text, answer &a)
{
    a = answer{};
    char *rest = nullptr;
    const char *word = strtok_r(text, " \t", &rest);
    if (word == nullptr)
        return false;
    if (strcmp(word, "power-on") == 0) {
        a.kind = power_on;
    } else if (strcmp(word, "zeros") == 0) {
        a.kind = zeros;
    } else if (strcmp(word, "absent") == 0 || strcmp(word, "stuck") == 0) {
        const char *duration = strtok_r(nullptr, " \t", &rest);
        a.kind = word[0] == 'a' ? absent : stuck;
        if (duration == nullptr || !parse_duration(duration, a.absent_ns))
            return false;
    } else {
        a.kind = reading;
        a.is_register = strncmp(word, "0x", 2) == 0;
        if (a.is_register) {
            unsigned long long value = 0;
            if (!parse_hex(word + 2, value))
                return false;
            a.value = static_cast<double>(value);
        } else {
            char *end = nullptr;
            a.value = strtod(word, &end);
            if (end == word || *end != '\0')
                return false;
        }
        if (const char *how = strtok_r(nullptr, " \t", &rest)) {
            if (strcmp(how, "bad-crc") == 0)
                a.bad_crc = 2;
            else if (strcmp(how, "bad-crc-once") == 0)
                a.bad_crc = 1;
            else
                return false;
        }
    }
    return strtok_r(nullptr, " \t", &rest) == nullptr;
}

// FAMILY-SERIAL as the kernel names a slave: the ROM's byte 0, then bytes
// 6 to 1; byte 7 is their CRC.
bool parse_name(const char *name, unsigned char rom[8])
{
    unsigned long long family = 0;
    unsigned long long serial = 0;
    if (strlen(name) != 15 || name[2] != '-')
        return false;
    const char family_text[] = {name[0], name[1], '\0'};
    if (!parse_hex(family_text, family) || !parse_hex(name + 3, serial))
        return false;
    rom[0] = static_cast<unsigned char>(family);
    for (int i = 1; i < 7; i++)
        rom[i] = static_cast<unsigned char>(serial >> (8 * (i - 1)) & 0xFF);
    rom[7] = w1_crc8(rom, 7);
    return true;
}

bool parse_sensor(char *line, sensor &s)
{
    char *answers = strchr(line, ':');
    if (answers == nullptr)
        return false;
    *answers++ = '\0';
    char *rest = nullptr;
    const char *name = strtok_r(line, " \t", &rest);
    const char *power = strtok_r(nullptr, " \t", &rest);
    if (name == nullptr || strlen(name) >= sizeof s.name || !parse_name(name, s.rom))
        return false;
    snprintf(s.name, sizeof s.name, "%s", name);
    s.parasite = power != nullptr && strcmp(power, "parasite") == 0;
    if ((power != nullptr && !s.parasite) || strtok_r(nullptr, " \t", &rest) != nullptr)
        return false;
    s.answer_count = 0;
    char *item_rest = nullptr;
    for (char *item = strtok_r(answers, ",", &item_rest); item != nullptr;
         item = strtok_r(nullptr, ",", &item_rest)) {
        if (s.answer_count == 32 || !parse_answer(item, s.answers[s.answer_count++]))
            return false;
    }
    return true;
}

// Reads the script again where it was replaced. A sensor keeps its state
// and starts its answers again; one that left is unplugged, and keeps its
// EEPROM for when it comes back, powering up.
void read_script()
{
    struct stat now_seen {};
    if (stat(script_path, &now_seen) != 0 || (now_seen.st_ino == script_seen.st_ino &&
                                              now_seen.st_mtim.tv_sec == script_seen.st_mtim.tv_sec &&
                                              now_seen.st_mtim.tv_nsec == script_seen.st_mtim.tv_nsec))
        return;
    script_seen = now_seen;
    FILE *script = fopen(script_path, "r");
    if (script == nullptr)
        return;
    bool was_plugged[8];
    for (int i = 0; i < sensor_count; i++) {
        was_plugged[i] = sensors[i].plugged;
        sensors[i].plugged = false;
    }
    char line[1024];
    for (int number = 1; fgets(line, sizeof line, script) != nullptr; number++) {
        line[strcspn(line, "#\n")] = '\0';
        if (strspn(line, " \t") == strlen(line))
            continue;
        sensor s{};
        if (!parse_sensor(line, s)) {
            fprintf(stderr, "ds2490-sim: %s:%d: not a sensor line\n", script_path, number);
            exit(1);
        }
        int at = 0;
        while (at < sensor_count && memcmp(sensors[at].rom, s.rom, 8) != 0)
            at++;
        if (at == sensor_count) {
            if (sensor_count == 8) {
                fprintf(stderr, "ds2490-sim: %s:%d: 8 sensors at most\n", script_path, number);
                exit(1);
            }
            const unsigned char factory[3] = {0x4B, 0x46, 0x7F};  // 12 bits
            memcpy(s.eeprom, factory, sizeof factory);
            sensors[sensor_count] = s;
            was_plugged[sensor_count++] = false;
        }
        sensor &kept = sensors[at];
        memcpy(kept.answers, s.answers, sizeof s.answers);
        kept.answer_count = s.answer_count;
        kept.next_answer = 0;
        kept.parasite = s.parasite;
        kept.plugged = true;
        if (!was_plugged[at])
            power_up(kept);
    }
    fclose(script);
}

// ---- The bus: what each sensor does with each time slot.

void bus_reset()
{
    read_script();
    const int64_t now = now_ns();
    for (int i = 0; i < sensor_count; i++) {
        sensor &s = sensors[i];
        settle(s, now);
        // One that was away comes back as from power-on.
        if (s.absent_until_ns != 0 && present(s, now)) {
            note("back", s, now);
            s.absent_until_ns = 0;
            power_up(s);
        }
        s.at = present(s, now) ? rom_command : asleep;
        s.index = 0;
    }
}

// What a sensor drives in the next 8 slots (0xFF: nothing).
unsigned char drives(sensor &s, int64_t now)
{
    settle(s, now);
    switch (s.at) {
    case reading_rom:
        return s.index < 8 ? s.rom[s.index] : 0xFF;
    case reading_scratchpad:
        if (s.zeros_this_read)
            return 0x00;
        if (s.index < 8) {
            unsigned char byte = s.scratchpad[s.index];
            if (s.corrupt_this_read && s.index == 7)
                byte ^= 0x01;
            return byte;
        }
        return s.index == 8 ? w1_crc8(s.scratchpad, 8) : 0xFF;
    case reading_power:
        return s.parasite ? 0x00 : 0xFF;
    case converting_busy:
        // Read slots say 0 until the conversion is done (never when
        // parasite-powered: then the bus is held high).
        return s.converting && !s.parasite ? 0x00 : 0xFF;
    default:
        return 0xFF;
    }
}

void take_command(sensor &s, unsigned char command, bool strong_pullup, int64_t now)
{
    s.index = 0;
    switch (command) {
    case 0x44:  // Convert T
        s.at = converting_busy;
        start_conversion(s, strong_pullup, now);
        break;
    case 0xBE:  // Read Scratchpad
        s.at = reading_scratchpad;
        s.corrupt_this_read = s.bad_crc != 0;
        s.zeros_this_read = s.zeros;
        s.zeros = false;
        if (s.bad_crc == 1)
            s.bad_crc = 0;
        break;
    case 0x4E:  // Write Scratchpad: TH, TL, configuration
        s.at = writing_scratchpad;
        break;
    case 0x48:  // Copy Scratchpad
        memcpy(s.eeprom, s.scratchpad + 2, 3);
        s.at = asleep;
        break;
    case 0xB8:  // Recall E2
        memcpy(s.scratchpad + 2, s.eeprom, 3);
        s.at = asleep;
        break;
    case 0xB4:  // Read Power Supply
        s.at = reading_power;
        break;
    default:
        s.at = asleep;
        break;
    }
}

// What a sensor makes of a byte that was on the bus.
void hears(sensor &s, unsigned char byte, bool strong_pullup, int64_t now)
{
    switch (s.at) {
    case rom_command:
        s.index = 0;
        if (byte == 0x55)
            s.at = matching;
        else if (byte == 0xCC)
            s.at = function_command;
        else if (byte == 0x33)
            s.at = reading_rom;
        else
            s.at = asleep;
        break;
    case matching:
        if (byte != s.rom[s.index])
            s.at = asleep;
        else if (++s.index == 8)
            s.at = function_command;
        break;
    case function_command:
        take_command(s, byte, strong_pullup, now);
        break;
    case writing_scratchpad:
        if (s.index < 3) {
            // Only the resolution bits of the configuration are writable.
            s.scratchpad[2 + s.index] =
                s.index == 2 ? static_cast<unsigned char>((byte & 0x60) | 0x1F) : byte;
        }
        s.index++;
        break;
    case reading_rom:
    case reading_scratchpad:
        s.index++;
        break;
    default:
        break;
    }
}

// One byte through the bus, which is a wired AND of the master's byte and
// what each sensor drives; the strong pull-up follows it where asked.
unsigned char touch_byte(unsigned char byte, bool strong_pullup)
{
    const int64_t now = now_ns();
    unsigned char line = byte;
    for (int i = 0; i < sensor_count; i++) {
        if (present(sensors[i], now))
            line &= drives(sensors[i], now);
    }
    for (int i = 0; i < sensor_count; i++) {
        if (present(sensors[i], now))
            hears(sensors[i], line, strong_pullup, now);
    }
    return line;
}

unsigned char touch_bit(unsigned char bit)
{
    const int64_t now = now_ns();
    unsigned char line = bit;
    for (int i = 0; i < sensor_count; i++) {
        if (present(sensors[i], now) && (drives(sensors[i], now) & 1U) == 0)
            line = 0;
    }
    return line;
}

// The search's order: bit by bit from the ROM's first, 0 before 1.
bool searched_before(const sensor &a, const sensor &b)
{
    for (int bit = 0; bit < 64; bit++) {
        const unsigned x = static_cast<unsigned>(a.rom[bit / 8] >> (bit % 8)) & 1U;
        const unsigned y = static_cast<unsigned>(b.rom[bit / 8] >> (bit % 8)) & 1U;
        if (x != y)
            return x < y;
    }
    return false;
}

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

void search(unsigned limit, bool alarms_only)
{
    unsigned char start[8];
    from_host(start, 8);
    if (alarms_only)
        return;
    const int64_t now = now_ns();
    int order[8];
    int found = 0;
    for (int i = 0; i < sensor_count; i++) {
        if (!present(sensors[i], now))
            continue;
        int at = found++;
        for (; at > 0 && searched_before(sensors[i], sensors[order[at - 1]]); at--)
            order[at] = order[at - 1];
        order[at] = i;
    }
    for (int i = 0; i < found && (limit == 0 || static_cast<unsigned>(i) < limit); i++) {
        for (unsigned char byte : sensors[order[i]].rom)
            to_host(byte);
    }
    for (int i = 0; i < sensor_count; i++)
        sensors[i].at = asleep;
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
        to_host(touch_byte(static_cast<unsigned char>(index & 0xFF), strong_pullup));
        break;
    case 0x74: {  // block I/O, from EP2 to EP3
        unsigned char block[256];
        const int size = from_host(block, index < sizeof block ? static_cast<int>(index) : 256);
        for (int i = 0; i < size; i++)
            to_host(touch_byte(block[i], strong_pullup && i == size - 1));
        break;
    }
    case 0x20:  // bit I/O
        to_host(touch_bit((value & 0x08U) != 0 ? 1 : 0));
        break;
    case 0xF4:  // search access
        search(index >> 8U, (index & 0xFF) == 0xEC);
        break;
    default:    // durations, pulses: nothing to emulate
        break;
    }
}

// ---- USB: the device, its descriptors, and its requests.

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
            in_count = out_count = 0;
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
int status(unsigned char *reply)
{
    memset(reply, 0, 16);
    reply[8] = 0x20;
    reply[9] = static_cast<unsigned char>(last_command & 0xFF);
    reply[10] = static_cast<unsigned char>(last_command >> 8U);
    reply[12] = static_cast<unsigned char>(out_count);
    reply[13] = static_cast<unsigned char>(in_count);
    return 16;
}

// ---- USB/IP: 48-byte big-endian headers over the socket.

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

bool read_all(int fd, unsigned char *bytes, size_t size)
{
    while (size > 0) {
        const ssize_t got = read(fd, bytes, size);
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
        if (put <= 0)
            return false;
        bytes += put;
        size -= static_cast<size_t>(put);
    }
    return true;
}

enum : uint32_t { cmd_submit = 1, cmd_unlink = 2, ret_submit = 3, ret_unlink = 4 };

// Answers a request: RET_SUBMIT with its status, and IN data.
bool answer_submit(int fd, const unsigned char *request, int32_t status_code,
                   const unsigned char *data, int size)
{
    unsigned char reply[48 + 512] = {};
    put32(reply, ret_submit);
    put32(reply + 4, get32(request + 4));
    put32(reply + 20, static_cast<uint32_t>(status_code));
    put32(reply + 24, static_cast<uint32_t>(size));
    if (size > 0 && data != nullptr)
        memcpy(reply + 48, data, static_cast<size_t>(size));
    const bool in = get32(request + 12) == 1;
    return write_all(fd, reply, 48 + static_cast<size_t>(in ? size : 0));
}

// A bulk IN on EP3 with nothing waiting stays pending until there is.
unsigned char pending[48];
bool is_pending;
uint32_t pending_size;

bool answer_pending(int fd)
{
    if (!is_pending || in_count == 0)
        return true;
    is_pending = false;
    unsigned char data[512];
    const int size = in_count < static_cast<int>(pending_size) ? in_count : static_cast<int>(pending_size);
    memcpy(data, in_fifo, static_cast<size_t>(size));
    memmove(in_fifo, in_fifo + size, static_cast<size_t>(in_count - size));
    in_count -= size;
    return answer_submit(fd, pending, 0, data, size);
}

// A stuck adapter answers nothing, not even the host's cancels, until it
// comes back as from a reset: what the host sent meanwhile is lost, each
// request failing, so that what the host sends next is answered afresh.
bool unstick(int fd)
{
    const int64_t wait = stuck_until_ns - now_ns();
    if (wait > 0) {
        const timespec pause{static_cast<time_t>(wait / 1000000000), static_cast<long>(wait % 1000000000)};
        nanosleep(&pause, nullptr);
    }
    stuck_until_ns = 0;
    in_count = out_count = 0;
    is_pending = false;
    fprintf(log_file, "%.6f unstuck\n", static_cast<double>(now_ns()) / 1e9);
    fflush(log_file);
    unsigned char header[48];
    unsigned char data[512];
    pollfd waiting{fd, POLLIN, 0};
    while (poll(&waiting, 1, 0) > 0 && read_all(fd, header, sizeof header)) {
        const uint32_t size = get32(header + 24);
        if (get32(header) == cmd_unlink) {
            unsigned char reply[48] = {};
            put32(reply, ret_unlink);
            put32(reply + 4, get32(header + 4));
            if (!write_all(fd, reply, sizeof reply))
                return false;
        } else if (get32(header) != cmd_submit || size > sizeof data ||
                   (get32(header + 12) == 0 && !read_all(fd, data, size)) ||
                   !answer_submit(fd, header, -EPIPE, nullptr, 0)) {
            return false;
        }
    }
    return true;
}

bool serve(int fd)
{
    if (stuck_until_ns != 0 && !unstick(fd))
        return false;
    unsigned char header[48];
    unsigned char data[512];
    if (!read_all(fd, header, sizeof header))
        return false;
    const uint32_t command = get32(header);
    if (command == cmd_unlink) {
        // Only a pending request is still ours to cancel.
        const bool cancelled = is_pending && get32(header + 20) == get32(pending + 4);
        if (cancelled)
            is_pending = false;
        unsigned char reply[48] = {};
        put32(reply, ret_unlink);
        put32(reply + 4, get32(header + 4));
        put32(reply + 20, static_cast<uint32_t>(cancelled ? -ECONNRESET : 0));
        return write_all(fd, reply, sizeof reply);
    }
    if (command != cmd_submit)
        return false;
    const bool in = get32(header + 12) == 1;
    const uint32_t endpoint = get32(header + 16);
    const uint32_t size = get32(header + 24);
    if (size > sizeof data)
        return false;
    if (!in && !read_all(fd, data, size))
        return false;
    if (endpoint == 0) {
        const int answered = control(header + 40, data);
        if (answered < 0)
            return answer_submit(fd, header, -EPIPE, nullptr, 0);
        const int given = in && answered > static_cast<int>(size) ? static_cast<int>(size) : answered;
        return answer_submit(fd, header, 0, data, in ? given : 0) && answer_pending(fd);
    }
    if (endpoint == 1)
        return answer_submit(fd, header, 0, data, status(data));
    if (endpoint == 2) {
        const int room = static_cast<int>(sizeof out_fifo) - out_count;
        const int taken = static_cast<int>(size) < room ? static_cast<int>(size) : room;
        memcpy(out_fifo + out_count, data, static_cast<size_t>(taken));
        out_count += taken;
        return answer_submit(fd, header, 0, nullptr, static_cast<int>(size));
    }
    memcpy(pending, header, sizeof header);
    pending_size = size;
    is_pending = true;
    return answer_pending(fd);
}

// Hands one end of a socket pair to vhci_hcd as a full-speed device on its
// first port; the other end is the device's.
int attach()
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

}  // namespace

int main(int argc, char *argv[])
{
    if (argc != 3) {
        fputs("usage: ds2490-sim SCRIPT LOG\n", stderr);
        return 1;
    }
    script_path = argv[1];
    log_file = fopen(argv[2], "a");
    if (log_file == nullptr) {
        perror(argv[2]);
        return 1;
    }
    read_script();
    if (sensor_count == 0 && access(script_path, R_OK) != 0) {
        perror(script_path);
        return 1;
    }
    const int fd = attach();
    if (fd < 0) {
        perror("ds2490-sim: attaching to vhci_hcd");
        return 1;
    }
    // Until the kernel lets the device go.
    while (serve(fd)) {
    }
    return 0;
}
