"""The text console qms32con in tmux: started by the real server in a tmux window of its
own, it shows the site's services, the figures and the console lines, sends operator keys,
keeps a clean screen at other widths and ends silently with the server. From the command
line it refuses a wrong password and reports a missing server. Against a fake server, a
broken packet after the login ends it with the terminal given back."""

import os
import shutil
import subprocess
import unittest

import qmstest
from qmstest import BUILD_DIR, RUN_TIMEOUT
from test_admin import (ADMIN_RUNNING, AUTH_OK, GETSTR, IDENTITY_CODE, INFORMATION,
                        PING, REQUEST, RESULT, AdminTestCase, FakeServer, challenge_packet,
                        packet, text_packet, verdict)

CONSOLE_BINARY = os.path.join(BUILD_DIR, "console", "qms32con")
ARTIFACTS = os.path.join(BUILD_DIR, "artifacts")
WINDOW = "Quillmar/32 v0.9.5 Console"
TITLE = " Quillmar/32 v0.9.5 Console"
TMUX = shutil.which("tmux")


class Tmux:
    """A private tmux server (its own socket) with one detached session."""

    def __init__(self, root):
        self.socket = os.path.join(root, "tmux.sock")
        self("new-session", "-d", "-s", "t", "-x", "80", "-y", "25", "-e", "LANG=C.UTF-8",
             "sleep 3600")
        self.pid = int(self("display-message", "-p", "#{pid}").strip())

    def __call__(self, *args):
        r = subprocess.run([TMUX, "-S", self.socket] + list(args), stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT, timeout=RUN_TIMEOUT)
        if r.returncode != 0:
            raise AssertionError("tmux %s: %s" % (" ".join(args), r.stdout.decode()))
        return r.stdout.decode("utf-8", "replace")

    def env(self):
        """What a program started inside this session finds in TMUX."""
        return "%s,%d,0" % (self.socket, self.pid)

    def windows(self):
        """{name: window id} (a name with dots is no target of its own)."""
        lines = self("list-windows", "-t", "t", "-F", "#{window_id} #{window_name}")
        return dict(reversed(line.split(" ", 1)) for line in lines.splitlines())

    def screen(self, target):
        return self("capture-pane", "-p", "-t", target).splitlines()

    def wait_screen(self, target, condition, what):
        """The pane's rows once condition(rows) holds."""
        rows = []

        def ready():
            nonlocal rows
            rows = self.screen(target)
            return condition(rows)
        try:
            qmstest.wait_for(ready, what=what)
        except AssertionError:
            raise AssertionError("no %s on the screen:\n%s" % (what, "\n".join(rows)))
        return rows

    def close(self):
        subprocess.run([TMUX, "-S", self.socket, "kill-server"], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=RUN_TIMEOUT)


def layout_faults(rows, width):
    """What is wrong with the screen's layout at a width: rows past the width, a title bar
    that does not start with the title, boxes that are not whole, anything right of the
    last whole box inside the status frame."""
    faults = [i for i, r in enumerate(rows) if len(r) > width]
    if not rows or not rows[0].startswith(TITLE):
        faults.append("title")
    boxes = min(5, width // 16)
    frame = rows[1:9] if len(rows) >= 9 else []
    for k in range(boxes):
        left, right = 16 * k, 16 * k + 15
        edges = [(0, right, "┐"), (7, left, "└"), (7, right, "┘")]
        edges += [(r, left, "│") for r in range(1, 7) if k] + [(r, right, "│") for r in (1, 5)]
        for r, c, ch in edges:
            if len(frame) < 8 or len(frame[r]) <= c or frame[r][c] != ch:
                faults.append("box %d row %d column %d" % (k, r + 2, c + 1))
    faults += ["frame row %d" % (i + 2) for i, r in enumerate(frame) if r[16 * boxes:].strip()]
    return faults


def keep_screen(name, rows):
    os.makedirs(ARTIFACTS, exist_ok=True)
    with open(os.path.join(ARTIFACTS, name), "w", encoding="utf-8") as f:
        f.write("\n".join(rows) + "\n")


@unittest.skipUnless(TMUX, "tmux is not installed")
class ConsoleTest(AdminTestCase):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        qmstest.require_programs(CONSOLE_BINARY)

    def setUp(self):
        super().setUp()
        self.tmux = Tmux(self.site.root)
        self.addCleanup(self.tmux.close)

    def console(self, *args):
        """qms32con of the site run from the command line to its end, in line mode."""
        return self.site.run([self.site.path("utilities", "qms32con")] + list(args))

    def test_started_by_the_server_it_shows_the_site_and_takes_keys(self):
        qmstest.edit_config(self.site.path("documentation", "config", "qms.cfg"),
                            "GLOBAL", "DisableConsoleStart", "0")
        server = self.site.start_server(env=self.site.env(TMUX=self.tmux.env()))
        server.wait_for_line(ADMIN_RUNNING)
        server.wait_for_line("Starting QMS Console ...")
        qmstest.wait_for(lambda: WINDOW in self.tmux.windows(), what="the console window")
        win = self.tmux.windows()[WINDOW]

        names = ["ADMIN"] + [s[:6] for s in self.shipped_services()]
        rows = self.tmux.wait_screen(
            win, lambda rows: all(any(r.find("│" + n + " ") >= 0 for r in rows[2:9])
                                  for n in names)
            and any("│Up  0/00:" in r for r in rows) and any("│Mem " in r for r in rows)
            and any(AUTH_OK in r for r in rows[9:]) and "1 default" in rows[1],
            "grid of every service with uptime, memory and console lines")
        self.assertEqual(layout_faults(rows, 80), [], "\n".join(rows))
        keep_screen("console-80.txt", rows)

        self.tmux("send-keys", "-t", win, "M-r")
        self.tmux.wait_screen(win, lambda rows: any(r.endswith("  Press Alt+I for instant restart!")
                                                    for r in rows), "the pending restart")
        self.tmux("send-keys", "-t", win, "M-r")
        self.tmux.wait_screen(win, lambda rows: any(r.endswith("  QMS restart aborted.")
                                                    for r in rows), "the aborted restart")

        # Redrawn for the new width: the title's time moves to the right edge at 60
        # columns; at 132 the output lines wrapped at 80 are whole again.
        redrawn = {60: lambda rows: len(rows[0]) == 60,
                   132: lambda rows: any(r.endswith(" no active connections.") for r in rows)}
        for width, done in redrawn.items():
            self.tmux("resize-window", "-t", win, "-x", str(width), "-y", "25")
            rows = self.tmux.wait_screen(win, lambda rows: done(rows)
                                         and not layout_faults(rows, width),
                                         "a clean screen %d columns wide" % width)
            keep_screen("console-%d.txt" % width, rows)

        # A wrong password from the command line, while the server runs.
        result = self.console("-pwrong")
        self.assertStatus(result, 1)
        self.assertEqual(result.texts[-2:], ["Replied to authentication request ...",
                                             "Not authenticated, aborting ..."],
                         result.describe())
        self.assertIn("Connected to 127.0.0.1 ...", result.texts, result.describe())
        self.assertIn("Address read from config file ...", result.texts, result.describe())

        # Alt+X stops the server; the console ends with its link, without a word.
        self.tmux("send-keys", "-t", win, "M-x")
        self.assertOrderlyStop(server.wait())
        qmstest.wait_for(lambda: WINDOW not in self.tmux.windows(), what="the console's end")

        result = self.console()
        self.assertStatus(result, 2)
        self.assertEqual(result.texts[-1], "Connection failed, aborting ...", result.describe())

    def test_broken_packets_end_the_link_with_the_terminal_given_back(self):
        cases = [
            ("text outside its packet",
             packet(IDENTITY_CODE, RESULT, b"\x10\x00\xf4\x01" + bytes(12)), 2),
            ("status name cut short", packet(GETSTR, INFORMATION, b"\x0d\x00"), 2),
            ("length beyond the buffer", packet(PING, REQUEST, b"", 65535), 0),
            ("end inside a packet", packet(PING, REQUEST, bytes(8))[:11], 0),
            ("unknown code, then the end", packet(99, INFORMATION, b"xyz"), 0),
        ]
        for n, (what, bad, status) in enumerate(cases):
            with self.subTest(what):
                def reply(server, bad=bad):
                    yield challenge_packet(b"<1.2@fake>")
                    yield verdict(0)
                    yield text_packet(GETSTR, INFORMATION, 10,
                                      [b"qms.console.output", b"before the fault"], first=2)
                    yield bad
                fake = FakeServer(reply)
                self.addCleanup(fake.close)
                win = "t:case%d" % n
                self.tmux("new-window", "-d", "-t", "t", "-n", "case%d" % n,
                          "%s 127.0.0.1:%d -ppw; echo rc=$?; echo modes: $(stty -a | tr ' ' '\\n'"
                          " | grep -x -E -- '-?(icanon|echo)'); exec sleep 3600"
                          % (CONSOLE_BINARY, fake.port))
                rows = self.tmux.wait_screen(win, lambda rows: any(r.startswith("modes:")
                                                                   for r in rows), "the end")
                text = "\n".join(rows)
                self.assertIn("rc=%d" % status, rows, text)
                self.assertEqual(self.tmux("display-message", "-p", "-t", win,
                                           "#{alternate_on}").strip(), "0", text)
                self.assertIn("modes: icanon echo", rows, text)
                self.assertNotRegex(text, r"Sanitizer|runtime error", text)
                if status == 2:
                    self.assertIn("Broken packet from the server, connection closed ...", rows)


if __name__ == "__main__":
    unittest.main()
