// SPDX-License-Identifier: MIT
// The kernel's 1-Wire thermometers as ds18b20d reads them: each sensor is a
// directory FAMILY-SERIAL under the w1 devices directory, and each read of
// its w1_slave file runs a conversion and gives the scratchpad as text:
//   72 01 4b 46 7f ff 0e 10 57 : crc=57 YES
//   72 01 4b 46 7f ff 0e 10 57 t=23125
// Bytes 0 and 1 are the temperature register, low byte first.
#ifndef DS18B20D_W1_H
#define DS18B20D_W1_H

#include <cstddef>
#include <cstdint>

// How a reading went: served, or why not.
enum w1_result : std::uint8_t {
    w1_ok,
    w1_crc_no,        // the kernel's CRC check failed ("NO")
    w1_crc_mismatch,  // the text's CRC does not fit its bytes
    w1_empty,         // the kernel gave no text: a failed CRC on each of its
                      // tries, or no answer from the sensor
    w1_malformed,     // not the text above, or cut short
    w1_power_on,      // the power-on value: no conversion was made
    w1_gone,          // the sensor is not (or no longer) in the directory
    w1_no_bus,        // no 1-Wire bus master in the directory, or no directory
    w1_none,          // no sensor to serve in the directory
    w1_several,       // more than one, and none chosen
    w1_read_failed,   // w1_slave could not be read (errno says why)
    w1_zeros,         // nine zero bytes, which pass the CRC: a data line held
                      // low, or a transfer that failed
    w1_stuck,         // no reading came within its bound: the bus is stuck
};

// The register's two bytes, in the order the device delivers them.
struct w1_register {
    unsigned char low;
    unsigned char high;
};

// The Dallas/Maxim CRC-8 of size bytes (polynomial x^8 + x^5 + x^4 + 1).
unsigned char w1_crc8(const unsigned char *bytes, std::size_t size);

// The register from the text of one read of w1_slave.
w1_result w1_parse(const char *text, std::size_t size, w1_register &reg);

// True for a directory name of a sensor with the DS18B20's register:
// DS18B20 (28), DS1822 (22), DS1825 and MAX31850 (3b). The DS18S20 (10)
// counts in halves of a degree and is not one of them.
bool w1_served_family(const char *name);

// True for a name --sensor may give: a served family's, and one name in the
// devices directory. A path is no sensor's name, and is refused at once
// rather than reported gone at every read.
bool w1_sensor_name(const char *name);

// The sensor to read under devices: the one named (null: the only one
// there). On w1_ok its name is in name. found holds the sensors there and
// masters the buses (w1_bus_masterN), each space-separated, so that a
// w1_none tells an empty bus (found empty) from sensors of other families.
// With none named, no directory or neither in it is w1_no_bus.
w1_result w1_choose(const char *devices, const char *wanted, char *name,
                    std::size_t name_size, char *found, std::size_t found_size,
                    char *masters, std::size_t masters_size);

// One reading of the named sensor's w1_slave. On w1_read_failed, errnum
// holds the reason.
w1_result w1_read(const char *devices, const char *name, w1_register &reg,
                  int &errnum);

// How long w1_therm waits for the named sensor's conversion, in ms: its
// conv_time, or 750 (12 bits, the longest) where the kernel does not say.
// polled: bit 1 of its features is set, and the wait ends as soon as the
// sensor says it is done, which may be sooner.
int w1_conversion_ms(const char *devices, const char *name, bool &polled);

// What the named sensor's bus master says of a bulk conversion, which
// another program starts by writing "trigger" to its therm_bulk_read: -1
// while one runs (w1_slave then gives no text), 1 once one has ended and
// a sensor on the bus has not had its result read (its next w1_slave read
// gives that result, with no conversion of its own), 0 where none is
// pending or the kernel has no such file.
int w1_bulk_state(const char *devices, const char *name);

// The errno a read of /dev/ds18b20 fails with, so that the programs'
// "read device failed: REASON" tells the case.
int w1_errno(w1_result result, int errnum);

// The register in degrees Celsius, to the sixteenth as the register holds
// it ("-10.1250"): in integers, so that --check shows it exactly.
void w1_celsius(w1_register reg, char *text, std::size_t size);

// A few words for the log.
const char *w1_describe(w1_result result);

#endif
