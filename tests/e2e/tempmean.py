# SPDX-License-Identifier: MIT
"""tempmean end to end: exit status, standard output and standard error of
the built program against the simulated sensor, byte for byte."""
import subprocess
import unittest

from harness import (CLOSED, EIO, FULL, NO_NODE, NO_PERMISSION,
                     ONE_BYTE_WRITES, SHORT, TEMPMEAN, main, one_byte_writes,
                     run_all)

MEANS = [
    # name, sensor script, (status, stdout, stderr)
    ("twenty of 25.00", ["25.00"] * 20, (0, b" 25.00\n", b"")),
    ("one of 25.25 among 25.00", ["25.00"] * 19 + ["25.25"], (0, b" 25.01\n", b"")),
    ("single-precision division, sum 461.50",
     ["23.00"] * 18 + ["23.75"] * 2, (0, b" 23.08\n", b"")),
    ("single-precision division, sum 463.50",
     ["23.00"] * 18 + ["24.75"] * 2, (0, b" 23.17\n", b"")),
    ("an exact tie rounds to even", ["23.00"] * 10 + ["23.25"] * 10,
     (0, b" 23.12\n", b"")),
    ("the widest mean", ["127.75"] * 20, (0, b"127.75\n", b"")),
    ("below zero", ["-0.50"] * 20, (0, b" -0.50\n", b"")),
    ("the sensor's lowest", ["-55.00"] * 20, (0, b"-55.00\n", b"")),
    ("finest bits dropped", ["0x0191", "0x019F"] * 10, (0, b" 25.38\n", b"")),
    ("below zero, finest bits dropped", ["-10.125"] * 20, (0, b"-10.25\n", b"")),
    # Registers the sensor cannot produce print whole, only wider.
    ("the highest register", ["0x7FFF"] * 20, (0, b"2047.75\n", b"")),
    ("the lowest register", ["0x8000"] * 20, (0, b"-2048.00\n", b"")),
    # The device is opened to block: a reading not ready at once is waited for.
    ("slow reads waited for", ["25.00 after 20ms"] * 20, (0, b" 25.00\n", b"")),
    # A failed read is reported and left out: the mean is of the other 17.
    ("failed and short reads left out",
     ["error EIO", "25.00 bytes 1", "25.00 bytes 0"] + ["25.50"] * 17,
     (0, b" 25.50\n", EIO + SHORT + SHORT)),
    ("every read failing", ["error EIO"] * 20, (1, b"", EIO * 20)),
]


class Tempmean(unittest.TestCase):

    def test_means_and_read_failures(self):
        runs, results = run_all([(TEMPMEAN, script) for _, script, _ in MEANS])
        for (name, _, want), got in zip(MEANS, results):
            with self.subTest(name):
                self.assertEqual(got, want)
        self.check_pacing(runs[0])

    def check_pacing(self, run):
        # Exactly 20 reads of 2 bytes, at least 100 ms apart, and the last
        # pause taken before the mean: the run lasts 2 s from the first read.
        self.assertEqual([size for _, size in run.log.reads], [2] * 20)
        times = [t for t, _ in run.log.reads] + [run.ended]
        gaps = [b - a for a, b in zip(times, times[1:])]
        self.assertGreaterEqual(min(gaps), 0.100, gaps)
        self.assertGreaterEqual(run.ended - times[0], 2.0)
        # ...and not much more: typically 100 ms and the read.
        self.assertLess(sorted(gaps)[len(gaps) // 2], 0.25, gaps)

    def test_device_and_output_failures(self):
        steady = ["25.00"]
        cases = [
            ("no node", TEMPMEAN, None, "--missing", (255, b"", NO_NODE)),
            ("node not readable", TEMPMEAN, None, "--unreadable",
             (255, b"", NO_PERMISSION)),
            ("standard output full", TEMPMEAN, steady, None, (1, b"", FULL)),
            ("standard output closed",
             ["sh", "-c", 'exec >&-; exec "$@"', "sh"] + TEMPMEAN, steady, None,
             (1, b"", CLOSED)),
            # The device then opens as descriptor 0, a good one.
            ("standard input closed",
             ["sh", "-c", 'exec <&-; exec "$@"', "sh"] + TEMPMEAN, steady, None,
             (0, b" 25.00\n", b"")),
        ]
        if ONE_BYTE_WRITES:
            cases.append(("standard output taking a byte a write",
                          one_byte_writes(TEMPMEAN), steady, None,
                          (0, b" 25.00\n", b"")))
        with open("/dev/full", "wb") as full:
            runs = [(command, script, mode,
                     full if name.endswith("full") else subprocess.PIPE)
                    for name, command, script, mode, _ in cases]
            _, results = run_all(runs)
        for (name, *_, want), got in zip(cases, results):
            with self.subTest(name):
                self.assertEqual(got, want)


if __name__ == "__main__":
    main()
