// SPDX-License-Identifier: MIT
// libFuzzer over w1_parse: any text a read of w1_slave could give. The text
// is libFuzzer's own buffer, exactly its size and not NUL-terminated, so
// AddressSanitizer stops any read past it.
#include "w1.h"

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

[[noreturn]] void fail(const char *why)
{
    fprintf(stderr, "w1_parse_fuzz: %s\n", why);
    abort();
}

// The byte that two hex digits at text say, or -1.
int hex_byte(const char *text)
{
    const char digits[3] = {text[0], text[1], '\0'};
    if (isxdigit(static_cast<unsigned char>(digits[0])) == 0 ||
        isxdigit(static_cast<unsigned char>(digits[1])) == 0)
        return -1;
    return static_cast<int>(strtol(digits, nullptr, 16));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const char *text = reinterpret_cast<const char *>(data);
    w1_register reg{0, 0};
    if (w1_parse(text, size, reg) != w1_ok)
        return 0;
    // A register served is the text's first two bytes, "LL HH ...".
    if (size < 5 || reg.low != hex_byte(text) || reg.high != hex_byte(text + 3))
        fail("the register served is not the first two bytes of the text");
    return 0;
}
