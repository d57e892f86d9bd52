#!/usr/bin/env python3
"""scripts/bootstrap.sh against a Debian mirror that fails as mirrors do.

    bootstrap_test.py [SCRIPT]

Stand-ins for apt-get, dpkg-query, dpkg, id, locale and locale-gen come
first on PATH. Each logs how it was called; apt-get fails as it does when a
mirror is mid-sync (an index of the wrong size on every update, or on the
first two; an install that cannot be resolved unless the installed release
is pinned, or never). The tests check the script's exit status, what it
told the person and which commands it ran.
"""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SCRIPT = os.path.join(os.path.dirname(HERE), "scripts", "bootstrap.sh")

FAILED_INDEX = ("http://deb.debian.org/debian-security/dists/bookworm-security/main/"
                "binary-i386/Packages.xz")

# Each stand-in appends "NAME ARGS" to $FAKE_STATE/calls.
STAND_INS = {
    "apt-get": r"""
case " $* " in
    *" update "*)
        count=$(cat "$FAKE_STATE/updates" 2>/dev/null || echo 0)
        count=$((count + 1))
        echo "$count" >"$FAKE_STATE/updates"
        if [ "$FAKE_UPDATE" = fail-index ] ||
            { [ "$FAKE_UPDATE" = fail-twice ] && [ "$count" -le 2 ]; }; then
            echo "E: Failed to fetch %(index)s  File has unexpected size (374820 != 376004). Mirror sync in progress?" >&2
            echo "   Hashes of expected file:" >&2
            echo "    - Filesize:376004 [weak]" >&2
            echo "E: Some index files failed to download. They have been ignored, or old ones used instead." >&2
            exit 100
        fi
        exit 0 ;;
    *" install "*)
        case "$FAKE_INSTALL" in
            ok) exit 0 ;;
            needs-pin) case " $* " in *" -t bookworm "*) exit 0 ;; esac ;;
        esac
        echo "E: Unable to correct problems, you have held broken packages." >&2
        exit 100 ;;
esac
echo "apt-get stand-in: unexpected call: $*" >&2
exit 2
""" % {"index": FAILED_INDEX},
    "dpkg-query": r"""
package=$(eval echo "\${$#}")
for name in $FAKE_MISSING; do
    [ "$name" = "$package" ] && { printf 'un '; exit 0; }
done
printf 'ii '
""",
    "dpkg": r"""
case "$1" in
    --print-foreign-architectures) [ -n "$FAKE_FOREIGN" ] && echo "$FAKE_FOREIGN" ;;
esac
exit 0
""",
    "id": r"""
[ "$1" = -u ] && echo 0
""",
    "locale": r"""
printf 'C\nC.utf8\nPOSIX\n'
[ -e "$FAKE_STATE/ja-made" ] && echo ja_JP.utf8
exit 0
""",
    "locale-gen": r"""
[ "$FAKE_LOCALE_GEN" = broken ] && exit 0
grep -q '^ja_JP.UTF-8 UTF-8$' "$BOOTSTRAP_LOCALE_GEN" && touch "$FAKE_STATE/ja-made"
exit 0
""",
}

LOCALE_GEN_LINES = "# en_US.UTF-8 UTF-8\n# ja_JP.EUC-JP EUC-JP\n# ja_JP.UTF-8 UTF-8\n"


class Bootstrap(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="bootstrap-test-")
        self.addCleanup(shutil.rmtree, self.work)
        self.bin = os.path.join(self.work, "bin")
        self.state = os.path.join(self.work, "state")
        os.mkdir(self.bin)
        os.mkdir(self.state)
        for name, body in STAND_INS.items():
            path = os.path.join(self.bin, name)
            with open(path, "w") as out:
                out.write('#!/bin/sh\necho "%s $*" >>"$FAKE_STATE/calls"\n%s' % (name, body))
            os.chmod(path, 0o755)
        self.os_release = os.path.join(self.work, "os-release")
        with open(self.os_release, "w") as out:
            out.write('PRETTY_NAME="Debian GNU/Linux 12 (bookworm)"\nVERSION_ID="12"\n'
                      'VERSION_CODENAME=bookworm\nID=debian\n')
        self.locale_gen = os.path.join(self.work, "locale.gen")
        with open(self.locale_gen, "w") as out:
            out.write(LOCALE_GEN_LINES)

    def bootstrap(self, missing="", update="ok", install="ok", foreign="i386",
                  japanese_locale=True, locale_gen="ok"):
        if japanese_locale:
            open(os.path.join(self.state, "ja-made"), "w").close()
        environment = dict(os.environ, PATH=self.bin + os.pathsep + os.environ["PATH"],
                           FAKE_STATE=self.state, FAKE_MISSING=missing, FAKE_UPDATE=update,
                           FAKE_INSTALL=install, FAKE_FOREIGN=foreign, FAKE_LOCALE_GEN=locale_gen,
                           BOOTSTRAP_RETRY_PAUSE="0", BOOTSTRAP_OS_RELEASE=self.os_release,
                           BOOTSTRAP_LOCALE_GEN=self.locale_gen, LC_ALL="C")
        done = subprocess.run(["sh", SCRIPT], stdin=subprocess.DEVNULL, capture_output=True,
                              text=True, env=environment, timeout=60)
        self.output = done.stdout + done.stderr
        return done.returncode

    def calls(self, name):
        """The arguments of each call of the stand-in NAME, in order."""
        try:
            with open(os.path.join(self.state, "calls")) as log:
                lines = log.read().splitlines()
        except FileNotFoundError:
            return []
        return [line[len(name) + 1:] for line in lines if line.split(" ", 1)[0] == name]

    def updates(self):
        return [c for c in self.calls("apt-get") if " update" in c]

    def installs(self):
        return [c for c in self.calls("apt-get") if " install " in c]

    def test_nothing_to_do_runs_no_apt_and_says_nothing(self):
        self.assertEqual(self.bootstrap(), 0, self.output)
        self.assertEqual(self.output, "")
        self.assertEqual(self.calls("apt-get"), [])
        self.assertEqual(self.calls("locale-gen"), [])
        self.assertEqual(self.calls("id"), [])

    def test_missing_packages_are_installed_with_i386_added(self):
        self.assertEqual(self.bootstrap(missing="wine32:i386 locales", foreign=""), 0,
                         self.output)
        self.assertIn("bootstrap: installing wine32:i386 locales", self.output)
        self.assertEqual(self.calls("dpkg")[-1], "--add-architecture i386")
        self.assertEqual(len(self.updates()), 1)
        self.assertEqual(len(self.installs()), 1)
        self.assertTrue(self.installs()[0].endswith(
            "install -y -qq --no-install-recommends wine32:i386 locales"), self.installs())

    def test_an_index_that_always_fails_is_named_and_the_install_goes_on(self):
        self.assertEqual(self.bootstrap(missing="wine", update="fail-index"), 0, self.output)
        self.assertEqual(len(self.updates()), 3)
        self.assertEqual(self.output.count("apt-get update failed (attempt"), 2)
        self.assertIn("trying again in 0 s", self.output)
        self.assertIn("these indexes could not be fetched", self.output)
        self.assertIn("\n  " + FAILED_INDEX + "\n", self.output)
        self.assertEqual(len(self.installs()), 1)
        self.assertNotIn("-t bookworm", self.installs()[0])

    def test_an_update_that_fails_twice_then_succeeds(self):
        self.assertEqual(self.bootstrap(missing="wine", update="fail-twice"), 0, self.output)
        self.assertEqual(len(self.updates()), 3)
        self.assertIn("(attempt 2 of 3)", self.output)
        self.assertNotIn("could not be fetched", self.output)
        self.assertEqual(len(self.installs()), 1)

    def test_an_unresolvable_install_is_tried_again_with_the_release_pinned(self):
        self.assertEqual(self.bootstrap(missing="wine32:i386", update="fail-index",
                                        install="needs-pin"), 0, self.output)
        installs = self.installs()
        self.assertEqual(len(installs), 2, installs)
        self.assertNotIn("-t ", installs[0])
        self.assertIn(" -t bookworm wine32:i386", installs[1])
        self.assertIn("trying again with the installed release pinned (-t bookworm)",
                      self.output)
        self.assertNotIn("could not install", self.output)

    def test_an_install_that_fails_pinned_too_fails_and_says_what_to_try(self):
        self.assertEqual(self.bootstrap(missing="wine32:i386", install="fail"), 1, self.output)
        self.assertEqual(len(self.installs()), 2)
        self.assertIn("bootstrap: could not install: wine32:i386", self.output)
        self.assertIn("run scripts/bootstrap.sh again", self.output)
        self.assertIn("'apt-get install -t bookworm --no-install-recommends wine32:i386'",
                      self.output)

    def test_the_japanese_locale_is_generated_once(self):
        self.assertEqual(self.bootstrap(japanese_locale=False), 0, self.output)
        self.assertEqual(self.calls("apt-get"), [])
        self.assertEqual(len(self.calls("locale-gen")), 1)
        with open(self.locale_gen) as text:
            self.assertEqual(text.read(), LOCALE_GEN_LINES.replace("# ja_JP.UTF-8", "ja_JP.UTF-8"))
        self.assertEqual(self.bootstrap(), 0, self.output)
        self.assertEqual(len(self.calls("locale-gen")), 1)

    def test_a_list_without_the_locale_gets_its_line_once(self):
        with open(self.locale_gen, "w") as out:
            out.write("en_US.UTF-8 UTF-8\n")
        self.assertEqual(self.bootstrap(japanese_locale=False), 0, self.output)
        # Made but reported missing again: the line is not added twice.
        os.remove(os.path.join(self.state, "ja-made"))
        self.assertEqual(self.bootstrap(japanese_locale=False), 0, self.output)
        with open(self.locale_gen) as text:
            self.assertEqual(text.read(), "en_US.UTF-8 UTF-8\nja_JP.UTF-8 UTF-8\n")
        self.assertEqual(len(self.calls("locale-gen")), 2)

    def test_a_locale_gen_that_makes_nothing_fails(self):
        self.assertEqual(self.bootstrap(japanese_locale=False, locale_gen="broken"), 1,
                         self.output)
        self.assertIn("locale-gen did not make ja_JP.UTF-8", self.output)


if __name__ == "__main__":
    if len(sys.argv) > 1:
        SCRIPT = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
