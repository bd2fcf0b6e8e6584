# SPDX-License-Identifier: MIT
"""tempwatch end to end, with its 10-second pauses compressed: blocks of
20, value formats, failed reads, flushing to files and pipes."""
import os
import signal
import tempfile
import unittest

from harness import (EIO, FAST, FULL, NO_NODE, ONE_BYTE_WRITES, SHORT,
                     TEMPWATCH, Run, main, one_byte_writes, run_all)

# A read held back this long never completes within a test.
HELD = "21.00 after 30s"


def line(value):
    return b"The temperature is %s\n" % value


class Tempwatch(unittest.TestCase):

    def test_blocks_formats_failures_and_kill(self):
        # 41 readings, then a read the sensor holds back: the test kills the
        # monitor there, with standard output on a file.
        special = {1: ("23.50", line(b" 23.50")), 2: ("5.25", line(b"  5.25")),
                   3: ("127.75", line(b"127.75")), 4: ("-0.50", line(b" -0.50")),
                   5: ("-55.00", line(b"-55.00")), 6: ("error EIO", b""),
                   7: ("25.00 bytes 1", b""), 8: ("25.00 bytes 0", b""),
                   9: ("0x7FFF", line(b"2047.75")), 10: ("0x8000", line(b"-2048.00")),
                   20: ("error EIO", b"")}
        script, out = [], b""
        for n in range(1, 42):
            ordinary = "%.2f" % (10 + n / 4)
            entry, text = special.get(n, (ordinary, line(b"%6s" % ordinary.encode())))
            script.append(entry)
            # The empty line follows the 20th and 40th reading, failed or not.
            out += text + (b"\n" if n % 20 == 0 else b"")
        script.append(HELD)

        with tempfile.TemporaryFile() as log_file:
            run = Run(FAST + TEMPWATCH, script, stdout=log_file)
            run.log.wait_for(42)
            status, _, err = run.kill(signal.SIGTERM)
            log_file.seek(0)
            written = log_file.read()
        self.assertEqual((status, written, err),
                         (-signal.SIGTERM, out, EIO + SHORT + SHORT + EIO))
        self.assertEqual(out.count(b"\n\n"), 2)
        self.assertEqual([size for _, size in run.log.reads], [2] * 42)

    def test_pipe_reader_gets_each_line_at_once(self):
        # The second read is held back, so only a flushed line can arrive.
        run = Run(FAST + TEMPWATCH, ["23.50", HELD])
        self.assertEqual(run.readline(), line(b" 23.50"))
        status, _, err = run.kill()
        self.assertEqual((status, err), (-signal.SIGTERM, b""))

    @unittest.skipUnless(ONE_BYTE_WRITES, "no preloading under an emulator")
    def test_whole_line_on_output_taking_a_byte_a_write(self):
        # Once the second read is asked for, the first line is out in full.
        run = Run(FAST + one_byte_writes(TEMPWATCH), ["23.50", HELD])
        run.log.wait_for(2)
        self.assertEqual(run.kill(), (-signal.SIGTERM, line(b" 23.50"), b""))

    def test_device_and_output_failures(self):
        # A reader that has gone ends the monitor as it ends any filter:
        # SIGPIPE (the runner gives its status as 128 + 13), with no message.
        gone, closed_pipe = os.pipe()
        os.close(gone)
        with open("/dev/full", "wb") as full:
            _, results = run_all([
                (FAST + TEMPWATCH, None, "--missing"),
                (FAST + TEMPWATCH, ["25.00"], None, full),
                (FAST + TEMPWATCH, ["25.00"], None, closed_pipe),
            ])
        os.close(closed_pipe)
        self.assertEqual(results, [(1, b"", NO_NODE), (1, b"", FULL),
                                   (128 + signal.SIGPIPE, b"", b"")])


if __name__ == "__main__":
    main()
