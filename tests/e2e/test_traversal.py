"""Path traversal through every protocol that takes a path or a name that becomes one:
FTP commands and SITE subcommands, HTTP URLs (plain, percent-encoded, encoded slashes
and backslashes, through an application's path, the administration log viewer and
account editor), IMAP4 folder names, and the account names of FTP, POP3, SMTP and HTTP.
Sentinel files lie beside each root, beyond the installation and behind links planted
inside the roots; every attempt is refused, no answer shows a sentinel, and nothing
outside the roots is created or changed."""

import base64
import ftplib
import imaplib
import io
import os
import poplib
import smtplib
import socket
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from ftpsite import FtpServerTestCase, say  # noqa: E402
from mailtest_store import tree_of  # noqa: E402
import qmstest  # noqa: E402

MARK = "qms-sentinel-9f3c"  # the sentinels' names (requests and error pages may echo them)
SECRET = "sentinel-content-5d1e"  # their contents, which no answer may carry
ESCAPED = "qms-escaped"  # the name every write attempt tries to create outside
ADMIN, ADMIN_PASSWORD = "admin", "QuillmarAdmin"

# From the FTP user's area /users/mia (real sites/default/ftp/users/mia) and from the FTP
# root: the sentinels beside the roots (sites/default/outside) and beyond the site.
UP = "../../../outside/"
BEYOND = "/../../../../beyond/"
FTP_CASES = [
    ["CWD " + UP], ["CWD /../outside"], ["CWD ..\\..\\..\\outside"], ["CWD link"],
    ["CWD /" + BEYOND], ["CDUP", "CDUP", "CDUP", "CWD ../outside"],
    ["RETR " + UP + MARK + ".txt"], ["RETR /../outside/" + MARK + ".txt"],
    ["RETR " + BEYOND + MARK + ".txt"], ["RETR link/" + MARK + ".txt"],
    ["RETR ..\\..\\..\\outside\\" + MARK + ".txt"], ['RETR "' + UP + MARK + '.txt"'],
    ["RETR %2e%2e/%2e%2e/%2e%2e/outside/" + MARK + ".txt"],
    ["SIZE " + UP + MARK + ".txt"], ["MDTM " + UP + MARK + ".txt"],
    ["MLST " + UP + MARK + ".txt"], ["MLST link"],
    ["LIST " + UP], ["NLST /.."], ["MLSD link"], ["LIST " + BEYOND],
    ["SITE LIST " + UP], ["SITE NLST /../outside"],
    ["STOR " + UP + MARK + ".txt"], ["STOR " + UP + ESCAPED], ["APPE link/" + MARK + ".txt"],
    ["STOR " + BEYOND + ESCAPED], ["MKD " + UP + ESCAPED], ["MKD link/" + ESCAPED],
    ["DELE " + UP + MARK + ".txt"], ["DELE link/" + MARK + ".txt"], ["RMD " + UP + "Victim"],
    ["RNFR " + UP + MARK + ".txt"], ["RNFR link/" + MARK + ".txt"],
    ["RNFR own.txt", "RNTO " + UP + ESCAPED], ["RNFR own.txt", "RNTO link/" + ESCAPED],
    ["RNFR own.txt", "RNTO " + BEYOND + ESCAPED], ["SITE LANG ../../../../outside/" + MARK],
]
# As the administrator: configuration and user files named by the client.
FTP_ADMIN_CASES = [
    ["SITE RADM CGET ../outside.cfg"], ["SITE RADM CGET /etc/passwd"],
    ["SITE RADM CGET sites/default/outside/../../../../beyond/" + MARK + ".cfg"],
    ["SITE RADM CSET ../outside.cfg S K v"], ["SITE RADM UGET ../../../sites/default/outside/x"],
    ["SITE RADM USET ../admin USER Fullname x"], ["SITE RADM UDUP user ../../" + ESCAPED],
    ["SITE RADM UDUP user ../" + ESCAPED],
]
# URLs (the web root is sites/default/www): each must be refused with 4xx.
HTTP_CASES = [
    "/../outside/%s.txt", "/%%2e%%2e/outside/%s.txt", "/%%2E%%2E%%2Foutside%%2F%s.txt",
    "/..%%2f..%%2foutside/%s.txt", "/.%%2e/outside/%s.txt", "/%%2e./outside/%s.txt",
    "/%%252e%%252e/outside/%s.txt", "/..\\outside\\%s.txt", "/..%%5coutside%%5c%s.txt",
    "/link/%s.txt", "/link%%2f%s.txt", "/../../../beyond/%s.txt", "/%%2e%%2e/%%2e%%2e/%%2e%%2e/beyond/%s.txt",
    "/./.././outside/%s.txt", "//../outside/%s.txt", "/www/../../outside/%s.txt",
    "/cgi-bin/hello.sh/../../../outside/%s.txt", "/cgi-bin/hello.sh/..%%2f..%%2f..%%2foutside%%2f%s.txt",
    "/cgi-bin/..%%2f..%%2foutside/%s.txt", "/cgi-bin/%%2e%%2e/%%2e%%2e/outside/%s.txt",
    "/hello.txt%%00/../../outside/%s.txt", "http://127.0.0.1/../outside/%s.txt",
]
# Administration pages taking a file or account name; answered, but never with a sentinel.
ADMIN_QUERIES = [
    "pg=lf&fn=../%s.log", "pg=lf&fn=..%%2F%s.log", "pg=lf&fn=%%2e%%2e/%s.log",
    "pg=lf&fn=../sites/default/outside/%s.log", "pg=lf&fn=/%s.log",
    "pg=ae&us=../../sites/default/outside/%s", "pg=ae&us=..%%2F..%%2Fsites%%2Fdefault%%2Foutside%%2F%s",
]
# IMAP4 folder names (the user folder is sites/default/home/mia/.mailbox).
FOLDER_UP = "../../../outside/Victim"
IMAP_CASES = [
    ("select", (FOLDER_UP,)), ("select", ("/etc",)), ("select", ("Inbox/../../../../outside/Victim",)),
    ("select", ("link/Victim",)), ("select", ("..",)), ("select", ("../mia/.mailbox/Inbox",)),
    ("create", ("../../../outside/" + ESCAPED,)), ("create", ("/tmp/" + ESCAPED,)),
    ("create", ("link/" + ESCAPED,)), ("create", ("Inbox/../../" + ESCAPED,)),
    ("delete", (FOLDER_UP,)), ("delete", ("link/Victim",)), ("delete", ("..",)),
    ("rename", (FOLDER_UP, "Stolen")), ("rename", ("Inbox", "../" + ESCAPED)),
    ("rename", ("Inbox", "../../../outside/" + ESCAPED)), ("rename", ("link/Victim", "Stolen")),
    ("subscribe", (FOLDER_UP,)), ("unsubscribe", ("../x",)),
]
IMAP_LISTS = ["../*", "../../../outside/*", "link/*", "/*", "..", "%/../*"]


def refused(reply):
    """A 4xx/5xx reply, or (SITE listings) a 5xx line inside the framing 200 lines."""
    return reply[:1] in ("4", "5") or "\n550 " in reply


class TraversalTest(FtpServerTestCase):

    def setUp(self):
        super().setUp()
        self.area = self.add_user("mia", "mia-pass")
        self.write_file(os.path.join(self.area, "own.txt"), b"mine\n")
        sites = self.site.path("sites", "default")
        self.outside = os.path.join(sites, "outside")
        self.beyond = os.path.join(os.path.dirname(self.site.dir), "beyond")
        for top in (self.outside, self.beyond):
            for name in (MARK + ".txt", MARK + ".log", MARK + ".cfg", MARK):
                self.write_file(os.path.join(top, name), SECRET.encode() + b"\n")
            self.write_file(os.path.join(top, "Victim", "000000000009.msg"),
                            b"Subject: " + SECRET.encode() + b"\r\n\r\n" + SECRET.encode() + b"\r\n")
        self.write_file(self.site.path(MARK + ".log"), SECRET.encode() + b"\n")
        self.write_file(self.site.path("outside.cfg"), b"[S]\r\nK=" + SECRET.encode() + b"\r\n")
        self.write_file(os.path.join(sites, "www", "inc.shtml"),
                        ('<!--#include file="../outside/%s.txt" --><!--#include virtual='
                         '"/../outside/%s.txt" -->' % (MARK, MARK)).encode())
        mailbox = os.path.join(sites, "home", "mia", ".mailbox")
        os.makedirs(os.path.join(mailbox, "Inbox"), exist_ok=True)
        for folder in (self.area, os.path.join(sites, "www"), mailbox):
            os.symlink(self.outside, os.path.join(folder, "link"))
        self.before = {top: tree_of(top) for top in (self.outside, self.beyond)}
        cfg = qmstest.parse_config(self.site.read("config", "default", "default.cfg"))
        self.ports = {s: int(cfg[s]["Port"]) for s in ("HTTP", "IMAP4", "POP3", "SMTP")}
        for service in ("HTTP", "IMAP4", "POP3", "SMTP"):
            self.server.wait_for_line("%s service default/%s running" % (service, service))

    @staticmethod
    def write_file(path, data):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)

    def assertHidden(self, answer, what):
        self.assertNotIn(SECRET, answer, what)

    # -- FTP -----------------------------------------------------------------------------
    def ftp_line(self, ftp, line):
        """The reply to one command line, and what a data command transferred."""
        verb = line.split(" ", 1)[0]
        data = io.BytesIO()
        try:
            if verb in ("RETR", "LIST", "NLST", "MLSD"):
                return ftp.retrbinary(line, data.write), data.getvalue().decode("latin-1")
            if verb in ("STOR", "APPE"):
                return ftp.storbinary(line, io.BytesIO(b"overwritten\n")), ""
            return say(ftp, line), ""
        except ftplib.Error as e:
            return str(e), ""

    def ftp_cases(self, ftp, cases, home="/users/mia"):
        for lines in cases:
            ftp.cwd(home)
            for line in lines:
                reply, data = self.ftp_line(ftp, line)
            # A listing's argument is a mask: one that matches nothing lists nothing.
            listing = lines[-1].split(" ")[0] in ("LIST", "NLST", "MLSD")
            self.assertTrue(refused(reply) or (listing and reply[:3] == "226" and data == ""),
                            (lines, reply, data))
            self.assertHidden(reply + data, lines)
            self.assertNotIn(MARK, data, lines)  # no listing shows a sentinel
            self.assertNotIn("..", ftp.pwd(), lines)

    # -- HTTP ----------------------------------------------------------------------------
    def http(self, target, headers=b""):
        with socket.create_connection(("127.0.0.1", self.ports["HTTP"]), timeout=30) as s:
            s.sendall(b"GET " + target.encode("latin-1") + b" HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                      + headers + b"Connection: close\r\n\r\n")
            out = b""
            while True:
                chunk = s.recv(65536)
                if not chunk:
                    return out.decode("latin-1")
                out += chunk

    @staticmethod
    def basic(user, password):
        return b"Authorization: Basic " + base64.b64encode(("%s:%s" % (user, password)).encode()) + b"\r\n"

    # -- IMAP4 ---------------------------------------------------------------------------
    @staticmethod
    def imap_call(client, command, args):
        try:
            typ, data = getattr(client, command)(*args)
        except imaplib.IMAP4.error as e:
            return "BAD", str(e)
        return typ, repr(data)

    def test_every_path_is_refused_and_nothing_outside_is_touched(self):
        ftp = self.client("mia", "mia-pass")
        self.ftp_cases(ftp, FTP_CASES)
        self.ftp_cases(self.client(ADMIN, ADMIN_PASSWORD), FTP_ADMIN_CASES)
        anon = self.client("anonymous", "guest@example.test")
        self.ftp_cases(anon, [["CWD ../../outside"], ["RETR ../../outside/" + MARK + ".txt"],
                              ["LIST ../.."]], home="/pub")

        for url in HTTP_CASES:
            answer = self.http(url % MARK)
            self.assertRegex(answer, r"^HTTP/1\.1 4\d\d ", url)
            self.assertHidden(answer, url)
        # Server-side includes that name files outside: removed, never followed.
        answer = self.http("/inc.shtml")
        self.assertRegex(answer, r"^HTTP/1\.1 200 ")
        self.assertHidden(answer, "inc.shtml")
        # A virtual host name that climbs, and the administration pages.
        answer = self.http("/" + MARK + ".txt", b"Host: ../outside\r\n")
        self.assertRegex(answer, r"^HTTP/1\.1 4\d\d ")
        for query in ADMIN_QUERIES:
            answer = self.http("/!admin?" + query % MARK, self.basic(ADMIN, ADMIN_PASSWORD))
            self.assertRegex(answer, r"^HTTP/1\.1 200 ", query)
            self.assertHidden(answer, query)

        client = imaplib.IMAP4("127.0.0.1", self.ports["IMAP4"], timeout=30)
        self.addCleanup(client.shutdown)
        self.assertEqual(client.login("mia", "mia-pass")[0], "OK")
        for command, args in IMAP_CASES:
            typ, data = self.imap_call(client, command, args)
            self.assertIn(typ, ("NO", "BAD"), (command, args, data))
            self.assertHidden(data, (command, args))
        for pattern in IMAP_LISTS:
            typ, data = client.list('""', pattern)
            self.assertEqual((typ, data), ("OK", [None]), pattern)
        self.assertEqual(client.list('""', "*"), ("OK", [b'() "/" "Inbox"']))

        # Account names that would climb out of the user and mail directories (one try per
        # protocol: every failed login waits).
        ftp_login = self.client()
        say(ftp_login, "USER ../users/mia")
        self.assertTrue(say(ftp_login, "PASS mia-pass").startswith("530"))
        pop = poplib.POP3("127.0.0.1", self.ports["POP3"], timeout=30)
        self.addCleanup(pop.close)
        with self.assertRaises(poplib.error_proto):
            pop.user("../mia")
            pop.pass_("mia-pass")
        self.assertRegex(self.http("/!admin", self.basic("../" + ADMIN, ADMIN_PASSWORD)),
                         r"^HTTP/1\.1 401 ")
        with smtplib.SMTP("127.0.0.1", self.ports["SMTP"], timeout=30) as smtp:
            smtp.mail("alice@example.test")
            for rcpt in ("<../mia@localhost>", "<../../outside/%s@localhost>" % ESCAPED,
                         "<mia/../../../outside@localhost>", "<..@localhost>"):
                code, text = smtp.docmd("RCPT TO:" + rcpt)
                self.assertGreaterEqual(code, 500, (rcpt, text))

        # Nothing outside the roots was created, changed or removed.
        self.assertEqual({top: tree_of(top) for top in self.before}, self.before)
        for top, dirs, files in os.walk(os.path.dirname(self.site.dir)):
            self.assertNotIn(ESCAPED, dirs + files, top)
        self.assertEqual(ftp.voidcmd("NOOP")[:3], "200")


if __name__ == "__main__":
    unittest.main()
