// SPDX-License-Identifier: MIT
// Standard output for the programs: each result is printed into a static
// buffer and written out at once, so that a failed write is seen and told.
#ifndef COMMON_OUTPUT_H
#define COMMON_OUTPUT_H

// Gives standard output a static buffer, fully buffered: nothing is
// allocated for it, and nothing is written until flush_output. Called
// before anything is printed.
void buffer_output();

// Writes out what has been printed since the last call. True when standard
// output took it all; otherwise the reason has been written to standard
// error.
bool flush_output();

#endif
