"""The launcher run in a staged site: usage, start-up checks, the real server, restart
rules and installation of a new server program (with a stand-in server script), and
signals passed on to the server."""

import os
import shutil
import signal
import unittest

import qmstest
from qmstest import BUILD_ID, LAUNCHER_TITLE, SERVER_TITLE, SiteTestCase

SHUT_DOWN = "QMS has been shut down ..."
TOO_MANY = "QMS has been shut down; too many frequent restarts ..."
CALLING = 'Calling server binary "binaries/qms32srv" ...'
RETURNED = 'Returned from server binary "binaries/qms32srv" ...'
CHECKING = "Checking for new server binary ..."
BACKUP = '- Backup of "binaries/qms32srv" saved as "binaries/qms32old".'
COPIED = '- Copied new file "binaries/qms32upd" to "binaries/qms32srv".'
DELETED = '- Deleted update file "binaries/qms32upd".'

# A stand-in for the server. Each call appends "version|argument count|arguments" to
# standin.calls (in the working directory) and then does what the word of standin.codes
# with the call's number says (the last word repeats):
#   a number  exit with that status
#   segv      die by SIGSEGV
#   wait      wait for SIGTERM or SIGHUP, note it in standin.signals, exit 0
#   drop      drop binaries/standin.next in place as binaries/qms32upd, exit 1
STANDIN = r"""#!/bin/sh
# stand-in server, version @VERSION@
echo "@VERSION@|$#|$*" >> standin.calls
n=$(($(wc -l < standin.calls)))
word=$(sed -n "${n}p" standin.codes)
[ -n "$word" ] || word=$(tail -n 1 standin.codes)
case "$word" in
  segv)
    ulimit -c 0
    kill -SEGV $$
    exit 97 ;;
  wait)
    sleeper=
    trap 'kill $sleeper 2>/dev/null; echo TERM >> standin.signals; exit 0' TERM
    trap 'kill $sleeper 2>/dev/null; echo HUP >> standin.signals; exit 0' HUP
    echo ready > standin.ready
    while :; do
      sleep 1 </dev/null >/dev/null 2>&1 &
      sleeper=$!
      wait $sleeper
    done ;;
  drop)
    cp binaries/standin.next binaries/qms32upd
    exit 1 ;;
  *)
    exit "$word" ;;
esac
"""


def standin(version):
    return STANDIN.replace("@VERSION@", version)


class LauncherTestCase(SiteTestCase):

    def assertLauncherBanner(self, result):
        lines = result.lines
        self.assertGreaterEqual(len(lines), 4, result.describe())
        self.assertEqual(lines[0], "-" * 78, result.describe())
        self.assertTrue(lines[1].startswith(LAUNCHER_TITLE), result.describe())
        # The maker's notice is right-aligned in a field of 53 characters.
        self.assertGreaterEqual(len(lines[1]), len(LAUNCHER_TITLE) + 53, result.describe())
        self.assertNotEqual(lines[1][len(LAUNCHER_TITLE):].strip(), "", result.describe())
        self.assertTrue(lines[2].startswith(BUILD_ID), result.describe())
        self.assertGreaterEqual(len(lines[2]), len(BUILD_ID) + 44, result.describe())
        self.assertEqual(lines[3], "", result.describe())

    def assertLastLine(self, result, line):
        texts = [l for l in result.lines if l]
        self.assertTrue(texts and texts[-1] == line,
                        "last line is not %r in %s" % (line, result.describe()))

    def use_standin(self, codes, version="A"):
        """Replaces the server program by the stand-in script with the given list of
        actions."""
        self.site.write("binaries/qms32srv", standin(version), mode=0o755)
        self.site.write("standin.codes", "".join("%s\n" % c for c in codes))

    def calls(self):
        """(version, argument count, arguments) of every call of a stand-in."""
        if not self.site.exists("standin.calls"):
            return []
        out = []
        for line in self.site.read("standin.calls").decode("latin-1").splitlines():
            version, count, args = line.split("|", 2)
            out.append((version, int(count), args))
        return out

    def assertStampArguments(self, calls):
        for version, count, args in calls:
            self.assertEqual(count, 1, calls)
            self.assertIsNotNone(qmstest.parse_launcher_stamp(args),
                                 "bad proof argument %r" % args)


class UsageAndChecksTest(LauncherTestCase):

    def test_usage(self):
        for switch in ("-h", "-?", "/?", "/h"):
            with self.subTest(switch):
                self.site.write("tmp/console.tmp", b"\xff" * 300)
                result = self.site.run_launcher(switch)
                self.assertStatus(result, 0)
                self.assertLauncherBanner(result)
                self.assertCrLf(result)
                self.assertLineOrder(result, "Usage:", "  qms32", "  qms32 [-?|-h]")
                self.assertNotIn(CALLING, result.lines)
                self.assertFalse(self.site.exists("config"))
                # The console record file was emptied at start and holds our lines only.
                self.assertEqual([r[2] for r in self.site.console_records()], result.lines)

    def test_started_from_another_directory_halts_10000(self):
        elsewhere = os.path.join(self.site.root, "elsewhere")
        os.mkdir(elsewhere)
        result = self.site.run([self.site.path("qms32")], cwd=elsewhere)
        self.assertStatus(result, 100)
        self.assertLauncherBanner(result)
        self.assertCrLf(result)
        self.assertLine(result, "qmsHalt #10000")
        self.assertEqual(self.lines_after(result, "qmsHalt #10000"),
                         '- QMS must be executed from its own directory: "%s"'
                         % os.path.realpath(self.site.dir))
        self.assertNotIn(CALLING, result.lines)
        # This halt is shown, not logged.
        self.assertEqual(os.listdir(elsewhere), [])
        self.assertFalse(self.site.exists("log", "qms32.log"))

    def test_missing_rexx_library_halts_10002(self):
        result = self.site.run_launcher(
            env=self.site.env(QMS_REXX_LIBRARY="/nonexistent/libx.so"))
        self.assertStatus(result, 102)
        self.assertLauncherBanner(result)
        self.assertCrLf(result)
        self.assertLine(result, "qmsHalt #10002")
        self.assertTrue(self.lines_after(result, "qmsHalt #10002").startswith(
            '- QMS cannot find required Rexx file: "'), result.describe())
        self.assertNotIn(CALLING, result.lines)
        # Logged, after the banner that the launcher writes to the log only.
        texts = self.site.log_texts()
        self.assertEqual(texts[0], "-" * 78)
        self.assertTrue(texts[1].startswith(LAUNCHER_TITLE))
        self.assertTrue(texts[2].startswith(BUILD_ID))
        self.assertIn("qmsHalt #10002", texts)


class RealServerTest(LauncherTestCase):

    def test_runs_the_server_once(self):
        # The server runs until the operator stops it, here by its command file.
        result = self.site.run_launcher(stop="file")
        self.assertStatus(result, 0)
        self.assertLauncherBanner(result)
        self.assertCrLf(result)
        self.assertLineOrder(result, CHECKING, CALLING, "-" * 78, SERVER_TITLE, BUILD_ID,
                             "Starting QMS Server (", qmstest.RUNNING, "Stopping QMS Server (",
                             RETURNED, SHUT_DOWN)
        self.assertLastLine(result, SHUT_DOWN)
        self.assertNoLineStartsWith(result, "qmsHalt #")
        self.assertEqual(result.lines.count(CALLING), 1)
        # The server set up the site on its first start.
        self.assertTrue(os.path.isfile(self.site.path("config", "qms.cfg")))
        self.assertIn(SHUT_DOWN, self.site.log_texts())
        # Launcher and server both wrote console records.
        self.assertConsoleRecords([r[2] for r in self.site.console_records()], result.lines)

    def test_installs_new_server_program(self):
        # The installed program is a stand-in; the update is the real server.
        self.use_standin(["3"], version="old")
        shutil.copyfile(qmstest.SERVER_BINARY, self.site.path("binaries", "qms32upd"))
        os.chmod(self.site.path("binaries", "qms32upd"), 0o755)
        result = self.site.run_launcher(stop="signal")
        self.assertStatus(result, 0)
        self.assertLineOrder(result, CHECKING, BACKUP, COPIED, DELETED, CALLING, SERVER_TITLE,
                             qmstest.RUNNING, "Stopping QMS Server (", RETURNED, SHUT_DOWN)
        self.assertEqual(self.calls(), [])
        self.assertFalse(self.site.exists("binaries", "qms32upd"))
        self.assertEqual(self.site.read("binaries", "qms32old"), standin("old").encode())
        with open(qmstest.SERVER_BINARY, "rb") as f:
            self.assertEqual(self.site.read("binaries", "qms32srv"), f.read())
        self.assertEqual(self.site.mode("binaries/qms32srv"), 0o755)


class RestartRulesTest(LauncherTestCase):

    def run_with(self, codes):
        self.use_standin(codes)
        result = self.site.run_launcher(timeout=120)
        self.assertStatus(result, 0)
        self.assertLauncherBanner(result)
        calls = self.calls()
        self.assertStampArguments(calls)
        self.assertEqual(result.lines.count(CALLING), len(calls), result.describe())
        self.assertEqual(result.lines.count(RETURNED), len(calls), result.describe())
        return result, calls

    def test_restart_then_stop(self):
        result, calls = self.run_with(["1", "0"])
        self.assertEqual(len(calls), 2, result.describe())
        self.assertEqual(result.lines.count("qmsHalt #1"), 1, result.describe())
        self.assertLastLine(result, SHUT_DOWN)

    def test_configuration_halt_is_not_restarted(self):
        for status, code in ((110, 10010), (103, 10003), (104, 10004), (199, 10099)):
            with self.subTest(status=status):
                if self.site.exists("standin.calls"):
                    os.remove(self.site.path("standin.calls"))
                result, calls = self.run_with([str(status), "0"])
                self.assertEqual(len(calls), 1, result.describe())
                self.assertLine(result, "qmsHalt #%d" % code)
                self.assertLastLine(result, SHUT_DOWN)

    def test_socket_halt_is_restarted(self):
        result, calls = self.run_with(["99", "0"])
        self.assertEqual(len(calls), 2, result.describe())
        self.assertLine(result, "qmsHalt #10100")
        self.assertLastLine(result, SHUT_DOWN)

    def test_too_many_quick_restarts(self):
        result, calls = self.run_with(["1"])
        self.assertEqual(len(calls), 5, result.describe())
        self.assertEqual(result.lines.count("qmsHalt #1"), 5, result.describe())
        self.assertLastLine(result, TOO_MANY)
        self.assertIn(TOO_MANY, self.site.log_texts())

    def test_crashed_server_is_restarted(self):
        result, calls = self.run_with(["segv", "0"])
        self.assertEqual(len(calls), 2, result.describe())
        # The stand-in really died by the signal rather than reaching its own exit.
        self.assertNotIn("qmsHalt #97", result.lines)
        self.assertEqual(len([l for l in result.lines if l.startswith("qmsHalt #")]), 1,
                         result.describe())
        self.assertLastLine(result, SHUT_DOWN)

    def test_update_dropped_while_running_is_installed_at_restart(self):
        self.site.write("binaries/standin.next", standin("B"), mode=0o755)
        result, calls = self.run_with(["drop", "0"])
        self.assertEqual([c[0] for c in calls], ["A", "B"], result.describe())
        self.assertLineOrder(result, CALLING, "qmsHalt #1", CHECKING, BACKUP, COPIED, DELETED,
                             CALLING, SHUT_DOWN)
        self.assertEqual(result.lines.count(COPIED), 1, result.describe())
        self.assertFalse(self.site.exists("binaries", "qms32upd"))
        self.assertEqual(self.site.read("binaries", "qms32old"), standin("A").encode())
        self.assertEqual(self.site.read("binaries", "qms32srv"), standin("B").encode())
        self.assertEqual(self.site.mode("binaries/qms32srv"), 0o755)

    def test_update_installed_before_first_run(self):
        self.site.write("binaries/qms32upd", standin("B"), mode=0o755)
        result, calls = self.run_with(["0"])
        self.assertEqual([c[0] for c in calls], ["B"], result.describe())
        self.assertLineOrder(result, CHECKING, BACKUP, COPIED, DELETED, CALLING, SHUT_DOWN)
        self.assertFalse(self.site.exists("binaries", "qms32upd"))
        self.assertEqual(self.site.read("binaries", "qms32old"), standin("A").encode())
        self.assertEqual(self.site.read("binaries", "qms32srv"), standin("B").encode())
        self.assertEqual(self.site.mode("binaries/qms32srv"), 0o755)
        self.assertIn(COPIED, self.site.log_texts())


class SignalTest(LauncherTestCase):

    def test_stop_signal_is_passed_on_and_not_restarted(self):
        for sig, name in ((signal.SIGTERM, "TERM"), (signal.SIGHUP, "HUP")):
            with self.subTest(name):
                for f in ("standin.calls", "standin.ready", "standin.signals"):
                    if self.site.exists(f):
                        os.remove(self.site.path(f))
                self.use_standin(["wait"])
                launcher = self.site.start(["./qms32"])
                qmstest.wait_for(lambda: self.site.exists("standin.ready") or
                                 launcher.poll() is not None, what="the stand-in server")
                self.assertIsNone(launcher.poll(), launcher.output().decode("latin-1"))
                launcher.signal(sig)
                result = launcher.wait()
                self.assertStatus(result, 0)
                self.assertEqual(self.site.read("standin.signals").decode().split(), [name])
                self.assertEqual(len(self.calls()), 1, result.describe())
                self.assertEqual(result.lines.count(CALLING), 1, result.describe())
                self.assertNoLineStartsWith(result, "qmsHalt #")
                self.assertLastLine(result, SHUT_DOWN)


if __name__ == "__main__":
    unittest.main()
