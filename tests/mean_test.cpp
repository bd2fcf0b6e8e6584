// SPDX-License-Identifier: MIT
#include "sensor.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

std::string printed(double value)
{
    char line[32];
    snprintf(line, sizeof line, "%6.2f", value);
    return line;
}

// The printed mean of a run's sum: divided in single precision, then
// rounded by printf. The cases marked are those where a division in double
// precision would print another number, so a change to it is caught.
TEST(MeanOf, PrintedAsTheBoardPrintsIt)
{
    const struct {
        float sum;
        int count;
        const char *line;
        bool double_differs;
    } cases[] = {
        {500.0F, 20, " 25.00", false},
        {500.25F, 20, " 25.01", false},
        {461.50F, 20, " 23.08", true},
        {463.50F, 20, " 23.17", true},
        {462.50F, 20, " 23.12", false},  // an exact tie goes to the even digit
        {20 * 127.75F, 20, "127.75", false},
        {-205.0F, 20, "-10.25", false},
        {433.5F, 17, " 25.50", false},  // the full samples of a run with failures
        {-1.0F, 3, " -0.33", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.sum << " / " << c.count);
        EXPECT_EQ(printed(static_cast<double>(mean_of(c.sum, c.count))), c.line);
        const double in_double = static_cast<double>(c.sum) / c.count;
        EXPECT_EQ(printed(in_double) != c.line, c.double_differs);
    }
}

}  // namespace
