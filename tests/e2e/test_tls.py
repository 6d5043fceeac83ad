"""TLS of every service with real clients on 127.0.0.1: STARTTLS for SMTP, POP3 (STLS)
and IMAP4 with Python's mail clients, curl --ssl-reqd and openssl s_client; the modes that
require TLS and implicit TLS; FTP AUTH TLS with protected data connections (ftplib, curl,
lftp); STARTTLS on outgoing delivery to a small exchanger of the test; and the bad cases:
plaintext injected after STARTTLS, garbage or an outdated protocol instead of a
ClientHello, a client vanishing after its handshake, a TLS alert in the middle of DATA."""

import base64
import ftplib
import http.client
import imaplib
import io
import os
import poplib
import smtplib
import socket
import ssl
import stat
import subprocess
import sys
import threading
import unittest

import httptest
import qmstest
import test_delivery
from mailtest_store import MailServerTestCase, message_lines
from qmstest import wait_for

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from ftpsite import FtpServerTestCase  # noqa: E402

MAIL_SECTIONS = ("SMTP", "POP3", "IMAP4")
MESSAGE = b"Subject: over TLS\r\n\r\nsent encrypted\r\n"


def client_context():
    """Encrypts without checking the server's (self-signed) certificate."""
    ctx = ssl.create_default_context()
    ctx.check_hostname = False
    ctx.verify_mode = ssl.CERT_NONE
    return ctx


def tool(*argv, data=b""):
    """Runs a client program; its exit status and its output and errors together."""
    p = subprocess.run(argv, input=data, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                       timeout=60)
    return p.returncode, p.stdout.decode("latin-1")


# The reply keys of the TLS commands, by message file: a site of an older release lacks
# them ("*": the whole section).
TLS_KEYS = {
    "smtp/smtp.res": {"HELO": ["250e"], "STARTTLS": "*"},
    "pop3/pop3.res": {"CAPA": "*", "STLS": "*"},
    "imap4/imap4.res": {"CAPABILITY": ["b", "c"], "LOGIN": ["NOb"], "STARTTLS": "*"},
    "ftp/ftp.res": {"AUTH": "*", "PBSZ": "*", "PROT": "*"},
}


def strip_tls_keys(site):
    """Removes the TLS reply keys from the site's shipped message files."""
    for name, drop in TLS_KEYS.items():
        path = site.path("documentation", "messages", *name.split("/"))
        with open(path, "rb") as f:
            lines = f.read().decode("latin-1").splitlines(keepends=True)
        kept, section = [], ""
        for line in lines:
            if line.startswith("["):
                section = line.strip()[1:-1]
            keys = drop.get(section, [])
            if keys == "*" or line.split("=", 1)[0] in keys:
                continue
            kept.append(line)
        with open(path, "wb") as f:
            f.write("".join(kept).encode("latin-1"))


class MailTlsCase(MailServerTestCase):
    mode = "STARTTLS"
    keys = {}  # more keys of each mail service

    def setUp(self):
        self.settings = {s: {"TLSMode": self.mode, "DisableReverse": "1", **self.keys}
                         for s in MAIL_SECTIONS}
        super().setUp()
        cfg = qmstest.parse_config(self.site.read("config", "default", "default.cfg"))
        self.smtp_port = int(cfg["SMTP"]["Port"])
        self.server.wait_for_line("SMTP service default/SMTP running")
        self.add_user("mia", "mia-pass")
        self.place_message("mia", message_lines("first", [b"Hello Mia"]))

    def raw(self, port):
        sock = socket.create_connection(("127.0.0.1", port), timeout=30)
        self.addCleanup(sock.close)
        return sock, sock.makefile("rb")


class StartTlsTest(MailTlsCase):
    """TLSMode=STARTTLS: offered, a plain login still works."""

    def test_self_signed_certificate_made_at_first_start(self):
        for section in MAIL_SECTIONS:
            self.server.wait_for_line("%s service default/%s made a self-signed certificate"
                                      % (section, section))
            base = self.site.path("config", "default", "default-%s" % section.lower())
            self.assertEqual(stat.S_IMODE(os.stat(base + ".key").st_mode), 0o600)
            self.assertTrue(os.path.isfile(base + ".crt"))

    def test_python_clients(self):
        with smtplib.SMTP("127.0.0.1", self.smtp_port, timeout=30) as s:
            s.ehlo("client.test")
            self.assertTrue(s.has_extn("starttls"))
            s.starttls(context=client_context())
            s.ehlo("client.test")
            self.assertFalse(s.has_extn("starttls"))  # not offered twice
            self.assertEqual(s.sendmail("a@client.test", ["mia@localhost"], MESSAGE), {})
        pop = poplib.POP3("127.0.0.1", self.pop3_port, timeout=30)
        self.addCleanup(pop.close)
        self.assertIn("STLS", pop.capa())
        pop.stls(context=client_context())
        self.assertNotIn("STLS", pop.capa())
        pop.user("mia")
        pop.pass_("mia-pass")
        wait_for(lambda: pop.stat()[0] >= 1)
        pop.quit()
        imap = imaplib.IMAP4("127.0.0.1", self.imap4_port, timeout=30)
        self.assertIn("STARTTLS", imap.capabilities)
        self.assertNotIn("LOGINDISABLED", imap.capabilities)
        imap.starttls(ssl_context=client_context())
        self.assertNotIn("STARTTLS", imap.capabilities)
        self.assertEqual(imap.login("mia", "mia-pass")[0], "OK")
        imap.logout()
        for section in MAIL_SECTIONS:
            self.wait_log(section, "TLS established: TLSv1.3 ")

    def test_curl_ssl_reqd(self):
        url = "://127.0.0.1:%d/"
        rc, out = tool("curl", "-sS", "-k", "--ssl-reqd", "--user", "mia:mia-pass",
                       "pop3" + url % self.pop3_port)
        self.assertEqual(rc, 0, out)
        self.assertRegex(out, r"^1 \d+")
        rc, out = tool("curl", "-sS", "-k", "--ssl-reqd", "--user", "mia:mia-pass",
                       "imap" + url % self.imap4_port)
        self.assertEqual((rc, out), (0, '* LIST () "/" "Inbox"\r\n'))
        rc, out = tool("curl", "-sS", "-k", "--ssl-reqd", "smtp" + url % self.smtp_port,
                       "--mail-from", "a@client.test", "--mail-rcpt", "mia@localhost",
                       "-T", "-", data=MESSAGE)
        self.assertEqual(rc, 0, out)

    def test_openssl_s_client(self):
        for proto, port, bye in (("smtp", self.smtp_port, b"QUIT\r\n"),
                                 ("pop3", self.pop3_port, b"QUIT\r\n"),
                                 ("imap", self.imap4_port, b"a LOGOUT\r\n")):
            rc, out = tool("openssl", "s_client", "-brief", "-ign_eof", "-starttls", proto,
                           "-connect", "127.0.0.1:%d" % port, data=bye)
            self.assertEqual(rc, 0, out)
            self.assertIn("Protocol version: TLSv1.3", out)

    def starttls(self, port):
        """A POP3 connection turned to TLS: the socket and the server's certificate."""
        sock, f = self.raw(port)
        f.readline()
        sock.sendall(b"STLS\r\n")
        self.assertTrue(f.readline().startswith(b"+OK"))
        tls = client_context().wrap_socket(sock)
        self.addCleanup(tls.close)
        return tls, tls.getpeercert(binary_form=True)

    def test_renewed_certificate_without_restart(self):
        _, old = self.starttls(self.pop3_port)
        base = self.site.path("config", "default", "default-pop3")
        new_cert, new_key = base + ".new.crt", base + ".new.key"
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj",
                        "/CN=renewed.test", "-days", "1", "-keyout", new_key, "-out", new_cert],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
        os.replace(new_key, base + ".key")
        os.replace(new_cert, base + ".crt")
        with open(base + ".crt") as f:
            renewed = ssl.PEM_cert_to_DER_cert(f.read())
        self.assertNotEqual(old, renewed)
        tls, seen = self.starttls(self.pop3_port)
        self.assertEqual(seen, renewed)
        tls.sendall(b"NOOP\r\n")
        self.assertTrue(tls.recv(4096).startswith(b"+OK"))

    def test_renegotiation_refused(self):
        # openssl s_client asks for a TLS 1.2 renegotiation on a line "R".
        p = subprocess.Popen(["openssl", "s_client", "-tls1_2", "-starttls", "pop3",
                              "-connect", "127.0.0.1:%d" % self.pop3_port],
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT)
        self.addCleanup(p.kill)
        lines = iter(p.stdout.readline, b"")
        p.stdin.write(b"NOOP\n")
        p.stdin.flush()
        self.assertTrue(any(l.startswith(b"+OK") for l in lines))  # answered over TLS
        p.stdin.write(b"R\n")
        p.stdin.flush()
        self.assertTrue(any(b"RENEGOTIATING" in l for l in lines))
        try:
            p.stdin.write(b"NOOP\n")
            p.stdin.close()
        except BrokenPipeError:
            pass
        b"".join(lines)
        p.wait(timeout=60)
        # Whether the session went on or ended, it ends cleanly and the server serves on.
        self.wait_log("POP3", "Client session ended")
        self.starttls(self.pop3_port)

    def test_plaintext_injected_after_starttls_is_discarded(self):
        sock, f = self.raw(self.smtp_port)
        f.readline()
        sock.sendall(b"EHLO client.test\r\n")
        while f.readline()[3:4] == b"-":
            pass
        sock.sendall(b"STARTTLS\r\nRSET\r\n")
        self.assertTrue(f.readline().startswith(b"220 "))
        tls = client_context().wrap_socket(sock)
        tls.sendall(b"NOOP\r\n")
        # The first answer over TLS is NOOP's: the injected RSET was never seen.
        self.assertTrue(tls.recv(4096).startswith(b"250 "))
        tls.sendall(b"MAIL FROM:<a@client.test>\r\n")
        self.assertTrue(tls.recv(4096).startswith(b"503 "))  # EHLO again first
        self.assertNotIn("RSET Ok", "\n".join(self.service_log("SMTP")))

    def test_bad_handshakes_free_the_session(self):
        # Garbage instead of a ClientHello.
        sock, f = self.raw(self.pop3_port)
        f.readline()
        sock.sendall(b"STLS\r\n")
        self.assertTrue(f.readline().startswith(b"+OK"))
        sock.sendall(b"this is no ClientHello\r\n" * 4)
        self.assertEqual(sock.recv(4096), b"")
        # A client that offers TLS 1.0 only.
        sock, f = self.raw(self.pop3_port)
        f.readline()
        sock.sendall(b"STLS\r\n")
        f.readline()
        old = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        old.check_hostname, old.verify_mode = False, ssl.CERT_NONE
        old.set_ciphers("DEFAULT:@SECLEVEL=0")
        old.minimum_version = old.maximum_version = ssl.TLSVersion.TLSv1
        with self.assertRaises((ssl.SSLError, ConnectionError)):
            old.wrap_socket(sock)
        # A handshake, then the client is gone.
        sock, f = self.raw(self.pop3_port)
        f.readline()
        sock.sendall(b"STLS\r\n")
        f.readline()
        client_context().wrap_socket(sock).close()
        wait_for(lambda: sum("Client session ended" in l for l in self.service_log("POP3")) >= 3,
                 what="three sessions ended")
        self.assertEqual(sum("TLS handshake failed" in l for l in self.service_log("POP3")), 2)
        # The service still serves.
        pop = poplib.POP3("127.0.0.1", self.pop3_port, timeout=30)
        pop.stls(context=client_context())
        pop.quit()

    def test_tls_alert_in_the_middle_of_data_queues_nothing(self):
        sock, f = self.raw(self.smtp_port)
        f.readline()
        sock.sendall(b"STARTTLS\r\n")
        f.readline()
        tls = client_context().wrap_socket(sock)
        for line in (b"EHLO client.test", b"MAIL FROM:<a@client.test>", b"RCPT TO:<mia@localhost>",
                     b"DATA"):
            tls.sendall(line + b"\r\n")
            tls.recv(4096)
        tls.sendall(b"Subject: cut\r\n\r\nhalf a message\r\n")
        # A fatal alert in the clear in the middle of the encrypted stream.
        raw = socket.socket(fileno=os.dup(tls.fileno()))
        self.addCleanup(raw.close)
        raw.sendall(b"\x15\x03\x03\x00\x02\x02\x28")
        try:
            rest = tls.recv(4096)
        except (ssl.SSLError, ConnectionError):
            rest = b""
        self.assertNotIn(b"250", rest)
        self.wait_log("SMTP", "DATA Failed")
        self.assertNotIn("DATA Ok", "\n".join(self.service_log("SMTP")))


class StalledHandshakeTest(MailTlsCase):
    """A handshake that never completes is ended by the idle time-out."""
    keys = {"Timeout": "2"}

    def test_stalled_handshakes_free_their_sessions(self):
        hello_start = b"\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03"  # then silence
        for port, command, sent in ((self.pop3_port, b"STLS\r\n", b""),
                                    (self.smtp_port, b"STARTTLS\r\n", hello_start)):
            sock, f = self.raw(port)
            f.readline()
            sock.sendall(command)
            f.readline()
            sock.sendall(sent)
            sock.settimeout(120)
            try:
                self.assertEqual(sock.recv(4096), b"")
            except ConnectionResetError:
                pass
        for section in ("POP3", "SMTP"):
            self.wait_log(section, "TLS handshake failed")
        self.wait_log("POP3", "Client session ended")
        pop = poplib.POP3("127.0.0.1", self.pop3_port, timeout=30)
        pop.stls(context=client_context())
        pop.quit()


class RequiredTlsTest(MailTlsCase):
    """TLSMode=Required: no login or mail on a plain connection."""
    mode = "Required"

    def test_plain_logins_refused(self):
        imap = imaplib.IMAP4("127.0.0.1", self.imap4_port, timeout=30)
        self.addCleanup(imap.shutdown)
        self.assertIn("LOGINDISABLED", imap.capabilities)
        with self.assertRaises(imaplib.IMAP4.error):
            imap.login("mia", "mia-pass")
        imap.starttls(ssl_context=client_context())
        self.assertNotIn("LOGINDISABLED", imap.capabilities)
        self.assertEqual(imap.login("mia", "mia-pass")[0], "OK")
        pop = poplib.POP3("127.0.0.1", self.pop3_port, timeout=30)
        self.addCleanup(pop.close)
        with self.assertRaises(poplib.error_proto):
            pop.user("mia")
        pop.stls(context=client_context())
        pop.user("mia")
        pop.pass_("mia-pass")
        with smtplib.SMTP("127.0.0.1", self.smtp_port, timeout=30) as s:
            s.ehlo("client.test")
            self.assertEqual(s.mail("a@client.test")[0], 530)
            s.starttls(context=client_context())
            s.ehlo("client.test")
            self.assertEqual(s.mail("a@client.test")[0], 250)


class OldMessageFilesTest(MailTlsCase):
    """Message files without the TLS keys: every TLS reply has its built-in text."""
    mode = "Required"

    def staged(self):
        strip_tls_keys(self.site)

    def test_tls_replies_without_their_keys(self):
        self.assertNotIn(b"[STARTTLS]", self.site.read("messages", "smtp", "smtp.res"))
        with smtplib.SMTP("127.0.0.1", self.smtp_port, timeout=30) as s:
            s.ehlo("client.test")
            self.assertTrue(s.has_extn("starttls"))
            self.assertEqual(s.mail("a@client.test")[0], 530)
            self.assertEqual(s.docmd("STARTTLS", "now")[0], 501)
            s.starttls(context=client_context())
            self.assertEqual(s.docmd("STARTTLS")[0], 503)
        pop = poplib.POP3("127.0.0.1", self.pop3_port, timeout=30)
        self.addCleanup(pop.close)
        self.assertIn("STLS", pop.capa())
        with self.assertRaisesRegex(poplib.error_proto, r"-ERR \[AUTH\]"):
            pop.user("mia")
        pop.stls(context=client_context())
        with self.assertRaisesRegex(poplib.error_proto, "-ERR "):
            pop._shortcmd("STLS")
        imap = imaplib.IMAP4("127.0.0.1", self.imap4_port, timeout=30)
        self.addCleanup(imap.shutdown)
        self.assertIn("LOGINDISABLED", imap.capabilities)
        with self.assertRaisesRegex(imaplib.IMAP4.error, "PRIVACYREQUIRED"):
            imap.login("mia", "mia-pass")
        imap.starttls(ssl_context=client_context())
        with self.assertRaisesRegex(imaplib.IMAP4.error, "BAD .*TLS is already active"):
            imap._simple_command("STARTTLS")
        self.assertEqual(imap.login("mia", "mia-pass")[0], "OK")


class ImplicitTlsTest(MailTlsCase):
    """TLSMode=Implicit: TLS from the first byte."""
    mode = "Implicit"

    def test_implicit_tls_clients(self):
        imap = imaplib.IMAP4_SSL("127.0.0.1", self.imap4_port, ssl_context=client_context(),
                                 timeout=30)
        self.addCleanup(imap.shutdown)
        self.assertEqual(imap.login("mia", "mia-pass")[0], "OK")
        pop = poplib.POP3_SSL("127.0.0.1", self.pop3_port, context=client_context(), timeout=30)
        self.addCleanup(pop.close)
        pop.user("mia")
        pop.pass_("mia-pass")
        pop.quit()
        with smtplib.SMTP_SSL("127.0.0.1", self.smtp_port, context=client_context(),
                              timeout=30) as s:
            s.ehlo("client.test")
            self.assertFalse(s.has_extn("starttls"))
            self.assertEqual(s.sendmail("a@client.test", ["mia@localhost"], MESSAGE), {})
        rc, out = tool("curl", "-sS", "-k", "--user", "mia:mia-pass",
                       "pop3s://127.0.0.1:%d/" % self.pop3_port)
        self.assertEqual(rc, 0, out)


class FtpTlsTest(FtpServerTestCase):
    """FTP AUTH TLS with PROT P, passive and active, by ftplib, curl and lftp."""

    settings = {"TLSMode": "STARTTLS", "DisableReverse": "1"}
    DATA = os.urandom(3 * 1024 * 1024 + 17)

    def setUp(self):
        super().setUp()
        self.area = self.add_user("kim", "kim-pass")

    def test_ftplib_prot_p_passive_and_active(self):
        for passive in (True, False):
            ftp = ftplib.FTP_TLS(context=client_context(), timeout=30)
            ftp.connect("127.0.0.1", self.port)
            self.addCleanup(ftp.close)
            self.assertIn("AUTH TLS", ftp.sendcmd("FEAT"))
            ftp.login("kim", "kim-pass")  # AUTH TLS first
            ftp.prot_p()
            ftp.set_pasv(passive)
            name = "up-%d.bin" % passive
            ftp.storbinary("STOR " + name, io.BytesIO(self.DATA))
            self.assertEqual(self.fetch(ftp, name), self.DATA)
            self.assertIn(name, ftp.nlst())
            ftp.quit()
        with open(os.path.join(self.area, "up-1.bin"), "rb") as f:
            self.assertEqual(f.read(), self.DATA)
        self.assertIn("TLS established: TLSv1.3 ", "\n".join(self.ftp_log()))

    def ftp_log(self):
        return self.site.log_messages("default-ftp.log")

    def test_curl_lftp_and_s_client(self):
        with open(os.path.join(self.area, "file.bin"), "wb") as f:
            f.write(self.DATA)
        out_file = os.path.join(self.site.root, "curl.bin")
        url = "ftp://127.0.0.1:%d/file.bin" % self.port
        rc, out = tool("curl", "-sS", "-k", "--ssl-reqd", "--user", "kim:kim-pass", "-o",
                       out_file, url)
        self.assertEqual(rc, 0, out)
        rc, out = tool("curl", "-sS", "-k", "--ssl-reqd", "--user", "kim:kim-pass", "-T", out_file, url.replace("file.bin", "curl.bin"))
        self.assertEqual(rc, 0, out)
        with open(os.path.join(self.area, "curl.bin"), "rb") as f:
            self.assertEqual(f.read(), self.DATA)
        lftp_file = os.path.join(self.site.root, "lftp.bin")
        script = ("set ssl:verify-certificate no; set ftp:ssl-force true; "
                  "set ftp:ssl-protect-data true; open -u kim,kim-pass 127.0.0.1:%d; "
                  "get file.bin -o %s; ls" % (self.port, lftp_file))
        rc, out = tool("lftp", "-c", script)
        self.assertEqual(rc, 0, out)
        self.assertIn("curl.bin", out)
        with open(lftp_file, "rb") as f:
            self.assertEqual(f.read(), self.DATA)
        rc, out = tool("openssl", "s_client", "-brief", "-ign_eof", "-starttls", "ftp",
                       "-connect", "127.0.0.1:%d" % self.port, data=b"QUIT\r\n")
        self.assertEqual(rc, 0, out)
        self.assertIn("Protocol version: TLSv1.3", out)


class FtpOldMessageFilesTest(FtpServerTestCase):
    """FTP message files without the TLS keys: AUTH, PBSZ and PROT still answer."""

    settings = {"TLSMode": "Required", "DisableReverse": "1"}

    def staged(self):
        strip_tls_keys(self.site)

    def test_tls_replies_without_their_keys(self):
        ftp = ftplib.FTP_TLS(context=client_context(), timeout=30)
        ftp.connect("127.0.0.1", self.port)
        self.addCleanup(ftp.close)

        def code(command):
            try:
                return ftp.sendcmd(command)
            except ftplib.error_perm as e:
                return str(e)

        for command, reply in (("USER kim", "530 "), ("PBSZ 0", "503 "), ("PROT P", "503 "),
                               ("AUTH XYZ", "504 ")):
            self.assertTrue(code(command).startswith(reply), command)
        ftp.auth()
        for command, reply in (("AUTH TLS", "503 "), ("PBSZ x", "501 "), ("PBSZ 0", "200 "),
                               ("PROT S", "536 "), ("PROT Z", "504 "),
                               ("PROT P", "200 Protection level set to P")):
            self.assertTrue(code(command).startswith(reply), command)


class TlsExchanger(test_delivery.Sink):
    """A small SMTP exchanger on a loopback address that offers STARTTLS (Python's ssl,
    a certificate made for the test) and keeps the data of each transaction with whether
    it came over TLS."""

    def __init__(self, root, address, port):
        cert, key = os.path.join(root, "sink.crt"), os.path.join(root, "sink.key")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj",
                        "/CN=sink.test", "-days", "1", "-keyout", key, "-out", cert],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
        self.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self.context.load_cert_chain(cert, key)
        super().__init__(address, port)

    def _session(self, conn):
        f = conn.makefile("rb")
        conn.sendall(b"220 sink.test ESMTP\r\n")
        secure, data = False, b""
        while True:
            line = f.readline()
            verb = line[:4].upper()
            if not line or verb == b"QUIT":
                break
            if verb == b"EHLO":
                conn.sendall(b"250-sink.test\r\n" + (b"" if secure else b"250-STARTTLS\r\n")
                             + b"250 8BITMIME\r\n")
            elif line.upper().startswith(b"STARTTLS"):
                conn.sendall(b"220 go ahead\r\n")
                conn = self.context.wrap_socket(conn, server_side=True)
                f, secure = conn.makefile("rb"), True
            elif verb == b"DATA":
                conn.sendall(b"354 go ahead\r\n")
                for body in iter(f.readline, b".\r\n"):
                    data += body
                self.accepted.append((secure, data))
                conn.sendall(b"250 queued\r\n")
            else:
                conn.sendall(b"250 ok\r\n")
        conn.close()


class DeliveryTlsTest(test_delivery.DeliverySite):
    """Outgoing mail takes STARTTLS when the exchanger offers it (not verified): the
    shipped site's setting."""

    smart_host = test_delivery.DeliverySite.loopback()
    smtp_keys = {"ForwardToServer": smart_host}

    def test_delivery_uses_starttls(self):
        self.dns.start()
        sink = TlsExchanger(self.site.root, self.smart_host, self.remote_port)
        self.addCleanup(sink.close)
        self.start_server()
        self.send("user@localhost", ["someone@nowhere.test"], test_delivery.MESSAGE)
        wait_for(lambda: len(sink.accepted) == 1, what="the message at the exchanger")
        self.assertTrue(sink.accepted[0][0])
        self.assertIn(b"second line", sink.accepted[0][1])
        self.wait_logged('over TLS: TLSv1.3')
        self.wait_logged('certificate not verified')


class HttpsTest(httptest.HTTPServerTestCase):
    """TLSMode=Implicit on the HTTP service: HTTPS with keep-alive."""

    mode = "Implicit"
    BIG = os.urandom(2 * 1024 * 1024 + 5)

    @classmethod
    def prepare(cls, site):
        super().prepare(site)
        cfg = site.path("documentation", "config", "default", "default.cfg")
        qmstest.edit_config(cfg, "HTTP", "TLSMode", cls.mode)
        site.write("sites/default/www/big.bin", cls.BIG)

    def test_https_keep_alive_basic_auth_and_a_large_file(self):
        conn = http.client.HTTPSConnection("127.0.0.1", self.port, context=client_context(),
                                           timeout=30)
        self.addCleanup(conn.close)
        for path, body in (("/hello.txt", b"Hello, web!\n"), ("/big.bin", self.BIG)):
            conn.request("GET", path)
            answer = conn.getresponse()
            self.assertEqual((answer.status, answer.read()), (200, body))
        auth = "Basic " + base64.b64encode(b"%s:%s" % (httptest.USER.encode(),
                                                       httptest.USER_PASSWORD.encode())).decode()
        conn.request("GET", "/private/secret.txt", headers={"Authorization": auth})
        self.assertEqual(conn.getresponse().read(), b"for user only\n")
        rc, out, err = self.curl("-k", "https://127.0.0.1:%d/hello.txt" % self.port)
        self.assertEqual(rc, 0, err)
        self.assertTrue(out.endswith(b"Hello, web!\n"))


class HttpTlsRequiredTest(httptest.HTTPServerTestCase):
    """TLSMode=Required on a plain HTTP port: credentials sent in the clear are refused."""

    @classmethod
    def prepare(cls, site):
        super().prepare(site)
        cfg = site.path("documentation", "config", "default", "default.cfg")
        qmstest.edit_config(cfg, "HTTP", "TLSMode", "Required")

    def test_basic_credentials_refused_in_the_clear(self):
        rc, out, err = self.curl("--user", "%s:%s" % (httptest.USER, httptest.USER_PASSWORD),
                                 self.url("/private/secret.txt"))
        self.assertTrue(out.startswith(b"HTTP/1.1 401 "), out)


if __name__ == "__main__":
    unittest.main()
