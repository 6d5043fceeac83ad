"""qms32mgr, the windowed manager, as a real window: under Xvfb when it is installed (the
offscreen platform plugin otherwise, or with QMS_MANAGER_PLATFORM=offscreen). The program's
test view (QMS_MANAGER_PROBE, see manager/managerprobe.h) reports its windows' texts and
carries out clicks and menu commands. Against a running server: the status list fills
with every service, console lines arrive, Restart and Shutdown act on the server and the
manager connects again after the restart. Against a fake server: the digest and keep-alive
answers, the text formats and the status row rules, and broken packets that end a
connection without harm. Screenshots of the three windows are kept in the build
directory (test-artifacts/manager)."""

import hashlib
import json
import os
import shutil
import socket
import struct
import subprocess
import threading
import unittest

import qmstest
from qmstest import BUILD_DIR, POLL_TIMEOUT, SiteTestCase

MANAGER_BINARY = os.path.join(BUILD_DIR, "manager", "qms32mgr")
ARTIFACTS = os.path.join(BUILD_DIR, "test-artifacts", "manager")
LSAN_FILE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "manager.lsan")
WINDOWS = ("TFormConsole", "TFormConsoleScreen", "TFormServiceStatus")
PASSWORD = "Mgr-Secret"
ADMIN_RUNNING = "ADMIN service /ADMIN running"
AUTH_OK = "Successful administrative authentication (127.0.0.1)"
PROTOCOL_NAMES = {"smtpd": "SMTPd", "pop3d": "POP3d", "imap4d": "IMAP4d",
                  "ftpd": "FTPd", "httpd": "HTTPd"}


def start_display():
    """(environment for Qt, Xvfb process or None)."""
    if os.environ.get("QMS_MANAGER_PLATFORM") == "offscreen" or not shutil.which("Xvfb"):
        return {"QT_QPA_PLATFORM": "offscreen"}, None
    read_end, write_end = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24",
                             "-nolisten", "tcp"], pass_fds=(write_end,),
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                            start_new_session=True)
    os.close(write_end)
    with os.fdopen(read_end) as f:
        number = f.readline().strip()
    if not number:
        xvfb.kill()
        raise AssertionError("Xvfb did not start")
    return {"QT_QPA_PLATFORM": "xcb", "DISPLAY": ":" + number}, xvfb


class Manager:
    """One qms32mgr run with its test view in a directory of its own."""

    def __init__(self, site, display_env, *args):
        self.probe = os.path.join(site.root, "probe%d" % len(site.processes))
        os.makedirs(self.probe)
        env = site.env(QMS_MANAGER_PROBE=self.probe, LSAN_OPTIONS="suppressions=" + LSAN_FILE,
                       **display_env)
        self.process = site.start([site.path("utilities", "qms32mgr")] + list(args), env=env)
        self.done = 0

    def state(self):
        try:
            with open(os.path.join(self.probe, "state.json")) as f:
                return json.load(f)
        except (OSError, ValueError):
            return None

    def wait(self, condition, what, timeout=POLL_TIMEOUT):
        """Polls the window state until condition(state) holds; returns that state."""
        found = []

        def check():
            if not self.process.running():
                raise AssertionError("manager ended before %s: %s"
                                     % (what, self.process.describe()))
            s = self.state()
            if s is not None and condition(s):
                found.append(s)
                return True
            return False
        qmstest.wait_for(check, timeout=timeout, what="%s; last state %s" % (what, self.state()))
        return found[0]

    def post(self, *lines):
        temp = os.path.join(self.probe, "commands.tmp")
        with open(temp, "w") as f:
            f.write("".join(line + "\n" for line in lines))
        os.replace(temp, os.path.join(self.probe, "commands"))
        self.done += len(lines)

    def command(self, *lines):
        """Carries out clicks and menu commands and waits until they are done."""
        self.post(*lines)
        return self.wait(lambda s: s["commands_done"] >= self.done, "commands %r" % (lines,))

    def history(self, s):
        return s["panel2_history"]

    def exit(self):
        """Exit from the Command menu ends the program in order."""
        self.post("trigger Exit1")
        return self.process.wait()


def after_last(history, text):
    return history[len(history) - 1 - history[::-1].index(text):] if text in history else []


class ManagerTest(SiteTestCase):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        if not os.access(MANAGER_BINARY, os.X_OK):
            raise unittest.SkipTest("qms32mgr not built (Qt 6 Widgets missing)")
        cls.display_env, cls.xvfb = start_display()

    @classmethod
    def tearDownClass(cls):
        if cls.xvfb is not None:
            cls.xvfb.kill()
            cls.xvfb.wait()

    def manager(self, *args):
        return Manager(self.site, self.display_env, *args)

    def shipped_rows(self):
        """[personality, service, protocol name] of every service the shipped site runs."""
        with open(self.site.path("documentation", "config", "default", "default.cfg"), "rb") as f:
            config = qmstest.parse_config(f.read())
        sections = [s for s in config["GLOBAL"]["ServiceSections"].replace(",", " ").split() if s]
        rows = [["", "ADMIN", "ADMINd"]]
        rows += [["default", s, PROTOCOL_NAMES[config[s.upper()]["Protocol"].strip("-").lower()]]
                 for s in sections]
        return rows

    def test_manager_follows_restarts_and_stops_the_server(self):
        qmstest.edit_config(self.site.path("documentation", "config", "qms.cfg"),
                            "ADMIN", "Password", PASSWORD)
        launcher = self.site.start_launcher()
        launcher.wait_for_line(ADMIN_RUNNING)
        mgr = self.manager(PASSWORD, "127.0.0.1:%d" % self.site.admin_port)

        expected = sorted(self.shipped_rows())
        s = mgr.wait(lambda s: sorted(r[:3] for r in s["rows"]) == expected
                     and AUTH_OK in [qmstest.strip_thread(l) for l in s["memo"]]
                     and s["panels"][0] and s["panels"][1],
                     "every service, the login line, a keep-alive and the uptime")
        self.assertEqual(s["windows"]["TFormConsole"]["title"], "Quillmar/32 v0.9.5 Manager")
        self.assertEqual(s["tabs"], ["Real time"])
        self.assertEqual(s["columns"], ["Personality", "Service", "Protocol", "Status", "Pool",
                                        "Sessions"])
        self.assertEqual(s["actions"], {"Exit1": "E&xit", "Restart1": "Restart",
                                        "Shutdown1": "Shutdown"})
        self.assertEqual(mgr.history(s)[:3],
                         ["Connection thread started", "Connecting ...", "Connected"])
        self.assertRegex(s["panels"][0], r"^\d\d:\d\d:\d\d$")
        self.assertRegex(s["panels"][1], r"^0/00:\d\d:\d\d$")
        self.assertTrue(all(r[3] == "Running" for r in s["rows"]), s["rows"])
        self.assertIn(qmstest.RUNNING, [qmstest.strip_thread(l) for l in s["memo"]])

        # The tool buttons open the windows and show that they are open.
        for name in ("TFormConsoleScreen", "TFormServiceStatus"):
            self.assertFalse(s["windows"][name]["visible"])
        s = mgr.command("click ToolButton4", "click ToolButton1", "grab")
        self.assertTrue(s["windows"]["TFormConsoleScreen"]["visible"])
        self.assertTrue(s["windows"]["TFormServiceStatus"]["visible"])
        self.assertEqual({k: v["checked"] for k, v in s["buttons"].items()},
                         {"ToolButton4": True, "ToolButton1": True})
        os.makedirs(ARTIFACTS, exist_ok=True)
        for name in WINDOWS:
            shutil.copyfile(os.path.join(mgr.probe, name + ".png"),
                            os.path.join(ARTIFACTS, name + ".png"))
        s = mgr.command("click ToolButton4")
        self.assertFalse(s["windows"]["TFormConsoleScreen"]["visible"])
        self.assertFalse(s["buttons"]["ToolButton4"]["checked"])

        # Restart: the server restarts through the launcher and the manager follows it.
        mgr.command("trigger Restart1")
        launcher.wait_for_line("Restarting QMS Server (")
        launcher.wait_for_line(ADMIN_RUNNING, count=2)
        mgr.wait(lambda s: "Connected" in after_last(mgr.history(s), "Disconnected")
                 and [qmstest.strip_thread(l) for l in s["memo"]].count(AUTH_OK) >= 2,
                 "a new connection and login after the restart")

        # Shutdown: the server stops; the manager keeps trying to connect.
        mgr.command("trigger Shutdown1")
        result = launcher.wait()
        self.assertStatus(result, 0)
        self.assertLineOrder(result, "RESTART (Alt+R)", "SHUTDOWN (Alt+X)", "QMS has been shut down")
        mgr.wait(lambda s: after_last(mgr.history(s), "Disconnected")[1:3]
                 == ["Connecting ...", "Connection failed"], "failed connects")
        self.assertStatus(mgr.exit(), 0)

    def test_fake_server_answers_formats_and_broken_packets(self):
        server = FakeServer()
        self.addCleanup(server.close)
        mgr = self.manager(PASSWORD, "127.0.0.1:%d" % server.port)
        s = mgr.wait(lambda s: len(server.sessions) == len(CASES) + 1
                     and mgr.history(s)[-1] == "Connected", "a connection after every case")
        history = mgr.history(s)
        self.assertEqual(history.count("Disconnected (bad packet)"), 3, history)
        self.assertEqual(history.count("Disconnected"), 2, history)

        # The first connection: identity, digest and keep-alive answers.
        first = parse_stream(server.sessions[0].received)
        self.assertEqual(first[0][:2], (1, 1))
        self.assertEqual(texts(first[0][2], 3), [b"Quillmar/32 Console", b"0.9.5",
                                                     qmstest.BUILD_ID.encode()])
        digest = hashlib.md5(CHALLENGE + PASSWORD.encode()).hexdigest().encode()
        self.assertIn((2, 2, b"\x04" + struct.pack("<HH", 5, 32) + digest), first)
        self.assertIn((0, 2, PING_STAMP), first)

        self.assertEqual(s["panels"][:2], ["12:34:56", "1/01:01:01"])
        self.assertIn("caf\u00e9 \u20ac5", s["memo"])
        self.assertIn("gr\u00fc\u00dfe", s["memo"])
        self.assertNotIn("ignored", s["memo"])
        # Row counter: rows follow the order of a round; the second round only updates the
        # state, pool and session cells; unknown numbers show as themselves.
        self.assertEqual(s["rows"], [["", "ADMIN", "ADMINd", "Running", "1", "1"],
                                     ["site one", "WEB", "HTTPd", "Stopped", "3", "7"],
                                     ["site one", "X", "9", "12", "0", "0"]])
        self.assertStatus(mgr.exit(), 0)


# ---------------------------------------------------------------------------------------
# A fake management service

CHALLENGE = b"<4242.63871234567890@localhost>"
PING_STAMP = struct.pack("<II", (12 * 3600 + 34 * 60 + 56) * 1000 + 789, 739500)


def packet(code, kind, payload, length=None):
    return struct.pack("<BBHHH", 0, code, kind, 0, len(payload) if length is None else length) \
        + payload


def text_packet(code, kind, fixed, slots, texts_):
    """A packet with a fixed part of the given bytes whose descriptors at slots name texts."""
    fixed = bytearray(fixed)
    area = b""
    for slot, t in zip(slots, texts_):
        struct.pack_into("<HH", fixed, slot, len(fixed) + len(area), len(t))
        area += t
    return packet(code, kind, bytes(fixed) + area)


def named_text(name, value):
    return text_packet(17, 0, struct.pack("<H", 13) + bytes(8), (2, 6), (name, value))


def status(group, service, value):
    return named_text(b"qms.server.%s.%s.status" % (group, service), value)


GREETING = b"".join([
    packet(2, 1, b"\x04" + struct.pack("<HH", 5, len(CHALLENGE)) + CHALLENGE),
    packet(0, 1, PING_STAMP),
    text_packet(16, 0, struct.pack("<H", 13) + bytes(4) + struct.pack("<I", 90061), (2,),
                (b"qms.uptime",)),
    named_text(b"qms.console.output", b"caf\xe9 \x805"),
    named_text(b"qms.console.output", "grüße".encode()),
    named_text(b"other.console.output", b"ignored"),
    status(b"", b"ADMIN", b"0 0 0 2 1 1"),
    status(b"site one", b"WEB", b"1 0 2 2 4 0"),
    status(b"site one", b"X", b"1 1 9 12 0 0"),
    status(b"", b"ADMIN", b"0 0 0 2 1 1"),
    status(b"changed", b"NAME", b"1 0 4 6 3 7"),
    packet(99, 0, b"unknown code"),
])

# What follows the greeting on each connection: (bytes, end the connection after them).
CASES = [
    (packet(17, 0, struct.pack("<HHHHH", 13, 10, 1, 11, 50) + b"xy"), False),  # text past the end
    (packet(17, 0, b"x" * 10, 65535), False),                              # oversized length
    (packet(0, 1, b"\x01\x02"), False),                                    # fixed part cut short
    (packet(17, 0, b"x" * 100, 100)[:40], True),                           # truncated, then closed
    (b"", True),                                                            # closed in order
]


class FakeSession:
    received = b""  # what the manager sent on one connection


class FakeServer:
    """Takes one connection per case: the greeting, then the case's bytes; then it reads
    until the manager closes the connection (or closes it itself)."""

    def __init__(self):
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(4)
        self.listener.settimeout(POLL_TIMEOUT)
        self.port = self.listener.getsockname()[1]
        self.sessions = []
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        for number in range(len(CASES) + 1):
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            session = FakeSession()
            self.sessions.append(session)
            if number == len(CASES):
                with conn:
                    conn.sendall(GREETING)
                    self._read(conn, session)  # the last connection stays open
                return
            data, end = CASES[number]
            with conn:
                conn.settimeout(POLL_TIMEOUT)
                try:
                    conn.sendall(GREETING + data)
                    if end:
                        conn.shutdown(socket.SHUT_WR)
                except OSError:
                    pass
                self._read(conn, session)

    @staticmethod
    def _read(conn, session):
        conn.settimeout(POLL_TIMEOUT)
        try:
            while True:
                data = conn.recv(65536)
                if not data:
                    return
                session.received += data
        except OSError:
            return

    def close(self):
        self.listener.close()
        self.thread.join(POLL_TIMEOUT)


def parse_stream(data):
    """[(code, kind, payload)] of the packets a client sent."""
    out = []
    while len(data) >= 8:
        _, code, flags, _, length = struct.unpack_from("<BBHHH", data)
        out.append((code, flags & 3, data[8:8 + length]))
        data = data[8 + length:]
    return out


def texts(payload, count):
    """The first count texts a payload's descriptors name."""
    result = []
    for i in range(count):
        offset, length = struct.unpack_from("<HH", payload, i * 4)
        result.append(payload[offset:offset + length])
    return result


if __name__ == "__main__":
    unittest.main()
