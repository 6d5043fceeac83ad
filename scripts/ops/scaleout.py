#!/usr/bin/env python3
"""Two qms32srv instances on one shared store behind HAProxy, on the loopback network.

Each instance has a site directory of its own (log/, tmp/, config/); users, statistics,
the mail queue, the mailboxes and the FTP and web roots live in one store directory that
both group configurations name. HAProxy listens on 127.0.0.2 (the "public" address) and
spreads SMTP, POP3, IMAP4 and FTP control connections (TCP mode) and HTTP requests (HTTP
mode) over the instances on 127.0.0.1; each instance's FTP passive ports are forwarded to
that instance alone.

Checks, with figures printed as they come:
  1. N messages from C parallel SMTP clients through HAProxy; one instance is killed
     (SIGKILL) mid-run. Every message a server accepted (250 after DATA) arrives exactly
     once once the survivor's delivery passes have run, and again after the killed one is
     restarted. A message whose answer was lost with the killed instance is sent again
     under a new attempt number; such an unanswered attempt arrives at most once.
  2. A POP3 session through one instance holds the mailbox; a second one through the
     other instance is refused until the first has quit.
  3. A file uploaded by FTP through one instance is listed and read back through the
     other, and through HAProxy (passive data connection forwarded to the instance).
  4. One page through HAProxy's HTTP frontend from each instance's web root (shared).

Usage: scaleout.py [--messages N] [--clients C] [--keep]
Needs: a built tree (QMS_BUILD_DIR, default build/release) and haproxy on the PATH.
HAProxy runs as a daemon with its own configuration and pid file and is stopped by PID.
Exit status 0 when every check passed.
"""

import argparse
import collections
import ftplib
import io
import os
import poplib
import shutil
import signal
import smtplib
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "e2e"))
import qmstest  # noqa: E402

VIP = "127.0.0.2"          # where HAProxy listens
BACKEND = "127.0.0.1"      # where the instances listen
PASSIVE = {}               # per-instance passive ranges (first, count), see free_block
USERS = ["u%02d" % i for i in range(10)]
USER_PASSWORD = "pw-scaleout"
FTP_USER, FTP_PASSWORD = "user", "QmsUser1"      # the shipped example account


def say(text):
    print(text, flush=True)


# --------------------------------------------------------------------------------------
# Store and sites

def make_store(store, source_users):
    for sub in ("users", "stat", "queue", "home", "ftp/pub", "ftp/users/user", "www"):
        os.makedirs(os.path.join(store, sub), exist_ok=True)
    for name in os.listdir(source_users):
        with open(os.path.join(source_users, name), "rb") as f:
            text = f.read().replace(b"sites/default", store.encode())
        with open(os.path.join(store, "users", name), "wb") as f:
            f.write(text)
    for u in USERS:
        with open(os.path.join(store, "users", u), "wb") as f:
            f.write(("[USER]\r\nUsername=%s\r\nMemberOfGroups=users\r\nPassword=-%s\r\n"
                     % (u, USER_PASSWORD)).encode())
    with open(os.path.join(store, "www", "shared.html"), "wb") as f:
        f.write(b"<p>one web root for every instance</p>\n")


def configure_site(site, store, tag, passive):
    """Points the staged group configuration at the shared store (before the first start,
    which installs it)."""
    group = site.path("documentation", "config", "default", "default.cfg")
    with open(group, "rb") as f:
        text = f.read().replace(b"sites/default", store.encode())
    with open(group, "wb") as f:
        f.write(text)
    edit = lambda section, key, value: qmstest.edit_config(group, section, key, value)
    edit("GLOBAL", "UserDirectory", os.path.join(store, "users"))
    edit("SMTP", "QueueNameTag", tag)
    edit("SMTP", "ClientPool", "24")
    edit("FTP", "PassivePortRangeOverride", "%d %d" % passive)
    edit("FTP", "PassiveAddressOverride", VIP)
    with open(group, "rb") as f:
        return qmstest.parse_config(f.read())


class Instance:
    def __init__(self, name, root, store, tag):
        self.name = name
        self.site = qmstest.Site(os.path.join(root, name))
        os.makedirs(self.site.root, exist_ok=True)
        self.site.stage()
        cfg = configure_site(self.site, store, tag, PASSIVE[name])
        self.ports = {s: int(cfg[s]["Port"]) for s in ("SMTP", "POP3", "IMAP4", "FTP", "HTTP")}
        self.process = None

    def start(self):
        self.process = self.site.start_running_server()
        for port in self.ports.values():
            qmstest.wait_for(lambda: connectable(BACKEND, port), what="port %d" % port)

    def kill9(self):
        os.kill(self.process.pid, signal.SIGKILL)
        self.process.popen.wait(timeout=30)

    def stop(self):
        if self.process and self.process.running():
            self.site.stop(self.process)


def free_block(count, taken):
    """count consecutive ports, free on both addresses, below the range the kernel hands
    out to client sockets (so no outgoing connection can hold one)."""
    low, _ = qmstest._ephemeral_range()
    for first in range(20000, min(low, 32768) - count, count):
        if any(p in taken for p in range(first, first + count)):
            continue
        try:
            for port in range(first, first + count):
                for host in (VIP, BACKEND):
                    with socket.socket() as s:
                        s.bind((host, port))
        except OSError:
            continue
        taken.update(range(first, first + count))
        qmstest._ports_given.update(range(first, first + count))
        return first, count
    raise AssertionError("no block of %d free ports" % count)


def connectable(host, port):
    try:
        with socket.create_connection((host, port), timeout=1):
            return True
    except OSError:
        return False


# --------------------------------------------------------------------------------------
# HAProxy

def haproxy_config(root, instances):
    ports = {s: qmstest.free_port() for s in ("SMTP", "POP3", "IMAP4", "FTP", "HTTP")}
    lines = [
        "global", "  maxconn 2000", "",
        "defaults", "  mode tcp", "  timeout connect 2s", "  timeout client 120s",
        "  timeout server 120s", "  retries 3", "  option redispatch", ""]
    for service in ("SMTP", "POP3", "IMAP4", "FTP", "HTTP"):
        name = service.lower()
        lines += ["frontend %s_in" % name, "  bind %s:%d" % (VIP, ports[service])]
        if service == "HTTP":
            lines += ["  mode http"]
        lines += ["  default_backend %s_out" % name, "", "backend %s_out" % name,
                  "  balance %s" % ("roundrobin" if service != "FTP" else "source")]
        if service == "HTTP":
            lines += ["  mode http", "  option forwardfor"]
        for inst in instances:
            lines.append("  server %s %s:%d check inter 1s fall 2 rise 2"
                         % (inst.name, BACKEND, inst.ports[service]))
        lines.append("")
    # Each instance's passive ports reach that instance alone (port kept as it is).
    for inst in instances:
        first, count = PASSIVE[inst.name]
        lines += ["frontend ftp_passive_%s" % inst.name,
                  "  bind %s:%d-%d" % (VIP, first, first + count - 1),
                  "  default_backend ftp_passive_%s_out" % inst.name, "",
                  "backend ftp_passive_%s_out" % inst.name,
                  "  server %s %s" % (inst.name, BACKEND), ""]
    path = os.path.join(root, "haproxy.cfg")
    with open(path, "w") as f:
        f.write("\n".join(lines))
    return path, ports


class HAProxy:
    def __init__(self, root, instances):
        self.cfg, self.ports = haproxy_config(root, instances)
        self.pidfile = os.path.join(root, "haproxy.pid")
        self.pid = None

    def start(self):
        check = subprocess.run(["haproxy", "-c", "-q", "-f", self.cfg], capture_output=True)
        if check.returncode != 0:
            raise AssertionError("haproxy configuration refused: %s" % check.stderr.decode())
        subprocess.run(["haproxy", "-D", "-p", self.pidfile, "-f", self.cfg], check=True)
        qmstest.wait_for(lambda: os.path.exists(self.pidfile), what="haproxy pid file")
        with open(self.pidfile) as f:
            self.pid = int(f.read().split()[0])
        for port in self.ports.values():
            qmstest.wait_for(lambda: connectable(VIP, port), what="haproxy port %d" % port)

    def stop(self):
        if self.pid is None:
            return
        try:
            os.kill(self.pid, signal.SIGTERM)
            qmstest.wait_for(lambda: not os.path.exists("/proc/%d" % self.pid), timeout=10,
                             what="haproxy end")
        except ProcessLookupError:
            pass
        self.pid = None


# --------------------------------------------------------------------------------------
# 1. Mail through the balancer, one instance killed mid-run

class MailRun:
    PER_CONNECTION = 5

    def __init__(self, port, messages, clients):
        self.port = port
        self.clients = clients
        self.per_client = messages // clients
        self.lock = threading.Lock()
        self.accepted = {}        # attempt id -> recipient
        self.unanswered = set()   # attempt ids whose answer never came
        self.connections = 0
        self.failures = 0
        self.errors = []

    def count(self):
        with self.lock:
            return len(self.accepted)

    def client(self, c):
        pending = [(c, i) for i in range(self.per_client)]
        attempts = collections.Counter()
        deadline = time.monotonic() + 300
        while pending and time.monotonic() < deadline:
            batch, pending = pending[:self.PER_CONNECTION], pending[self.PER_CONNECTION:]
            try:
                with smtplib.SMTP(VIP, self.port, "client.test", timeout=60) as smtp:
                    with self.lock:
                        self.connections += 1
                    while batch:
                        self.send(smtp, batch[0], attempts)
                        batch.pop(0)
            except (OSError, smtplib.SMTPException):
                with self.lock:
                    self.failures += 1
                pending = batch + pending
                time.sleep(0.1)
        if pending:
            with self.lock:
                self.errors.append("client %d gave up with %d messages" % (c, len(pending)))

    def send(self, smtp, key, attempts):
        c, i = key
        attempts[key] += 1
        attempt = "%02d-%03d-%d" % (c, i, attempts[key])
        to = "%s@localhost" % USERS[(c * self.per_client + i) % len(USERS)]
        body = ("From: <load@client.test>\r\nTo: <%s>\r\nSubject: scaleout %s\r\n\r\n"
                "message %s\r\n" % (to, attempt, attempt))
        try:
            smtp.sendmail("load@client.test", [to], body)
        except smtplib.SMTPResponseException as e:
            if e.smtp_code >= 500:
                raise AssertionError("message %s refused: %s" % (attempt, e))
            raise
        except (OSError, smtplib.SMTPServerDisconnected):
            with self.lock:
                self.unanswered.add(attempt)
            raise
        with self.lock:
            self.accepted[attempt] = to.split("@")[0]


def arrived(store):
    """attempt id -> number of mailbox copies, and the copies per queue-name tag digit."""
    copies = collections.Counter()
    by_tag = collections.Counter()
    for user in USERS:
        inbox = os.path.join(store, "home", user, ".mailbox", "Inbox")
        if not os.path.isdir(inbox):
            continue
        for name in os.listdir(inbox):
            if not name.endswith(".msg"):
                continue
            with open(os.path.join(inbox, name), "rb") as f:
                head = f.read(4096).decode("latin-1")
            for line in head.split("\r\n"):
                if line.startswith("Subject: scaleout "):
                    copies[line.split()[-1]] += 1
                    by_tag[name[8]] += 1
                    break
    return copies, by_tag


def queued(store):
    return [n for n in os.listdir(os.path.join(store, "queue")) if n.endswith(".hdr")]


def drain(store, port, timeout=120):
    """Runs delivery passes on one instance (each SMTP session ends with one) until the
    queue holds no message."""
    deadline = time.monotonic() + timeout
    passes = 0
    while queued(store) and time.monotonic() < deadline:
        try:
            with smtplib.SMTP(BACKEND, port, "client.test", timeout=30) as smtp:
                smtp.noop()
            passes += 1
        except (OSError, smtplib.SMTPException):
            pass
        time.sleep(0.2)
    return passes, queued(store)


def verify(run, store, label):
    copies, by_tag = arrived(store)
    accepted = run.accepted
    missing = [a for a in accepted if copies[a] == 0]
    doubled = [a for a in accepted if copies[a] > 1]
    unanswered_arrived = [a for a in run.unanswered if copies[a] >= 1]
    unanswered_doubled = [a for a in run.unanswered if copies[a] > 1]
    strangers = [a for a in copies if a not in accepted and a not in run.unanswered]
    logical = {a.rsplit("-", 1)[0] for a in accepted}
    say("  %s: %d copies in the mailboxes (by instance tag: %s); accepted %d, missing %d, "
        "twice %d; unanswered attempts %d (arrived %d, twice %d); unknown %d; "
        "messages with an accepted attempt %d of %d"
        % (label, sum(copies.values()), dict(sorted(by_tag.items())), len(accepted),
           len(missing), len(doubled), len(run.unanswered), len(unanswered_arrived),
           len(unanswered_doubled), len(strangers), len(logical),
           run.clients * run.per_client))
    ok = not missing and not doubled and not unanswered_doubled and not strangers
    ok = ok and len(logical) == run.clients * run.per_client and not run.errors
    if not ok:
        say("  FAILED: missing %s twice %s unknown %s errors %s"
            % (missing[:5], doubled[:5], strangers[:5], run.errors[:5]))
    return ok


def check_mail(store, proxy, a, b, messages, clients):
    say("1. %d messages from %d SMTP clients through HAProxy; instance %s killed mid-run"
        % (messages, clients, a.name))
    run = MailRun(proxy.ports["SMTP"], messages, clients)
    started = time.monotonic()
    threads = [threading.Thread(target=run.client, args=(c,)) for c in range(clients)]
    for t in threads:
        t.start()
    qmstest.wait_for(lambda: run.count() >= messages * 2 // 5, timeout=300,
                     what="40% of the messages")
    killed_at = run.count()
    a.kill9()
    # What the killed instance left for the survivor: its queued messages, and the ones
    # it was delivering at that moment (lock files of its names).
    names = os.listdir(os.path.join(store, "queue"))
    mine = lambda ext: len([n for n in names if n.endswith(ext) and n[8:9] == "1"])
    say("  killed instance %s (SIGKILL) after %d accepted messages; it left %d queued "
        "messages, %d of them with a lock file (a pass was at them)"
        % (a.name, killed_at, mine(".hdr"), mine(".lck")))
    for t in threads:
        t.join()
    sent = time.monotonic() - started
    say("  sent: %d accepted in %.1f s (%.0f/s) over %d connections, %d dropped connections"
        % (len(run.accepted), sent, len(run.accepted) / sent, run.connections, run.failures))
    passes, left = drain(store, b.ports["SMTP"])
    say("  survivor %s: queue empty after %.1f s (%d extra passes), %d left"
        % (b.name, time.monotonic() - started, passes, len(left)))
    ok = verify(run, store, "after the survivor's passes") and not left
    a.start()
    passes, left = drain(store, a.ports["SMTP"], timeout=30)
    say("  instance %s restarted; %d passes there" % (a.name, passes))
    ok = verify(run, store, "after the restart") and not left and ok
    # What the killed instance was writing when it died: incomplete transactions (".inc",
    # a body without header, a private ".new" name) that the orphan sweep removes once
    # they are an hour old, and lock files of messages nobody has taken since.
    kinds = collections.Counter(os.path.splitext(n)[1] or n
                                for n in os.listdir(os.path.join(store, "queue")))
    say("  queue files left: %s" % (dict(sorted(kinds.items())) or "none"))
    return ok and not kinds[".hdr"]


# --------------------------------------------------------------------------------------
# 2. POP3 mailbox lock across instances

def pop3_login(port):
    pop = poplib.POP3(BACKEND, port, timeout=30)
    pop.user(USERS[0])
    try:
        pop.pass_(USER_PASSWORD)
    except poplib.error_proto as e:
        pop.quit()
        return None, str(e)
    return pop, None


def check_pop3(store, a, b):
    say("2. POP3: a session through %s holds the mailbox; one through %s is refused"
        % (a.name, b.name))
    first, err = pop3_login(a.ports["POP3"])
    if not first:
        say("  FAILED: first login refused: %s" % err)
        return False
    count, size = first.stat()
    inbox = os.path.join(store, "home", USERS[0], ".mailbox", "Inbox")
    files = len([n for n in os.listdir(inbox) if n.endswith(".msg")])
    second, refusal = pop3_login(b.ports["POP3"])
    say("  first (%s): %d messages, %d bytes (%d files in the Inbox); second (%s): %s"
        % (a.name, count, size, files, b.name, refusal or "logged in"))
    first.quit()
    third, err = pop3_login(b.ports["POP3"])
    say("  after the first quit, through %s: %s" % (b.name, err or "logged in"))
    if third:
        third.quit()
    if second:
        second.quit()
    return second is None and third is not None and count == files


# --------------------------------------------------------------------------------------
# 3. FTP across instances, 4. HTTP through the balancer

def ftp_session(host, port):
    ftp = ftplib.FTP(timeout=30)
    ftp.connect(host, port)
    ftp.login(FTP_USER, FTP_PASSWORD)
    return ftp


def check_ftp(proxy, a, b):
    say("3. FTP: upload through %s, list and read through %s and through HAProxy"
        % (a.name, b.name))
    data = os.urandom(200000)
    with ftp_session(BACKEND, a.ports["FTP"]) as ftp:
        ftp.storbinary("STOR scaleout.bin", io.BytesIO(data))
    with ftp_session(BACKEND, b.ports["FTP"]) as ftp:
        listed = "scaleout.bin" in ftp.nlst()
        back = io.BytesIO()
        ftp.retrbinary("RETR scaleout.bin", back.write)
    with ftp_session(VIP, proxy.ports["FTP"]) as ftp:
        via = "scaleout.bin" in ftp.nlst()
        pasv = ftp.sendcmd("PASV")
    say("  listed through %s: %s; read back equal: %s; listed through HAProxy: %s (%s)"
        % (b.name, listed, back.getvalue() == data, via, pasv))
    return listed and via and back.getvalue() == data


def check_http(proxy, a, b):
    say("4. HTTP through HAProxy (HTTP mode), one shared web root")
    url = "http://%s:%d/shared.html" % (VIP, proxy.ports["HTTP"])
    bodies = set()
    for _ in range(4):
        with urllib.request.urlopen(url, timeout=30) as r:
            bodies.add(r.read())
    direct = set()
    for inst in (a, b):
        with urllib.request.urlopen("http://%s:%d/shared.html" % (BACKEND, inst.ports["HTTP"]),
                                    timeout=30) as r:
            direct.add(r.read())
    say("  4 requests through HAProxy, 1 per instance directly: %d distinct bodies"
        % len(bodies | direct))
    return len(bodies | direct) == 1


# --------------------------------------------------------------------------------------

def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--messages", type=int, default=2000)
    ap.add_argument("--clients", type=int, default=20)
    ap.add_argument("--keep", action="store_true", help="keep the temporary directory")
    args = ap.parse_args()
    qmstest.require_programs(qmstest.LAUNCHER_BINARY, qmstest.SERVER_BINARY)
    if not shutil.which("haproxy"):
        raise SystemExit("haproxy not found (scripts/ops/scaleout-check.sh installs it)")
    root = tempfile.mkdtemp(prefix="qms-scaleout-")
    store = os.path.join(root, "store")
    started = time.monotonic()
    instances, proxy, results = [], None, {}
    try:
        taken = set()
        for name in ("a", "b"):
            PASSIVE[name] = free_block(40, taken)
        a = Instance("a", root, store, "1")
        b = Instance("b", root, store, "2")
        instances = [a, b]
        make_store(store, a.site.path("documentation", "config", "default", "users"))
        for inst in instances:
            inst.start()
        proxy = HAProxy(root, instances)
        proxy.start()
        say("two instances (site %s, %s) on store %s; HAProxy pid %d on %s"
            % (a.site.dir, b.site.dir, store, proxy.pid, VIP))
        results["mail"] = check_mail(store, proxy, a, b, args.messages, args.clients)
        results["pop3"] = check_pop3(store, a, b)
        results["ftp"] = check_ftp(proxy, a, b)
        results["http"] = check_http(proxy, a, b)
    finally:
        if proxy:
            proxy.stop()
        for inst in instances:
            try:
                inst.stop()
            finally:
                inst.site.kill_all()
        if args.keep:
            say("kept %s" % root)
        else:
            shutil.rmtree(root, ignore_errors=True)
    say("scale-out check: %s in %.0f s (%s)"
        % ("passed" if results and all(results.values()) else "FAILED",
           time.monotonic() - started,
           ", ".join("%s %s" % (k, "ok" if v else "FAILED") for k, v in results.items())))
    return 0 if results and all(results.values()) else 1


if __name__ == "__main__":
    sys.exit(main())
