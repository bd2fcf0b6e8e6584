// SPDX-License-Identifier: MIT
// Standard output for the programs: each result goes out in one piece as
// soon as it is made, so that a pipe or a log file sees it at once and a
// failed write is seen and told.
#ifndef COMMON_OUTPUT_H
#define COMMON_OUTPUT_H

#include <cstddef>

// Writes size bytes of text to standard output. True when standard output
// took them all; otherwise the reason has been written to standard error.
bool write_output(const char *text, std::size_t size);

#endif
