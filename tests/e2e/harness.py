# SPDX-License-Identifier: MIT
"""Runs the built programs against the simulated sensor.

Each run gets its own sandbox and sensor script; the sensor's log reaches
the test through a FIFO, so a test waits for a read to happen rather than
for time to pass.
"""
import os
import select
import shlex
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest

from messages import (CLOSED, EIO, FULL, NO_NODE,  # noqa: F401
                      NO_PERMISSION, SHORT)

WITH_SENSOR = os.environ["WITH_SENSOR"]
# Each a command line: a cross build puts its emulator first.
TEMPMEAN = shlex.split(os.environ["TEMPMEAN"])
TEMPWATCH = shlex.split(os.environ["TEMPWATCH"])

# Put before TEMPWATCH, ten seconds pass in ten milliseconds: usleep
# returns early. libfaketime is preloaded straight into the program: the
# faketime wrapper would stand between the program and the test, and hide
# how it ended.
FAST = shlex.split(os.environ["FAST"])

# A library that, preloaded, makes standard output take one byte a write;
# empty where the programs run under an emulator, which it cannot reach.
ONE_BYTE_WRITES = os.environ.get("ONE_BYTE_WRITES", "")


def one_byte_writes(command):
    """The command, its standard output taking one byte a write. It goes
    after FAST: the library joins any that FAST preloads."""
    return ["sh", "-c", 'LD_PRELOAD="${LD_PRELOAD:+$LD_PRELOAD:}$0" exec "$@"',
            ONE_BYTE_WRITES] + command


# Long enough to mean "never" in a test, short enough to end a broken one.
DEADLINE = 60

ENV = dict(os.environ, ASAN_OPTIONS="verify_asan_link_order=0")


class SensorLog:
    """The reads the sensor was asked for, as (monotonic seconds, size)."""

    def __init__(self, path):
        self.path = path
        self.reads = []
        self._changed = threading.Condition()
        self._closed = False
        os.mkfifo(path)
        threading.Thread(target=self._follow, args=(path,), daemon=True).start()

    def _follow(self, path):
        with open(path, "rb") as fifo:
            for line in fifo:
                seconds, word, size = line.split()
                assert word == b"read", line
                with self._changed:
                    self.reads.append((float(seconds), int(size)))
                    self._changed.notify_all()
        with self._changed:
            self._closed = True
            self._changed.notify_all()

    def wait_for(self, count):
        """Waits until the sensor has been asked for count reads."""
        with self._changed:
            if not self._changed.wait_for(
                    lambda: len(self.reads) >= count or self._closed, DEADLINE):
                raise AssertionError(f"no read {count} within {DEADLINE} s")
            if len(self.reads) < count:
                raise AssertionError(f"sensor closed after {len(self.reads)} reads")

    def wait_closed(self):
        # Where the sensor never started, nothing opens the FIFO's other
        # end: open and close it here so that the reader sees its end.
        try:
            os.close(os.open(self.path, os.O_WRONLY | os.O_NONBLOCK))
        except OSError:
            pass  # the reader is gone already
        with self._changed:
            self._changed.wait_for(lambda: self._closed, DEADLINE)


class Run:
    """One program started under with-sensor, in a session of its own so
    that a signal reaches everything it started."""

    def __init__(self, command, script=None, mode=None, stdout=subprocess.PIPE):
        self._dir = tempfile.TemporaryDirectory()
        args = [WITH_SENSOR]
        self.log = None
        if mode is not None:
            args.append(mode)
        else:
            path = os.path.join(self._dir.name, "script")
            with open(path, "w") as f:
                f.write("\n".join(script) + "\n")
            self.log = SensorLog(os.path.join(self._dir.name, "log"))
            args += ["--script", path, "--log", self.log.path]
        self.started = time.monotonic()
        # Unbuffered: a line read is never held back where select can't see.
        self.proc = subprocess.Popen(args + command, bufsize=0,
                                     stdin=subprocess.DEVNULL, stdout=stdout,
                                     stderr=subprocess.PIPE,
                                     start_new_session=True, env=ENV)

    def readline(self):
        """The next line of standard output, or an error after DEADLINE."""
        ready, _, _ = select.select([self.proc.stdout], [], [], DEADLINE)
        if not ready:
            raise AssertionError(f"no line within {DEADLINE} s")
        return self.proc.stdout.readline()

    def finish(self):
        """Waits for the end: (status, stdout, stderr)."""
        out, err = self.proc.communicate(timeout=DEADLINE)
        self.ended = time.monotonic()
        if self.log:
            self.log.wait_closed()
        self._dir.cleanup()
        return self.proc.returncode, out or b"", err

    def kill(self, sig=signal.SIGTERM):
        os.killpg(self.proc.pid, sig)
        return self.finish()


def run_all(runs):
    """Starts every (command, script, mode, stdout) at once, then finishes
    them in turn: the cases of a table cost the time of the slowest."""
    started = [Run(*r) for r in runs]
    return started, [run.finish() for run in started]


def prerequisites_missing():
    """Why the simulated sensor cannot run here, or None."""
    try:
        run = Run(["true"], script=["25"])
        status, _, err = run.finish()
    except OSError as e:
        return str(e)
    if status != 0:
        return err.decode(errors="replace").strip() or f"with-sensor exited {status}"
    return None


def main():
    why = prerequisites_missing()
    if why is not None:
        print(f"the simulated sensor cannot run here: {why}")
        # On CI a missing prerequisite is a failure, not a skip.
        sys.exit(1 if os.environ.get("CI") == "true" else 77)
    unittest.main(verbosity=2)
