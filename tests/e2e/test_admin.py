"""The administration link of the real server, driven by the packet client qmsadmclient
(tests/support/qmsadmclient.cpp, one event per output line): identity, challenge and
digest, the replayed and live console lines, uptime, memory and service status, operator
commands (shutdown; restart through the launcher), refused logins (wrong, missing or empty
password, client address not allowed) and hostile bytes sent with a plain socket. The
client itself is checked against a fake server that sends broken packets."""

import hashlib
import os
import random
import re
import socket
import struct
import subprocess
import threading
import time
import unittest

import qmstest
from qmstest import BUILD_DIR, BUILD_ID, POLL_TIMEOUT, RUN_TIMEOUT, RUNNING, SiteTestCase

ADMIN_CLIENT = os.path.join(BUILD_DIR, "tests", "qmsadmclient")

PASSWORD = "Tr0ub4dor&3"
IDENTITY = "IDENTITY " + "\t".join(("Quillmar/32", "0.9.5", BUILD_ID, "qms."))
ADMIN_RUNNING = "ADMIN service /ADMIN running"
AUTH_OK = "Successful administrative authentication (127.0.0.1)"
AUTH_FAILED = "Unsuccessful administrative authentication (127.0.0.1)"
SESSION_ENDED = "Client session ended"
CALLING = 'Calling server binary "binaries/qms32srv" ...'
# Protocol numbers of the service status by "Protocol" value.
PROTOCOL_NUMBERS = {"ftpd": 1, "httpd": 2, "imap4d": 3, "pop3d": 4, "smtpd": 5}

# Packet codes and kinds of the link.
PING, IDENTITY_CODE, AUTHENTICATE, GETSTR = 0, 1, 2, 17
INFORMATION, REQUEST, RESULT = 0, 1, 2


def packet(code, kind, payload=b"", length=None, sequence=0):
    """One packet: 8-byte header (little-endian) and payload; length overrides the
    announced payload length."""
    n = len(payload) if length is None else length
    return struct.pack("<BBHHH", 0, code, kind, sequence, n) + payload


def text_packet(code, kind, fixed_size, texts, first=0, sequence=0):
    """A packet whose descriptors (at first, first + 4, ...) name the given texts."""
    fixed = bytearray(fixed_size)
    area = b""
    for i, t in enumerate(texts):
        struct.pack_into("<HH", fixed, first + i * 4, fixed_size + len(area), len(t))
        area += t
    return packet(code, kind, bytes(fixed) + area, sequence=sequence)


def identity_request():
    return text_packet(IDENTITY_CODE, REQUEST, 16, [b"Test", b"0.9.5", BUILD_ID.encode()])


EVENT_RE = re.compile(r"^(CONNECTED|IDENTITY .*|CHALLENGE .*|LOGIN (OK|FAILED( \d+)?)|CONSOLE .*"
                      r"|UPTIME \d+|MEMORY \d+|INT \S+ \d+|STATUS \S+ .*|TEXT \S+ .*|PING"
                      r"|PACKET \d+ \d \d+|SENT .*|CLOSED( reset| send failed)?|BROKEN .*|TIMEUP"
                      r"|ERROR .*)$")


def unescape(text):
    """A text as the client printed it (control bytes and backslashes as \\xNN), restored."""
    return re.sub(r"\\x([0-9a-f]{2})", lambda m: chr(int(m.group(1), 16)), text)


def strip(text):
    return qmstest.strip_thread(text)


# ---------------------------------------------------------------------------------------
# Running the client

class AdminRun:
    """One qmsadmclient run in the background (ended with its session at the test's end)."""

    def __init__(self, process):
        self.process = process

    def events(self):
        return self.process.output().decode("latin-1").splitlines()

    def consoles(self):
        """Console line texts received, without thread ids."""
        return [strip(unescape(e[len("CONSOLE "):]))
                for e in self.events() if e.startswith("CONSOLE ")]

    def statuses(self):
        """{group.section: [six numbers]} of the last status of each service."""
        out = {}
        for e in self.events():
            if e.startswith("STATUS "):
                _, name, value = e.split(" ", 2)
                out[name] = [int(x) for x in value.split(" ")]
        return out

    def describe(self):
        state = "running" if self.process.running() else "exit status %r" % self.process.poll()
        return "client (%s), events:\n%s" % (state, "\n".join(self.events()))

    def wait_until(self, condition, what, timeout=POLL_TIMEOUT):
        """Polls until condition(self) holds; fails when the client ends first."""
        deadline = time.monotonic() + timeout
        while not condition(self):
            if not self.process.running() and not condition(self):
                raise AssertionError("client ended before %s: %s" % (what, self.describe()))
            if time.monotonic() > deadline:
                raise AssertionError("no %s within %s s: %s" % (what, timeout, self.describe()))
            time.sleep(0.05)

    def wait_event(self, prefix):
        self.wait_until(lambda r: any(e.startswith(prefix) for e in r.events()),
                        "event %r" % prefix)

    def finish(self, timeout=RUN_TIMEOUT):
        """Waits for the end: (exit status, events); every line must be an event (a
        sanitizer report would not be)."""
        result = self.process.wait(timeout)
        events = self.events()
        bad = [e for e in events if not EVENT_RE.match(e)]
        if bad:
            raise AssertionError("output of the client that is no event: %r in:\n%s"
                                 % (bad, "\n".join(events)))
        return result.returncode, events


class AdminTestCase(SiteTestCase):
    """A staged site whose management service has a known password and makes no reverse
    lookups (they could leave the loopback network)."""

    @classmethod
    def setUpClass(cls):
        qmstest.require_programs(qmstest.LAUNCHER_BINARY, qmstest.SERVER_BINARY, ADMIN_CLIENT)

    def setUp(self):
        super().setUp()
        self.set_admin("Password", PASSWORD)
        self.set_admin("DisableReverse", "1")

    def set_admin(self, key, value):
        """Sets (None: removes) a key of the shipped "ADMIN" section, before the server
        installs the main configuration."""
        qmstest.edit_config(self.site.path("documentation", "config", "qms.cfg"),
                            "ADMIN", key, value)

    def shipped_services(self):
        """{section: protocol number} of the services of the shipped default group."""
        with open(self.site.path("documentation", "config", "default", "default.cfg"), "rb") as f:
            config = qmstest.parse_config(f.read())
        sections = re.split(r"[ ,;\t]+", config["GLOBAL"]["ServiceSections"].strip())
        return {s: PROTOCOL_NUMBERS[config[s.upper()]["Protocol"].strip("-")]
                for s in sections if s}

    def start_server(self):
        server = self.site.start_running_server()
        server.wait_for_line(ADMIN_RUNNING)
        return server

    def admin(self, password=PASSWORD, *options, seconds=POLL_TIMEOUT, source=None):
        argv = [ADMIN_CLIENT, "--port", str(self.site.admin_port), "--seconds", str(seconds)]
        if password is not None:
            argv += ["--password", password]
        if source:
            argv += ["--bind", source]
        return AdminRun(self.site.start(argv + list(options)))

    def login(self, password=PASSWORD, *options):
        """A run that ends with the verdict (or when the server ends the link); command
        words given are sent before the client ends the link."""
        return self.admin(password, "--until", "LOGIN", *options).finish()

    def admin_log(self):
        return self.site.log_messages("-admin.log")

    def wait_sessions_ended(self, count):
        qmstest.wait_for(lambda: self.admin_log().count(SESSION_ENDED) >= count,
                         what="%d ended admin sessions in %s" % (count, self.admin_log()))

    def assertEvent(self, events, event):
        self.assertIn(event, events, "\n".join(events))

    def assertOrderlyStop(self, result):
        self.assertStatus(result, 0)
        self.assertLineOrder(result, RUNNING, "Stopping QMS Server (")

    def assertNoEventStartsWith(self, events, prefix):
        self.assertFalse(any(e.startswith(prefix) for e in events),
                         "an event starts with %r in:\n%s" % (prefix, "\n".join(events)))


# ---------------------------------------------------------------------------------------

class LoginTest(AdminTestCase):

    def test_login_streams_console_uptime_and_status(self):
        services = self.shipped_services()
        server = self.start_server()
        for section in services:
            line = " service default/%s running" % section
            qmstest.wait_for(lambda: any(t.endswith(line) for t in server.texts()),
                             what=line)
        run = self.admin(PASSWORD, "--command", "version")
        expected = {".ADMIN"} | {"default." + s for s in services}
        run.wait_until(lambda r: set(r.statuses()) >= expected, "status of every service")
        # A command of the authenticated link reaches the main loop; its output comes back.
        run.wait_until(lambda r: "VERSION (Alt+V)" in r.consoles(), "the version lines")
        events = run.events()
        run.process.kill()

        self.assertEqual(events[:2], ["CONNECTED", IDENTITY], "\n".join(events))
        challenges = [e for e in events if e.startswith("CHALLENGE ")]
        self.assertEqual(len(challenges), 1, "\n".join(events))
        self.assertRegex(challenges[0], r"^CHALLENGE <\d+\.\d+@localhost>$")
        self.assertEqual(events.count("LOGIN OK"), 1, "\n".join(events))
        self.assertEvent(events, "PING")
        self.assertEvent(events, "SENT version")

        # The console lines before the login's own line are the newest records of the
        # console file at that moment: at least the last 20 (fewer only when the file is
        # shorter), in file order, the monitor's running line among them.
        records = [r[2] for r in self.site.console_records()]
        received = [unescape(e[len("CONSOLE "):]) for e in events if e.startswith("CONSOLE ")]
        auth = [i for i, t in enumerate(received) if strip(t) == AUTH_OK]
        self.assertEqual(len(auth), 1, "\n".join(events))
        replayed = received[:auth[0]]
        at = [i for i, t in enumerate(records) if strip(t) == AUTH_OK][0]
        self.assertGreaterEqual(len(replayed), min(20, at), "\n".join(events))
        self.assertEqual(replayed, records[at - len(replayed):at])
        self.assertIn(RUNNING, [strip(t) for t in replayed])

        uptime = [int(e.split()[1]) for e in events if e.startswith("UPTIME ")]
        memory = [e for e in events if re.match(r"^MEMORY \d+$", e)]
        self.assertTrue(uptime and memory, "\n".join(events))
        self.assertLess(uptime[0], RUN_TIMEOUT)
        # Group index, service index, protocol, state (2 running), idle pooled, active.
        status = run.statuses()
        self.assertEqual(status[".ADMIN"][:4], [0, 0, 0, 2])
        self.assertEqual(status[".ADMIN"][5], 1, status)  # this link itself
        indexes = set()
        for section, protocol in services.items():
            value = status["default." + section]
            self.assertEqual(len(value), 6, status)
            self.assertEqual((value[0], value[2], value[3]), (1, protocol, 2), status)
            indexes.add(value[1])
        self.assertEqual(indexes, set(range(len(services))), status)

        server.wait_for_line(AUTH_OK)
        self.assertIn("Successful administrative authentication", self.admin_log())
        self.assertOrderlyStop(self.site.stop(server))

    def test_wrong_password_is_refused_and_the_server_goes_on(self):
        server = self.start_server()
        # The refused link gets nothing but keep-alives; the verdict starts a period, so
        # one follows at once (after uptime, memory and console lines, were they sent).
        run = self.admin("not the password")
        run.wait_until(lambda r: "PING" in r.events()[r.events().index("LOGIN FAILED"):]
                       if "LOGIN FAILED" in r.events() else False, "a keep-alive after the verdict")
        events = run.events()
        run.process.kill()
        self.assertEvent(events, IDENTITY)
        for prefix in ("LOGIN OK", "CONSOLE", "STATUS", "UPTIME", "MEMORY"):
            self.assertNoEventStartsWith(events, prefix)
        server.wait_for_line(AUTH_FAILED)
        self.assertIn("Unsuccessful administrative authentication", self.admin_log())
        # The verdict came only after a wait, longer for each further guess of the address.
        self.assertIn("Failed login 1 from 127.0.0.1, answer delayed 2000 ms", self.admin_log())

        # A command on a refused link is not taken. The client ends the link in order once
        # the command is out, so the session reads it before it ends; a command posted
        # after that is carried out after anything the refused session posted.
        rc, events = self.login("another guess", "--force-command", "--command", "shutdown")
        self.assertEqual(rc, 1, "\n".join(events))
        self.assertEvent(events, "LOGIN FAILED")
        self.assertEvent(events, "SENT shutdown")
        self.wait_sessions_ended(2)
        rc, events = self.login(PASSWORD, "--command", "version")
        self.assertEqual(rc, 0, "\n".join(events))
        self.assertEvent(events, "LOGIN OK")
        server.wait_for_line("VERSION (Alt+V)")
        self.assertTrue(server.running(), server.describe())
        self.assertNotIn("SHUTDOWN (Alt+X)", server.texts())
        self.assertOrderlyStop(self.site.stop(server))

    def test_missing_password_refuses_every_login(self):
        self.set_admin("Password", None)
        self.assertEveryLoginRefused()
        self.assertIn("ADMIN/Password not found in config/qms.cfg",
                      [strip(t) for t in self.site.log_texts()])

    def test_empty_password_refuses_every_login(self):
        self.set_admin("Password", "")
        self.assertEveryLoginRefused()

    def assertEveryLoginRefused(self):
        server = self.start_server()
        # "" answers with the digest of the challenge alone.
        for attempt in ("", PASSWORD, "qms32admin"):
            rc, events = self.login(attempt)
            self.assertEqual(rc, 1, "\n".join(events))
            self.assertEvent(events, "LOGIN FAILED")
            self.assertNoEventStartsWith(events, "CONSOLE")
        self.assertNotIn(AUTH_OK, server.texts())
        # The system log tells the operator why nobody can log in.
        self.assertTrue([t for t in self.site.log_texts() if strip(t).startswith("ADMIN/Password")],
                        "\n".join(self.site.log_texts()))
        self.assertOrderlyStop(self.site.stop(server))

    def test_client_address_not_allowed_is_refused(self):
        server = self.start_server()
        rc, events = self.admin(PASSWORD, source="127.0.0.2").finish()
        self.assertEqual(rc, 1, "\n".join(events))
        self.assertEqual(events[0], "CONNECTED", "\n".join(events))
        self.assertTrue(events[-1].startswith("CLOSED"), "\n".join(events))
        for prefix in ("IDENTITY", "CHALLENGE", "LOGIN", "PING"):
            self.assertNoEventStartsWith(events, prefix)
        self.wait_sessions_ended(1)
        log = self.admin_log()
        self.assertIn('- Connection from "127.0.0.2" rejected', log)
        self.assertNotIn('- Connection from "127.0.0.2" accepted', log)
        # The service goes on serving allowed addresses.
        rc, events = self.login()
        self.assertEqual(rc, 0, "\n".join(events))
        self.assertOrderlyStop(self.site.stop(server))

    def test_no_server_is_a_connection_error(self):
        rc, events = AdminRun(self.site.start(
            [ADMIN_CLIENT, "--port", str(qmstest.free_port()), "--password", "x"])).finish()
        self.assertEqual(rc, 2, "\n".join(events))
        self.assertTrue(events and events[0].startswith("ERROR connect"), "\n".join(events))


class CommandTest(AdminTestCase):

    def test_shutdown_stops_the_server(self):
        server = self.start_server()
        # The administration link itself is an active session of the management group;
        # it does not hold the shutdown back.
        rc, events = self.admin(PASSWORD, "--command", "shutdown").finish()
        self.assertEqual(rc, 0, "\n".join(events))
        self.assertEvent(events, "LOGIN OK")
        self.assertEvent(events, "SENT shutdown")
        self.assertTrue(events[-1].startswith("CLOSED"), "\n".join(events))
        result = server.wait()
        self.assertStatus(result, 0)
        self.assertLineOrder(result, RUNNING, AUTH_OK, "SHUTDOWN (Alt+X)",
                             "  QMS will shutdown when there are no active connections.",
                             "Stopping QMS Server (")
        self.assertNoLineStartsWith(result, "Restarting QMS Server (")

    def test_restart_through_the_launcher_restarts_once(self):
        launcher = self.site.start_launcher()
        launcher.wait_for_line(ADMIN_RUNNING)
        rc, events = self.admin(PASSWORD, "--command", "restart").finish()
        self.assertEqual(rc, 0, "\n".join(events))
        self.assertEvent(events, "SENT restart")
        self.assertTrue(events[-1].startswith("CLOSED"), "\n".join(events))
        launcher.wait_for_line("Restarting QMS Server (")
        launcher.wait_for_line(ADMIN_RUNNING, count=2)
        # The restarted server takes logins again.
        rc, events = self.login()
        self.assertEqual(rc, 0, "\n".join(events))
        result = self.site.stop(launcher, "file")
        self.assertStatus(result, 0)
        self.assertEqual(result.texts.count(CALLING), 2, result.describe())
        self.assertEqual(sum(1 for t in result.texts if t.startswith("Restarting QMS Server (")),
                         1, result.describe())
        self.assertLineOrder(result, CALLING, RUNNING, "RESTART (Alt+R)",
                             "Restarting QMS Server (", CALLING, RUNNING,
                             "Stopping QMS Server (")


class HostileBytesTest(AdminTestCase):
    """Bytes that are not packets end the link; the server goes on."""

    def test_garbage_and_oversized_lengths_end_the_link(self):
        server = self.start_server()
        identity = identity_request()
        # A digest whose text descriptor points far past its 5-byte payload.
        bad_digest = packet(AUTHENTICATE, RESULT, b"\x04\x05\x00\x00\x40")
        cases = [
            ("0xff bytes (length 65535)", b"\xff" * 512, False, False),
            ("length one above the limit", packet(GETSTR, INFORMATION, b"x" * 100, 65529),
             False, False),
            ("largest length after identity", identity + packet(PING, REQUEST, b"", 65535),
             False, False),
            ("digest text out of bounds", identity + bad_digest, False, False),
            ("text in place of a packet, then the end", b"GET / HTTP/1.0\r\n\r\n", True, False),
            ("half a header, then the end", b"\x00\x01\x01", True, False),
            ("random bytes", bytes(random.Random(7).getrandbits(8) for _ in range(4096)),
             True, True),
        ]
        for number, (what, data, end, maybe_reset) in enumerate(cases, 1):
            with self.subTest(what):
                with socket.create_connection(("127.0.0.1", self.site.admin_port),
                                              timeout=POLL_TIMEOUT) as s:
                    try:
                        s.sendall(data)
                        if end:
                            s.shutdown(socket.SHUT_WR)
                    except OSError:  # the server may have closed the link already
                        if not maybe_reset:
                            raise
                    self.assertTrue(self.closed_by_peer(s), what)
                self.wait_sessions_ended(number)
                self.assertTrue(server.running(), server.describe())
        rc, events = self.login()
        self.assertEqual(rc, 0, "\n".join(events))
        self.assertOrderlyStop(self.site.stop(server))

    @staticmethod
    def closed_by_peer(s):
        """Reads (and drops) what the server sends until it closes the link."""
        try:
            while True:
                if not s.recv(65536):
                    return True
        except ConnectionResetError:
            return True
        except socket.timeout:
            return False


# ---------------------------------------------------------------------------------------

class FakeServer:
    """A listener on 127.0.0.1 that takes one connection: everything the client sends is
    collected in `received` while the bytes of reply(server) are sent; then the server
    ends its side and waits for the client to close."""

    def __init__(self, reply):
        self.reply = reply
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(1)
        self.listener.settimeout(POLL_TIMEOUT)
        self.port = self.listener.getsockname()[1]
        self.received = b""
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _read(self, conn):
        try:
            while True:
                data = conn.recv(65536)
                if not data:
                    return
                self.received += data
        except OSError:
            return

    def _serve(self):
        try:
            conn, _ = self.listener.accept()
        except OSError:
            return
        with conn:
            conn.settimeout(POLL_TIMEOUT)
            reader = threading.Thread(target=self._read, args=(conn,), daemon=True)
            reader.start()
            try:
                for chunk in self.reply(self):
                    conn.sendall(chunk)
                conn.shutdown(socket.SHUT_WR)
            except OSError:
                pass
            reader.join(POLL_TIMEOUT)

    def wait_received(self, data):
        qmstest.wait_for(lambda: data in self.received, what="%r from the client" % data)

    def close(self):
        self.thread.join(POLL_TIMEOUT)
        self.listener.close()


def verdict(value):
    """The server's verdict: code 2 information, byte 0, in the code's 5-byte fixed part."""
    return packet(AUTHENTICATE, INFORMATION, bytes([value]) + bytes(4))


def challenge_packet(challenge):
    fixed = bytearray(5)
    fixed[0] = 4
    struct.pack_into("<HH", fixed, 1, 5, len(challenge))
    return packet(AUTHENTICATE, REQUEST, bytes(fixed) + challenge)


class ClientAgainstFakeServerTest(unittest.TestCase):
    """The client's reading side: any bytes from a server end in a line, never a crash."""

    @classmethod
    def setUpClass(cls):
        qmstest.require_programs(ADMIN_CLIENT)

    def run_client(self, reply, *options):
        server = FakeServer(reply)
        self.addCleanup(server.close)
        r = subprocess.run([ADMIN_CLIENT, "--port", str(server.port), "--password", "pw",
                            "--seconds", "10"] + list(options),
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=RUN_TIMEOUT)
        server.close()
        events = r.stdout.decode("latin-1").splitlines()
        bad = [e for e in events if not EVENT_RE.match(e)]
        self.assertFalse(bad, "output of the client that is no event:\n" + "\n".join(events))
        return r.returncode, events, server

    def test_answers_the_challenge_with_the_digest_and_escapes_texts(self):
        challenge = b"<1.2@fake>"
        digest = hashlib.md5(challenge + b"pw").hexdigest().encode()

        def reply(server):
            yield text_packet(IDENTITY_CODE, RESULT, 16, [b"A\tB", b"1", b"b\\x", b"q."])
            yield challenge_packet(challenge)
            # The verdict is given only for the right digest; the keep-alive is
            # answered with its own time stamp.
            # Results carry the client's current sequence: 1, after its identity request.
            server.wait_received(packet(AUTHENTICATE, RESULT,
                                        b"\x04" + struct.pack("<HH", 5, 32) + digest, sequence=1))
            stamp = bytes(range(1, 9))
            yield packet(PING, REQUEST, stamp, sequence=9)
            server.wait_received(packet(PING, RESULT, stamp, sequence=1))
            yield verdict(0)
            yield text_packet(GETSTR, INFORMATION, 10, [b"qms.console.output", b"a\r\nb"],
                              first=2)
            yield packet(99, INFORMATION, b"xyz")

        rc, events, server = self.run_client(reply, "--command", "help")
        self.assertEqual(rc, 0, events)
        self.assertEqual(events, ["CONNECTED", "IDENTITY A\\x09B\t1\tb\\x5cx\tq.",
                                  "CHALLENGE <1.2@fake>", "PING", "LOGIN OK", "SENT help",
                                  "CONSOLE a\\x0d\\x0ab", "PACKET 99 0 3", "CLOSED"])
        self.assertIn(struct.pack("<HH", 13, 4) + b"help", server.received)

    def test_broken_packets_end_the_run(self):
        cases = [
            ("oversized length", [packet(PING, REQUEST, b"", 65535)], 2),
            ("length one above the limit", [packet(GETSTR, INFORMATION, b"", 65529)], 2),
            ("descriptor past the payload",
             [packet(IDENTITY_CODE, RESULT, struct.pack("<HH", 16, 500) + bytes(12))], 2),
            ("descriptor inside the fixed part",
             [packet(GETSTR, INFORMATION, struct.pack("<HHHHH", 13, 0, 2, 0, 0))], 2),
            ("fixed part cut short", [packet(AUTHENTICATE, REQUEST, b"\x04")], 2),
            ("end inside a packet", [packet(PING, REQUEST, b"\x00" * 8)[:11]], 2),
            ("verdict refused", [verdict(1)], 1),
            ("other verdict", [verdict(7)], 1),
            # Fields past a short payload must not read as a verdict of success.
            ("verdict cut short", [packet(AUTHENTICATE, INFORMATION, b"\x00")], 2),
        ]
        for what, chunks, status in cases:
            with self.subTest(what):
                rc, events, _ = self.run_client(lambda server, c=chunks: iter(c))
                self.assertEqual(rc, status, (what, events))
                self.assertEqual(events[0], "CONNECTED", events)
                if status == 2:
                    self.assertTrue(events[-1].startswith("BROKEN"), (what, events))

    def test_random_bytes_never_crash_the_client(self):
        rng = random.Random(20030102)
        for round_ in range(40):
            size = rng.randrange(1, 3000)
            data = bytes(rng.getrandbits(8) for _ in range(size))
            # Now and then a plausible header in front, so that payloads get parsed.
            if round_ % 2:
                code = rng.choice([0, 1, 2, 16, 17, 32, 99])
                data = packet(code, rng.randrange(4), data[:200]) + data[200:]
            with self.subTest(round=round_):
                rc, events, _ = self.run_client(lambda server, d=data: iter([d]))
                self.assertIn(rc, (0, 1, 2), events)
                self.assertTrue(events and events[0] == "CONNECTED", events)


if __name__ == "__main__":
    unittest.main()
