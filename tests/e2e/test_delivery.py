"""Delivery of queued mail by the real server of a staged default site: local mailboxes
read back with poplib, remote domains through a real DNS server (dnsmasq on a free port of
127.0.0.1, named to the server with QMS_DNS_SERVER) and small SMTP servers of this test on
addresses 127.0.0.N, retries, delivery reports, expiry, and a server killed in the middle
of a pass.

Remote servers listen on a free high port that the site names in [SMTP] DeliveryPort (the
port delivery connects to; 25 by default). Every exchanger of a test gets an address
127.0.0.N of its own, so tests running at the same time do not meet. A pass is started by
an SMTP session that ends with QUIT; times lying ahead are moved into the past by editing
the queue header while holding the message's lock file, as a pass would.
"""

import datetime
import email
import email.utils
import fcntl
import os
import poplib
import random
import smtplib
import socket
import subprocess
import threading
import unittest

import qmstest
from qmstest import SiteTestCase, edit_config, parse_config, wait_for

DNSMASQ = "/usr/sbin/dnsmasq"
QUEUE = ("sites", "default", "queue")
HOME = ("sites", "default", "home")
USER_PASSWORD = "QmsUser1"  # the shipped example account "user"


def stamp(when):
    """A queue header time stamp: local time, milliseconds without padding."""
    return "%s.%d" % (when.strftime("%Y%m%d%H%M%S"), when.microsecond // 1000)


def parse_stamp(text):
    day, ms = text.split(".")
    return datetime.datetime.strptime(day, "%Y%m%d%H%M%S") + datetime.timedelta(milliseconds=int(ms))


class Dnsmasq:
    """dnsmasq answering only from its own records (no upstream servers)."""

    def __init__(self, root):
        self.root = root
        self.port = qmstest.free_port()
        self.process = None

    def start(self, *records):
        out = os.path.join(self.root, "dnsmasq-%d.out" % random.randint(0, 1 << 30))
        argv = [DNSMASQ, "--keep-in-foreground", "--conf-file=/dev/null", "--no-resolv",
                "--no-hosts", "--listen-address=127.0.0.1", "--bind-interfaces",
                "--port=%d" % self.port, "--pid-file=", "--log-facility=-",
                "--local=/test/"] + list(records)
        self.process = qmstest.Process(argv, self.root, dict(os.environ), out)
        wait_for(lambda: "started, version" in self.process.output().decode("latin-1")
                 or not self.process.running(), what="dnsmasq to start")
        if not self.process.running():
            raise AssertionError("dnsmasq ended: " + self.process.describe())

    def stop(self):
        if self.process:
            self.process.kill()
            self.process = None


class Sink:
    """A small SMTP server on one loopback address. Accepted transactions are kept as
    (sender, recipients, data with dots removed); recipients in `refuse` get 550; with
    `hold` the first DATA is never answered (the transaction is dropped with its
    connection); `delay` seconds pass before DATA is answered."""

    def __init__(self, address, port, refuse=(), hold=False, delay=0):
        self.address, self.refuse, self.hold, self.delay = address, set(refuse), hold, delay
        self.accepted, self.helos, self.held = [], [], threading.Event()
        self.listener = socket.create_server((address, port))
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def close(self):
        self.listener.close()

    def _serve(self):
        while True:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            threading.Thread(target=self._session, args=(conn,), daemon=True).start()

    def _session(self, conn):
        with conn, conn.makefile("rb") as f:
            def send(text):
                conn.sendall(text.encode() + b"\r\n")
            send("220 sink.test ESMTP")
            sender, rcpts = None, []
            for raw in f:
                line = raw.rstrip(b"\r\n").decode("latin-1")
                verb = line[:4].upper()
                if verb in ("HELO", "EHLO"):  # EHLO: the shipped site asks for TLS
                    self.helos.append(line[5:])
                    send("250-sink.test\r\n250-a continuation line\r\n250 HELP")
                elif verb == "MAIL":
                    sender, rcpts = line[line.index("<") + 1:line.rindex(">")], []
                    send("250 ok")
                elif verb == "RCPT":
                    rcpt = line[line.index("<") + 1:line.rindex(">")]
                    if rcpt in self.refuse:
                        send("550 5.1.1 <%s> no such user" % rcpt)
                    else:
                        rcpts.append(rcpt)
                        send("250 ok")
                elif verb == "DATA":
                    send("354 go ahead")
                    data = b""
                    for body in f:
                        if body == b".\r\n":
                            break
                        data += body[1:] if body.startswith(b".") else body
                    if self.hold:
                        self.hold = False
                        self.held.set()
                        f.read()  # until the client is gone
                        return
                    threading.Event().wait(self.delay)
                    self.accepted.append((sender, rcpts, data))
                    send("250 queued")
                elif verb == "QUIT":
                    send("221 bye")
                    return
                else:
                    send("250 ok")


class DeliverySite(SiteTestCase):
    """The default site with DNS from this test's dnsmasq and remote servers on
    127.0.0.N:DeliveryPort."""

    smtp_keys = {}

    def setUp(self):
        super().setUp()
        if not os.access(DNSMASQ, os.X_OK):
            self.skipTest("dnsmasq is not installed")
        self.remote_port = qmstest.free_port()
        self.dns = Dnsmasq(self.site.root)
        self.addCleanup(self.dns.stop)
        group = self.site.path("documentation", "config", "default", "default.cfg")
        keys = {"DisableReverse": "1", "DeliveryPort": str(self.remote_port),
                "QueueScanFreq": "900"}
        keys.update(self.smtp_keys)
        for key, value in keys.items():
            edit_config(group, "SMTP", key, value)
        with open(group, "rb") as f:
            cfg = parse_config(f.read())
        self.port, self.pop3_port = int(cfg["SMTP"]["Port"]), int(cfg["POP3"]["Port"])
        self.sinks = []
        self.server = None
        self.addCleanup(self.stop_server)

    def start_server(self):
        env = self.site.env(QMS_DNS_SERVER="127.0.0.1:%d" % self.dns.port)
        self.server = self.site.start_running_server(env=env)
        self.server.wait_for_line("SMTP service default/SMTP running")
        self.server.wait_for_line("POP3 service default/POP3 running")

    def stop_server(self):
        for s in self.sinks:
            s.close()
        if self.server and self.server.running():
            self.site.stop(self.server)

    @staticmethod
    def loopback():
        return "127.0.0.%d" % random.randint(2, 254)

    def sink(self, address, **kw):
        s = Sink(address, self.remote_port, **kw)
        self.sinks.append(s)
        return s

    # -- mail ------------------------------------------------------------------------------
    def send(self, sender, recipients, message):
        with smtplib.SMTP("127.0.0.1", self.port, local_hostname="client.test", timeout=30) as s:
            self.assertEqual(s.sendmail(sender, recipients, message), {})

    def run_pass(self):
        """A pass after a session that ends with QUIT."""
        with smtplib.SMTP("127.0.0.1", self.port, local_hostname="client.test", timeout=30) as s:
            s.noop()

    def queued(self):
        d = self.site.path(*QUEUE)
        return sorted(n[:-4] for n in os.listdir(d) if n.endswith(".hdr"))

    def queued_from(self, reverse_path):
        names = []
        for n in self.queued():
            try:
                if self.header(n)["HEADER"]["ReversePath"] == reverse_path:
                    names.append(n)
            except FileNotFoundError:  # delivered meanwhile
                pass
        return names

    def header(self, name):
        return parse_config(self.site.read(*(QUEUE + (name + ".hdr",))))

    def settled(self, reverse_path):
        """The one queued message from reverse_path once a pass has written its next try
        time (the log lines of a pass come before its header is written)."""
        def ready():
            names = self.queued_from(reverse_path)
            return len(names) == 1 and "NextTryAfter" in self.header(names[0])["HEADER"]
        wait_for(ready, what="a pass over the message from %r" % reverse_path)
        return self.queued_from(reverse_path)[0]

    def inbox(self, user):
        d = self.site.path(*(HOME + (user, ".mailbox", "Inbox")))
        return sorted(n for n in os.listdir(d) if n.endswith(".msg")) if os.path.isdir(d) else []

    def mailbox_file(self, user, name):
        return self.site.read(*(HOME + (user, ".mailbox", "Inbox", name)))

    def smtp_log(self):
        return self.site.log_messages("default-smtp.log")

    def wait_logged(self, text, count=1):
        wait_for(lambda: sum(text in l for l in self.smtp_log()) >= count,
                 what="%d log line(s) with %r" % (count, text))

    def wait_empty_queue(self):
        wait_for(lambda: os.listdir(self.site.path(*QUEUE)) == [],
                 what="an empty queue: %r" % os.listdir(self.site.path(*QUEUE)))

    def locked_edit(self, name, *changes):
        """Sets header keys ((section, key, value), ...) while holding the message's lock
        file the way a pass holds it: locked, and unlinked before it is closed."""
        lck = self.site.path(*(QUEUE + (name + ".lck",)))
        while True:
            fd = os.open(lck, os.O_RDWR | os.O_CREAT, 0o600)
            fcntl.flock(fd, fcntl.LOCK_EX)
            try:
                if os.stat(lck).st_ino == os.fstat(fd).st_ino:
                    break
            except FileNotFoundError:
                pass
            os.close(fd)
        try:
            for section, key, value in changes:
                edit_config(self.site.path(*(QUEUE + (name + ".hdr",))), section, key, value)
        finally:
            os.unlink(lck)
            os.close(fd)

    def due_now(self, name, *domains):
        past = stamp(datetime.datetime.now() - datetime.timedelta(seconds=1))
        self.locked_edit(name, ("HEADER", "NextTryAfter", past),
                         *[(d, "RetryAfter", past) for d in domains])


MESSAGE = (b"From: <user@localhost>\r\nSubject: road test\r\n\r\n"
           b".a line with a leading dot\r\nsecond line\r\n..\r\nlast line\r\n")


class LocalDeliveryTest(DeliverySite):

    def test_local_copy_is_byte_exact_and_read_back_with_pop3(self):
        self.dns.start()
        self.start_server()
        self.send("alice@example.org", ["user@localhost"], MESSAGE)
        wait_for(lambda: self.inbox("user"), what="the copy in user's Inbox")
        self.wait_empty_queue()
        [name] = self.inbox("user")
        data = self.mailbox_file("user", name)
        self.assertTrue(data.startswith(b"Return-Path: <alice@example.org>\r\nReceived: from "
                                        b"client.test (127.0.0.1 [127.0.0.1])\r\n"), data)
        self.assertTrue(data.endswith(b"\r\n\r\n" + MESSAGE.split(b"\r\n\r\n", 1)[1]), data)
        self.assertIn(b"with SMTP id " + name[:-4].encode() + b";\r\n", data)
        self.wait_logged('Delivered message to local user "user"')

        client = poplib.POP3("127.0.0.1", self.pop3_port, timeout=30)
        self.addCleanup(client.close)
        client.user("user")
        client.pass_(USER_PASSWORD)
        _resp, lines, _octets = client.retr(1)
        self.assertEqual(b"\r\n".join(lines) + b"\r\n", data)
        client.quit()


    def subjects(self, user):
        return sorted(self.mailbox_file(user, n).split(b"\r\nSubject: ", 1)[1].split(b"\r\n")[0]
                      for n in self.inbox(user))

    def test_a_session_sending_again_after_a_pass_keeps_both_messages(self):
        self.dns.start()
        self.start_server()
        with smtplib.SMTP("127.0.0.1", self.port, local_hostname="client.test", timeout=30) as a:
            a.sendmail("alice@example.org", ["user@localhost"], b"Subject: FIRST\r\n\r\n1\r\n")
            # Another connection comes and goes; its pass delivers FIRST and removes it from
            # the queue, so the session's next message finds its old name free again.
            self.run_pass()
            wait_for(lambda: self.inbox("user"), what="FIRST in user's Inbox")
            a.sendmail("alice@example.org", ["user@localhost"], b"Subject: SECOND\r\n\r\n2\r\n")
        wait_for(lambda: len(self.inbox("user")) == 2, what="both messages: %r" % self.inbox("user"))
        self.wait_empty_queue()
        self.assertEqual(self.subjects("user"), [b"FIRST", b"SECOND"])

    def test_parallel_clients_every_accepted_message_once(self):
        self.dns.start()
        self.start_server()
        clients, each = 20, 5
        failures = []

        def client(c):
            try:
                with smtplib.SMTP("127.0.0.1", self.port, local_hostname="client.test",
                                  timeout=60) as s:
                    for i in range(each):
                        s.sendmail("alice@example.org", ["user@localhost"],
                                   b"Subject: load %d-%d\r\n\r\nbody\r\n" % (c, i))
            except (smtplib.SMTPException, OSError) as e:
                failures.append(e)

        threads = [threading.Thread(target=client, args=(c,)) for c in range(clients)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.assertEqual(failures, [])
        wait_for(lambda: len(self.inbox("user")) >= clients * each, timeout=120,
                 what="%d messages in user's Inbox" % (clients * each))
        self.wait_empty_queue()
        self.assertEqual(self.subjects("user"),
                         sorted(b"load %d-%d" % (c, i) for c in range(clients) for i in range(each)))


class RemoteDeliveryTest(DeliverySite):

    def test_mx_preference_refusing_exchanger_and_cname(self):
        first, second = self.loopback(), self.loopback()
        self.dns.start("--mx-host=far.test,mx2.far.test,20", "--mx-host=far.test,mx1.far.test,10",
                       "--host-record=mx1.far.test,%s" % first,
                       "--cname=mx2.far.test,real.far.test",
                       "--host-record=real.far.test,%s" % second)
        sink = self.sink(second)
        self.start_server()
        self.send("user@localhost", ["x@far.test", "y@FAR.test"], MESSAGE)
        wait_for(lambda: sink.accepted, what="the message at the second exchanger")
        self.wait_empty_queue()
        [(sender, rcpts, data)] = sink.accepted
        self.assertEqual((sender, rcpts), ("user@localhost", ["x@far.test", "y@far.test"]))
        self.assertTrue(data.endswith(b"\r\n\r\n" + MESSAGE.split(b"\r\n\r\n", 1)[1]), data)
        self.assertEqual(sink.helos, ["localhost"])
        log = self.smtp_log()
        refused = 'Unable to connect to MX server "mx1.far.test" [%s] for delivery to "far.test"' % first
        connecting = 'Connecting to MX server "real.far.test" [%s] for delivery to "far.test"' % second
        self.assertIn(refused, log)
        self.assertLess(log.index(refused), log.index(connecting))
        self.assertIn('Message delivered to "real.far.test"', log)

    def test_refused_recipient_keeps_the_domain_and_reports_reach_sender_and_postmaster(self):
        exchanger = self.loopback()
        self.dns.start("--mx-host=far.test,mx.far.test,10",
                       "--host-record=mx.far.test,%s" % exchanger)
        sink = self.sink(exchanger, refuse={"bad@far.test"})
        self.start_server()
        self.send("user@localhost", ["good@far.test", "bad@far.test"], MESSAGE)
        self.wait_logged("Queued intermediate delivery report")
        [name], [report] = self.queued_from("user@localhost"), self.queued_from("")
        header = self.header(name)
        self.assertEqual(header["@FAR.TEST"]["Idents"], "good bad")
        self.assertEqual(header["ERROR"]["bad@far.test"],
                         'RCPT returned "550 5.1.1 <bad@far.test> no such user"')
        self.assertEqual(sink.accepted, [])

        # The report travels on the next pass, to the sender and to the postmaster (admin).
        self.run_pass()
        wait_for(lambda: self.inbox("user") and self.inbox("admin"), what="both reports")
        self.assertEqual(self.inbox("user"), [report + ".msg"])
        text = self.mailbox_file("user", report + ".msg")
        self.assertEqual(text, self.mailbox_file("admin", report + ".msg"))
        self.assertTrue(text.startswith(b"Return-Path: <>\r\n"), text)
        msg = email.message_from_bytes(text.split(b"\r\n", 1)[1])
        self.assertEqual(msg["Subject"], "Delivery delayed: road test")
        self.assertEqual(msg["To"], "<user@localhost>")
        self.assertEqual(email.utils.parseaddr(msg["From"]), ("QMS PostMaster", "postmaster@localhost"))
        sent = email.utils.parsedate_to_datetime(msg["Date"])
        self.assertLess(abs((sent - datetime.datetime.now().astimezone()).total_seconds()), 600)
        self.assertIn(b'\tbad@far.test\tRCPT returned "550 5.1.1 <bad@far.test> no such user"\r\n',
                      text)

        # Once due again and accepted, both recipients get it in one transaction.
        sink.refuse.clear()
        self.due_now(name, "@far.test")
        self.run_pass()
        wait_for(lambda: sink.accepted, what="the retried message")
        self.wait_empty_queue()
        self.assertEqual(sink.accepted[0][1], ["good@far.test", "bad@far.test"])

    def test_refused_connection_waits_for_its_retry_time(self):
        exchanger = self.loopback()
        self.dns.start("--mx-host=slow.test,mx.slow.test,10",
                       "--host-record=mx.slow.test,%s" % exchanger)
        self.start_server()
        before = datetime.datetime.now()
        self.send("", ["a@slow.test"], MESSAGE)
        self.wait_logged('Unable to lookup/connect to any server for delivery to "slow.test"')
        name = self.settled("")
        held = self.site.read(*(QUEUE + (name + ".hdr",)))
        header = self.header(name)
        self.assertEqual(header["@SLOW.TEST"]["ConnectErrors"], "1")
        retry = parse_stamp(header["@SLOW.TEST"]["RetryAfter"])
        self.assertEqual(header["HEADER"]["NextTryAfter"], header["@SLOW.TEST"]["RetryAfter"])
        self.assertGreaterEqual(retry, before + datetime.timedelta(minutes=30, seconds=-1))
        self.assertLessEqual(retry, datetime.datetime.now() + datetime.timedelta(minutes=30))

        # A pass before that time leaves the message as it is, even with the server up. A
        # later message (its name sorts after) shows when the pass has gone past it.
        sink = self.sink(exchanger)
        since_1980 = lambda: int((datetime.datetime.now() - datetime.datetime(1980, 1, 1))
                                 .total_seconds())
        wait_for(lambda: since_1980() > int(name[:8], 16), what="a later queue name")
        self.send("alice@example.org", ["user@localhost"], MESSAGE)
        wait_for(lambda: self.inbox("user"), what="the later message")
        self.assertEqual(self.site.read(*(QUEUE + (name + ".hdr",))), held)
        self.assertEqual(sink.accepted, [])
        self.assertEqual(sum(('Processing message file "%s"' % name) in l
                             for l in self.smtp_log()), 1)

        self.due_now(name, "@slow.test")
        self.run_pass()
        wait_for(lambda: sink.accepted, what="delivery after the retry time")
        self.wait_empty_queue()

    def test_lookup_failure_then_success_with_new_records(self):
        self.dns.start()
        self.start_server()
        before = datetime.datetime.now()
        self.send("", ["a@late.test"], MESSAGE)
        self.wait_logged('Unable to lookup MX record(s) for "late.test"')
        name = self.settled("")
        header = self.header(name)["@LATE.TEST"]
        self.assertEqual(header["LookupErrors"], "1")
        self.assertTrue(header["LookupError[1]"].endswith(
            ' Unable to lookup MX record(s) for "late.test"'))
        retry = parse_stamp(header["RetryAfter"])
        self.assertGreaterEqual(retry, before + datetime.timedelta(minutes=5, seconds=-1))

        exchanger = self.loopback()
        self.dns.stop()
        self.dns.start("--mx-host=late.test,mx.late.test,10",
                       "--host-record=mx.late.test,%s" % exchanger)
        sink = self.sink(exchanger)
        self.due_now(name, "@late.test")
        self.run_pass()
        wait_for(lambda: sink.accepted, what="delivery with the new records")
        self.wait_empty_queue()

    def test_expired_message_gets_its_final_report_and_goes(self):
        self.dns.start()
        self.start_server()
        self.send("user@localhost", ["a@gone.test"], MESSAGE)
        self.wait_logged("Queued intermediate delivery report")
        [name] = self.queued_from("user@localhost")
        received = datetime.datetime.now() - datetime.timedelta(minutes=7201)
        self.locked_edit(name, ("HEADER", "ReceivedAt", stamp(received)))
        self.due_now(name, "@gone.test")
        self.run_pass()
        self.wait_logged("Queued final delivery report")
        wait_for(lambda: name not in self.queued(), what="the expired message to go")
        self.run_pass()
        wait_for(lambda: len(self.inbox("user")) == 2, what="both reports in user's Inbox")
        self.wait_empty_queue()
        reports = {}
        for n in self.inbox("user"):
            text = self.mailbox_file("user", n)
            reports[email.message_from_bytes(text.split(b"\r\n", 1)[1])["Subject"]] = text
        self.assertEqual(sorted(reports), ["Delivery delayed: road test", "Undeliverable: road test"])
        final = reports["Undeliverable: road test"]
        self.assertIn(b'\t@gone.test\tUnable to lookup MX record(s) for "gone.test"\r\n', final)
        self.assertEqual(len(self.inbox("admin")), 2)

    def test_two_passes_at_once_deliver_once(self):
        exchanger = self.loopback()
        self.dns.start("--mx-host=busy.test,mx.busy.test,10",
                       "--host-record=mx.busy.test,%s" % exchanger)
        sink = self.sink(exchanger, delay=2)
        self.start_server()
        self.send("", ["a@busy.test"], MESSAGE)
        # While the first pass waits for the slow server, more passes run.
        threads = [threading.Thread(target=self.run_pass) for _ in range(3)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.wait_empty_queue()
        self.assertEqual(len(sink.accepted), 1)
        self.assertEqual(sum("Message delivered to" in l for l in self.smtp_log()), 1)

    def test_killed_server_loses_nothing_and_delivers_once(self):
        exchanger = self.loopback()
        self.dns.start("--mx-host=far.test,mx.far.test,10",
                       "--host-record=mx.far.test,%s" % exchanger)
        sink = self.sink(exchanger, hold=True)
        self.start_server()
        self.send("", ["user@localhost", "a@far.test"], MESSAGE)
        self.assertTrue(sink.held.wait(30), "no DATA at the exchanger")
        self.server.kill()  # SIGKILL in the middle of the remote transaction
        [name] = self.queued()
        # The crash left its lock file behind; it holds nobody off.
        self.assertTrue(self.site.exists(*(QUEUE + (name + ".lck",))))
        header = self.header(name)
        self.assertEqual(header["LOCAL"]["Idents"], "")
        self.assertEqual(header["HEADER"]["Success"], "user")
        self.assertEqual(self.inbox("user"), [name + ".msg"])

        self.start_server()
        self.run_pass()
        wait_for(lambda: sink.accepted, what="delivery after the restart")
        self.wait_empty_queue()
        self.assertEqual(len(sink.accepted), 1)
        self.assertEqual(self.inbox("user"), [name + ".msg"])


class ForwardToServerTest(DeliverySite):
    """A smart host takes all remote mail, from the service's own address."""

    smart_host = DeliverySite.loopback()
    smtp_keys = {"ForwardToServer": smart_host, "BindOnDelivery": "1"}

    def test_all_remote_mail_goes_to_the_smart_host(self):
        self.dns.start()
        sink = self.sink(self.smart_host)
        self.start_server()
        self.send("user@localhost", ["someone@nowhere.test", "other@else.test"], MESSAGE)
        wait_for(lambda: len(sink.accepted) == 2, what="both domains at the smart host")
        self.wait_empty_queue()
        self.assertEqual(sorted(r for _s, rcpts, _d in sink.accepted for r in rcpts),
                         ["other@else.test", "someone@nowhere.test"])
        self.wait_logged('Connecting to server "%s" for forward to "nowhere.test"' % self.smart_host)


if __name__ == "__main__":
    unittest.main()
