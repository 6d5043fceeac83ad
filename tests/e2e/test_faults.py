"""Faults around mail storage with the real server of a staged site: the server killed
with SIGKILL at random moments while delivery passes run, the queue and mailboxes on a
full file system, and configuration files rewritten while sessions read them.

The kill loop runs a few rounds here; bench/killloop.sh runs it long (QMS_KILL_ROUNDS).
The full-disk tests mount a small tmpfs over the site's mail directory or an FTP home
area and are skipped where mounting is not allowed. (The launcher's restarts after a crash and its stop after
quick failures are proved in test_launcher.)
"""

import fcntl
import ftplib
import io
import itertools
import os
import poplib
import random
import smtplib
import subprocess
import sys
import threading
import time
import unittest

import qmstest
from qmstest import wait_for
from mailtest_store import MailServerTestCase
from test_delivery import DeliverySite, QUEUE

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from ftpsite import FtpServerTestCase  # noqa: E402

ROUNDS = int(os.environ.get("QMS_KILL_ROUNDS", "3"))
BODY = b"first body line\r\n.leading dot\r\n" + b"x" * 20000 + b"\r\nlast body line\r\n"


def mount_small(test, directory):
    """A 4 MiB tmpfs over directory until the test ends; skips the test where mounting is
    not allowed."""
    os.makedirs(directory, exist_ok=True)
    r = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=4m", "tmpfs", directory],
                       capture_output=True)
    if r.returncode != 0:
        test.skipTest("tmpfs cannot be mounted: %s" % r.stderr.decode().strip())
    test.addCleanup(subprocess.run, ["umount", "-l", directory])


def fill_up(filler, leave=0):
    """Grows the file filler until its file system has only leave bytes free."""
    with open(filler, "ab") as f:
        while True:
            st = os.statvfs(os.path.dirname(filler))
            free = st.f_bavail * st.f_frsize - leave
            if free <= 0:
                break
            try:
                f.write(b"\0" * min(free, 1 << 20))
                f.flush()
            except OSError:
                break


def subject_of(data):
    return data.split(b"\r\nSubject: ", 1)[1].split(b"\r\n", 1)[0]


class KillDuringDeliveryTest(DeliverySite):

    def inbox_files(self):
        d = self.site.path("sites", "default", "home", "user", ".mailbox", "Inbox")
        return sorted(os.listdir(d)) if os.path.isdir(d) else []

    def check_inbox(self, final):
        """Every message file is whole; at the end nothing but message files remains."""
        subjects = []
        for name in self.inbox_files():
            if not name.endswith(".msg"):
                self.assertFalse(final, "left in the Inbox: %s" % name)
                continue
            data = self.mailbox_file("user", name)
            self.assertTrue(data.endswith(BODY), "partial message file %s" % name)
            subjects.append(subject_of(data))
        return subjects

    def pending(self):
        """Queued messages that still have a local recipient to deliver to."""
        names = []
        for name in self.queued():
            try:
                if self.header(name).get("LOCAL", {}).get("Idents"):
                    names.append(name)
            except FileNotFoundError:  # delivered meanwhile
                pass
        return names

    def sender(self, accepted, stop):
        while not stop.is_set():
            subject = b"kill %d" % next(self.numbers)
            try:
                with smtplib.SMTP("127.0.0.1", self.port, local_hostname="client.test",
                                  timeout=10) as s:
                    s.sendmail("alice@example.org", ["user@localhost"],
                               b"Subject: " + subject + b"\r\n\r\n" + BODY)
                accepted.append(subject)
            except (smtplib.SMTPException, OSError):
                pass  # the server died under this client: not accepted

    def test_killed_at_random_points_loses_no_message(self):
        self.numbers = itertools.count()
        self.dns.start()
        accepted = []
        for _ in range(ROUNDS):
            self.start_server()
            stop = threading.Event()
            threads = [threading.Thread(target=self.sender, args=(accepted, stop))
                       for _ in range(3)]
            for t in threads:
                t.start()
            time.sleep(random.uniform(0.2, 1.5))
            self.server.kill()
            stop.set()
            for t in threads:
                t.join()
            self.check_inbox(final=False)
        self.start_server()
        self.run_pass()
        # Left in the queue may be: the files of transactions the kill cut short (never
        # accepted; the orphan sweep removes them after an hour) and the header of a message
        # whose pass was killed after its last delivery and before its removal.
        wait_for(lambda: set(accepted) <= set(self.check_inbox(final=False)), timeout=120,
                 what="every accepted message in the Inbox")
        wait_for(lambda: not self.pending(), timeout=120, what="no local recipient pending")
        subjects = self.check_inbox(final=True)
        self.assertTrue(accepted)
        print("%d rounds, %d messages accepted, %d in the Inbox"
              % (ROUNDS, len(accepted), len(subjects)), file=sys.stderr)
        for s in accepted:
            self.assertEqual(subjects.count(s), 1, "%r in the Inbox %d times"
                             % (s, subjects.count(s)))
        self.assertEqual(len(subjects), len(set(subjects)), "a message stored twice")


@unittest.skipUnless(os.geteuid() == 0, "mounting a tmpfs needs root")
class FullDiskTest(DeliverySite):
    """Queue and mailboxes on a 4 MiB tmpfs that a filler file can fill up."""

    def setUp(self):
        super().setUp()
        self.mail_dir = self.site.path("sites", "default")
        mount_small(self, self.mail_dir)
        self.filler = os.path.join(self.mail_dir, "filler")

    def fill(self, leave=0):
        fill_up(self.filler, leave)

    def free(self):
        os.unlink(self.filler)

    def message(self, subject, size=200000):
        return b"Subject: " + subject + b"\r\n\r\n" + (b"y" * 76 + b"\r\n") * (size // 78)

    def test_full_disk_gets_temporary_failures_and_loses_nothing(self):
        self.dns.start()
        self.start_server()
        self.send("alice@example.org", ["user@localhost"], self.message(b"before"))
        wait_for(lambda: self.inbox("user"), what="the first message delivered")
        self.wait_empty_queue()

        # No room for the queue: a temporary failure, never a 250.
        self.fill()
        with self.assertRaises(smtplib.SMTPResponseException) as failed:
            self.send("alice@example.org", ["user@localhost"], self.message(b"refused"))
        self.assertIn(failed.exception.smtp_code, (451, 452))

        # Room for the queue copy but not for the mailbox copy: the message waits queued.
        self.free()
        self.fill(leave=300000)
        self.send("alice@example.org", ["user@localhost"], self.message(b"waiting"))
        self.wait_logged("Unable to write message file")
        self.assertEqual(len(self.queued_from("alice@example.org")), 1)
        self.assertNotIn(b"waiting", self.subjects())

        # POP3 on the full disk: messages marked deleted are gone after "+OK", or all kept.
        self.fill()
        before = self.inbox("user")
        client = poplib.POP3("127.0.0.1", self.pop3_port, timeout=30)
        try:
            client.user("user")
            client.pass_("QmsUser1")
            for i in range(client.stat()[0]):
                client.dele(i + 1)
            client.quit()
            kept = False
        except poplib.error_proto:
            kept = True
        finally:
            client.close()
        self.assertEqual(self.inbox("user"), before if kept else [])

        # Space again: the waiting message arrives, once, and nothing partial is left.
        self.free()
        [waiting] = self.queued_from("alice@example.org")
        self.due_now(waiting)
        self.run_pass()
        wait_for(lambda: not self.queued_from("alice@example.org"), what="the queued message")
        self.assertEqual(self.subjects().count(b"waiting"), 1)
        self.assertEqual(b"before" in self.subjects(), kept)
        inbox = self.site.path("sites", "default", "home", "user", ".mailbox", "Inbox")
        self.assertEqual([n for n in os.listdir(inbox) if not n.endswith(".msg")], [])

    def subjects(self):
        return [subject_of(self.mailbox_file("user", n)) for n in self.inbox("user")]


class FullDiskFtpTest(FtpServerTestCase):
    """An FTP home area on a 4 MiB tmpfs: uploads get temporary failures, stored files stay."""

    settings = {"MinFreeSpace": "1"}

    @staticmethod
    def store(ftp, name, data):
        """The final reply to an upload; the server may close the data connection under
        the client's feet when it stops writing."""
        try:
            try:
                return ftp.storbinary("STOR " + name, io.BytesIO(data))
            except OSError:
                return ftp.getresp()
        except ftplib.error_temp as e:
            return str(e)

    def test_full_disk_refuses_uploads_and_keeps_files(self):
        area = self.add_user("mia", "mia-pass")
        mount_small(self, area)
        ftp = self.client("mia", "mia-pass")
        kept = os.urandom(1 << 20)
        self.assertTrue(ftp.storbinary("STOR kept.bin", io.BytesIO(kept)).startswith("226"))
        filler = os.path.join(area, "filler")
        # Past the free-space check, then out of room while writing: 451, never 226.
        fill_up(filler, leave=1536 * 1024)
        self.assertEqual(self.store(ftp, "big.bin", b"z" * (3 << 20))[:3], "451")
        # Less than MinFreeSpace left: 452 before any byte is stored.
        fill_up(filler)
        self.assertEqual(self.store(ftp, "small.bin", b"small")[:3], "452")
        self.assertFalse(os.path.exists(os.path.join(area, "small.bin")))
        self.assertEqual(self.fetch(ftp, "kept.bin"), kept)


class RewrittenConfigurationTest(MailServerTestCase):
    """A user file rewritten in place by a writer that honours the sharing locks (as the
    server's own writers do), or replaced by a rename (as editors do), while sessions log
    in: no session ever sees part of a file."""

    PASSWORD = "Whole1"

    def user_file(self):
        # The password sits behind a long comment, so a half-read file lacks it.
        return ("[USER]\r\nUsername=rewrite\r\n" + ";" + "c" * 60000 + "\r\n"
                "Password=-%s\r\n" % self.PASSWORD).encode()

    def rewrite_in_place(self, path, data):
        fd = os.open(path, os.O_RDWR | os.O_CREAT, 0o600)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX)
            os.ftruncate(fd, 0)
            os.write(fd, data[:len(data) // 2])
            time.sleep(0.02)
            os.write(fd, data[len(data) // 2:])
        finally:
            os.close(fd)

    def rewrite_by_rename(self, path, data):
        temp = path + ".new"
        with open(temp, "wb") as f:
            f.write(data)
        os.rename(temp, path)

    def test_sessions_never_see_a_half_written_user_file(self):
        self.add_user("rewrite", self.PASSWORD)
        path = self.site.path("config", "default", "users", "rewrite")
        self.rewrite_in_place(path, self.user_file())
        failures, logins = [], []
        stop = threading.Event()

        def login():
            while not stop.is_set():
                try:
                    c = poplib.POP3("127.0.0.1", self.pop3_port, timeout=30)
                    c.user("rewrite")
                    c.pass_(self.PASSWORD)
                    c.quit()
                    logins.append(1)
                except (poplib.error_proto, OSError) as e:
                    failures.append(e)

        threads = [threading.Thread(target=login) for _ in range(3)]
        for t in threads:
            t.start()
        try:
            for i in range(60):
                writer = self.rewrite_in_place if i % 2 else self.rewrite_by_rename
                writer(path, self.user_file())
        finally:
            stop.set()
            for t in threads:
                t.join()
        self.assertEqual(failures, [])
        self.assertTrue(logins)


if __name__ == "__main__":
    unittest.main()
