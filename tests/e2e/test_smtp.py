"""The SMTP service of the shipped default site, driven by real clients (Python's smtplib,
curl and a raw socket): greetings, several recipients, dot lines and trailing empty lines
stored byte for byte in the queue, refused recipients, relaying rules, a connection lost
in the middle of a message, and header fields that must not change the queue file."""

import os
import re
import shutil
import smtplib
import socket
import subprocess
import time
import unittest

import qmstest
from qmstest import SiteTestCase, edit_config, free_port, parse_config, wait_for

QUEUE = ("sites", "default", "queue")
RECEIVED_RE = re.compile(
    rb"^Received: from (?P<helo>[^ ]*) \((?P<host>[^ ]+) \[127\.0\.0\.1\]\)\r\n"
    rb"\tby localhost \(Quillmar/32 v0\.9\.5\) with SMTP id (?P<id>[0-9A-F]{12});\r\n"
    rb"\t\d{1,2} [A-Z][a-z]{2} \d{4} \d{2}:\d{2}:\d{2}\r\n")


class SmtpSite(SiteTestCase):
    """A staged default site whose server runs; SMTP settings may be changed first."""

    smtp_keys = {}

    def setUp(self):
        super().setUp()
        group = self.site.path("documentation", "config", "default", "default.cfg")
        # Reverse lookups could leave the loopback network.
        keys = {"DisableReverse": "1"}
        keys.update(self.smtp_keys)
        for key, value in keys.items():
            edit_config(group, "SMTP", key, value)
        with open(group, "rb") as f:
            self.port = int(parse_config(f.read())["SMTP"]["Port"])
        # These tests read the queue as SMTP leaves it: no delivery pass, and should one run,
        # its lookups go to a closed local port, never to an outside resolver.
        env = self.site.env(QMS_NO_DELIVERY="1", QMS_DNS_SERVER="127.0.0.1:%d" % free_port())
        self.server = self.site.start_running_server(env=env)
        self.server.wait_for_line("SMTP service default/SMTP running")
        self.addCleanup(self.stop_server)

    def stop_server(self):
        if self.server.running():
            self.site.stop(self.server)

    def smtp(self):
        return smtplib.SMTP("127.0.0.1", self.port, local_hostname="client.example", timeout=30)

    # -- the queue --------------------------------------------------------------------
    def queue_files(self):
        d = self.site.path(*QUEUE)
        return sorted(os.listdir(d)) if os.path.isdir(d) else []

    def wait_queue(self, hdr, msg, others=0):
        def ready():
            files = self.queue_files()
            return (sum(f.endswith(".hdr") for f in files) == hdr
                    and sum(f.endswith(".msg") for f in files) == msg
                    and len(files) == hdr + msg + others)
        wait_for(ready, what="queue with %d .hdr and %d .msg: %r" % (hdr, msg, self.queue_files()))

    def queued(self):
        """(header dict, body bytes) of every queued message, by name."""
        out = {}
        for f in self.queue_files():
            if f.endswith(".hdr"):
                name = f[:-4]
                out[name] = (parse_config(self.site.read(*QUEUE, f)),
                             self.site.read(*QUEUE, name + ".msg"))
        return out

    def smtp_log(self):
        return self.site.log_messages("default-smtp.log")

    def wait_logged(self, text):
        wait_for(lambda: text in self.smtp_log(), what="log line %r" % text)


class ReceivingTest(SmtpSite):

    def test_greetings_of_both_kinds(self):
        with self.smtp() as s:
            code, text = s.ehlo()
            self.assertEqual(code, 250)
            self.assertTrue(text.startswith(b"localhost "), text)
            self.assertEqual(s.esmtp_features, {"help": ""})
            code, _ = s.helo()
            self.assertEqual(code, 250)
            self.assertEqual(s.noop()[0], 250)
            self.assertEqual(s.verify("user")[0], 502)
            self.assertEqual(s.docmd("XYZZY")[0], 500)
        self.assertTrue(self.server.running())
        self.wait_logged('EHLO "client.example", ok')
        self.wait_logged("Logout")

    def test_several_recipients_dot_lines_and_trailing_empty_lines(self):
        message = (b"From: sender@example.org\r\n"
                   b"Subject: dots\r\n"
                   b"[LOCAL]: evil\r\n"
                   b"Idents=evil\r\n"
                   b"\r\n"
                   b".starts with a dot\r\n"
                   b"..two dots\r\n"
                   b".\r\n"
                   b"\r\n"
                   b"last \xe4\xf6\xfc line\r\n"
                   b"\r\n"
                   b"\r\n")
        with self.smtp() as s:
            refused = s.sendmail("sender@example.org",
                                 ["user@localhost", "admin@LOCALHOST",
                                  "postmaster@localhost.localdomain", "user"],
                                 message)
        self.assertEqual(refused, {})
        self.wait_queue(1, 1)
        [(name, (header, body))] = self.queued().items()
        self.assertRegex(name, r"^[0-9A-F]{12}$")
        self.assertEqual(header["LOCAL"]["Idents"], "user admin")
        self.assertEqual(header["HEADER"]["ReversePath"], "sender@example.org")
        self.assertEqual(header["HEADER"]["RemoteDomain"], "client.example")
        self.assertEqual(header["HEADER"]["RemoteIP"], "127.0.0.1")
        self.assertNotIn("Domains", header["HEADER"])
        self.assertEqual(header["MESSAGE.HEADER"], {"FROM": "sender@example.org",
                                                    "SUBJECT": "dots"})
        m = RECEIVED_RE.match(body)
        self.assertIsNotNone(m, body[:200])
        self.assertEqual(m.group("id").decode(), name)
        self.assertEqual(body[m.end():],
                         b"From: sender@example.org\r\nSubject: dots\r\n[LOCAL]: evil\r\n"
                         b"Idents=evil\r\n\r\n"
                         b".starts with a dot\r\n..two dots\r\n.\r\n\r\n"
                         b"last \xe4\xf6\xfc line\r\n")
        self.assertEqual(int(header["MESSAGE.BODY"]["BodyPosition"]),
                         m.end() + body[m.end():].index(b"\r\n\r\n") + 4)
        self.wait_logged('RCPT "postmaster@localhost.localdomain", ok')
        self.wait_logged("DATA Ok")

    def test_refused_recipients_and_relaying_from_this_host(self):
        with self.smtp() as s:
            s.ehlo()
            self.assertEqual(s.mail("sender@example.org")[0], 250)
            self.assertEqual(s.rcpt("nobody@localhost")[0], 550)
            self.assertEqual(s.docmd("RCPT TO:<a]b@localhost>")[0], 553)
            self.assertEqual(s.docmd("RCPT TO:<x@[127.0.0.1]>")[0], 553)
            # This host may relay (ForwardAddress of the shipped site).
            self.assertEqual(s.rcpt("far@example.org")[0], 251)
            self.assertEqual(s.data(b"Subject: relay\r\n\r\nbody\r\n")[0], 250)
        self.wait_queue(1, 1)
        [(header, _body)] = self.queued().values()
        self.assertEqual(header["HEADER"]["Domains"], "@example.org")
        self.assertEqual(header["@EXAMPLE.ORG"]["Idents"], "far")
        self.assertNotIn("LOCAL", header)
        self.wait_logged('RCPT "nobody@localhost", local user not found')

    def test_curl_sends_a_file(self):
        mail = self.site.write("mail.txt",
                               b"Subject: from curl\r\n\r\n.dot line\r\nline two\r\n")
        r = subprocess.run(["curl", "--silent", "--show-error", "--max-time", "30",
                            "--url", "smtp://127.0.0.1:%d/client.example" % self.port,
                            "--mail-from", "curl@example.org",
                            "--mail-rcpt", "user@localhost",
                            "--upload-file", mail],
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=60)
        self.assertEqual(r.returncode, 0, r.stdout)
        self.wait_queue(1, 1)
        [(header, body)] = self.queued().values()
        self.assertEqual(header["LOCAL"]["Idents"], "user")
        self.assertEqual(header["HEADER"]["ReversePath"], "curl@example.org")
        m = RECEIVED_RE.match(body)
        self.assertIsNotNone(m, body[:200])
        self.assertEqual(body[m.end():], b"Subject: from curl\r\n\r\n.dot line\r\nline two\r\n")

    def test_connection_lost_in_the_middle_of_a_message(self):
        with socket.create_connection(("127.0.0.1", self.port), timeout=30) as c:
            f = c.makefile("rb")

            def cmd(line):
                c.sendall(line + b"\r\n")
                return f.readline()

            self.assertTrue(f.readline().startswith(b"220 "))
            self.assertTrue(cmd(b"HELO client.example").startswith(b"250 "))
            self.assertTrue(cmd(b"MAIL FROM:<a@example.org>").startswith(b"250 "))
            self.assertTrue(cmd(b"RCPT TO:<user@localhost>").startswith(b"250 "))
            self.assertTrue(cmd(b"DATA").startswith(b"354 "))
            c.sendall(b"Subject: cut\r\n\r\nhalf a mess")
            wait_for(lambda: any(n.endswith(".msg") for n in self.queue_files()),
                     what="the body file")
            f.close()  # the reader holds the connection open too
        self.wait_logged("DATA Failed")
        self.wait_queue(0, 0)
        # The service goes on.
        with self.smtp() as s:
            self.assertEqual(s.noop()[0], 250)


    def test_control_bytes_of_the_client_are_made_visible_in_the_log(self):
        with socket.create_connection(("127.0.0.1", self.port), timeout=30) as c:
            f = c.makefile("rb")
            self.assertTrue(f.readline().startswith(b"220 "))
            c.sendall(b"EHLO odd\x00\xffname\r\n")
            while f.readline()[3:4] == b"-":
                pass
            c.sendall(b"MAIL FROM:<a@example.org>\r\n")
            f.readline()
            c.sendall(b"RCPT TO:<us\x00er@localhost>\r\n")
            f.readline()
            c.sendall(b"QUIT\r\n")
            f.readline()
            f.close()
        self.wait_logged('EHLO "odd\\x00\\xffname", ok')
        wait_for(lambda: any("us\\x00er" in t for t in self.smtp_log()), what="the RCPT line")
        raw = self.site.read("log", "default-smtp.log")
        self.assertNotIn(b"\x00", raw)
        self.assertNotIn(b"\xff", raw)


class ClosedRelayTest(SmtpSite):
    """A site whose relay list names no client, with one backup-MX domain."""

    smtp_keys = {"ForwardAddress": "10.255.255.1", "ForwardDomains": "@partner.example",
                 "MessageSizeMax": "8"}

    def test_relaying_refused_and_backup_domain_accepted(self):
        with self.smtp() as s:
            s.ehlo()
            with self.assertRaises(smtplib.SMTPRecipientsRefused) as cm:
                s.sendmail("a@example.org", ["far@example.org"], b"Subject: x\r\n\r\nx\r\n")
            self.assertEqual(cm.exception.recipients["far@example.org"][0], 551)
            refused = s.sendmail("a@example.org", ["far@example.org", "p@Partner.Example"],
                                 b"Subject: x\r\n\r\nx\r\n")
            self.assertEqual(set(refused), {"far@example.org"})
            with self.assertRaises(smtplib.SMTPDataError) as cm:
                s.sendmail("a@example.org", ["user@localhost"],
                           b"Subject: big\r\n\r\n" + (b"x" * 70 + b"\r\n") * 200)
            self.assertEqual(cm.exception.smtp_code, 552)
        self.wait_queue(1, 1)
        [(header, _body)] = self.queued().values()
        self.assertEqual(header["@PARTNER.EXAMPLE"], {"Idents": "p", "PrimaryOnly": "1"})
        self.wait_logged('RCPT "far@example.org", forward not allowed')


if __name__ == "__main__":
    unittest.main()
