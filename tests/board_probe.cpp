// SPDX-License-Identifier: MIT
// Exits 0 only where its constructor ran before main. Built for ARMv7, its
// constant is loaded with movw/movt, which an ARMv6 core cannot execute.
namespace {
volatile unsigned constructed;
__attribute__((constructor)) void construct() { constructed = 0x12345678U; }
}  // namespace

int main() { return constructed == 0x12345678U ? 0 : 1; }
