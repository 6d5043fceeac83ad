"""POP3 with real clients against the server of the shipped default site: Python's poplib
(USER/PASS, APOP, LIST, UIDL, TOP, RETR byte for byte, DELE with QUIT or with a dropped
connection, the lock against a second session) and curl's pop3:// URLs."""

import imaplib
import os
import poplib
import shutil
import socket
import subprocess
import unittest
from concurrent.futures import ThreadPoolExecutor

import qmstest
from mailtest_store import MailServerTestCase, message_lines, tree_of

# A body with lines that begin with dots, a line that is only a dot, 8-bit bytes and
# trailing empty lines (which the queue body drops).
ODD_BODY = [b".starts with a dot", b".", b"..two dots", b"caf\xe9 8-bit", b"", b"last line",
            b"", b""]


class POP3Test(MailServerTestCase):

    def setUp(self):
        super().setUp()
        self.add_user("mia", "mia-pass", apop_secret="mia-apop")
        self.first, self.first_data = self.place_message(
            "mia", message_lines("first", [b"Hello Mia", b"second line"]))
        self.second, self.second_data = self.place_message(
            "mia", message_lines("second", ODD_BODY))
        self.names = sorted([self.first, self.second])
        self.data = {self.first: self.first_data, self.second: self.second_data}

    def connect(self):
        client = poplib.POP3("127.0.0.1", self.pop3_port, timeout=30)
        self.addCleanup(client.close)
        return client

    def login(self):
        client = self.connect()
        client.user("mia")
        client.pass_("mia-pass")
        return client

    def test_user_pass_list_uidl_and_retr_byte_for_byte(self):
        client = self.connect()
        self.assertRegex(client.getwelcome().decode(),
                         r"^\+OK <\d+\.\d+@localhost> POP3d ready \(QMS/32 v0\.9\.5 - .+\)$")
        self.assertTrue(client.user("mia").startswith(b"+OK"))
        self.assertTrue(client.pass_("mia-pass").startswith(b"+OK mia has 2 message(s)"))
        total = len(self.first_data) + len(self.second_data)
        self.assertEqual(client.stat(), (2, total))

        _resp, listing, _octets = client.list()
        self.assertEqual(listing, [b"%d %d" % (i + 1, len(self.data[n]))
                                   for i, n in enumerate(self.names)])
        self.assertEqual(client.list(2), b"+OK 2 %d" % len(self.data[self.names[1]]))
        _resp, uids, _octets = client.uidl()
        self.assertEqual(uids, [b"%d 6D6961%s" % (i + 1, n.encode())
                                for i, n in enumerate(self.names)])
        self.assertEqual(client.uidl(1), b"+OK 1 6D6961" + self.names[0].encode())

        for i, name in enumerate(self.names):
            resp, lines, octets = client.retr(i + 1)
            self.assertTrue(resp.startswith(b"+OK"))
            self.assertEqual(b"\r\n".join(lines) + b"\r\n", self.data[name])

        # TOP n 0: the header and its empty line; TOP n 2: two body lines more.
        number = self.names.index(self.second) + 1
        header, _sep, _body = self.second_data.partition(b"\r\n\r\n")
        _resp, lines, _octets = client.top(number, 0)
        self.assertEqual(lines, header.split(b"\r\n") + [b""])
        _resp, lines, _octets = client.top(number, 2)
        self.assertEqual(lines[-2:], [b".starts with a dot", b"."])

        with self.assertRaises(poplib.error_proto):
            client.retr(3)
        self.assertTrue(client.quit().startswith(b"+OK"))
        self.wait_log("POP3", "Client session ended")
        self.assertIn("Authenticated; Internal", self.service_log("POP3"))

    def test_apop(self):
        client = self.connect()
        self.assertTrue(client.apop("mia", "mia-apop").startswith(b"+OK mia has 2"))
        self.assertEqual(client.stat()[0], 2)
        client.quit()
        other = self.connect()
        with self.assertRaises(poplib.error_proto):
            other.apop("mia", "wrong-secret")
        self.wait_log("POP3", "Not authenticated; APOP secret mismatch")
        self.assertIn("Authenticated; APOP", self.service_log("POP3"))

    def test_unknown_and_wrong_logins_are_refused_alike_and_repeated_ones_held_back(self):
        # POP3 and IMAP4 count the failed logins of an address together. Six at once: all
        # are refused the same way after the same wait, and the sixth holds the address back.
        def pop3(user):
            client = poplib.POP3("127.0.0.1", self.pop3_port, timeout=60)
            try:
                client.user(user)
                with self.assertRaises(poplib.error_proto) as refused:
                    client.pass_("not-the-password")
                return ("POP3", refused.exception.args[0])
            finally:
                client.close()

        def imap4(user):
            client = imaplib.IMAP4("127.0.0.1", self.imap4_port, timeout=60)
            try:
                with self.assertRaises(imaplib.IMAP4.error) as refused:
                    client.login(user, "not-the-password")
                return ("IMAP4", refused.exception.args[0])
            finally:
                client.shutdown()

        attempts = [(pop3, "mia"), (pop3, "nobody"), (imap4, "mia"), (imap4, "nobody"),
                    (pop3, "nobody"), (imap4, "mia")]
        with ThreadPoolExecutor(len(attempts)) as pool:
            replies = [f.result() for f in [pool.submit(*a) for a in attempts]]
        self.assertEqual(sorted(set(replies)), [("IMAP4", b"LOGIN failed"),
                                                 ("POP3", b"-ERR Authentication failed")])
        for section in ("POP3", "IMAP4"):
            self.wait_log(section, "Not authenticated; Unknown user")
            self.wait_log(section, "Not authenticated; Password mismatch (0)")
        qmstest.wait_for(lambda: any("Address 127.0.0.1 held back after 6 failed logins" in l
                                     for s in ("POP3", "IMAP4") for l in self.service_log(s)),
                         what="the held-back line")

    def test_dele_then_quit_deletes(self):
        client = self.login()
        client.dele(1)
        with self.assertRaises(poplib.error_proto):
            client.dele(1)
        client.rset()
        self.assertEqual(len(client.list()[1]), 2)
        client.dele(2)
        self.assertEqual(len(client.list()[1]), 1)
        self.assertTrue(client.quit().startswith(b"+OK"))
        self.assertEqual(self.files("mia"), [self.names[0] + ".msg"])

    def test_dele_then_dropped_connection_keeps_everything(self):
        client = self.login()
        client.dele(1)
        client.dele(2)
        client.sock.shutdown(socket.SHUT_RDWR)  # gone without QUIT
        self.wait_log("POP3", "Client session ended")
        self.assertEqual(self.files("mia"), [n + ".msg" for n in self.names])
        again = self.login()  # the lock went with the connection
        self.assertEqual(again.stat()[0], 2)
        again.quit()

    def test_second_session_is_refused_while_the_first_holds_the_mailbox(self):
        first = self.login()
        second = self.connect()
        second.user("mia")
        with self.assertRaises(poplib.error_proto) as refused:
            second.pass_("mia-pass")
        self.assertIn(b"-ERR", refused.exception.args[0])
        third = self.connect()
        with self.assertRaises(poplib.error_proto):
            third.apop("mia", "mia-apop")
        first.quit()
        fourth = self.login()
        self.assertEqual(fourth.stat()[0], 2)
        fourth.quit()
        self.assertIn("Unable to lock mailbox", self.service_log("POP3"))

    def test_links_in_the_mailbox_never_lead_out(self):
        outside = self.site.path("outside")
        os.makedirs(outside)
        secret = os.path.join(outside, "000000000009.msg")
        with open(secret, "wb") as f:
            f.write(b"Subject: not yours\r\n\r\nsecret\r\n")
        before = tree_of(outside)
        # A linked message file is no message: not counted, read or deleted.
        os.symlink(secret, os.path.join(self.inbox("mia"), "000000000009.msg"))
        client = self.login()
        self.assertEqual(client.stat()[0], 2)
        with self.assertRaises(poplib.error_proto):
            client.retr(3)
        client.dele(1)
        client.dele(2)
        self.assertTrue(client.quit().startswith(b"+OK"))
        self.assertEqual(self.files("mia"), ["000000000009.msg"])
        # A linked Inbox or user folder gives no mailbox, and no lock file out there.
        for user, link in (("lia", self.inbox("lia")), ("max", os.path.dirname(self.inbox("max")))):
            self.add_user(user, user + "-pass")
            os.makedirs(os.path.dirname(link), exist_ok=True)
            os.symlink(outside, link)
            other = self.connect()
            other.user(user)
            with self.assertRaises(poplib.error_proto, msg=user):
                other.pass_(user + "-pass")
        self.assertEqual(tree_of(outside), before)

    def test_user_with_a_nul_byte_is_neither_echoed_nor_logged_raw(self):
        with socket.create_connection(("127.0.0.1", self.pop3_port), timeout=30) as c:
            f = c.makefile("rb")
            self.assertTrue(f.readline().startswith(b"+OK"))
            c.sendall(b"USER mi\x00a\r\n")
            reply = f.readline()
            c.sendall(b"QUIT\r\n")
            f.readline()
            f.close()
        self.assertTrue(reply.startswith(b"+OK"), reply)
        self.assertNotIn(b"\x00", reply)
        self.assertIn(b"mi\\x00a", reply)
        self.wait_log("POP3", "Client session ended")
        self.assertNotIn(b"\x00", self.site.read("log", "default-pop3.log"))


@unittest.skipUnless(shutil.which("curl"), "curl is not installed")
class POP3CurlTest(MailServerTestCase):
    """curl's pop3:// URLs: the listing and one message. curl looks for an APOP time
    stamp only at the very end of the greeting, and ours is followed by the product
    line, so curl logs in with USER and PASS."""

    def setUp(self):
        super().setUp()
        self.add_user("kit", "kit-pass", apop_secret="kit-apop")
        self.name, self.data = self.place_message("kit", message_lines("curl", ODD_BODY))

    def curl(self, path, password="kit-pass"):
        return subprocess.run(["curl", "--silent", "--show-error", "--max-time", "30",
                               "--user", "kit:" + password,
                               "pop3://127.0.0.1:%d/%s" % (self.pop3_port, path)],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)

    def test_list_and_retrieve(self):
        r = self.curl("")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout, b"1 %d\r\n" % len(self.data))
        r = self.curl("1")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout, self.data)
        self.assertEqual(os.listdir(self.inbox("kit")), [self.name + ".msg"])

    def test_wrong_password_fails(self):
        r = self.curl("1", password="wrong")
        self.assertNotEqual(r.returncode, 0)
        self.assertEqual(r.stdout, b"")


if __name__ == "__main__":
    unittest.main()
