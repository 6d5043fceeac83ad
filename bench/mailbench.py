#!/usr/bin/env python3
"""Client side of bench/mail.sh (loopback only; every socket has a timeout).

Sub-commands:
  ports N                      N free TCP ports on 127.0.0.1
  setkey FILE SECTION KEY VAL  sets one key of a key file in place (keeps its line ends)
  users DIR N PASSWORD         writes accounts bench01..benchNN into a users directory
  smtp PORT HOME N CLIENTS SIZE PERSESSION WAIT [LAYOUT [RESULT]]
                               N messages of SIZE bytes from CLIENTS parallel smtplib
                               clients to bench01.. ; then waits up to WAIT seconds for
                               them to appear in HOME/<user>/.mailbox/Inbox (LAYOUT qms)
                               or HOME/<user>/new (LAYOUT maildir); RESULT gets
                               "accepted-per-second seconds-until-all-delivered"
  fill INBOX MAILDIR N SIZE    a mailbox of N messages for the server (".msg" files as
                               local delivery writes them) and the same messages in a
                               Dovecot maildir (LF line ends, the maildir convention)
  pop3 NAME PORT USER PASS ROUNDS
                               one session per round: LIST, then RETR of every message;
                               prints the median seconds of LIST+RETR
  syscalls FILE NAME N         system calls per RETR from an "strace -c" summary of a
                               session of N RETRs
"""

import datetime
import os
import poplib
import smtplib
import socket
import statistics
import sys
import threading
import time

HOST = "127.0.0.1"
TIMEOUT = 30


def free_ports(n):
    socks, ports = [], []
    for _ in range(n):
        s = socket.socket()
        s.bind((HOST, 0))
        socks.append(s)
        ports.append(s.getsockname()[1])
    for s in socks:
        s.close()
    return ports


def set_key(path, section, key, value):
    with open(path, "rb") as f:
        raw = f.read().decode("latin-1")
    eol = "\r\n" if "\r\n" in raw else "\n"
    lines = raw.split(eol)
    if lines and lines[-1] == "":
        lines.pop()
    out, current, done = [], "", False
    for line in lines:
        t = line.strip()
        if t.startswith("[") and "]" in t:
            if current.upper() == section.upper() and not done:
                out.append("%s=%s" % (key, value))
                done = True
            current = t[1:t.index("]")].strip()
            out.append(line)
            continue
        if (current.upper() == section.upper() and "=" in t and t[0] not in "#;"
                and t.split("=", 1)[0].strip() == key):
            if not done:
                out.append("%s=%s" % (key, value))
                done = True
            continue
        out.append(line)
    if not done:
        if current.upper() != section.upper():
            out.append("[%s]" % section)
        out.append("%s=%s" % (key, value))
    with open(path, "wb") as f:
        f.write((eol.join(out) + eol).encode("latin-1"))


def bench_users(n):
    return ["bench%02d" % (i + 1) for i in range(n)]


def write_users(directory, n, password):
    for name in bench_users(n):
        with open(os.path.join(directory, name), "wb") as f:
            f.write(("[USER]\r\nUsername=%s\r\nFullname=Benchmark user\r\nMemberOfGroups=users\r\n"
                     "Password=-%s\r\nChangePassword=0\r\nAdministrator=0\r\nAnonymous=0\r\n"
                     % (name, password)).encode())


def message(i, size, to):
    """A message of about `size` bytes (CR LF line ends) as a list of lines."""
    head = ["From: <bench@example.test>", "To: <%s>" % to,
            "Subject: benchmark message %d" % i,
            "Message-ID: <bench.%d@example.test>" % i, ""]
    lines = list(head)
    used = sum(len(l) + 2 for l in lines)
    n = 0
    while used < size:
        line = ("line %05d of message %06d " % (n, i)).ljust(72, "x")
        line = line[:max(1, min(72, size - used - 2))]
        lines.append(line)
        used += len(line) + 2
        n += 1
    return lines


def count_msgs(home, users, layout="qms"):
    """Delivered messages: ".msg" files of the Inbox, or files of a maildir's new/."""
    total = 0
    for u in users:
        if layout == "maildir":
            d = os.path.join(home, u, "new")
        else:
            d = os.path.join(home, u, ".mailbox", "Inbox")
        try:
            total += sum(1 for f in os.listdir(d) if layout == "maildir" or f.endswith(".msg"))
        except FileNotFoundError:
            pass
    return total


def smtp_bench(port, home, n, clients, size, per_session, wait, layout="qms", result=None):
    users = bench_users(clients)
    errors, sent = [], [0]
    lock = threading.Lock()
    jobs = list(range(n))

    def worker(k):
        mine = jobs[k::clients]
        for start in range(0, len(mine), per_session):
            try:
                with smtplib.SMTP(HOST, port, timeout=TIMEOUT) as s:
                    s.ehlo("client.test")
                    for i in mine[start:start + per_session]:
                        to = "%s@localhost" % users[i % len(users)]
                        data = "\r\n".join(message(i, size, to)) + "\r\n"
                        s.sendmail("bench@example.test", [to], data.encode())
                        with lock:
                            sent[0] += 1
            except (OSError, smtplib.SMTPException) as e:
                with lock:
                    errors.append("%s: %s" % (type(e).__name__, e))

    before = count_msgs(home, users, layout)
    t0 = time.monotonic()
    threads = [threading.Thread(target=worker, args=(k,)) for k in range(clients)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    t1 = time.monotonic()
    print("SMTP: %d of %d messages of %d bytes accepted, %d clients, %d per session: %.2f s, "
          "%.0f messages/s accepted" % (sent[0], n, size, clients, per_session, t1 - t0,
                                         sent[0] / (t1 - t0)))
    if errors:
        print("SMTP: %d session(s) failed, first: %s" % (len(errors), errors[0]))
    n = sent[0]
    deadline = t1 + wait
    got = count_msgs(home, users, layout) - before
    while got < n and time.monotonic() < deadline:
        time.sleep(0.05)
        got = count_msgs(home, users, layout) - before
    t2 = time.monotonic()
    if result:
        with open(result, "w") as out:
            out.write("%.3f %.3f\n" % (sent[0] / (t1 - t0), (t2 - t0) if got >= n else -1))
    if got >= n:
        print("SMTP: all %d in their mailboxes %.2f s after the first was sent "
              "(%.2f s after the last was accepted)" % (n, t2 - t0, t2 - t1))
    else:
        print("SMTP: delivery: only %d of %d in the mailboxes %d s after the last was accepted "
              "(local delivery not working yet?)" % (got, n, wait))
    return 0 if not errors else 1


def fill(inbox, maildir, n, size):
    os.makedirs(inbox, exist_ok=True)
    for sub in ("cur", "new", "tmp"):
        os.makedirs(os.path.join(maildir, sub), exist_ok=True)
    now = datetime.datetime.now()
    stamp = now.strftime("%d %b %Y %H:%M:%S").lstrip("0")
    base = int(time.time()) - 315532800
    epoch = int(time.time())
    for i in range(n):
        name = "%08X%04X" % ((base + i // 0x10000) & 0xFFFFFFFF, i & 0xFFFF)
        received = ("Received: from client.test (localhost [127.0.0.1])\r\n\tby localhost "
                    "(Quillmar/32 v0.9.5) with SMTP id %s;\r\n\t%s\r\n" % (name, stamp))
        body = "\r\n".join(message(i, size, "user@localhost")) + "\r\n"
        data = ("Return-Path: <bench@example.test>\r\n" + received + body).encode()
        with open(os.path.join(inbox, name + ".msg"), "wb") as f:
            f.write(data)
        lf = data.replace(b"\r\n", b"\n")
        mname = "%d.M%dP%d.bench,S=%d:2,S" % (epoch, i, os.getpid(), len(lf))
        with open(os.path.join(maildir, "cur", mname), "wb") as f:
            f.write(lf)
    print("POP3: mailbox of %d messages of about %d bytes placed for both servers" % (n, size))


def pop3_bench(name, port, user, password, rounds):
    times, octets, count = [], 0, 0
    for _ in range(rounds):
        p = poplib.POP3(HOST, port, timeout=TIMEOUT)
        try:
            p.user(user)
            p.pass_(password)
            t0 = time.monotonic()
            _, listing, _ = p.list()
            octets = count = 0
            for entry in listing:
                num = entry.split()[0].decode()
                _, lines, o = p.retr(num)
                octets += o
                count += 1
            times.append(time.monotonic() - t0)
        finally:
            p.quit()
    med = statistics.median(times)
    print("POP3 %-9s: LIST + RETR of %d messages (%d octets): median %.3f s of %d sessions "
          "(best %.3f s)" % (name, count, octets, med, rounds, min(times)))
    return med


def syscalls(path, name, n):
    total, calls = 0, []
    with open(path) as f:
        for line in f:
            fields = line.split()
            if len(fields) < 5 or not fields[3].isdigit():
                continue
            if fields[-1] == "total":
                total = int(fields[3])
            else:
                calls.append((int(fields[3]), fields[-1]))
    calls.sort(reverse=True)
    top = ", ".join("%s %.1f" % (c, k / n) for k, c in calls[:8] if k / n >= 0.05)
    print("POP3 %-9s: %.1f system calls per RETR (strace -c, all threads, one session of %d; %s)"
          % (name, total / n, n, top))


def main(argv):
    cmd = argv[1] if len(argv) > 1 else ""
    a = argv[2:]
    if cmd == "ports":
        print(" ".join(str(p) for p in free_ports(int(a[0]))))
    elif cmd == "setkey":
        set_key(a[0], a[1], a[2], a[3])
    elif cmd == "users":
        write_users(a[0], int(a[1]), a[2])
    elif cmd == "smtp":
        return smtp_bench(int(a[0]), a[1], int(a[2]), int(a[3]), int(a[4]), int(a[5]), int(a[6]),
                          *a[7:9])
    elif cmd == "syscalls":
        syscalls(a[0], a[1], int(a[2]))
    elif cmd == "fill":
        fill(a[0], a[1], int(a[2]), int(a[3]))
    elif cmd == "pop3":
        with open(a[5], "w") if len(a) > 5 else open(os.devnull, "w") as out:
            out.write("%.6f\n" % pop3_bench(a[0], int(a[1]), a[2], a[3], int(a[4])))
    else:
        print(__doc__, file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
