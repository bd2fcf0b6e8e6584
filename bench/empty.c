/* SPDX-License-Identifier: MIT */
/* The floor every measure of tempmean is set against. */
int main(void) { return 0; }
