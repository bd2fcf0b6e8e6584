# SPDX-License-Identifier: MIT
"""tempwatch in real time: the first line only after a full 10-second
pause, and the reads 10 seconds apart."""
import signal
import time
import unittest

from harness import TEMPWATCH, Run, main


class TempwatchRealTime(unittest.TestCase):

    def test_pauses_ten_seconds_before_each_read(self):
        # With standard input closed, the device opens as descriptor 0, a
        # good one. (Not so in the compressed tests: libfaketime takes it.)
        run = Run(["sh", "-c", 'exec <&-; exec "$@"', "sh"] + TEMPWATCH, ["22.00"])
        self.assertEqual(run.readline(), b"The temperature is  22.00\n")
        first_line = time.monotonic()
        run.log.wait_for(2)
        status, _, err = run.kill()
        (first, _), (second, _) = run.log.reads[:2]
        self.assertGreaterEqual(first_line - run.started, 10.0)
        self.assertGreaterEqual(first - run.started, 10.0)
        self.assertGreaterEqual(second - first, 10.0)
        self.assertEqual((status, err), (-signal.SIGTERM, b""))


if __name__ == "__main__":
    main()
