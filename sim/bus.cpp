// SPDX-License-Identifier: MIT
// The emulated 1-Wire bus and its sensors (bus.h).
#include "bus.h"

#include "w1.h"

#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace {

// ---- The sensors, as the script says and as their state goes.

enum answer_kind : std::uint8_t { reading, power_on, absent, zeros, stuck };

struct answer {
    answer_kind kind;
    double value;        // reading: degrees, or the register where is_register
    bool is_register;
    int bad_crc;         // reading: 0, 1 (the first read only), 2 (every read)
    int64_t absent_ns;   // absent, stuck: for how long
    int64_t late_ns;     // reading: the data of its first read answered late
};

// Where a sensor is in the bus's conversation since the last reset.
enum phase : std::uint8_t { asleep, rom_command, matching, function_command, reading_rom,
             reading_scratchpad, writing_scratchpad, reading_power, converting_busy };

struct sensor {
    answer answers[32];
    int64_t converted_at_ns;
    int64_t absent_until_ns;
    int64_t late_ns;               // the next read of the scratchpad's data
    int answer_count;
    int next_answer;
    int bad_crc;
    int index;
    phase at;
    char name[32];
    unsigned char rom[8];
    unsigned char scratchpad[8];   // without its CRC, which is made per read
    unsigned char eeprom[3];       // TH, TL, configuration
    unsigned char result[2];       // the register the conversion gives
    bool parasite;
    bool converting;
    bool corrupt_this_read;
    bool zeros;                    // the next read of the scratchpad
    bool zeros_this_read;
    bool plugged;                  // in the script, as it is now
};

sensor sensors[8];
int sensor_count;
const char *script_path;
struct stat script_seen;
FILE *log_file;
int64_t stuck_until_ns;
int64_t late_ns;                   // the adapter's next data from the host

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
    s.late_ns = a.late_ns;
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
            if (strcmp(how, "bad-crc") == 0) {
                a.bad_crc = 2;
            } else if (strcmp(how, "bad-crc-once") == 0) {
                a.bad_crc = 1;
            } else if (strcmp(how, "late") == 0) {
                const char *duration = strtok_r(nullptr, " \t", &rest);
                if (duration == nullptr || !parse_duration(duration, a.late_ns) || a.late_ns == 0)
                    return false;
            } else {
                return false;
            }
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
        if (s.answer_count == 32 || !parse_answer(item, s.answers[s.answer_count]))
            return false;
        s.answer_count++;
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
    bool was_plugged[8] = {};
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
        if (s.late_ns != 0) {
            note("late", s, now);
            late_ns = s.late_ns;
            s.late_ns = 0;
        }
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

}  // namespace

bool bus_start(const char *script, FILE *log)
{
    script_path = script;
    log_file = log;
    read_script();
    return sensor_count > 0 || access(script, R_OK) == 0;
}

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

unsigned char bus_touch_byte(unsigned char byte, bool strong_pullup)
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

unsigned char bus_touch_bit(unsigned char bit)
{
    const int64_t now = now_ns();
    unsigned char line = bit;
    for (int i = 0; i < sensor_count; i++) {
        if (present(sensors[i], now) && (drives(sensors[i], now) & 1U) == 0)
            line = 0;
    }
    return line;
}

int bus_search(unsigned char roms[][8], int limit)
{
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
    if (limit != 0 && found > limit)
        found = limit;
    for (int i = 0; i < found; i++)
        memcpy(roms[i], sensors[order[i]].rom, 8);
    for (int i = 0; i < sensor_count; i++)
        sensors[i].at = asleep;
    return found;
}

int64_t bus_stuck_until_ns()
{
    return stuck_until_ns;
}

void bus_unstuck()
{
    stuck_until_ns = 0;
    fprintf(log_file, "%.6f unstuck\n", static_cast<double>(now_ns()) / 1e9);
    fflush(log_file);
}

int64_t bus_take_late_ns()
{
    const int64_t late = late_ns;
    late_ns = 0;
    return late;
}
