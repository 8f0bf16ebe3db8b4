"""The archive stage's status line: on a terminal only, erased before anything else."""

import re
import unittest

from harness import ARCHIVE_LINE, CONFIG, E2ETestCase

# About two seconds of level-6 compression: random data does not compress.
BIG_LOG = "mkdir /tmp/logs; head -c 100663296 /dev/urandom > /tmp/logs/agent.log"
LINES = ("Collecting os info\nCollecting config files\nCollecting log files\n"
         "Collecting oskel info\n" + ARCHIVE_LINE)


class ProgressLine(E2ETestCase):
    def test_terminal_shows_the_line_and_erases_it_before_the_last_line(self):
        r = self.run_oskel(config=CONFIG, setup=BIG_LOG, stdout="tty", env={"TERM": "xterm"})
        self.assertEqual(r.rc, 0)
        self.assertEqual(r.stdout, LINES)
        shown = re.findall(r"\r\x1b\[KArchiving oskel-data: (\d+) MiB", r.stderr)
        self.assertTrue(shown, repr(r.stderr))
        self.assertEqual([int(n) for n in shown], sorted(int(n) for n in shown))
        # Erased completely, and nothing else on standard error.
        self.assertTrue(r.stderr.endswith(" MiB\r\x1b[K"), repr(r.stderr[-40:]))
        self.assertEqual(re.sub(r"\r\x1b\[K(Archiving oskel-data: \d+ MiB)?", "", r.stderr), "")

    def test_dumb_terminal_and_pipes_show_nothing(self):
        for plan in ({"stdout": "tty", "env": {"TERM": "dumb"}}, {"stdout": "pipe"}):
            r = self.run_oskel(config=CONFIG, setup=BIG_LOG, **plan)
            self.assertEqual((r.rc, r.stdout, r.stderr), (0, LINES, ""), plan)


if __name__ == "__main__":
    unittest.main()
