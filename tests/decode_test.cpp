// SPDX-License-Identifier: MIT
#include "sensor.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

namespace {

raw_sample from_register(std::uint16_t reg)
{
    return raw_sample{static_cast<std::uint8_t>(reg & 0xFFU),
                      static_cast<std::uint8_t>(reg >> 8U)};
}

// The datasheet's reference registers, and the edges of the 0.25-degree
// reading: the two finest bits round down, for either sign.
TEST(DecodeSample, ReferenceRegisters)
{
    const struct {
        std::uint8_t low, high;
        float celsius;
    } cases[] = {
        {0xD0, 0x07, 125.0F},  {0x50, 0x05, 85.0F},   {0x91, 0x01, 25.0F},
        {0xA2, 0x00, 10.0F},   {0x08, 0x00, 0.5F},    {0x00, 0x00, 0.0F},
        {0xF8, 0xFF, -0.5F},   {0x5E, 0xFF, -10.25F}, {0x6F, 0xFE, -25.25F},
        {0x90, 0xFC, -55.0F},  {0x04, 0x00, 0.25F},   {0x03, 0x00, 0.0F},
        {0x94, 0x01, 25.25F},  {0x98, 0x01, 25.5F},   {0x9C, 0x01, 25.75F},
        {0x9F, 0x01, 25.75F},  {0xFF, 0x07, 127.75F}, {0x00, 0x08, 128.0F},
        {0xFF, 0xFF, -0.25F},  {0x00, 0x80, -2048.0F},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << "low 0x" << +c.low
                                        << " high 0x" << +c.high);
        EXPECT_EQ(decode_sample(raw_sample{c.low, c.high}), c.celsius);
    }
}

// Every one of the 65536 registers: the value is the register's own
// (sixteenths of a degree, two's complement) rounded down to a quarter,
// exact in single precision, and it never falls as the register rises.
TEST(DecodeSample, EveryRegister)
{
    float previous = -INFINITY;
    for (int reg = -32768; reg <= 32767; reg++) {
        const auto bits = static_cast<std::uint16_t>(reg);
        const float celsius = decode_sample(from_register(bits));
        SCOPED_TRACE(testing::Message() << "register " << reg);

        const double quarters = static_cast<double>(celsius) * 4;
        ASSERT_EQ(quarters, std::floor(quarters));
        ASSERT_LE(static_cast<double>(celsius), reg / 16.0);
        ASSERT_GT(static_cast<double>(celsius) + 0.25, reg / 16.0);
        ASSERT_GE(celsius, previous);
        previous = celsius;

        for (std::uint16_t finest = 1; finest < 4; finest++) {
            const auto other = static_cast<std::uint16_t>((bits & ~3U) | finest);
            ASSERT_EQ(decode_sample(from_register(other)), celsius);
        }
    }
}

}  // namespace
