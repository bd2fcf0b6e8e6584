/* SPDX-License-Identifier: MIT */
/*
 * reads: times N readings of a sensor, as a program would take them, and
 * reports the time each took on standard output:
 *
 *   reads device /dev/ds18b20 1000   one open, then 2-byte reads
 *   reads file .../w1_slave 1000     open, read to the end, close, each
 *   reads program tempmean           one run of a program that reads it
 *
 *   reads: 1000 readings of /dev/ds18b20: 412.3 us each
 *   reads: tempmean: 18.0412 s
 */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
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

/* One run of a program, its output passed on; a run that fails is no
 * figure. */
static int program(char *argv[])
{
	double start = now();
	int status;
	pid_t pid;

	if ((pid = fork()) == 0) {
		execvp(argv[0], argv);
		perror(argv[0]);
		_exit(127);
	}
	if (pid < 0 || waitpid(pid, &status, 0) != pid) {
		perror("reads");
		return 1;
	}
	if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
		fprintf(stderr, "reads: %s failed\n", argv[0]);
		return 1;
	}
	printf("reads: %s: %.4f s\n", argv[0], now() - start);
	return 0;
}

int main(int argc, char *argv[])
{
	unsigned char reg[2];
	double start;
	long i, count;
	int device, fd = -1;

	if (argc >= 3 && strcmp(argv[1], "program") == 0)
		return program(argv + 2);
	if (argc != 4 || (strcmp(argv[1], "device") != 0 && strcmp(argv[1], "file") != 0)) {
		fputs("usage: reads device|file PATH COUNT | reads program COMMAND...\n", stderr);
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
