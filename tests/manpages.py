# SPDX-License-Identifier: MIT
"""The manual pages: clean under mandoc's lint, and each names every exit
status and every message its program can give, as the end-to-end tests
see them."""
import os
import re
import subprocess
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "e2e"))
from messages import CLOSED, EIO, NO_NODE, SHORT  # noqa: E402

SOURCE = os.path.join(HERE, "..")

MESSAGES = [NO_NODE.split(b"\n")[0], EIO.split(b": ")[0], SHORT.rstrip(),
            CLOSED.split(b": ")[0]]
PAGES = [
    # page, exit statuses, messages in DIAGNOSTICS
    ("tempmean/tempmean.1", [0, 1, 255], MESSAGES),
    ("tempwatch/tempwatch.1", [1], MESSAGES),
]


def sections(page):
    """The rendered page as {section heading: its text on one line}."""
    text = subprocess.run(["mandoc", "-T", "ascii", page], check=True,
                          capture_output=True, text=True).stdout
    text = re.sub(".\b", "", text)  # bold and underline by overstrike
    parts = re.split(r"^([A-Z][A-Z ]+)$", text, flags=re.M)
    return {head: " ".join(body.split())
            for head, body in zip(parts[1::2], parts[2::2])}


class ManualPages(unittest.TestCase):

    def test_pages(self):
        for page, statuses, messages in PAGES:
            with self.subTest(page):
                path = os.path.join(SOURCE, page)
                lint = subprocess.run(["mandoc", "-T", "lint", "-W", "warning", path],
                                      capture_output=True, text=True)
                self.assertEqual((lint.returncode, lint.stdout + lint.stderr), (0, ""))
                text = sections(path)
                status_tags = re.findall(r"(?:^| )(\d+) [A-Z]", text["EXIT STATUS"])
                self.assertEqual(sorted(map(int, status_tags)), statuses)
                for message in messages:
                    self.assertIn(message.decode(), text["DIAGNOSTICS"])


if __name__ == "__main__":
    unittest.main(verbosity=2)
