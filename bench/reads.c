/* SPDX-License-Identifier: MIT */
/*
 * reads: times N readings of a sensor, as a program would take them, and
 * reports the time each took on standard output:
 *
 *   reads device /dev/ds18b20 1000   one open, then 2-byte reads
 *   reads file .../w1_slave 1000     open, read to the end, close, each
 *
 *   reads: 1000 readings of /dev/ds18b20: 412.3 us each
 */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static double now(void)
{
	struct timespec t;

	clock_gettime(CLOCK_MONOTONIC, &t);
	return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

/* One reading of the file: its whole text, from a new open. */
static int read_file(const char *path)
{
	char text[256];
	ssize_t n;
	int fd;

	if ((fd = open(path, O_RDONLY)) < 0)
		return -1;
	while ((n = read(fd, text, sizeof text)) > 0)
		;
	close(fd);
	return n == 0 ? 0 : -1;
}

int main(int argc, char *argv[])
{
	unsigned char reg[2];
	double start;
	long i, count;
	int device, fd = -1;

	if (argc != 4 || (strcmp(argv[1], "device") != 0 && strcmp(argv[1], "file") != 0)) {
		fputs("usage: reads device|file PATH COUNT\n", stderr);
		return 2;
	}
	device = strcmp(argv[1], "device") == 0;
	count = atol(argv[3]);
	if (device && (fd = open(argv[2], O_RDONLY)) < 0) {
		perror(argv[2]);
		return 1;
	}
	start = now();
	for (i = 0; i < count; i++) {
		if (device ? read(fd, reg, sizeof reg) != (ssize_t)sizeof reg
			   : read_file(argv[2]) != 0) {
			perror(argv[2]);
			return 1;
		}
	}
	printf("reads: %ld readings of %s: %.1f us each\n", count, argv[2],
	    (now() - start) / (double)count * 1e6);
	return 0;
}
