"""Hooks of the shipped default site in the real server: the shipped REXX examples run by
the installed Regina library (connect filter on SMTP, command logger on POP3, a message-file
entry naming a script), a hookOnUser reply split into reply line and leading block, the
example plug-in acting on SMTP, and a plug-in fault ending the server for the launcher to
start it again."""

import os
import shutil
import socket
import time
import unittest

import qmstest
from qmstest import SiteTestCase, edit_config, parse_config, wait_for

EXAMPLE_PLUGIN = os.path.join(qmstest.BUILD_DIR, "server", "scripting", "example",
                              "qmsexample.so")
TEST_PLUGIN = os.path.join(qmstest.BUILD_DIR, "tests", "scripting", "qmstestplugin.so")


class LineClient:
    """A raw client that reads CR LF lines with a time limit."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=30)
        self.buffer = b""

    def close(self):
        self.sock.close()

    def line(self):
        while b"\r\n" not in self.buffer:
            data = self.sock.recv(65536)
            if not data:
                if self.buffer:
                    break
                return None
            self.buffer += data
        line, _, self.buffer = self.buffer.partition(b"\r\n")
        return line.decode("latin-1")

    def send(self, text):
        self.sock.sendall(text.encode("latin-1") + b"\r\n")

    def ask(self, text):
        self.send(text)
        return self.line()


class ScriptingSite(SiteTestCase):
    """A staged default site; each test sets its hooks, then the server starts."""

    def group_config(self):
        return self.site.path("documentation", "config", "default", "default.cfg")

    def configure(self, section, **keys):
        keys.setdefault("DisableReverse", "1")
        for key, value in keys.items():
            edit_config(self.group_config(), section, key, value)

    def port(self, section):
        with open(self.group_config(), "rb") as f:
            return int(parse_config(f.read())[section]["Port"])

    def start(self, launcher=False):
        if launcher:
            self.server = self.site.start_launcher()
            self.server.wait_running()
        else:
            self.server = self.site.start_running_server()
        self.addCleanup(self.stop_server)
        # Services bind their ports on threads of their own.
        for section in ("SMTP", "POP3"):
            self.server.wait_for_line("%s service default/%s running" % (section, section))

    def stop_server(self):
        if self.server.running():
            result = self.site.stop(self.server)
            # A sanitizer build reports leaks and faults of the scripting layer here.
            self.assertNotIn("Sanitizer", result.text, result.describe())

    def service_log(self, section):
        return self.site.log_messages("default-%s.log" % section.lower())

    def wait_logged(self, section, text):
        wait_for(lambda: any(text in line for line in self.service_log(section)),
                 what="%r in the %s log: %r" % (text, section, self.service_log(section)))

    def client(self, section):
        c = LineClient(self.port(section))
        self.addCleanup(c.close)
        return c


@unittest.skipUnless(qmstest.rexx_library_loads(), "the REXX library is not installed")
class ShippedScripts(ScriptingSite):

    def test_connect_filter_rejects_an_smtp_client_by_address(self):
        self.configure("SMTP", hookOnConnect="scripts/connectfilter.rexx 10.* 127.0.0.?")
        self.start()
        c = self.client("SMTP")
        self.assertEqual(c.line(), "554 5.7.1 Access denied")
        self.wait_logged("SMTP", "connectfilter: 127.0.0.1 (")
        self.wait_logged("SMTP", '- Connection from "127.0.0.1" rejected by script')

    def test_logger_writes_pop3_commands(self):
        self.configure("POP3", hookOnCommand="scripts/cmdlogger.rexx")
        self.start()
        c = self.client("POP3")
        self.assertTrue(c.line().startswith("+OK"))
        self.assertTrue(c.ask("USER user").startswith("+OK"))
        c.ask("PASS QmsUser1")
        c.ask("NOOP")
        self.assertTrue(c.ask("QUIT").startswith("+OK"))
        self.wait_logged("POP3", "cmdlogger: 127.0.0.1: QUIT")
        log = self.service_log("POP3")
        for command in ("USER user", "NOOP"):
            self.assertIn("cmdlogger: 127.0.0.1: " + command, log)
        self.assertFalse(any("QmsUser1" in line for line in log), log)

    def test_message_file_entry_naming_a_script_supplies_the_companion_file(self):
        res = self.site.path("documentation", "messages", "smtp", "smtp.res")
        edit_config(res, "QUIT", "221A", "scripts/motd.rexx messages/motd")
        self.site.write("documentation/messages/motd/default.txt",
                        b"Thank you for calling\r\non %(localhost)\r\n")
        self.start()
        # The setup check installs messages/ from the shipped defaults.
        c = self.client("SMTP")
        self.assertTrue(c.line().startswith("220 "))
        c.send("QUIT")
        self.assertEqual(c.line(), "221-Thank you for calling")
        self.assertEqual(c.line(), "221-on localhost")
        self.assertTrue(c.line().startswith("221 localhost"))

    def test_hook_on_user_reply_splits_at_the_first_unquoted_ampersand(self):
        self.site.write("testhooks/user.rexx",
                        "/* */\nparse arg session\n"
                        "return '-ERR \"no & entry\" for %(usr.username)&testhooks/lead.txt'\n")
        self.site.write("testhooks/lead.txt", b"lead one\r\nlead two\r\n")
        self.configure("POP3", hookOnUser="testhooks/user.rexx")
        self.start()
        c = self.client("POP3")
        self.assertTrue(c.line().startswith("+OK"))
        c.send("USER user")
        self.assertEqual(c.line(), "-ER-lead one")
        self.assertEqual(c.line(), "-ER-lead two")
        self.assertEqual(c.line(), '-ERR "no & entry" for user')
        self.wait_logged("POP3", 'User "user" rejected by RexxHook, identified by "user"')

    def test_script_errors_are_logged_and_the_session_goes_on(self):
        self.site.write("testhooks/broken.rexx", "/* */\nx = (\n")
        self.configure("SMTP", hookOnCommand="testhooks/broken.rexx")
        self.start()
        c = self.client("SMTP")
        self.assertTrue(c.line().startswith("220 "))
        self.assertTrue(c.ask("NOOP").startswith("250"))
        self.wait_logged("SMTP", 'RexxHook error -36 in "testhooks/broken.rexx"')


class PlugIns(ScriptingSite):

    def setUp(self):
        super().setUp()
        qmstest.require_programs(EXAMPLE_PLUGIN, TEST_PLUGIN)
        shutil.copyfile(EXAMPLE_PLUGIN, self.site.path("binaries", "qmsexample.so"))

    def test_example_plugin_rejects_an_smtp_client(self):
        self.configure("SMTP", hookOnConnect="qmsexample.so RejectClients 10.* 127.0.0.*")
        self.start()
        c = self.client("SMTP")
        self.assertEqual(c.line(), "554 Access denied by plug-in")
        self.wait_logged("SMTP", "RejectClients: 127.0.0.1 matches 127.0.0.*")

    def test_example_plugin_rewrites_smtp_commands(self):
        self.configure("SMTP", hookOnCommand="binaries/qmsexample.so CommandAlias RSET=QUIT")
        self.start()
        c = self.client("SMTP")
        self.assertTrue(c.line().startswith("220 "))
        self.assertTrue(c.ask("NOOP").startswith("250"))
        self.assertTrue(c.ask("RSET").startswith("221 "))

    def test_fault_in_a_plugin_ends_the_server_and_the_launcher_starts_it_again(self):
        self.configure("SMTP", hookOnConnect=TEST_PLUGIN + " Fault")
        self.start(launcher=True)
        c = self.client("SMTP")
        self.assertIsNone(c.line())  # the connection dies with the process
        # The trap report, then a fresh server whose services run again.
        self.server.wait_running(count=2, timeout=60)
        texts = self.server.texts()
        self.assertTrue(any(t.startswith('Exception "EAccessViolation"') for t in texts), texts)
        self.assertTrue(any(t.startswith("Runtime error 216 ") for t in texts), texts)
        self.assertIn("qmsHalt #216", texts)
        self.assertEqual(self.server.count_lines('Calling server binary "binaries/qms32srv"'), 2)


if __name__ == "__main__":
    unittest.main()
