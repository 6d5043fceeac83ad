"""Shared helpers of the process-level tests.

Every test stages a complete site (launcher, server, shipped defaults) in a temporary
directory of its own with scripts/stage-site.sh and runs the real programs there, with the
site as working directory. Processes are started in sessions of their own so that a
cleanup can end a launcher together with the server it started.

Once the server has started its services it runs its main loop until it is stopped (a
termination signal, a command file in the site directory, or Alt+X on its terminal). The
helpers start programs in the background, wait for lines of their output and stop them;
the staged defaults are adapted so that no console window is started and every service
listens on 127.0.0.1 on a port of its own.

Environment: QMS_BUILD_DIR (the CMake build directory holding the programs) and
QMS_SOURCE_DIR (the source tree); both default to values derived from this file's place.
"""

import ctypes
import datetime
import errno
import os
import re
import shutil
import signal
import socket
import stat
import subprocess
import tempfile
import termios
import threading
import time
import unittest
import zlib

SOURCE_DIR = os.path.abspath(
    os.environ.get("QMS_SOURCE_DIR")
    or os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
BUILD_DIR = os.path.abspath(
    os.environ.get("QMS_BUILD_DIR") or os.path.join(SOURCE_DIR, "build", "release"))

LAUNCHER_BINARY = os.path.join(BUILD_DIR, "launcher", "qms32")
SERVER_BINARY = os.path.join(BUILD_DIR, "server", "qms32srv")
# The server with the test echo session registered for every site protocol.
ECHO_SERVER_BINARY = os.path.join(BUILD_DIR, "tests", "qms32srv-echo")

PRODUCT_VERSION = "0.9.5"
BUILD_ID = "Build ID: Jan 02 2003 20:00 (Beta)"
SERVER_TITLE = " Quillmar/32 v0.9.5 Server"
LAUNCHER_TITLE = "Quillmar/32 v0.9.5"

# Generous limits: the programs normally end within a second.
RUN_TIMEOUT = 60
POLL_TIMEOUT = 30

# Once the server has started its services it runs until stopped.
RUNNING = "Stability monitor is running ... -[ Press Alt+X to shutdown ]-"
SHUTDOWN_INSTANT = ".shutdown.instant"
COMMAND_FILES = (".shutdown", ".restart", ".shutdown.instant", ".restart.instant")

CONSOLE_RECORD_SIZE = 256
CONSOLE_TEXT_MAX = 247

WEEKDAYS = ("Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday", "Sunday")
DAY_LINE_RE = re.compile(r"^@(\d{4})/(\d{2})/(\d{2}) \((%s) (\d{2}):(\d{2}):(\d{2})\)$"
                         % "|".join(WEEKDAYS))
LOG_ENTRY_RE = re.compile(r"^(\d{2}):(\d{2}):(\d{2})\.(\d{2}) ")
LAUNCHER_STAMP_RE = re.compile(r"^(\d{4})(\d{2})(\d{2})(\d{2})(\d{2})(\d{2})\.(0|[1-9]\d{0,2})$")
# Lines written once the server runs its services start with the writing thread's id.
THREAD_PREFIX_RE = re.compile(r"^\[[ 0-9a-f]{4,}\] ")


# ---------------------------------------------------------------------------------------
# Values and formats

def launcher_stamp(when=None):
    """The proof argument the launcher gives the server: local time as yyyymmddhhnnss.m,
    milliseconds without padding."""
    when = when or datetime.datetime.now()
    return "%s.%d" % (when.strftime("%Y%m%d%H%M%S"), when.microsecond // 1000)


def fresh_stamp():
    return launcher_stamp(datetime.datetime.now())


def aged_stamp(seconds):
    """A proof argument naming a time the given number of seconds ago (negative: ahead)."""
    return launcher_stamp(datetime.datetime.now() - datetime.timedelta(seconds=seconds))


def parse_launcher_stamp(text):
    """The local time a proof argument names, or None when it is not of the proper form."""
    m = LAUNCHER_STAMP_RE.match(text)
    if not m:
        return None
    y, mo, d, h, mi, s, ms = (int(g) for g in m.groups())
    try:
        return datetime.datetime(y, mo, d, h, mi, s, ms * 1000)
    except ValueError:
        return None


def encode_exit(code):
    """Process exit status of an internal exit code (halts 10000-10099 become 100-199)."""
    if code in (0, 1):
        return code
    if 10000 <= code <= 10099:
        return code - 9900
    if code == 10100:
        return 99
    if 200 <= code <= 255:
        return code
    return 98


def decode_exit(status):
    """Internal exit code of a process exit status, as the launcher reads it."""
    if 100 <= status <= 199:
        return status + 9900
    if status == 99:
        return 10100
    return status


def crc_text(data):
    return "%08x" % (zlib.crc32(data) & 0xFFFFFFFF)


def file_crc(path):
    with open(path, "rb") as f:
        return crc_text(f.read())


_ports_given = set()


def _ephemeral_range():
    try:
        with open("/proc/sys/net/ipv4/ip_local_port_range") as f:
            low, high = (int(x) for x in f.read().split())
            return low, high
    except (OSError, ValueError):
        return 32768, 60999


def free_port():
    """A TCP port on 127.0.0.1 that was free a moment ago. Taken below the range the
    kernel hands out to client sockets, so that a connection of a test cannot occupy it
    before the server binds it; never the same port twice in one test process."""
    import random
    low, _high = _ephemeral_range()
    top = max(low - 1, 12000)
    for _ in range(1000):
        port = random.randint(10000, top)
        if port in _ports_given:
            continue
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
            try:
                s.bind(("127.0.0.1", port))
            except OSError:
                continue
        _ports_given.add(port)
        return port
    raise AssertionError("no free TCP port found on 127.0.0.1")


def rexx_library_loads(name="libregina.so.3"):
    try:
        ctypes.CDLL(name)
        return True
    except OSError:
        return False


def split_crlf(data):
    """Lines of CR LF terminated text (bytes), decoded byte for byte."""
    text = data.decode("latin-1")
    lines = text.split("\r\n")
    if lines and lines[-1] == "":
        lines.pop()
    return lines


def has_bare_lf(data):
    return b"\n" in data.replace(b"\r\n", b"")


def strip_thread(line):
    """A console or log text without the "[tid] " prefix of the thread that wrote it."""
    m = THREAD_PREFIX_RE.match(line)
    return line[m.end():] if m else line


# ---------------------------------------------------------------------------------------
# Sectioned key files

def parse_config(data):
    """{SECTION: {key: value}} of a key file; section names upper-cased, keys exact."""
    result = {}
    section = ""
    for line in data.decode("latin-1").splitlines():
        t = line.strip()
        if not t or t[0] in "#;":
            continue
        if t.startswith("[") and "]" in t:
            section = t[1:t.index("]")].strip().upper()
            result.setdefault(section, {})
            continue
        if "=" not in t:
            continue
        key, value = t.split("=", 1)
        result.setdefault(section, {})[key.strip()] = value.strip()
    return result


def edit_config(path, section, key, value):
    """Sets (value a string) or removes (value None) one key of a key file in place,
    keeping its other lines and its line ends."""
    with open(path, "rb") as f:
        raw = f.read().decode("latin-1")
    eol = "\r\n" if "\r\n" in raw else "\n"
    lines = raw.split(eol)
    trailing = lines and lines[-1] == ""
    if trailing:
        lines.pop()
    current = ""
    end_of_section = None
    done = False
    out = []
    for line in lines:
        t = line.strip()
        if t.startswith("[") and "]" in t:
            if current.upper() == section.upper() and not done and value is not None:
                out.append("%s=%s" % (key, value))
                done = True
            current = t[1:t.index("]")].strip()
            out.append(line)
            continue
        if current.upper() == section.upper() and "=" in t and t[0] not in "#;" \
                and t.split("=", 1)[0].strip() == key:
            if value is not None and not done:
                out.append("%s=%s" % (key, value))
                done = True
            continue
        out.append(line)
    if value is not None and not done:
        if current.upper() != section.upper():
            out.append("[%s]" % section)
        out.append("%s=%s" % (key, value))
    text = eol.join(out) + (eol if trailing or not out else "")
    with open(path, "wb") as f:
        f.write(text.encode("latin-1"))


# ---------------------------------------------------------------------------------------
# Processes

class Result:
    """Outcome of one finished program run."""

    def __init__(self, returncode, output):
        self.returncode = returncode
        self.output = output          # bytes: standard output and standard error together
        self.text = output.decode("latin-1")
        self.lines = split_crlf(output)
        # The lines without the thread id the server puts in front once it runs.
        self.texts = [strip_thread(l) for l in self.lines]

    def __repr__(self):
        return "Result(returncode=%r)" % self.returncode

    def describe(self):
        return "exit status %r, output:\n%s" % (self.returncode, self.text)


class Process:
    """A started program whose output goes to a file; ended (with its whole session) by
    kill() when the test did not wait for it.

    With pty=True standard input, output and error are a pseudo-terminal (without echo and
    without output translation, so the bytes are the program's own); send() types into it
    and a reader thread copies what the program writes into the output file."""

    def __init__(self, argv, cwd, env, output_path, stdin=subprocess.DEVNULL, pty=False):
        self.output_path = output_path
        self._swept = False
        self._master = None
        self._reader = None
        self._out = open(output_path, "wb")
        slave = None
        try:
            if pty:
                self._master, slave = os.openpty()
                attrs = termios.tcgetattr(slave)
                attrs[1] &= ~termios.OPOST                     # oflag: bytes as written
                attrs[3] &= ~(termios.ECHO | termios.ECHONL)   # lflag: typed keys not shown
                termios.tcsetattr(slave, termios.TCSANOW, attrs)
                stdin = stdout = slave
            else:
                stdout = self._out
            self.popen = subprocess.Popen(argv, cwd=cwd, env=env, stdin=stdin,
                                          stdout=stdout, stderr=subprocess.STDOUT,
                                          start_new_session=True)
        except BaseException:
            self._out.close()
            if self._master is not None:
                os.close(self._master)
            raise
        finally:
            if slave is not None:
                os.close(slave)
        self.pid = self.popen.pid
        if self._master is not None:
            self._reader = threading.Thread(target=self._copy_terminal, daemon=True)
            self._reader.start()

    def _copy_terminal(self):
        while True:
            try:
                data = os.read(self._master, 4096)
            except OSError as e:          # EIO: every writer of the terminal is gone
                if e.errno == errno.EINTR:
                    continue
                break
            if not data:
                break
            try:
                self._out.write(data)
                self._out.flush()
            except ValueError:            # closed by kill()
                break

    def send(self, data):
        """Types bytes on the program's terminal (pty=True only)."""
        os.write(self._master, data)

    def poll(self):
        return self.popen.poll()

    def running(self):
        return self.popen.poll() is None

    def signal(self, sig):
        if self.popen.poll() is None:
            self.popen.send_signal(sig)

    def wait(self, timeout=RUN_TIMEOUT):
        """Waits for the end; on a timeout ends the session and raises AssertionError."""
        try:
            rc = self.popen.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.kill()
            raise AssertionError("process %d did not end within %s s; output:\n%s"
                                 % (self.pid, timeout, self.output().decode("latin-1")))
        if self._reader is not None:
            self._reader.join(timeout=5)  # the rest of what it wrote
        self.kill()  # helpers left behind by the program (its session only)
        return Result(rc, self.output())

    def output(self):
        if not self._out.closed:
            self._out.flush()
        with open(self.output_path, "rb") as f:
            return f.read()

    def lines(self):
        return split_crlf(self.output())

    def texts(self):
        """The output lines so far, without thread ids."""
        return [strip_thread(l) for l in self.lines()]

    def count_lines(self, prefix):
        return sum(1 for t in self.texts() if t.startswith(prefix))

    def describe(self):
        state = "running" if self.running() else "exit status %r" % self.popen.poll()
        return "process %d (%s), output:\n%s" % (self.pid, state,
                                                 self.output().decode("latin-1"))

    def wait_for_line(self, prefix, count=1, timeout=POLL_TIMEOUT, may_end=False):
        """Waits until `count` output lines (thread ids left out) start with the prefix.
        Fails when the program ends first, unless may_end; returns those lines."""
        deadline = time.monotonic() + timeout
        while True:
            ended = not self.running()
            found = [t for t in self.texts() if t.startswith(prefix)]
            if len(found) >= count:
                return found
            if ended:
                if may_end:
                    return found
                raise AssertionError("ended before %d line(s) starting with %r: %s"
                                     % (count, prefix, self.describe()))
            if time.monotonic() > deadline:
                raise AssertionError("no %d line(s) starting with %r within %s s: %s"
                                     % (count, prefix, timeout, self.describe()))
            time.sleep(0.05)

    def wait_running(self, count=1, timeout=POLL_TIMEOUT):
        """Waits for the server's (count-th) main loop to run."""
        self.wait_for_line(RUNNING, count=count, timeout=timeout)

    def kill(self):
        """Ends every process of the session this process leads (ours only)."""
        if self._swept:
            return
        try:
            os.killpg(self.pid, signal.SIGKILL)
        except (ProcessLookupError, PermissionError):
            pass
        if self.popen.poll() is None:
            try:
                self.popen.wait(timeout=10)
            except subprocess.TimeoutExpired:
                pass
        # Once the leader has been reaped its number may be handed out again: sweep once.
        self._swept = self.popen.poll() is not None
        if self._reader is not None:
            self._reader.join(timeout=5)
        if not self._out.closed:
            self._out.close()
        if self._master is not None and (self._reader is None or not self._reader.is_alive()):
            os.close(self._master)
            self._master = None


def wait_for(condition, timeout=POLL_TIMEOUT, interval=0.05, what="condition"):
    """Polls until condition() is true; raises AssertionError after the timeout."""
    deadline = time.monotonic() + timeout
    while True:
        if condition():
            return
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(interval)


# ---------------------------------------------------------------------------------------
# Sites

def require_programs(*paths):
    missing = [p for p in paths if not os.access(p, os.X_OK)]
    if missing:
        raise AssertionError("programs not built (QMS_BUILD_DIR=%s): %s"
                             % (BUILD_DIR, ", ".join(missing)))


class Site:
    """A staged installation in a directory of its own."""

    def __init__(self, root):
        self.root = root
        self.dir = os.path.join(root, "site")
        self._runs = 0
        self.processes = []
        self.bin_dir = os.path.join(root, "bin")   # for PATH variants of the tests
        self.admin_port = None


    # -- layout ---------------------------------------------------------------------------
    def stage(self):
        env = dict(os.environ, QMS_BUILD_DIR=BUILD_DIR, QMS_NO_BUILD="1")
        r = subprocess.run([os.path.join(SOURCE_DIR, "scripts", "stage-site.sh"), self.dir],
                           env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                           timeout=RUN_TIMEOUT)
        if r.returncode != 0:
            raise AssertionError("staging failed:\n" + r.stdout.decode("latin-1"))
        self.localize_defaults()
        return self

    def localize_defaults(self):
        """Adapts the staged defaults (before the server installs them) to a test run:
        no console window, and every service of the shipped configuration on 127.0.0.1 and
        a port of its own, so that tests running at the same time do not collide and no
        test listens beyond the loopback network."""
        main = self.path("documentation", "config", "qms.cfg")
        self.admin_port = free_port()
        edit_config(main, "GLOBAL", "DisableConsoleStart", "1")
        edit_config(main, "ADMIN", "Address", "127.0.0.1")
        edit_config(main, "ADMIN", "Port", str(self.admin_port))
        group = self.path("documentation", "config", "default", "default.cfg")
        if os.path.isfile(group):
            with open(group, "rb") as f:
                sections = parse_config(f.read()).get("GLOBAL", {}).get("ServiceSections", "")
            for section in re.split(r"[ ,;\t]+", sections):
                if section:
                    edit_config(group, section, "Address", "127.0.0.1")
                    edit_config(group, section, "Port", str(free_port()))

    def admin_section(self):
        """An "ADMIN" section for a main configuration a test writes itself."""
        return ("[ADMIN]\r\nAddress=127.0.0.1\r\nPort=%d\r\nClientAddress=127.0.0.1\r\n"
                "Host=localhost\r\nTimeout=300\r\n" % self.admin_port)

    def use_echo_server(self):
        """Replaces the server program by the test server with the echo sessions."""
        target = self.path("binaries", "qms32srv")
        shutil.copyfile(ECHO_SERVER_BINARY, target + ".tmp")
        os.chmod(target + ".tmp", 0o755)
        os.replace(target + ".tmp", target)

    def command_file(self, name):
        """Drops an operator command file (".shutdown", ".restart.instant", ...)."""
        return self.write(name, b"")

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    def exists(self, *parts):
        return os.path.lexists(self.path(*parts))

    def read(self, *parts):
        with open(self.path(*parts), "rb") as f:
            return f.read()

    def write(self, rel, data, mode=None):
        p = self.path(rel)
        os.makedirs(os.path.dirname(p), exist_ok=True)
        with open(p, "wb") as f:
            f.write(data if isinstance(data, bytes) else data.encode("latin-1"))
        if mode is not None:
            os.chmod(p, mode)
        return p

    def mode(self, rel):
        return stat.S_IMODE(os.stat(self.path(rel)).st_mode)

    def shipped_files(self):
        """Installed path -> shipped path of every default file below documentation/."""
        result = {}
        for top in ("config", "messages", "scripts"):
            base = self.path("documentation", top)
            for dirpath, _dirs, files in os.walk(base):
                for name in files:
                    full = os.path.join(dirpath, name)
                    rel = os.path.relpath(full, self.path("documentation"))
                    result[rel.replace(os.sep, "/")] = "documentation/" + rel.replace(os.sep, "/")
        return result

    # -- files the programs write -----------------------------------------------------------
    def config(self):
        return parse_config(self.read("config", "qms.cfg"))

    def edit_config(self, section, key, value):
        edit_config(self.path("config", "qms.cfg"), section, key, value)

    def log_bytes(self):
        return self.read("log", "qms32.log") if self.exists("log", "qms32.log") else b""

    def log_lines(self):
        return split_crlf(self.log_bytes())

    def log_texts(self):
        """Entry texts of the system log (time stamps and day lines left out)."""
        out = []
        for line in self.log_lines():
            m = LOG_ENTRY_RE.match(line)
            if m:
                out.append(line[m.end():])
        return out

    def log_messages(self, name="qms32.log"):
        """Entry texts of a log file below log/ without time stamps and thread ids."""
        if not self.exists("log", name):
            return []
        out = []
        for line in split_crlf(self.read("log", name)):
            m = LOG_ENTRY_RE.match(line)
            if m:
                out.append(strip_thread(line[m.end():]))
        return out

    def console_records(self):
        """(milliseconds of day, day number, text) of every record of tmp/console.tmp."""
        data = self.read("tmp", "console.tmp")
        if len(data) % CONSOLE_RECORD_SIZE:
            raise AssertionError("console record file of %d bytes" % len(data))
        records = []
        for i in range(0, len(data), CONSOLE_RECORD_SIZE):
            rec = data[i:i + CONSOLE_RECORD_SIZE]
            ms = int.from_bytes(rec[0:4], "little")
            day = int.from_bytes(rec[4:8], "little")
            n = rec[8]
            records.append((ms, day, rec[9:9 + n].decode("latin-1"), rec))
        return records

    # -- programs ---------------------------------------------------------------------------
    def env(self, path=None, **extra):
        env = dict(os.environ)
        env.pop("QMS_REXX_LIBRARY", None)
        if not rexx_library_loads():
            # Any loadable library stands in for the REXX interpreter on hosts without it.
            env["QMS_REXX_LIBRARY"] = "libz.so.1"
        if path is not None:
            env["PATH"] = path
        # A server under test never asks an outside resolver: unless a test names its own
        # DNS server, lookups go to a closed loopback port and fail at once.
        env.setdefault("QMS_DNS_SERVER", "127.0.0.1:%d" % free_port())
        env.update(extra)
        return env

    def path_without_zip(self):
        """A PATH value naming only an empty directory."""
        empty = os.path.join(self.root, "empty-bin")
        os.makedirs(empty, exist_ok=True)
        return empty

    def start(self, argv, cwd=None, env=None, pty=False):
        self._runs += 1
        out = os.path.join(self.root, "run%02d.out" % self._runs)
        p = Process(argv, cwd or self.dir, env or self.env(), out, pty=pty)
        self.processes.append(p)
        return p

    def run(self, argv, cwd=None, env=None, timeout=RUN_TIMEOUT):
        return self.start(argv, cwd, env).wait(timeout)

    def start_server(self, *args, env=None, pty=False):
        """binaries/qms32srv started by hand in the background (default: launcher proof)."""
        args = args or (fresh_stamp(),)
        return self.start([self.path("binaries", "qms32srv")] + list(args), env=env, pty=pty)

    def start_running_server(self, *args, env=None, pty=False, timeout=POLL_TIMEOUT):
        """A server started in the background whose main loop runs."""
        p = self.start_server(*args, env=env, pty=pty)
        p.wait_running(timeout=timeout)
        return p

    def stop(self, process, how="signal", timeout=RUN_TIMEOUT):
        """Stops a running server (or launcher) in order and waits for its end:
        how="signal" sends SIGTERM, how="file" drops ".shutdown.instant" (polled by the
        server every 5 seconds)."""
        if how == "signal":
            process.signal(signal.SIGTERM)
        elif how == "file":
            self.command_file(SHUTDOWN_INSTANT)
        else:
            raise ValueError(how)
        return process.wait(timeout)

    def run_until_running(self, process, how, timeout):
        """Waits until the process ends by itself or its server runs the main loop; in the
        latter case it is stopped the given way. Returns the Result."""
        deadline = time.monotonic() + timeout
        while process.running():
            if RUNNING in process.texts():
                return self.stop(process, how, timeout=max(deadline - time.monotonic(), 30))
            if time.monotonic() > deadline:
                break
            time.sleep(0.05)
        return process.wait(max(deadline - time.monotonic(), 1))

    def run_server(self, *args, env=None, timeout=RUN_TIMEOUT, stop="signal"):
        """binaries/qms32srv started by hand with the given arguments (none: no argument);
        when it gets as far as its main loop it is stopped (see stop())."""
        p = self.start([self.path("binaries", "qms32srv")] + list(args), env=env)
        return self.run_until_running(p, stop, timeout)

    def start_server_fresh(self, env=None, stop="signal"):
        return self.run_server(fresh_stamp(), env=env, stop=stop)

    def start_launcher(self, *args, env=None, pty=False):
        return self.start(["./qms32"] + list(args), env=env, pty=pty)

    def run_launcher(self, *args, env=None, timeout=RUN_TIMEOUT, stop=None):
        """The launcher run to its end. With stop (see stop()) the real server it starts is
        stopped once its main loop runs; without, the run has to end by itself."""
        p = self.start_launcher(*args, env=env)
        if stop is None:
            return p.wait(timeout)
        return self.run_until_running(p, stop, timeout)

    def kill_all(self):
        for p in self.processes:
            p.kill()


def staged_site(prefix, add_cleanup):
    """A site staged in a fresh temporary directory; add_cleanup (a test's or a test class's)
    removes the directory and ends every process of the site."""
    root = tempfile.mkdtemp(prefix=prefix)
    add_cleanup(shutil.rmtree, root, ignore_errors=True)
    site = Site(root)
    add_cleanup(site.kill_all)
    return site.stage()


class SiteTestCase(unittest.TestCase):
    """Gives every test a freshly staged site in its own temporary directory; every
    process a test starts is ended at its end."""

    maxDiff = None

    @classmethod
    def setUpClass(cls):
        require_programs(LAUNCHER_BINARY, SERVER_BINARY)

    def setUp(self):
        self.site = staged_site("qms-e2e-", self.addCleanup)
        self.staged()

    def staged(self):
        """Called once the site is staged, before any server of the test starts."""

    # -- assertions --------------------------------------------------------------------------
    def assertStatus(self, result, status):
        self.assertEqual(result.returncode, status, result.describe())

    # Lines are compared without the thread ids of the running server.
    def assertLine(self, result, line):
        self.assertIn(line, result.texts, result.describe())

    def assertLineStartsWith(self, result, prefix):
        self.assertTrue(any(l.startswith(prefix) for l in result.texts),
                        "no line starting with %r in %s" % (prefix, result.describe()))

    def assertNoLineStartsWith(self, result, prefix):
        self.assertFalse(any(l.startswith(prefix) for l in result.texts),
                         "a line starts with %r in %s" % (prefix, result.describe()))

    def assertCrLf(self, result):
        self.assertFalse(has_bare_lf(result.output),
                         "console line without CR LF in %s" % result.describe())

    def assertLineOrder(self, result, *prefixes):
        """The prefixes start lines in this order (each after the one before)."""
        pos = 0
        for prefix in prefixes:
            for i in range(pos, len(result.texts)):
                if result.texts[i].startswith(prefix):
                    pos = i + 1
                    break
            else:
                self.fail("no line starting with %r after line %d in %s"
                          % (prefix, pos, result.describe()))

    def assertConsoleRecords(self, records, lines):
        """The console record texts are the console lines. Lines that threads of the server
        write at the same time may reach the screen and the record file in different
        orders: the records hold every line, and each thread's lines (and the lines
        without a thread id) in the order shown."""
        def by_thread(texts):
            out = {}
            for t in texts:
                m = THREAD_PREFIX_RE.match(t)
                out.setdefault(m.group(0) if m else "", []).append(t)
            return out
        self.assertEqual(sorted(records), sorted(lines))
        self.assertEqual(by_thread(records), by_thread(lines))

    def lines_after(self, result, line):
        """The line that follows the first occurrence of the given line."""
        i = result.texts.index(line)
        return result.texts[i + 1] if i + 1 < len(result.texts) else None
