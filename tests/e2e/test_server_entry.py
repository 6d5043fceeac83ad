"""The server program run by hand in a staged site: launcher proof, standalone start,
configuration gate, setup check and upgrade of the shipped defaults, log archiving, command
files and the console record file."""

import datetime
import os
import re
import shutil
import unittest
import zipfile

import qmstest
from qmstest import BUILD_ID, PRODUCT_VERSION, SERVER_TITLE, SiteTestCase

HALT_10003_TEXT = "- QMS component cannot be run directly, has to be called from: \"qms32\""
HALT_10010_TEXT = "- QMS is unable to start with this config, enable config check and retry"
HALT_10011_TEXT = "- QMS is unable to upgrade from this version, fresh install required"
FILE_MODIFIED = "- FILE MODIFIED: Automatic file upgrade not performed, update manually:"
FILE_DELETED = "- FILE DELETED: Automatic file upgrade not performed, update manually:"
STARTING_RE = re.compile(r"^Starting QMS Server \(\d+\) \.\.\.$")
STOPPING_RE = re.compile(r"^Stopping QMS Server \(\d+\) \.\.\.$")
ARCHIVING_RE = re.compile(r'^Archiving log files into "(\d{8}-\d{6})\.zip" \.\.\.$')

# A main configuration without the "UPGRADE" section (write_main_config adds "ADMIN").
CONFIG_WITHOUT_UPGRADE = (
    "; written by the test\r\n"
    "[GLOBAL]\r\n"
    "DisableConfigCheck=0\r\n"
    "DisableConsoleStart=1\r\n"
    "DisableLogArchiving=1\r\n"
)
CONFIG_WITH_UPGRADE = CONFIG_WITHOUT_UPGRADE + (
    "[UPGRADE]\r\n"
    "CurrentVersion=%s\r\n"
    "CurrentBuild=%s\r\n" % (PRODUCT_VERSION, BUILD_ID))


class ServerTestCase(SiteTestCase):

    def assertServerBanner(self, result):
        """The three banner lines and the empty line open the output."""
        lines = result.lines
        self.assertGreaterEqual(len(lines), 4, result.describe())
        self.assertEqual(lines[0], "-" * 78, result.describe())
        self.assertTrue(lines[1].startswith(SERVER_TITLE), result.describe())
        # The maker's notice is right-aligned in a field of 46 characters.
        self.assertGreaterEqual(len(lines[1]), len(SERVER_TITLE) + 46, result.describe())
        self.assertNotEqual(lines[1][len(SERVER_TITLE):].strip(), "", result.describe())
        self.assertFalse(lines[1].endswith(" "), result.describe())
        self.assertTrue(lines[2].startswith(BUILD_ID), result.describe())
        self.assertGreaterEqual(len(lines[2]), len(BUILD_ID) + 44, result.describe())
        self.assertFalse(lines[2].endswith(" "), result.describe())
        self.assertEqual(lines[3], "", result.describe())

    def assertOrderlyStop(self, result):
        """A run that reached the main loop and was stopped in order (see Site.stop)."""
        self.assertStatus(result, 0)
        self.assertServerBanner(result)
        self.assertTrue(any(STARTING_RE.match(l) for l in result.lines), result.describe())
        self.assertLineOrder(result, "Starting QMS Server (", qmstest.RUNNING,
                             "Stopping QMS Server (")
        self.assertTrue(any(STOPPING_RE.match(l) for l in result.lines), result.describe())
        self.assertCrLf(result)

    def assertHalt(self, result, number, text):
        self.assertStatus(result, qmstest.encode_exit(number))
        self.assertServerBanner(result)
        halt = "qmsHalt #%d" % number
        self.assertLine(result, halt)
        self.assertEqual(self.lines_after(result, halt), text, result.describe())
        self.assertFalse(any(STARTING_RE.match(l) for l in result.lines), result.describe())
        self.assertCrLf(result)
        # Halts of the server are logged as well.
        texts = self.site.log_texts()
        self.assertIn(halt, texts)
        self.assertEqual(texts[texts.index(halt) + 1], text)

    def write_main_config(self, text):
        """Writes config/qms.cfg: the given text and a management service section that
        listens on the site's own port."""
        self.site.write("config/qms.cfg", text + self.site.admin_section())

    def first_start(self, env=None):
        """The first start of a freshly staged site, without log archiving."""
        result = self.site.start_server_fresh(env=env or self.site.env(
            path=self.site.path_without_zip()))
        self.assertOrderlyStop(result)
        return result


class LauncherProofTest(ServerTestCase):
    """Only the launcher may start the server: its proof argument is a fresh time stamp."""

    def test_started_without_valid_proof_halts_10003(self):
        cases = {
            "no argument": [],
            "two arguments": [qmstest.fresh_stamp(), qmstest.fresh_stamp()],
            "garbage argument": ["garbage"],
            "stamp without milliseconds": [datetime.datetime.now().strftime("%Y%m%d%H%M%S")],
            "stamp 6 seconds old": [qmstest.aged_stamp(6)],
            "stamp an hour old": [qmstest.aged_stamp(3600)],
            "standalone word in lower case": ["quillmar"],
        }
        for name, args in cases.items():
            with self.subTest(name):
                result = self.site.run_server(*args)
                self.assertHalt(result, 10003, HALT_10003_TEXT)
                self.assertLine(result, "qmsHalt #10003")
                # Nothing is set up before the proof has passed.
                self.assertFalse(self.site.exists("config"))
                self.assertFalse(self.site.exists("messages"))

    def test_fresh_stamp_runs(self):
        result = self.first_start()
        self.assertNoLineStartsWith(result, "qmsHalt #")

    def test_recent_and_future_stamps_pass(self):
        self.first_start()
        for name, seconds in (("2 seconds old", 2), ("a minute ahead", -60)):
            with self.subTest(name):
                result = self.site.run_server(qmstest.aged_stamp(seconds))
                self.assertOrderlyStop(result)


class StandaloneTest(ServerTestCase):
    """The word "Quillmar" replaces the proof and skips the setup check, but the stored
    version still has to match."""

    def test_standalone_without_upgrade_keys_halts_10010(self):
        self.write_main_config(CONFIG_WITHOUT_UPGRADE)
        result = self.site.run_server("Quillmar")
        self.assertHalt(result, 10010, HALT_10010_TEXT)
        self.assertLine(result, "Config check: Disabled")
        self.assertLineOrder(result, "Config check: Disabled", "qmsHalt #10010")
        # The setup check did not run.
        self.assertFalse(self.site.exists("messages"))
        self.assertFalse(self.site.exists("scripts"))

    def test_standalone_with_other_build_halts_10010(self):
        self.write_main_config(CONFIG_WITH_UPGRADE.replace(
            "CurrentBuild=" + BUILD_ID, "CurrentBuild=" + BUILD_ID.upper()))
        result = self.site.run_server("Quillmar")
        self.assertHalt(result, 10010, HALT_10010_TEXT)

    def test_standalone_with_upgrade_keys_runs(self):
        self.write_main_config(CONFIG_WITH_UPGRADE)
        result = self.site.run_server("Quillmar")
        self.assertOrderlyStop(result)
        self.assertLine(result, "Config check: Disabled")
        self.assertNoLineStartsWith(result, "Starting system configuration check")
        self.assertFalse(self.site.exists("messages"))
        self.assertFalse(self.site.exists("scripts"))

    def test_disabled_config_check_applies_the_same_gate(self):
        self.write_main_config(
            CONFIG_WITHOUT_UPGRADE.replace("DisableConfigCheck=0", "DisableConfigCheck=1"))
        result = self.site.start_server_fresh()
        self.assertHalt(result, 10010, HALT_10010_TEXT)
        self.assertLine(result, "Config check: Disabled")

        self.write_main_config(
            CONFIG_WITH_UPGRADE.replace("DisableConfigCheck=0", "DisableConfigCheck=1"))
        result = self.site.start_server_fresh()
        self.assertOrderlyStop(result)
        self.assertLine(result, "Config check: Disabled")
        self.assertFalse(self.site.exists("messages"))


class FirstStartTest(ServerTestCase):
    """The first start installs the shipped defaults and records their checksums."""

    def test_defaults_installed_with_checksums(self):
        result = self.first_start()
        for d in ("config", "messages", "scripts"):
            self.assertLine(result, '- "%s" created' % d)
            self.assertTrue(os.path.isdir(self.site.path(d)), d)
        # log/ and tmp/ came with the staged site.
        self.assertNoLineStartsWith(result, '- "log" created')
        self.assertNoLineStartsWith(result, '- "tmp" created')
        self.assertLineOrder(result, "Starting system configuration check ...",
                             "Checking directory structure ...",
                             "Installing default configuration ...",
                             "Installing system message files ...",
                             "Installing default script files ...",
                             "Removing command files ...",
                             "Starting QMS Server (")
        self.assertNoLineStartsWith(result, "New version installed")

        shipped = self.site.shipped_files()
        self.assertIn("config/qms.cfg", shipped)
        self.assertIn("scripts/README.txt", shipped)
        upgrade = self.site.config().get("UPGRADE", {})
        file_keys = {k: v for k, v in upgrade.items() if k.startswith("File[")}
        self.assertEqual(sorted(file_keys), sorted("File[%s]" % d for d in shipped))
        for installed, source in shipped.items():
            with self.subTest(installed):
                value = file_keys["File[%s]" % installed]
                self.assertRegex(value, r"^[0-9a-f]{8}$")
                self.assertEqual(value, qmstest.file_crc(self.site.path(source)))
                if installed != "config/qms.cfg":  # that one also holds the keys now
                    self.assertEqual(self.site.read(installed), self.site.read(source))
                    self.assertEqual(value, qmstest.file_crc(self.site.path(installed)))
        self.assertEqual(upgrade.get("CurrentVersion"), PRODUCT_VERSION)
        self.assertEqual(upgrade.get("CurrentBuild"), BUILD_ID)

    def test_log_format(self):
        result = self.first_start()
        data = self.site.log_bytes()
        self.assertTrue(data.endswith(b"\r\n"))
        self.assertFalse(qmstest.has_bare_lf(data))
        lines = self.site.log_lines()
        m = qmstest.DAY_LINE_RE.match(lines[0])
        self.assertIsNotNone(m, lines[0])
        y, mo, d, weekday = int(m.group(1)), int(m.group(2)), int(m.group(3)), m.group(4)
        day = datetime.date(y, mo, d)
        self.assertEqual(qmstest.WEEKDAYS[day.weekday()], weekday)
        self.assertLessEqual(abs((datetime.date.today() - day).days), 1)
        for line in lines[1:]:
            if not qmstest.DAY_LINE_RE.match(line):
                m = qmstest.LOG_ENTRY_RE.match(line)
                self.assertIsNotNone(m, line)
                h, n, s, _ = (int(g) for g in m.groups())
                self.assertTrue(h < 24 and n < 60 and s < 60, line)
        # The banner opens the log; empty console lines are not logged.
        texts = self.site.log_texts()
        self.assertEqual(texts[0], "-" * 78)
        self.assertTrue(texts[1].startswith(SERVER_TITLE))
        self.assertTrue(texts[2].startswith(BUILD_ID))
        self.assertNotIn("", texts)
        self.assertTrue(any(STOPPING_RE.match(t) for t in texts), texts)
        # Everything logged was also shown.
        for t in texts:
            self.assertIn(t, result.lines)

    def test_command_files_removed(self):
        names = (".shutdown", ".restart", ".shutdown.instant", ".restart.instant")
        for name in names:
            self.site.write(name, "")
        result = self.first_start()
        self.assertLineOrder(result, "Removing command files ...", "Starting QMS Server (")
        for name in names:
            self.assertFalse(self.site.exists(name), name)
        self.assertNoLineStartsWith(result, "- Unable to remove command file")

    def test_console_records_match_console_lines(self):
        before = datetime.date.today().toordinal()
        result = self.first_start()
        after = datetime.date.today().toordinal()
        records = self.site.console_records()
        self.assertConsoleRecords([r[2] for r in records], result.lines)
        for ms, day, text, raw in records:
            self.assertLess(ms, 24 * 3600 * 1000)
            self.assertIn(day, (before, after))
            self.assertLessEqual(raw[8], qmstest.CONSOLE_TEXT_MAX)
            self.assertEqual(raw[9 + raw[8]:], bytes(qmstest.CONSOLE_RECORD_SIZE - 9 - raw[8]))
        # A second run appends its lines.
        second = self.site.run_server(qmstest.fresh_stamp(),
                                      env=self.site.env(path=self.site.path_without_zip()))
        self.assertOrderlyStop(second)
        records = self.site.console_records()
        first_count = len(result.lines)
        self.assertConsoleRecords([r[2] for r in records[:first_count]], result.lines)
        self.assertConsoleRecords([r[2] for r in records[first_count:]], second.lines)


class UpgradeTest(ServerTestCase):
    """A start after a new version arrived upgrades the defaults the operator left alone."""

    def test_upgrade_keeps_operator_changes(self):
        self.first_start()
        env = self.site.env(path=self.site.path_without_zip())
        shipped = self.site.shipped_files()
        self.assertIn("scripts/README.txt", shipped)
        self.assertIn("messages/README.txt", shipped)
        self.assertIn("config/default/default.cfg", shipped)

        # An older build of the same version is installed.
        self.site.edit_config("UPGRADE", "CurrentBuild", "Build ID: Dec 24 2002 12:00 (Beta)")
        # The operator edits one installed file and deletes another.
        edited = self.site.read("scripts/README.txt") + b"Edited by the operator.\r\n"
        self.site.write("scripts/README.txt", edited)
        os.remove(self.site.path("messages/README.txt"))
        # The new version ships changed copies of those, of an untouched file, and a new file.
        for rel in ("documentation/scripts/README.txt", "documentation/messages/README.txt",
                    "documentation/config/default/default.cfg"):
            self.site.write(rel, self.site.read(rel) + b"; changed in the new version\r\n")
        self.site.write("documentation/messages/added.txt", "A file new in this version.\r\n")

        result = self.site.run_server(qmstest.fresh_stamp(), env=env)
        self.assertOrderlyStop(result)
        self.assertLineOrder(result, "Starting system configuration check ...",
                             "New version installed, upgrading configuration ...",
                             "New version installed, upgrading message files ...",
                             "New version installed, upgrading script files ...",
                             "Removing command files ...")
        self.assertNoLineStartsWith(result, "Installing ")

        # The edited file stays as the operator left it.
        self.assertEqual(self.site.read("scripts/README.txt"), edited)
        self.assertLine(result, FILE_MODIFIED)
        self.assertIn('    "documentation/scripts/README.txt" -> "scripts/README.txt"',
                      [result.lines[i + 1] for i, l in enumerate(result.lines[:-1])
                       if l == FILE_MODIFIED])
        # The deleted file is not restored.
        self.assertFalse(self.site.exists("messages/README.txt"))
        self.assertLine(result, FILE_DELETED)
        self.assertIn('    "documentation/messages/README.txt" -> "messages/README.txt"',
                      [result.lines[i + 1] for i, l in enumerate(result.lines[:-1])
                       if l == FILE_DELETED])
        # The untouched file is upgraded without a word.
        self.assertEqual(self.site.read("config/default/default.cfg"),
                         self.site.read("documentation/config/default/default.cfg"))
        self.assertFalse(any("config/default/default.cfg" in l for l in result.lines),
                         result.describe())
        # The new file is added.
        self.assertLine(result, '- NEW FILE ADDED: "messages/added.txt"')
        self.assertEqual(self.site.read("messages/added.txt"),
                         self.site.read("documentation/messages/added.txt"))

        upgrade = self.site.config()["UPGRADE"]
        self.assertEqual(upgrade.get("CurrentVersion"), PRODUCT_VERSION)
        self.assertEqual(upgrade.get("CurrentBuild"), BUILD_ID)
        self.assertEqual(upgrade.get("File[config/default/default.cfg]"),
                         qmstest.file_crc(self.site.path("documentation/config/default/default.cfg")))
        self.assertEqual(upgrade.get("File[messages/added.txt]"),
                         qmstest.file_crc(self.site.path("documentation/messages/added.txt")))

        # The next start finds the current version and changes nothing.
        result = self.site.run_server(qmstest.fresh_stamp(), env=env)
        self.assertOrderlyStop(result)
        self.assertNoLineStartsWith(result, "New version installed")
        self.assertNoLineStartsWith(result, "- FILE ")

    def test_older_version_halts_10011(self):
        self.first_start()
        for name, value in (("version 0.9.4", "0.9.4"), ("no stored version", None)):
            with self.subTest(name):
                self.site.edit_config("UPGRADE", "CurrentVersion", value)
                before = self.site.read("scripts/README.txt")
                self.site.write("documentation/scripts/README.txt",
                                before + b"; changed in the new version\r\n")
                result = self.site.start_server_fresh()
                self.assertHalt(result, 10011, HALT_10011_TEXT)
                self.assertNoLineStartsWith(result, "New version installed")
                self.assertEqual(self.site.read("scripts/README.txt"), before)


class LogArchivingTest(ServerTestCase):
    """Each start moves the previous run's log files into a dated ZIP below log/."""

    def assertNothingArchived(self):
        """log/ holds the system log and the service logs, no dated archive folder."""
        entries = os.listdir(self.site.path("log"))
        self.assertIn("qms32.log", entries)
        for name in entries:
            self.assertTrue(os.path.isfile(self.site.path("log", name)), entries)
            self.assertTrue(name.endswith(".log"), entries)

    def test_second_start_archives_previous_log(self):
        zip_program = shutil.which("zip")
        if not zip_program:
            self.skipTest("zip is not installed")
        first = self.first_start()
        self.assertLine(first, "Log archiving: Disabled (zip not found)")
        self.assertNoLineStartsWith(first, "Archiving log files")
        old_log = self.site.log_bytes()
        self.assertIn(b"Stopping QMS Server (", old_log)

        result = self.site.start_server_fresh(env=self.site.env(
            path=os.path.dirname(zip_program)))
        self.assertOrderlyStop(result)
        names = [m.group(1) for m in map(ARCHIVING_RE.match, result.lines) if m]
        self.assertEqual(len(names), 1, result.describe())
        name = names[0]
        archive = self.site.path("log", name, name + ".zip")
        self.assertTrue(os.path.isfile(archive), archive)
        with zipfile.ZipFile(archive) as z:
            self.assertIsNone(z.testzip())
            self.assertIn("qms32.log", z.namelist())
            archived = z.read("qms32.log")
        # The whole previous log, closed by a pointer to its continuation.
        self.assertTrue(archived.startswith(old_log))
        self.assertEqual(qmstest.split_crlf(archived)[-1][12:], "(Log continued in new file)")
        # zip moved the files into the archive.
        self.assertEqual(os.listdir(self.site.path("log", name)), [name + ".zip"])

        lines = self.site.log_lines()
        self.assertRegex(lines[0], qmstest.DAY_LINE_RE)
        texts = self.site.log_texts()
        self.assertEqual(texts[0], '(Log continued from old file archived in "%s.zip")' % name)
        self.assertEqual(texts[1], "-" * 78)
        self.assertTrue(texts[2].startswith(SERVER_TITLE))
        self.assertTrue(texts[3].startswith(BUILD_ID))
        self.assertTrue(any(STOPPING_RE.match(t) for t in texts), texts)
        self.assertNotIn(b"Log archiving: Disabled", self.site.log_bytes())

    def test_disabled_by_configuration(self):
        self.first_start()
        self.site.edit_config("GLOBAL", "DisableLogArchiving", "1")
        old_log = self.site.log_bytes()
        result = self.site.start_server_fresh()
        self.assertOrderlyStop(result)
        self.assertLine(result, "Log archiving: Disabled")
        self.assertNoLineStartsWith(result, "Archiving log files")
        self.assertNothingArchived()
        self.assertTrue(self.site.log_bytes().startswith(old_log))

    def test_disabled_without_zip(self):
        self.first_start()
        old_log = self.site.log_bytes()
        result = self.site.start_server_fresh(env=self.site.env(
            path=self.site.path_without_zip()))
        self.assertOrderlyStop(result)
        self.assertLine(result, "Log archiving: Disabled (zip not found)")
        self.assertNoLineStartsWith(result, "Archiving log files")
        self.assertNothingArchived()
        self.assertTrue(self.site.log_bytes().startswith(old_log))


if __name__ == "__main__":
    unittest.main()
