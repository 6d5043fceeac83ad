"""The server core at work, with the test server whose site protocols are all the echo
session (greets "+OK echo ready <Host>", echoes lines, answers "VAR <name>" with a session
variable, ends on "QUIT"): services of two site groups, parallel sessions and their
release, idle timeout, client address rules, over-long lines, session variables, the
default-password warning, and the ways the operator stops or restarts the server
(command files, Alt keys on its terminal, signals, through the launcher)."""

import os
import re
import shutil
import signal
import socket
import time
import unittest

import qmstest
from qmstest import BUILD_ID, PRODUCT_VERSION, POLL_TIMEOUT, RUNNING, SiteTestCase

PROTOCOL_NAMES = {"pop3d": "POP3", "smtpd": "SMTP", "ftpd": "FTP"}
SHUT_DOWN = "QMS has been shut down ..."
CALLING = 'Calling server binary "binaries/qms32srv" ...'
WARNING_HEAD = "=[ CRITICAL SECURITY WARNING ]"
DEFAULT_ADMIN = '- Default password present for account "admin"!'
SESSION_STARTED = 'Client session started, requested by "127.0.0.1"'
RESTART_PENDING = "  QMS will restart when there are no active connections."
SHUTDOWN_PENDING = "  QMS will shutdown when there are no active connections."


# ---------------------------------------------------------------------------------------
# Site set-up

def write_site_config(site, groups, users_for=()):
    """Writes config/qms.cfg and one config/<group>/<group>.cfg per group. groups maps a
    group name to a list of (section, {key: value}); Address, Port and DisableReverse are
    added to every section (reverse lookups could leave the loopback network). The shipped
    default user files are copied into the user directory of the groups in users_for.
    Returns {(group, section): port}."""
    site.write("config/qms.cfg",
               "; written by the test\r\n"
               "[GLOBAL]\r\n"
               "DisableConfigCheck=0\r\n"
               "DisableConsoleStart=1\r\n"
               "DisableLogArchiving=1\r\n"
               + site.admin_section() +
               "[UPGRADE]\r\n"
               "CurrentVersion=%s\r\n"
               "CurrentBuild=%s\r\n" % (PRODUCT_VERSION, BUILD_ID))
    ports = {}
    for group, sections in groups.items():
        text = ["[GLOBAL]",
                "GroupsDefined=users",
                "ServiceSections=" + ", ".join(name for name, _ in sections),
                "UserDirectory=sites/%s/users" % group,
                "StatDirectory=sites/%s/stat" % group]
        for name, keys in sections:
            port = qmstest.free_port()
            ports[(group, name)] = port
            text.append("")
            text.append("[%s]" % name)
            values = {"Address": "127.0.0.1", "Port": str(port), "DisableReverse": "1"}
            values.update(keys)
            text.extend("%s=%s" % kv for kv in values.items())
        site.write("config/%s/%s.cfg" % (group, group), "\r\n".join(text) + "\r\n")
    for group in users_for:
        target = site.path("sites", group, "users")
        os.makedirs(target, exist_ok=True)
        source = site.path("documentation", "config", "default", "users")
        for name in os.listdir(source):
            shutil.copyfile(os.path.join(source, name), os.path.join(target, name))
    return ports


def service_prefix(group, section, keys):
    return "%s service %s/%s" % (PROTOCOL_NAMES[keys["Protocol"]], group, section)


def process_counts(pid):
    """(open descriptors, threads) of a process."""
    fds = len(os.listdir("/proc/%d/fd" % pid))
    with open("/proc/%d/status" % pid) as f:
        threads = int(re.search(r"^Threads:\s+(\d+)", f.read(), re.M).group(1))
    return fds, threads


def settled_counts(pid, quiet=2.0, timeout=POLL_TIMEOUT):
    """The counts of process_counts once they have not changed for `quiet` seconds."""
    deadline = time.monotonic() + timeout
    last = process_counts(pid)
    since = time.monotonic()
    while time.monotonic() < deadline:
        time.sleep(0.1)
        now = process_counts(pid)
        if now != last:
            last, since = now, time.monotonic()
        elif time.monotonic() - since >= quiet:
            return now
    return last


# ---------------------------------------------------------------------------------------
# A line-based client

class Client:
    """A TCP connection to 127.0.0.1:port, optionally from another loopback address.

    A refused connection is tried again for a few seconds: a service reports "running"
    just before it starts to listen, so a connection made right after that line can be
    refused."""

    REFUSED_RETRY = 3.0

    def __init__(self, port, source=None, timeout=POLL_TIMEOUT):
        self.timeout = timeout
        self.buffer = b""
        deadline = time.monotonic() + self.REFUSED_RETRY
        while True:
            self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            try:
                if source:
                    self.sock.bind((source, 0))
                self.sock.settimeout(timeout)
                self.sock.connect(("127.0.0.1", port))
                return
            except ConnectionRefusedError:
                self.sock.close()
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.05)
            except BaseException:
                self.sock.close()
                raise

    def send(self, data):
        if isinstance(data, str):
            data = data.encode("latin-1") + b"\r\n"
        self.sock.sendall(data)

    def readline(self, timeout=None):
        """The next line without its line end; None at the end of the connection."""
        self.sock.settimeout(timeout or self.timeout)
        while b"\n" not in self.buffer:
            try:
                data = self.sock.recv(65536)
            except ConnectionResetError:
                data = b""
            if not data:
                if self.buffer:
                    line, self.buffer = self.buffer, b""
                    return line.decode("latin-1")
                return None
            self.buffer += data
        line, self.buffer = self.buffer.split(b"\n", 1)
        return line.rstrip(b"\r").decode("latin-1")

    def ask(self, line):
        self.send(line)
        return self.readline()

    def var(self, name):
        return self.ask("VAR " + name)

    def closed(self, timeout=None):
        """True once the server has closed the connection (lines before are skipped)."""
        while True:
            if self.readline(timeout) is None:
                return True

    def close(self):
        self.sock.close()


# ---------------------------------------------------------------------------------------
# Services of two groups, one server for all tests of the class

ALPHA = [
    ("Mail", {"Protocol": "pop3d", "ClientAddress": "127.0.0.1", "Host": "mail.alpha.test",
              "Timeout": "120"}),
    ("Relay", {"Protocol": "smtpd", "ClientAddress": "!127.0.0.2, 127.0.0.*",
               "Host": "relay.alpha.test", "Timeout": "120"}),
]
BETA = [
    ("Files", {"Protocol": "ftpd", "ClientAddress": "*", "Host": "files.beta.test",
               "Timeout": "120"}),
    ("Quick", {"Protocol": "pop3d", "ClientAddress": "127.0.0.1", "Host": "quick.beta.test",
               "Timeout": "2"}),
    # No ClientAddress: nobody is let in.
    ("Closed", {"Protocol": "ftpd", "Host": "closed.beta.test", "Timeout": "120"}),
]
GROUPS = {"alpha": ALPHA, "beta": BETA}


class RunningServerTest(unittest.TestCase):
    """One server with the groups "alpha" (default user files present) and "beta"."""

    maxDiff = None

    @classmethod
    def setUpClass(cls):
        qmstest.require_programs(qmstest.LAUNCHER_BINARY, qmstest.ECHO_SERVER_BINARY)
        cls.site = qmstest.staged_site("qms-e2e-core-", cls.addClassCleanup)
        cls.site.use_echo_server()
        cls.ports = write_site_config(cls.site, GROUPS, users_for=("alpha",))
        cls.server = cls.site.start_running_server()
        for group, sections in GROUPS.items():
            for name, keys in sections:
                cls.server.wait_for_line(service_prefix(group, name, keys) + " running")

    def connect(self, group, section, source=None):
        client = Client(self.ports[(group, section)], source=source)
        self.addCleanup(client.close)
        return client

    def greeted(self, group, section, source=None):
        client = self.connect(group, section, source)
        host = dict(GROUPS[group])[section]["Host"]
        self.assertEqual(client.readline(), "+OK echo ready " + host)
        return client

    def wait_alone(self, group, section):
        """Waits until a new session of the service finds no other session there (the
        sessions of earlier connections have been released)."""
        def alone():
            probe = Client(self.ports[(group, section)])
            try:
                probe.readline()
                answer = probe.var("connections")
                probe.ask("QUIT")
                return answer == "+OK 1"
            finally:
                probe.close()
        qmstest.wait_for(alone, interval=0.2, what="the sessions to be released")

    def wait_connections(self, client, count):
        """Waits until the service of the client counts `count` sessions (a session that
        has ended is released by the main loop within about a second)."""
        answers = []
        def counted():
            answers.append(client.var("connections"))
            return answers[-1] == "+OK %d" % count
        try:
            qmstest.wait_for(counted, interval=0.2, what="%d sessions" % count)
        except AssertionError:
            self.fail("the service counts %r, not %d sessions" % (answers[-1], count))

    def assertLogs(self, log, text, timeout=POLL_TIMEOUT):
        """Some entry of log/<log> contains the text (waits for it)."""
        try:
            qmstest.wait_for(lambda: any(text in m for m in self.site.log_messages(log)),
                             timeout=timeout, what="%r in log/%s" % (text, log))
        except AssertionError as e:
            self.fail("%s; log:\n%s" % (e, "\n".join(self.site.log_messages(log))))

    def assertServerRuns(self):
        self.assertTrue(self.server.running(), self.server.describe())

    # -- services -----------------------------------------------------------------------
    def test_every_service_runs_accepts_and_logs(self):
        for group, sections in GROUPS.items():
            for name, keys in sections:
                with self.subTest(group=group, section=name):
                    prefix = service_prefix(group, name, keys)
                    created = "%s created (127.0.0.1:%d)" % (prefix, self.ports[(group, name)])
                    self.assertIn(created, self.server.texts())
                    self.assertEqual(self.server.count_lines(prefix + " running"), 1)
                    client = self.connect(group, name)
                    line = client.readline()
                    if name == "Closed":
                        self.assertEqual(line, "-ERR access denied")
                    else:
                        self.assertEqual(line, "+OK echo ready " + keys["Host"])
                        self.assertEqual(client.ask("QUIT"), "+OK bye")
                    self.assertTrue(client.closed())
                    # Each service logs into log/<group>-<section>.log, lower-cased.
                    self.assertLogs("%s-%s.log" % (group, name.lower()), SESSION_STARTED)
        self.assertServerRuns()

    def test_default_password_warning_for_the_group_with_default_users(self):
        texts = self.server.texts()
        heads = [i for i, t in enumerate(texts) if t.startswith(WARNING_HEAD)]
        self.assertEqual(len(heads), 1, self.server.describe())
        i = heads[0]
        self.assertEqual(texts[i], WARNING_HEAD + "=" * 41)
        # Lines of service threads starting meanwhile may come between the block's lines.
        end = texts.index("=" * 71, i)
        self.assertIn(DEFAULT_ADMIN, texts[i + 1:end])
        # Given while "alpha" starts; "beta" has no user files and no warning.
        start_alpha = texts.index('- Starting site personality group "alpha"')
        start_beta = texts.index('- Starting site personality group "beta"')
        self.assertLess(start_alpha, i)
        self.assertLess(i, start_beta)
        self.assertIn(WARNING_HEAD + "=" * 41, self.site.log_messages())
        self.assertIn(DEFAULT_ADMIN, self.site.log_messages())

    # -- sessions -----------------------------------------------------------------------
    def test_parallel_sessions_are_served_and_released_without_leaks(self):
        pid = self.server.pid
        self.wait_alone("alpha", "Mail")
        time.sleep(1.5)  # the probe session's release
        base_fds, base_threads = settled_counts(pid)
        for round_ in range(3):
            clients = []
            for i in range(10):
                client = Client(self.ports[("alpha", "Mail")])
                self.addCleanup(client.close)
                clients.append(client)
            for client in clients:
                self.assertEqual(client.readline(), "+OK echo ready mail.alpha.test")
            # All ten are sessions at the same time (sessions of earlier connections may
            # still wait for their release).
            self.wait_connections(clients[0], 10)
            for i, client in enumerate(clients):
                client.send("line %d of round %d" % (i, round_))
            for i, client in enumerate(clients):
                self.assertEqual(client.readline(), "line %d of round %d" % (i, round_))
            for client in clients:
                self.assertEqual(client.ask("QUIT"), "+OK bye")
            for client in clients:
                self.assertTrue(client.closed())
                client.close()

            # Every session is released: a new one finds itself alone.
            self.wait_alone("alpha", "Mail")

            # Descriptors and threads come back to where they were.
            def near_start():
                fds, threads = process_counts(pid)
                return fds <= base_fds + 3 and threads <= base_threads + 3
            try:
                qmstest.wait_for(near_start, timeout=POLL_TIMEOUT, interval=0.2,
                                 what="descriptors and threads to return")
            except AssertionError:
                self.fail("round %d: descriptors/threads %r, at start %r"
                          % (round_, process_counts(pid), (base_fds, base_threads)))
        self.assertServerRuns()

    def test_idle_session_closed_after_timeout(self):
        client = self.greeted("beta", "Quick")
        self.assertEqual(client.ask("still here"), "still here")
        started = time.monotonic()
        # Timeout=2: the monitor closes the idle session; nothing arrives before the end.
        self.assertIsNone(client.readline(timeout=POLL_TIMEOUT))
        self.assertGreaterEqual(time.monotonic() - started, 1.5)
        self.assertLogs("beta-quick.log", "Idle timeout after")
        # A session that keeps talking is not idle.
        busy = self.greeted("beta", "Quick")
        for i in range(6):
            time.sleep(0.5)
            self.assertEqual(busy.ask("tick %d" % i), "tick %d" % i)
        self.assertEqual(busy.ask("QUIT"), "+OK bye")
        self.assertServerRuns()

    def test_client_address_rules(self):
        # ClientAddress=127.0.0.1
        denied = self.connect("alpha", "Mail", source="127.0.0.2")
        self.assertEqual(denied.readline(), "-ERR access denied")
        self.assertTrue(denied.closed())
        served = self.greeted("alpha", "Mail", source="127.0.0.1")
        self.assertEqual(served.ask("hello"), "hello")
        self.assertEqual(served.var("remoteip"), "+OK 127.0.0.1")

        # ClientAddress=!127.0.0.2, 127.0.0.*: the first matching pattern decides.
        denied = self.connect("alpha", "Relay", source="127.0.0.2")
        self.assertEqual(denied.readline(), "-ERR access denied")
        self.assertTrue(denied.closed())
        for source in ("127.0.0.1", "127.0.0.3"):
            client = self.greeted("alpha", "Relay", source=source)
            self.assertEqual(client.var("remoteip"), "+OK " + source)
            self.assertEqual(client.ask("QUIT"), "+OK bye")

        # ClientAddress=* lets everybody in.
        client = self.greeted("beta", "Files", source="127.0.0.2")
        self.assertEqual(client.var("remoteip"), "+OK 127.0.0.2")

        # No ClientAddress: nobody is let in, and the system log says why.
        for source in ("127.0.0.1", "127.0.0.2"):
            denied = self.connect("beta", "Closed", source=source)
            self.assertEqual(denied.readline(), "-ERR access denied")
            self.assertTrue(denied.closed())
        self.assertTrue(any("Closed/ClientAddress not found in" in m
                            for m in self.site.log_messages()), self.site.log_messages())
        self.assertFalse(any("Mail/ClientAddress not found in" in m
                             for m in self.site.log_messages()))
        self.assertServerRuns()

    def test_overlong_line_is_refused_and_the_session_goes_on(self):
        client = self.greeted("beta", "Files")
        client.send(b"x" * 10000)
        time.sleep(0.2)
        client.send(b"y" * 100 + b"\r\n")
        self.assertEqual(client.readline(), "-ERR line too long")
        self.assertEqual(client.ask("after the long line"), "after the long line")
        # Longer still, in one piece, followed at once by a normal line.
        client.send(b"z" * 50000 + b"\r\nnext\r\n")
        self.assertEqual(client.readline(), "-ERR line too long")
        self.assertEqual(client.readline(), "next")
        # Just within the limit.
        self.assertEqual(client.ask("w" * 4000), "w" * 4000)
        self.assertEqual(client.ask("QUIT"), "+OK bye")
        self.assertServerRuns()

    def test_session_variables(self):
        client = self.greeted("alpha", "Mail")
        self.assertEqual(client.var("vers"), "+OK " + PRODUCT_VERSION)
        self.assertEqual(client.var("remoteip"), "+OK 127.0.0.1")
        self.assertEqual(client.var("configsection"), "+OK Mail")
        self.assertEqual(client.var("localhost"), "+OK mail.alpha.test")
        self.assertEqual(client.var("timeout"), "+OK 120")
        self.assertEqual(client.var("clientaddress"), "+OK 127.0.0.1")
        self.assertEqual(client.var("no.such.variable"), "-ERR unknown")
        other = self.greeted("beta", "Files")
        self.assertEqual(other.var("configsection"), "+OK Files")

        # sock.first and sock.next walk the sessions of the service: each once, then -1.
        clients = [client] + [self.greeted("alpha", "Mail") for _ in range(2)]
        self.wait_connections(client, 3)
        socks = {}
        for c in clients:
            answer = c.var("sock")
            self.assertRegex(answer, r"^\+OK \d+$")
            socks[answer[4:]] = c
        self.assertEqual(len(socks), 3)
        first = client.var("sock.first")[4:]
        self.assertIn(first, socks)
        seen = [first]
        while True:
            following = socks[seen[-1]].var("sock.next")
            self.assertTrue(following.startswith("+OK "), following)
            if following == "+OK -1":
                break
            self.assertNotIn(following[4:], seen)
            seen.append(following[4:])
            self.assertIn(seen[-1], socks)
        self.assertEqual(sorted(seen), sorted(socks))
        # The last session of the walk has no next one, the first no previous one.
        self.assertEqual(socks[seen[-1]].var("sock.next"), "+OK -1")
        self.assertEqual(socks[seen[0]].var("sock.prev"), "+OK -1")
        for c in clients:
            self.assertEqual(c.ask("QUIT"), "+OK bye")
        self.assertServerRuns()


# ---------------------------------------------------------------------------------------
# Stopping and restarting: a server of its own for every test

SMALL = {"alpha": [("Mail", {"Protocol": "pop3d", "ClientAddress": "127.0.0.1",
                             "Host": "mail.alpha.test", "Timeout": "120"})]}


class LifecycleTestCase(SiteTestCase):

    @classmethod
    def setUpClass(cls):
        qmstest.require_programs(qmstest.LAUNCHER_BINARY, qmstest.ECHO_SERVER_BINARY)

    def setUp(self):
        super().setUp()
        self.site.use_echo_server()
        self.port = write_site_config(self.site, SMALL)[("alpha", "Mail")]

    def start(self, pty=False):
        server = self.site.start_running_server(pty=pty)
        server.wait_for_line("POP3 service alpha/Mail running")
        return server

    def session(self):
        client = Client(self.port)
        self.addCleanup(client.close)
        self.assertEqual(client.readline(), "+OK echo ready mail.alpha.test")
        return client

    def assertStopped(self, result):
        self.assertStatus(result, 0)
        self.assertLineOrder(result, RUNNING, "Stopping QMS Server (")
        self.assertNoLineStartsWith(result, "Restarting QMS Server (")
        self.assertLine(result, "POP3 service alpha/Mail stopped")

    def assertRestarted(self, result):
        self.assertStatus(result, 1)
        self.assertLineOrder(result, RUNNING, "Restarting QMS Server (")
        self.assertNoLineStartsWith(result, "Stopping QMS Server (")
        self.assertLine(result, "POP3 service alpha/Mail stopped")


class CommandFileTest(LifecycleTestCase):

    def test_restart_waits_until_no_session_is_active(self):
        server = self.start()
        client = self.session()
        self.site.command_file(".restart")
        # Polled every 5 seconds; announced, but held while the session is active.
        server.wait_for_line("RESTART (Alt+R)")
        server.wait_for_line(RESTART_PENDING)
        time.sleep(2.5)
        self.assertTrue(server.running(), server.describe())
        self.assertEqual(client.ask("still served"), "still served")
        time.sleep(1.5)
        self.assertTrue(server.running(), server.describe())
        self.assertEqual(client.ask("QUIT"), "+OK bye")
        client.close()
        result = server.wait()
        self.assertRestarted(result)

    def test_shutdown_file_stops_with_status_0(self):
        server = self.start()
        self.site.command_file(".shutdown")
        result = server.wait()
        self.assertStopped(result)
        self.assertLineOrder(result, RUNNING, "SHUTDOWN (Alt+X)", SHUTDOWN_PENDING,
                             "Stopping QMS Server (")

    def test_instant_restart_ends_active_sessions(self):
        server = self.start()
        client = self.session()
        self.site.command_file(".restart.instant")
        result = server.wait()
        self.assertRestarted(result)
        self.assertLineStartsWith(result, "POP3 service alpha/Mail killing session")
        self.assertTrue(client.closed())

    def test_command_files_of_an_earlier_run_are_removed(self):
        for name in qmstest.COMMAND_FILES:
            self.site.command_file(name)
        server = self.start()
        for name in qmstest.COMMAND_FILES:
            self.assertFalse(self.site.exists(name), name)
        # A poll has passed: the server still runs.
        time.sleep(6.5)
        self.assertTrue(server.running(), server.describe())
        result = self.site.stop(server, "file")
        self.assertStopped(result)


class KeyboardTest(LifecycleTestCase):
    """Alt+letter on the server's terminal (ESC followed by the letter)."""

    def test_alt_x_shuts_down(self):
        server = self.start(pty=True)
        server.send(b"\x1bx")
        result = server.wait()
        self.assertStopped(result)
        self.assertLineOrder(result, RUNNING, "SHUTDOWN (Alt+X)", SHUTDOWN_PENDING,
                             "Stopping QMS Server (")
        self.assertCrLf(result)

    def test_alt_r_twice_aborts_the_restart(self):
        server = self.start(pty=True)
        client = self.session()  # holds the restart until the second Alt+R
        server.send(b"\x1bv")
        server.wait_for_line("VERSION (Alt+V)")
        server.send(b"\x1br")
        server.wait_for_line(RESTART_PENDING)
        server.send(b"\x1br")
        server.wait_for_line("  QMS restart aborted.")
        self.assertEqual(client.ask("QUIT"), "+OK bye")
        client.close()
        time.sleep(2.5)  # with the restart still pending it would happen now
        self.assertTrue(server.running(), server.describe())
        server.send(b"\x1bx")
        result = server.wait()
        self.assertStopped(result)
        self.assertEqual(result.texts.count("RESTART (Alt+R)"), 2, result.describe())
        self.assertLineOrder(result, "VERSION (Alt+V)", "  " + qmstest.LAUNCHER_TITLE,
                             "  " + BUILD_ID)


class SignalTest(LifecycleTestCase):

    def test_sigterm_stops_in_order(self):
        server = self.start()
        client = self.session()
        # A stop signal does not wait for active sessions.
        result = self.site.stop(server, "signal")
        self.assertStopped(result)
        self.assertLineStartsWith(result, "POP3 service alpha/Mail killing session")
        self.assertTrue(client.closed())

    def test_other_stop_signals(self):
        for sig in (signal.SIGINT, signal.SIGHUP, signal.SIGQUIT):
            with self.subTest(sig.name):
                server = self.start()
                server.signal(sig)
                self.assertStopped(server.wait())


class SiteUseTest(LifecycleTestCase):

    def log_files(self):
        d = self.site.path("log")
        return {n: self.site.read("log", n) for n in sorted(os.listdir(d))
                if os.path.isfile(os.path.join(d, n))}

    def test_second_server_in_a_running_site_halts_and_leaves_the_logs_alone(self):
        server = self.start()
        # Every service has opened its log once the management service runs too.
        server.wait_for_line("ADMIN service /ADMIN running")
        logs = self.log_files()
        records = self.site.read("tmp", "console.tmp")
        for second in (self.site.run_server(qmstest.fresh_stamp()), self.site.run_launcher()):
            self.assertStatus(second, qmstest.encode_exit(10005))
            self.assertLineOrder(second, "qmsHalt #10005", "- QMS site is in use by another server")
        # The running server may have written more since; nothing was moved or rewritten,
        # and nothing of the second one is there.
        now = self.log_files()
        self.assertEqual(sorted(now), sorted(logs))
        for name, data in logs.items():
            self.assertTrue(now[name].startswith(data), name)
        self.assertEqual(now["qms32.log"].count(qmstest.SERVER_TITLE.encode()), 1)
        self.assertTrue(self.site.read("tmp", "console.tmp").startswith(records))
        for data in list(now.values()) + [self.site.read("tmp", "console.tmp")]:
            self.assertNotIn(b"10005", data)
        self.assertTrue(server.running(), server.describe())
        self.assertStopped(self.site.stop(server))

    def test_section_listed_twice_is_started_once_and_stops(self):
        qmstest.edit_config(self.site.path("config", "alpha", "alpha.cfg"), "GLOBAL",
                            "ServiceSections", "Mail, mail")
        server = self.start()
        self.session()
        result = self.site.stop(server)
        self.assertStopped(result)
        self.assertEqual(result.texts.count("POP3 service alpha/Mail running"), 1,
                         result.describe())
        listed = '--- Service section "mail" listed more than once in GLOBAL/ServiceSections'
        self.assertLineStartsWith(result, listed)
        self.assertTrue(any(t.startswith(listed) for t in self.site.log_messages()))


class LauncherTest(LifecycleTestCase):

    def test_restart_file_restarts_the_server(self):
        launcher = self.site.start_launcher()
        launcher.wait_running()
        self.site.command_file(".restart")
        launcher.wait_for_line("Restarting QMS Server (")
        launcher.wait_running(count=2)
        launcher.wait_for_line("POP3 service alpha/Mail running", count=2)
        # The restarted server serves again.
        client = self.session()
        self.assertEqual(client.ask("QUIT"), "+OK bye")
        result = self.site.stop(launcher, "file")
        self.assertStatus(result, 0)
        self.assertEqual(result.texts.count(CALLING), 2, result.describe())
        self.assertEqual(result.texts.count("qmsHalt #1"), 1, result.describe())
        self.assertLineOrder(result, CALLING, RUNNING, "Restarting QMS Server (", "qmsHalt #1",
                             CALLING, RUNNING, "Stopping QMS Server (", SHUT_DOWN)
        self.assertEqual([t for t in result.texts if t][-1], SHUT_DOWN, result.describe())

    def test_sigterm_to_the_launcher_stops_the_server(self):
        launcher = self.site.start_launcher()
        launcher.wait_running()
        launcher.wait_for_line("POP3 service alpha/Mail running")
        result = self.site.stop(launcher, "signal")
        self.assertStatus(result, 0)
        self.assertEqual(result.texts.count(CALLING), 1, result.describe())
        self.assertLineOrder(result, CALLING, RUNNING, "Stopping QMS Server (", SHUT_DOWN)
        self.assertNoLineStartsWith(result, "qmsHalt #")
        self.assertEqual([t for t in result.texts if t][-1], SHUT_DOWN, result.describe())


if __name__ == "__main__":
    unittest.main()
