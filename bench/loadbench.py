#!/usr/bin/env python3
"""Client side of bench/load.sh (loopback only; every wait is bounded).

Sub-commands (PORTS is "smtp,pop3,imap4,ftp,http"; PID the server's process id):
  idle PID PORTS N             per protocol: N connections opened at once and held idle (each
                               greeted, or for HTTP taken on by a session thread); a fresh
                               client is served meanwhile; then all are closed. The server's
                               threads and descriptors before, while held and after.
  flood PID SMTPPORT HOME CLIENTS MESSAGES USERS
                               MESSAGES messages from CLIENTS parallel SMTP clients to USERS
                               local users; every message must reach its mailbox exactly once
                               (counted by the serial in its Message-ID).
  soak PID PORTS HOME SECONDS USERS
                               mixed traffic of every protocol for SECONDS; RSS, threads and
                               descriptors sampled at the start, every tenth and at the end.
  burst PID HTTPPORT N         N HTTP connections opened at once, each asking for "/" once;
                               every one must get its reply.
Exit status 0 when every check holds.
"""

import ftplib
import http.client
import imaplib
import os
import poplib
import re
import selectors
import smtplib
import socket
import sys
import threading
import time

HOST = "127.0.0.1"
TIMEOUT = 60
PASSWORD = "QmsBench1"
PROTOCOLS = ("smtp", "pop3", "imap4", "ftp", "http")
GREETING = {"smtp": b"220", "pop3": b"+OK", "imap4": b"* OK", "ftp": b"220", "http": None}


# ---------------------------------------------------------------------------------------
# The server's resources

def server_stats(pid):
    """(RSS in KiB, threads, descriptors) of a process."""
    rss = 0
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                rss = int(line.split()[1])
    return rss, len(os.listdir("/proc/%d/task" % pid)), len(os.listdir("/proc/%d/fd" % pid))


def show(label, stats):
    return "%s: RSS %.1f MiB, %d threads, %d descriptors" % (label, stats[0] / 1024, stats[1],
                                                              stats[2])


def settled_stats(pid, seconds=30):
    """server_stats once threads and descriptors stay unchanged for a second (the session
    pools fill a thread at a time after a start or a burst)."""
    last = server_stats(pid)
    for _ in range(seconds):
        time.sleep(1)
        now = server_stats(pid)
        if now[1:] == last[1:]:
            return now
        last = now
    return last


def poll(condition, seconds):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.1)
    return True


def listen_overflows():
    """The kernel's count of connections dropped because an accept queue was full."""
    with open("/proc/net/netstat") as f:
        lines = f.read().splitlines()
    for head, values in zip(lines[::2], lines[1::2]):
        if head.startswith("TcpExt:"):
            table = dict(zip(head.split()[1:], values.split()[1:]))
            return int(table.get("ListenOverflows", 0))
    return 0


# ---------------------------------------------------------------------------------------
# One fresh client of each protocol

def fresh_smtp(port):
    with smtplib.SMTP(HOST, port, timeout=TIMEOUT) as s:
        s.ehlo("client.test")
        return s.noop()[0] == 250


def fresh_pop3(port, user="bench01"):
    p = poplib.POP3(HOST, port, timeout=TIMEOUT)
    try:
        p.user(user)
        p.pass_(PASSWORD)
        p.stat()
        return True
    finally:
        p.quit()


def fresh_imap4(port, user="bench01"):
    m = imaplib.IMAP4(HOST, port, timeout=TIMEOUT)
    try:
        m.login(user, PASSWORD)
        return m.select("INBOX")[0] == "OK"
    finally:
        m.logout()


def fresh_ftp(port):
    with ftplib.FTP() as f:
        f.connect(HOST, port, timeout=TIMEOUT)
        f.login("anonymous", "load@example.test")
        data = []
        f.retrbinary("RETR /pub/readme.txt", data.append)
        f.retrlines("LIST /pub", lambda _line: None)
        f.quit()
        return b"".join(data).startswith(b"Files in /pub")


def fresh_http(port, requests=1):
    c = http.client.HTTPConnection(HOST, port, timeout=TIMEOUT)
    try:
        ok = True
        for i in range(requests):
            c.request("GET", "/" if i % 2 == 0 else "/no-such-page.html")
            r = c.getresponse()
            r.read()
            ok = ok and r.status in ((200, 301, 302) if i % 2 == 0 else (404,))
        return ok
    finally:
        c.close()


FRESH = {"smtp": fresh_smtp, "pop3": fresh_pop3, "imap4": fresh_imap4, "ftp": fresh_ftp,
         "http": fresh_http}


# ---------------------------------------------------------------------------------------
# Many connections at once

def open_many(port, n, greeting, seconds):
    """N non-blocking connections started at once; returns (sockets, ready) once each has
    its greeting (or, without one, is connected), or when SECONDS have passed."""
    sel = selectors.DefaultSelector()
    socks = []
    for _ in range(n):
        s = socket.socket()
        s.setblocking(False)
        s.connect_ex((HOST, port))
        socks.append(s)
        sel.register(s, selectors.EVENT_READ if greeting else selectors.EVENT_WRITE)
    ready, deadline = 0, time.monotonic() + seconds
    while ready < n and time.monotonic() < deadline:
        for key, _ in sel.select(1.0):
            s = key.fileobj
            if greeting:
                try:
                    data = s.recv(512)
                except OSError:
                    data = b""
                if not data.startswith(greeting):
                    print("  unexpected greeting: %r" % data[:80])
            sel.unregister(s)
            ready += 1
    sel.close()
    return socks, ready


def idle(pid, ports, n):
    failed = 0
    for proto, port in zip(PROTOCOLS, ports):
        before = settled_stats(pid)
        t0 = time.monotonic()
        socks, ready = open_many(port, n, GREETING[proto], 120)
        # Held means a session thread of the server has each of them.
        poll(lambda: server_stats(pid)[1] >= before[1] + n, 60)
        held = server_stats(pid)
        t1 = time.monotonic()
        try:
            fresh = FRESH[proto](port)
        except (OSError, EOFError, smtplib.SMTPException, poplib.error_proto, imaplib.IMAP4.error,
                ftplib.Error, http.client.HTTPException) as e:
            fresh = False
            print("  fresh %s client failed: %s: %s" % (proto, type(e).__name__, e))
        for s in socks:
            s.close()
        settled = poll(lambda: server_stats(pid)[1] <= before[1] and server_stats(pid)[2] <= before[2],
                       90)
        after = server_stats(pid)
        ok = ready == n and held[1] >= before[1] + n and fresh and settled
        failed += not ok
        print("%-5s %d idle: %d %s in %.1f s; fresh client %s; threads %d -> %d -> %d, "
              "descriptors %d -> %d -> %d, RSS %.1f -> %.1f -> %.1f MiB: %s"
              % (proto.upper(), n, ready, "greeted" if GREETING[proto] else "connected", t1 - t0,
                 "served" if fresh else "NOT served", before[1], held[1], after[1], before[2],
                 held[2], after[2], before[0] / 1024, held[0] / 1024, after[0] / 1024,
                 "ok" if ok else "FAILED"))
    return 1 if failed else 0


def burst(pid, port, n):
    before = settled_stats(pid)
    drops = listen_overflows()
    request = b"GET / HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n"
    sel = selectors.DefaultSelector()
    replies = {}
    t0 = time.monotonic()
    for _ in range(n):
        s = socket.socket()
        s.setblocking(False)
        s.connect_ex((HOST, port))
        sel.register(s, selectors.EVENT_WRITE)
    done, served, deadline = 0, 0, time.monotonic() + 180
    while done < n and time.monotonic() < deadline:
        for key, events in sel.select(1.0):
            s = key.fileobj
            if events & selectors.EVENT_WRITE:
                try:
                    s.send(request)
                    sel.modify(s, selectors.EVENT_READ)
                    replies[s] = b""
                except OSError:
                    sel.unregister(s)
                    s.close()
                    done += 1
                continue
            try:
                data = s.recv(65536)
            except OSError:
                data = b""
            if data:
                replies[s] += data
                continue
            if re.match(rb"HTTP/1\.[01] (200|30[12]) ", replies[s]):
                served += 1
            sel.unregister(s)
            s.close()
            done += 1
    t1 = time.monotonic()
    for key in list(sel.get_map().values()):
        key.fileobj.close()
    sel.close()
    poll(lambda: server_stats(pid)[1] <= before[1], 60)
    after = server_stats(pid)
    print("HTTP burst: %d connections opened at once, %d served in %.1f s (%d refused or "
          "unanswered); accept-queue overflows counted by the kernel: %d; threads %d -> %d, "
          "descriptors %d -> %d" % (n, served, t1 - t0, n - served, listen_overflows() - drops,
                                    before[1], after[1], before[2], after[2]))
    return 0 if served == n else 1


# ---------------------------------------------------------------------------------------
# Many messages

SERIAL_RE = re.compile(rb"^Message-ID: <load\.(\d+)\.([0-9a-f]+)@example\.test>", re.M | re.I)


def load_message(serial, run, to):
    return ("From: <load@example.test>\r\nTo: <%s>\r\nSubject: load serial %d\r\n"
            "Message-ID: <load.%d.%s@example.test>\r\n\r\nMessage %d of a load run.\r\n"
            % (to, serial, serial, run, serial)).encode()


def inbox_serials(home, users, run):
    found = {}
    for u in users:
        d = os.path.join(home, u, ".mailbox", "Inbox")
        try:
            names = [n for n in os.listdir(d) if n.endswith(".msg")]
        except FileNotFoundError:
            continue
        for name in names:
            try:
                with open(os.path.join(d, name), "rb") as f:
                    head = f.read(4096)
            except FileNotFoundError:
                continue
            m = SERIAL_RE.search(head)
            if m and m.group(2).decode() == run:
                found[int(m.group(1))] = found.get(int(m.group(1)), 0) + 1
    return found


def inbox_count(home, users):
    total = 0
    for u in users:
        try:
            total += sum(1 for n in os.listdir(os.path.join(home, u, ".mailbox", "Inbox"))
                         if n.endswith(".msg"))
        except FileNotFoundError:
            pass
    return total


def flood(pid, port, home, clients, messages, nusers, per_session=10):
    users = ["bench%02d" % (i + 1) for i in range(nusers)]
    run = "%x" % int(time.time() * 1000)
    accepted, errors, lock = set(), [], threading.Lock()
    before = settled_stats(pid)
    base = inbox_count(home, users)

    def client(k):
        mine = list(range(k, messages, clients))
        for start in range(0, len(mine), per_session):
            try:
                with smtplib.SMTP(HOST, port, timeout=TIMEOUT) as s:
                    for serial in mine[start:start + per_session]:
                        to = "%s@localhost" % users[serial % nusers]
                        s.sendmail("load@example.test", [to], load_message(serial, run, to))
                        with lock:
                            accepted.add(serial)
            except (OSError, smtplib.SMTPException) as e:
                with lock:
                    errors.append("%s: %s" % (type(e).__name__, e))

    t0 = time.monotonic()
    threads = [threading.Thread(target=client, args=(k,)) for k in range(clients)]
    for t in threads:
        t.start()
    peak = server_stats(pid)
    for t in threads:
        t.join()
    t1 = time.monotonic()
    print("SMTP flood: %d clients, %d of %d messages accepted in %.1f s (%.0f/s); %d session(s) "
          "failed%s" % (clients, len(accepted), messages, t1 - t0, len(accepted) / (t1 - t0),
                        len(errors), (", first: " + errors[0]) if errors else ""))
    poll(lambda: inbox_count(home, users) - base >= len(accepted), 900)
    t2 = time.monotonic()
    found = inbox_serials(home, users, run)
    missing = sorted(accepted - set(found))
    twice = sorted(s for s, c in found.items() if c > 1)
    unknown = sorted(set(found) - accepted)
    poll(lambda: server_stats(pid)[1] <= before[1] and server_stats(pid)[2] <= before[2], 120)
    after = server_stats(pid)
    print("SMTP flood: %d in the mailboxes %.1f s after the first was sent; missing %d, more "
          "than once %d, not acknowledged but stored %d; threads %d -> %d (while sending) -> %d, "
          "descriptors %d -> %d -> %d" % (len(found), t2 - t0, len(missing), len(twice),
                                          len(unknown), before[1], peak[1], after[1], before[2],
                                          peak[2], after[2]))
    if missing:
        print("  first missing serials: %s" % missing[:10])
    ok = (not errors and len(accepted) == messages and not missing and not twice
          and after[1] <= before[1] and after[2] <= before[2])
    return 0 if ok else 1


# ---------------------------------------------------------------------------------------
# Mixed traffic for a while

def soak(pid, ports, home, seconds, nusers):
    port = dict(zip(PROTOCOLS, ports))
    users = ["bench%02d" % (i + 1) for i in range(nusers)]
    stop = threading.Event()
    counts = {p: [0, 0] for p in PROTOCOLS}
    first_error = {}
    lock = threading.Lock()

    def smtp_job(k):
        with smtplib.SMTP(HOST, port["smtp"], timeout=TIMEOUT) as s:
            for i in range(5):
                to = "%s@localhost" % users[(k + i) % nusers]
                s.sendmail("soak@example.test", [to], load_message(i, "50a", to))
        return True

    def pop3_job(k):
        p = poplib.POP3(HOST, port["pop3"], timeout=TIMEOUT)
        try:
            p.user(users[k % nusers])
            p.pass_(PASSWORD)
            n = p.stat()[0]
            for i in range(1, min(n, 20) + 1):
                p.retr(i)
                p.dele(i)
            return True
        finally:
            p.quit()

    def imap4_job(k):
        m = imaplib.IMAP4(HOST, port["imap4"], timeout=TIMEOUT)
        try:
            m.login(users[k % nusers], PASSWORD)
            m.list()
            return m.select("INBOX")[0] == "OK"
        finally:
            m.logout()

    jobs = {"smtp": smtp_job, "pop3": pop3_job, "imap4": imap4_job,
            "ftp": lambda k: fresh_ftp(port["ftp"]),
            "http": lambda k: fresh_http(port["http"], 10)}

    def worker(proto, k):
        while not stop.is_set():
            try:
                ok = jobs[proto](k)
            except (OSError, EOFError, smtplib.SMTPException, poplib.error_proto,
                    imaplib.IMAP4.error, ftplib.Error, http.client.HTTPException) as e:
                ok = False
                first_error.setdefault(proto, "%s: %s" % (type(e).__name__, e))
            with lock:
                counts[proto][0 if ok else 1] += 1

    start = settled_stats(pid)
    print(show("soak start", start))
    workers = [threading.Thread(target=worker, args=(p, k)) for p in PROTOCOLS for k in range(2)]
    for w in workers:
        w.start()
    samples, t0 = [], time.monotonic()
    for i in range(1, 11):
        time.sleep(max(0, t0 + seconds * i / 10 - time.monotonic()))
        samples.append(server_stats(pid))
        print(show("soak %3d s" % (time.monotonic() - t0), samples[-1]), flush=True)
    stop.set()
    for w in workers:
        w.join()
    poll(lambda: server_stats(pid)[1] <= start[1] and server_stats(pid)[2] <= start[2], 90)
    end = server_stats(pid)
    print(show("soak end (traffic stopped)", end))
    print("soak: sessions ok/failed: " + ", ".join(
        "%s %d/%d" % (p.upper(), c[0], c[1]) for p, c in counts.items()))
    for p, e in first_error.items():
        print("  first %s failure: %s" % (p.upper(), e))
    # Flat: after the first tenth (caches and thread arenas warmed up) RSS grows by less than
    # a tenth, and threads and descriptors are back where they started.
    warm = samples[0][0]
    growth = (end[0] - warm) / warm
    flat = end[0] <= warm * 1.10 + 2048
    print("soak: RSS %.1f MiB after the first tenth, %.1f MiB at the end (%+.1f%%): %s; threads "
          "%d -> %d, descriptors %d -> %d" % (warm / 1024, end[0] / 1024, growth * 100,
                                               "flat" if flat else "GROWING", start[1], end[1],
                                               start[2], end[2]))
    failures = sum(c[1] for c in counts.values())
    ok = flat and end[1] <= start[1] and end[2] <= start[2] and failures == 0
    return 0 if ok else 1


def main(argv):
    cmd, a = (argv[1] if len(argv) > 1 else ""), argv[2:]
    if cmd == "idle":
        return idle(int(a[0]), [int(p) for p in a[1].split(",")], int(a[2]))
    if cmd == "flood":
        return flood(int(a[0]), int(a[1]), a[2], int(a[3]), int(a[4]), int(a[5]))
    if cmd == "soak":
        return soak(int(a[0]), [int(p) for p in a[1].split(",")], a[2], int(a[3]), int(a[4]))
    if cmd == "burst":
        return burst(int(a[0]), int(a[1]), int(a[2]))
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
