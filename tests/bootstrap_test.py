#!/usr/bin/env python3
"""scripts/bootstrap.sh against a Debian mirror that fails as mirrors do.

    bootstrap_test.py [SCRIPT]

Stand-ins for apt-get, dpkg-query, dpkg, id, locale, locale-gen and npm come
first on PATH. Each logs how it was called; apt-get fails as it does when a
mirror is mid-sync (an index of the wrong size on every update, or on the
first two; an install that cannot be resolved unless the installed release
is pinned, or never; a backports suite that cannot be reached). npm's
stand-in installs the link check's packages or fails. A stand-in
of scripts/wine-road.sh answers for a machine that runs 32-bit code or not,
whose kernel gives a private binfmt table or not. The tests check the
script's exit status, what it told the person, which commands it ran and
the apt configuration it wrote.
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
    *" install "*"qemu-user/bookworm-backports"*)
        [ "$FAKE_BACKPORTS" = unreachable ] && {
            echo "E: Release 'bookworm-backports' for 'qemu-user' was not found" >&2
            exit 100
        }
        touch "$FAKE_STATE/qemu-installed"
        exit 0 ;;
    *" install "*)
        case "$FAKE_INSTALL" in
            ok) exit 0 ;;
            needs-pin) case " $* " in *" -t bookworm "*) exit 0 ;; esac ;;
        esac
        echo "E: Unable to correct problems, you have held broken packages." >&2
        exit 100 ;;
    *" indextargets "*)
        echo "bookworm http://mirror.example/debian/"
        echo "bookworm-security http://mirror.example/debian-security/"
        [ -n "$FAKE_HAS_BACKPORTS" ] && echo "bookworm-backports http://mirror.example/debian/"
        exit 0 ;;
esac
echo "apt-get stand-in: unexpected call: $*" >&2
exit 2
""" % {"index": FAILED_INDEX},
    "dpkg-query": r"""
package=$(eval echo "\${$#}")
if [ "$package" = qemu-user ]; then
    if [ -e "$FAKE_STATE/qemu-installed" ]; then
        printf 'ii 1:10.0.2+ds-2+deb13u1~bpo12+1'
    elif [ -n "$FAKE_QEMU" ]; then
        printf 'ii %s' "$FAKE_QEMU"
    else
        printf 'un '
    fi
    exit 0
fi
for name in $FAKE_MISSING; do
    [ "$name" = "$package" ] && { printf 'un '; exit 0; }
done
printf 'ii '
""",
    "dpkg": r"""
case "$1" in
    --print-foreign-architectures) [ -n "$FAKE_FOREIGN" ] && echo "$FAKE_FOREIGN" ;;
    --compare-versions) exec /usr/bin/dpkg "$@" ;;
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
    # npm ci makes the prefix's node_modules, or fails as it does when the
    # registry cannot be reached.
    "npm": r"""
[ "$FAKE_NPM" = fail ] && { echo "npm error code EAI_AGAIN" >&2; exit 1; }
while [ $# -gt 0 ]; do
    [ "$1" = --prefix ] && mkdir -p "$2/node_modules"
    shift
done
exit 0
""",
}

# scripts/wine-road.sh's stand-in: FAKE_PROBE is what the i386 probe found
# (native or none), FAKE_TABLE whether the kernel gives a private table
# (private or none); a registered machine-wide entry counts from then on.
# FAKE_REGISTER=fail: no entry can be registered; FAKE_DESCRIBE=fail: no road.
ROAD = r"""#!/bin/sh
echo "wine-road $*" >>"$FAKE_STATE/calls"
table() {
    if [ "$FAKE_TABLE" = private ]; then echo private
    elif [ -e "$FAKE_STATE/registered" ]; then echo machine-wide
    else echo none; fi
}
case "$1" in
    probe) echo "$FAKE_PROBE" ;;
    table) table ;;
    register-machine-wide)
        [ "$FAKE_REGISTER" = fail ] && exit 1
        touch "$FAKE_STATE/registered" ;;
    describe)
        [ "$FAKE_DESCRIBE" = fail ] && { echo "wine-road: no road" >&2; exit 1; }
        if [ "$FAKE_PROBE" = native ]; then echo "runs natively"; exit 0; fi
        [ "$(table)" != none ] && [ -e "$FAKE_STATE/qemu-installed" -o -n "$FAKE_QEMU" ] &&
            { echo "runs under qemu ($(table))"; exit 0; }
        echo "wine-road: no road" >&2
        exit 1 ;;
esac
"""

LOCALE_GEN_LINES = "# en_US.UTF-8 UTF-8\n# ja_JP.EUC-JP EUC-JP\n# ja_JP.UTF-8 UTF-8\n"
DOC_TOOLS_LOCK = '{"lockfileVersion": 3, "packages": {}}\n'


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
        self.road = os.path.join(self.work, "wine-road.sh")
        with open(self.road, "w") as out:
            out.write(ROAD)
        os.chmod(self.road, 0o755)
        self.apt = os.path.join(self.work, "apt")
        self.locale_gen = os.path.join(self.work, "locale.gen")
        with open(self.locale_gen, "w") as out:
            out.write(LOCALE_GEN_LINES)
        # The link check's packages, installed from the lock as it stands.
        self.doc_tools = os.path.join(self.work, "doc-links")
        os.makedirs(os.path.join(self.doc_tools, "node_modules"))
        for name in ("package-lock.json", "node_modules/.installed-package-lock.json"):
            with open(os.path.join(self.doc_tools, name), "w") as out:
                out.write(DOC_TOOLS_LOCK)

    def bootstrap(self, missing="", update="ok", install="ok", foreign="i386",
                  japanese_locale=True, locale_gen="ok", qemu="1:10.0.2+ds-2+deb13u1~bpo12+1",
                  backports="ok", has_backports=False, probe="native", table="private",
                  register="ok", describe="ok", npm="ok"):
        if japanese_locale:
            open(os.path.join(self.state, "ja-made"), "w").close()
        environment = dict(os.environ, PATH=self.bin + os.pathsep + os.environ["PATH"],
                           FAKE_STATE=self.state, FAKE_MISSING=missing, FAKE_UPDATE=update,
                           FAKE_INSTALL=install, FAKE_FOREIGN=foreign, FAKE_LOCALE_GEN=locale_gen,
                           FAKE_QEMU=qemu, FAKE_BACKPORTS=backports,
                           FAKE_HAS_BACKPORTS="1" if has_backports else "", FAKE_PROBE=probe,
                           FAKE_TABLE=table, FAKE_REGISTER=register, FAKE_DESCRIBE=describe,
                           FAKE_NPM=npm, BOOTSTRAP_DOC_TOOLS=self.doc_tools,
                           BOOTSTRAP_RETRY_PAUSE="0",
                           BOOTSTRAP_OS_RELEASE=self.os_release,
                           BOOTSTRAP_LOCALE_GEN=self.locale_gen, BOOTSTRAP_APT_DIR=self.apt,
                           BOOTSTRAP_WINE_ROAD=self.road, LC_ALL="C")
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

    def test_nothing_to_do_runs_no_apt_and_says_only_the_road(self):
        self.assertEqual(self.bootstrap(), 0, self.output)
        self.assertEqual(self.output, "bootstrap: runs natively\n")
        self.assertEqual(self.calls("apt-get"), [])
        self.assertEqual(self.calls("locale-gen"), [])
        self.assertEqual(self.calls("id"), [])
        self.assertEqual(self.calls("npm"), [])

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

    def test_the_link_checks_packages_come_from_the_lock_and_again_when_it_changes(self):
        os.remove(os.path.join(self.doc_tools, "node_modules", ".installed-package-lock.json"))
        self.assertEqual(self.bootstrap(), 0, self.output)
        install = ["ci --prefix %s --no-audit --no-fund --loglevel=error" % self.doc_tools]
        self.assertEqual(self.calls("npm"), install)
        self.assertEqual(self.calls("apt-get"), [])
        self.assertTrue(self.output.endswith("bootstrap: runs natively\n"), self.output)
        self.assertEqual(self.bootstrap(), 0, self.output)
        self.assertEqual(self.calls("npm"), install)
        with open(os.path.join(self.doc_tools, "package-lock.json"), "a") as lock:
            lock.write("\n")
        self.assertEqual(self.bootstrap(), 0, self.output)
        self.assertEqual(self.calls("npm"), install * 2)

    def test_a_failed_npm_install_fails_and_is_tried_again_next_time(self):
        os.remove(os.path.join(self.doc_tools, "node_modules", ".installed-package-lock.json"))
        self.assertEqual(self.bootstrap(npm="fail"), 1, self.output)
        self.assertIn("npm ci could not install the packages of", self.output)
        self.assertNotIn("runs natively", self.output)
        self.assertEqual(self.bootstrap(), 0, self.output)
        self.assertEqual(len(self.calls("npm")), 2)

    def test_a_locale_gen_that_makes_nothing_fails(self):
        self.assertEqual(self.bootstrap(japanese_locale=False, locale_gen="broken"), 1,
                         self.output)
        self.assertIn("locale-gen did not make ja_JP.UTF-8", self.output)


class Roads(Bootstrap):
    """qemu-user from the backports suite, and the road the machine takes."""

    def files(self):
        found = {}
        for folder, _, names in os.walk(self.apt):
            for name in names:
                with open(os.path.join(folder, name)) as text:
                    found[os.path.relpath(os.path.join(folder, name), self.apt)] = text.read()
        return found

    def qemu_installs(self):
        return [c for c in self.installs() if "qemu-user" in c]

    def test_qemu_comes_from_backports_alone_when_missing_or_too_old(self):
        for old in ("", "1:7.2+dfsg-7+deb12u18+b3"):
            with self.subTest(installed=old):
                self.setUp()
                self.assertEqual(self.bootstrap(qemu=old), 0, self.output)
                self.assertEqual(len(self.updates()), 1)
                self.assertEqual(len(self.qemu_installs()), 1)
                self.assertTrue(self.qemu_installs()[0].endswith(
                    "--no-install-recommends qemu-user/bookworm-backports"), self.installs())
                files = self.files()
                source = files["sources.list.d/pcx-backports.sources"]
                self.assertIn("URIs: http://mirror.example/debian/\n", source)
                self.assertIn("Suites: bookworm-backports\n", source)
                # Everything else of the suite never, qemu-user as any release.
                self.assertIn("Package: *\nPin: release n=bookworm-backports\nPin-Priority: -1\n",
                              files["preferences.d/pcx-backports"])
                self.assertIn("Package: qemu-user\nPin: release n=bookworm-backports\n"
                              "Pin-Priority: 500\n", files["preferences.d/pcx-backports"])
                self.assertTrue(self.output.endswith("bootstrap: runs natively\n"), self.output)
                # Once in place, nothing more.
                calls = len(self.calls("apt-get"))
                self.assertEqual(self.bootstrap(qemu=old), 0, self.output)
                self.assertEqual(len(self.calls("apt-get")), calls)

    def test_a_backports_source_of_the_machine_is_kept_and_one_update_serves_all(self):
        self.assertEqual(self.bootstrap(qemu="", missing="wine", has_backports=True), 0,
                         self.output)
        self.assertNotIn("sources.list.d/pcx-backports.sources", self.files())
        self.assertIn("preferences.d/pcx-backports", self.files())
        self.assertEqual(len(self.updates()), 1)
        self.assertEqual(len(self.installs()), 2)

    def test_unreachable_backports_warn_where_wine_runs_natively(self):
        self.assertEqual(self.bootstrap(qemu="", backports="unreachable"), 0, self.output)
        self.assertIn("warning: qemu-user 1:10 or later could not be installed", self.output)
        self.assertIn("check of the emulated road will fail", self.output)

    def test_unreachable_backports_fail_where_no_32_bit_code_runs(self):
        self.assertEqual(self.bootstrap(qemu="", backports="unreachable", probe="none"), 1,
                         self.output)
        self.assertIn("this machine runs no 32-bit x86 code, and Wine needs qemu-user",
                      self.output)
        self.assertIn("run scripts/bootstrap.sh again", self.output)

    def test_a_machine_wide_entry_only_without_32_bit_code_or_a_private_table(self):
        self.assertEqual(self.bootstrap(probe="none", table="private"), 0, self.output)
        self.assertEqual(self.output, "bootstrap: runs under qemu (private)\n")
        self.assertNotIn("register-machine-wide", self.calls("wine-road"))
        self.assertEqual(self.bootstrap(probe="native", table="none"), 0, self.output)
        self.assertNotIn("register-machine-wide", self.calls("wine-road"))
        self.assertEqual(self.bootstrap(probe="none", table="none"), 0, self.output)
        self.assertIn("register-machine-wide", self.calls("wine-road"))
        self.assertIn("registering qemu-i386 machine-wide for every i386 program", self.output)
        self.assertIn("bootstrap: runs under qemu (machine-wide)\n", self.output)

    def test_no_road_fails_saying_so(self):
        self.assertEqual(self.bootstrap(probe="none", table="none", register="fail"), 1,
                         self.output)
        self.assertIn("could not register qemu-i386", self.output)
        self.assertEqual(self.bootstrap(describe="fail"), 1, self.output)
        self.assertEqual(self.output, "bootstrap: make demo and make test cannot run the Windows "
                                      "build's programs here: no road\n")


if __name__ == "__main__":
    if len(sys.argv) > 1:
        SCRIPT = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
