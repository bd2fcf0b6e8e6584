// SPDX-License-Identifier: MIT
#include "w1.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// What w1_therm's w1_slave says, from both kernel generations: on a failed
// CRC older kernels print NO, and newer ones, which then repeat the last
// good bytes on the second line, give an empty read instead.
TEST(W1Parse, KernelTexts)
{
    const std::string good = "72 01 4b 46 7f ff 0e 10 57 ";
    const struct {
        const char *name;
        std::string text;
        w1_result result;
        unsigned char low, high;
    } cases[] = {
        {"a reading", good + ": crc=57 YES\n" + good + "t=23125\n", w1_ok, 0x72, 0x01},
        {"below zero", "5e ff 4b 46 7f ff 02 10 b6 : crc=b6 YES\n"
                       "5e ff 4b 46 7f ff 02 10 b6 t=-10125\n", w1_ok, 0x5E, 0xFF},
        {"the sensor's lowest", "90 fc 4b 46 7f ff 10 10 ee : crc=ee YES\n"
                                "90 fc 4b 46 7f ff 10 10 ee t=-55000\n", w1_ok, 0x90, 0xFC},
        {"a real 85.00", "50 05 4b 46 7f ff 10 10 bd : crc=bd YES\n"
                         "50 05 4b 46 7f ff 10 10 bd t=85000\n", w1_ok, 0x50, 0x05},
        {"the power-on value", "50 05 4b 46 7f ff 0c 10 1c : crc=1c YES\n"
                               "50 05 4b 46 7f ff 0c 10 1c t=85000\n", w1_power_on, 0, 0},
        {"NO, older kernel", "ff ff ff ff ff ff ff ff ff : crc=c9 NO\n"
                             "ff ff ff ff ff ff ff ff ff t=-62\n", w1_crc_no, 0, 0},
        {"NO, last good bytes after", "72 01 4b 46 7f ff 0e 10 58 : crc=57 NO\n" + good +
                                          "t=23125\n", w1_crc_no, 0, 0},
        {"empty, newer kernel", "", w1_empty, 0, 0},
        // A short read, or a data line held low: the kernel's zeroed buffer,
        // whose CRC fits. A real 0.00, and a clone's zero reserved bytes, are
        // served.
        {"nine zeros", "00 00 00 00 00 00 00 00 00 : crc=00 YES\n"
                       "00 00 00 00 00 00 00 00 00 t=0\n", w1_zeros, 0, 0},
        {"a real 0.00", "00 00 4b 46 7f ff 10 10 69 : crc=69 YES\n"
                        "00 00 4b 46 7f ff 10 10 69 t=0\n", w1_ok, 0, 0},
        {"a clone's zero bytes", "00 00 00 00 1f 00 00 00 a2 : crc=a2 YES\n"
                                 "00 00 00 00 1f 00 00 00 a2 t=0\n", w1_ok, 0, 0},
        {"a byte changed", "72 01 4b 46 7f ff 0e 11 57 : crc=57 YES\n"
                           "72 01 4b 46 7f ff 0e 11 57 t=23125\n", w1_crc_mismatch, 0, 0},
        {"the CRC said wrongly", good + ": crc=56 YES\n" + good + "t=23125\n",
         w1_crc_mismatch, 0, 0},
        {"two lines that differ", good + ": crc=57 YES\n72 01 4b 46 7f ff 0e 10 58 t=23125\n",
         w1_crc_mismatch, 0, 0},
        {"cut after the first line", good + ": crc=57 YES\n", w1_malformed, 0, 0},
        {"cut in the second line", good + ": crc=57 YES\n" + good + "t=231", w1_malformed, 0, 0},
        {"cut in the bytes", "72 01 4b 46", w1_malformed, 0, 0},
        {"no value", good + ": crc=57 YES\n" + good + "t=\n", w1_malformed, 0, 0},
        {"not w1_slave", "hello\n", w1_malformed, 0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        w1_register reg{0, 0};
        EXPECT_EQ(w1_parse(c.text.data(), c.text.size(), reg), c.result);
        EXPECT_EQ(reg.low, c.low);
        EXPECT_EQ(reg.high, c.high);
    }
}

// The names --sensor takes: a served family's, and not a path, which is no
// name in the devices directory.
TEST(W1SensorName, Arguments)
{
    const struct {
        const char *name;
        bool taken;
    } cases[] = {
        {"28-0316a279e1ff", true},
        {"3b-000000a1b2c3", true},
        {"10-000801b5a3f1", false},
        {"28-0316a279e1ff/", false},
        {"28-0316a279e1ff/../../../../etc", false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(w1_sensor_name(c.name), c.taken) << c.name;
}

// --check's temperature, exact to the sixteenth: the sensor's range, and
// below zero the sign, also where there is no whole degree to carry it.
TEST(W1Celsius, Registers)
{
    const struct {
        unsigned char low, high;
        const char *celsius;
    } cases[] = {
        {0xD0, 0x07, "125.0000"},
        {0x72, 0x01, "23.1250"},
        {0x00, 0x00, "0.0000"},
        {0xFF, 0xFF, "-0.0625"},
        {0x5E, 0xFF, "-10.1250"},
        {0x90, 0xFC, "-55.0000"},
    };
    for (const auto &c : cases) {
        char text[16];
        w1_celsius(w1_register{c.low, c.high}, text, sizeof text);
        EXPECT_STREQ(text, c.celsius);
    }
}

// Which sensor a read takes, from what the devices directory holds; the
// names found are told in the log where none or several are there, and
// with no sensor, the bus masters, or that there is none.
TEST(W1Choose, DevicesDirectories)
{
    const char reading[] = "50 05 4b 46 7f ff 10 10 bd : crc=bd YES\n"
                           "50 05 4b 46 7f ff 10 10 bd t=85000\n";
    const char a[] = "28-0316a279e1ff";
    const char b[] = "28-0316a279e200";
    const char bus[] = "w1_bus_master1";
    const struct {
        const char *name;
        bool missing;
        std::vector<const char *> masters;
        std::vector<const char *> there;
        const char *wanted;
        w1_result result;
        const char *served;
    } cases[] = {
        {"no directory", true, {}, {}, nullptr, w1_no_bus, ""},
        {"no bus master", false, {}, {}, nullptr, w1_no_bus, ""},
        {"nothing on the bus", false, {bus}, {}, nullptr, w1_none, ""},
        {"only a DS18S20", false, {bus}, {"10-000801b5a3f1"}, nullptr, w1_none, ""},
        {"a DS18S20, no master listed", false, {}, {"10-000801b5a3f1"}, nullptr, w1_none, ""},
        {"one DS18B20", false, {bus}, {a, "10-000801b5a3f1"}, nullptr, w1_ok, a},
        {"one DS1822", false, {bus}, {"22-000000a1b2c3"}, nullptr, w1_ok, "22-000000a1b2c3"},
        {"one DS1825", false, {bus}, {"3b-000000a1b2c3"}, nullptr, w1_ok, "3b-000000a1b2c3"},
        {"two", false, {bus}, {a, "3b-000000a1b2c3"}, nullptr, w1_several, ""},
        {"two, one named", false, {bus}, {a, b}, b, w1_ok, b},
        {"the named one gone", false, {bus}, {a}, b, w1_gone, ""},
        {"the named one, no directory", true, {}, {}, b, w1_gone, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        char dir[] = "/tmp/w1-test.XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        const std::string top = dir;
        for (const char *master : c.masters)
            ASSERT_EQ(mkdir((top + "/" + master).c_str(), 0755), 0);
        for (const char *sensor : c.there) {
            ASSERT_EQ(mkdir((top + "/" + sensor).c_str(), 0755), 0);
            FILE *f = fopen((top + "/" + sensor + "/w1_slave").c_str(), "w");
            fputs(reading, f);
            fclose(f);
        }
        const std::string devices = c.missing ? top + "/missing" : top;
        char name[64] = "";
        char found[256] = "x";
        char masters[64] = "x";
        EXPECT_EQ(w1_choose(devices.c_str(), c.wanted, name, sizeof name, found, sizeof found,
                            masters, sizeof masters), c.result);
        // In order, whatever order the directory gives.
        std::vector<std::string> sorted(c.there.begin(), c.there.end());
        std::sort(sorted.begin(), sorted.end());
        std::string listed;
        for (const std::string &sensor : sorted)
            listed += (listed.empty() ? "" : " ") + sensor;
        EXPECT_EQ(found, listed);
        EXPECT_STREQ(masters, c.masters.empty() ? "" : bus);
        if (c.result == w1_ok) {
            EXPECT_STREQ(name, c.served);
            w1_register reg{0, 0};
            int errnum = 0;
            EXPECT_EQ(w1_read(dir, name, reg, errnum), w1_ok);
            EXPECT_EQ(reg.low, 0x50);
            ASSERT_EQ(system(("rm -r " + top + "/" + name).c_str()), 0);
            EXPECT_EQ(w1_read(dir, name, reg, errnum), w1_gone);
        }
        ASSERT_EQ(system(("rm -r " + top).c_str()), 0);
    }
}

// How long w1_therm waits for a conversion, from its attributes: what a
// reading may answer rests on it.
TEST(W1ConversionMs, Attributes)
{
    const struct {
        const char *conv_time;  // null: no such file, as before Linux 5.10
        const char *features;
        int ms;
        bool polled;
    } cases[] = {
        {"95\n", "0\n", 95, false},
        {"1000\n", "3\n", 1000, true},
        {"750\n", "1\n", 750, false},
        {nullptr, nullptr, 750, false},
    };
    for (const auto &c : cases) {
        char dir[] = "/tmp/w1-test.XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        const std::string sensor = std::string(dir) + "/28-0316a279e1ff";
        ASSERT_EQ(mkdir(sensor.c_str(), 0755), 0);
        const std::pair<const char *, const char *> files[] = {{"conv_time", c.conv_time},
                                                               {"features", c.features}};
        for (const auto &file : files) {
            if (file.second == nullptr)
                continue;
            FILE *f = fopen((sensor + "/" + file.first).c_str(), "w");
            fputs(file.second, f);
            fclose(f);
        }
        bool polled = !c.polled;
        EXPECT_EQ(w1_conversion_ms(dir, "28-0316a279e1ff", polled), c.ms);
        EXPECT_EQ(polled, c.polled);
        ASSERT_EQ(system((std::string("rm -r ") + dir).c_str()), 0);
    }
}

// The reason each failed reading gives the programs' "read device failed:
// REASON", as ds18b20d(8) lists them: whatever keeps a sensor from being
// found is "No such device", and an empty read an I/O failure on the bus.
TEST(W1Errno, ReasonsTheProgramsPrint)
{
    const struct {
        w1_result result;
        int errnum;
        const char *reason;
    } cases[] = {
        {w1_crc_no, 0, "Bad message"},
        {w1_crc_mismatch, 0, "Bad message"},
        {w1_empty, 0, "Input/output error"},
        {w1_malformed, 0, "Protocol error"},
        {w1_power_on, 0, "Resource temporarily unavailable"},
        {w1_gone, 0, "No such device"},
        {w1_no_bus, 0, "No such device"},
        {w1_none, 0, "No such device"},
        {w1_several, 0, "Name not unique on network"},
        {w1_read_failed, EACCES, "Permission denied"},
        {w1_zeros, 0, "No data available"},
        {w1_stuck, 0, "Connection timed out"},
    };
    for (const auto &c : cases)
        EXPECT_STREQ(strerror(w1_errno(c.result, c.errnum)), c.reason) << "result " << c.result;
}

}  // namespace
