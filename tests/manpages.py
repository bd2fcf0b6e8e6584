# SPDX-License-Identifier: MIT
"""Each manual page names every exit status and every message its program
can give, the messages as the end-to-end tests see them."""
import os
import re
import subprocess
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "e2e"))
from messages import CLOSED, EIO, NO_NODE, SHORT  # noqa: E402

MESSAGES = [NO_NODE.split(b"\n")[0], EIO.split(b": ")[0], SHORT.rstrip(),
            CLOSED.split(b": ")[0]]
PAGES = [("tempmean", [0, 1, 255]), ("tempwatch", [1])]


def section(page, name):
    """The text of one section of the rendered page, on one line."""
    text = subprocess.run(["mandoc", "-T", "ascii", page], check=True,
                          capture_output=True, text=True).stdout
    text = re.sub(".\b", "", text)  # bold and underline by overstrike
    body = re.search(rf"^{name}\n(.*?)^\S", text, flags=re.M | re.S).group(1)
    return " ".join(body.split())


class ManualPages(unittest.TestCase):

    def test_statuses_and_messages(self):
        for program, statuses in PAGES:
            with self.subTest(program):
                page = os.path.join(HERE, "..", program, program + ".1")
                tags = re.findall(r"(?:^| )(\d+) [A-Z]", section(page, "EXIT STATUS"))
                self.assertEqual(sorted(map(int, tags)), statuses)
                for message in MESSAGES:
                    self.assertIn(message.decode(), section(page, "DIAGNOSTICS"))


if __name__ == "__main__":
    unittest.main(verbosity=2)
