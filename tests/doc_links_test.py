#!/usr/bin/env python3
"""scripts/check-doc-links.sh finds broken links and passes good ones.

    doc_links_test.py [SCRIPT]

Markdown files made here, in a folder that is no git checkout: one whose
links all resolve (headings with punctuation, backticks and repeats, which
GitHub's anchors drop or number; another file's heading; an image; a folder;
a web address, which is not followed) must pass without a word; one with a
missing file, a missing image, a heading missing in its own file and one
missing in another file must fail, naming each at its line.
"""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SCRIPT = os.path.join(os.path.dirname(HERE), "scripts", "check-doc-links.sh")

GUIDE = """# Guide

## Two roads: native and emulated

## `make bench`, the table

## Code 9's palette

## Notes

## Notes
"""

GOOD = """# Front page

[roads](docs/guide.md#two-roads-native-and-emulated),
[bench](docs/guide.md#make-bench-the-table), [palette](docs/guide.md#code-9s-palette),
[second notes](docs/guide.md#notes-1), [here](#front-page), [folder](docs/),
[the web](https://example.invalid/nowhere.md#nothing)

![picture](docs/picture.png)
"""

# Each broken link on a line of its own: (line, what the checker says).
BROKEN = [
    (3, "[missing file](docs/none.md)", "Cannot find file `docs/none.md`"),
    (4, "![missing picture](docs/none.png)", "Cannot find file `docs/none.png`"),
    (5, "[missing here](#nowhere)", "Cannot find heading for `#nowhere`"),
    (6, "[missing there](docs/guide.md#two-roads)",
     "Cannot find heading for `#two-roads` in `docs/guide.md`"),
    (7, "[third notes](docs/guide.md#notes-2)",
     "Cannot find heading for `#notes-2` in `docs/guide.md`"),
]


class DocLinks(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="doc-links-test-")
        self.addCleanup(shutil.rmtree, self.work)
        os.mkdir(os.path.join(self.work, "docs"))
        self.write("docs/guide.md", GUIDE)
        self.write("docs/picture.png", "")
        self.write("GOOD.md", GOOD)

    def write(self, name, text):
        with open(os.path.join(self.work, name), "w") as out:
            out.write(text)

    def check(self, *names):
        done = subprocess.run([SCRIPT, *names], cwd=self.work, capture_output=True, text=True,
                              timeout=120)
        return done.returncode, done.stdout + done.stderr

    def test_good_links_pass_quietly(self):
        code, output = self.check("GOOD.md", "docs/guide.md")
        self.assertEqual((code, output), (0, ""))

    def test_each_broken_link_fails_and_is_named_at_its_line(self):
        self.write("BROKEN.md", "# Broken\n\n" + "".join(link + "\n" for _, link, _ in BROKEN))
        code, output = self.check("GOOD.md", "BROKEN.md", "docs/guide.md")
        self.assertNotEqual(code, 0, output)
        reported = [line for line in output.splitlines() if "Cannot find" in line]
        self.assertEqual(len(reported), len(BROKEN), output)
        for line, _, message in BROKEN:
            self.assertTrue(any(r.strip().startswith("%d:" % line) and message in r
                                for r in reported), "%s at line %d in:\n%s" % (message, line,
                                                                              output))


if __name__ == "__main__":
    if len(sys.argv) > 1:
        SCRIPT = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
