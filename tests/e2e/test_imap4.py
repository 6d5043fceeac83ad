"""IMAP4 with real clients against the server of the shipped default site: Python's
imaplib (LOGIN, LIST, CREATE/RENAME/DELETE, SUBSCRIBE/LSUB, SELECT counting new messages
as recent once, the refused second SELECT and FETCH, arguments sent as literals) and curl's
imap:// URLs."""

import imaplib
import os
import shutil
import subprocess
import unittest

from mailtest_store import MailServerTestCase, message_lines, tree_of


class IMAP4Test(MailServerTestCase):

    def setUp(self):
        super().setUp()
        self.add_user("ivy", "ivy-pass")

    def login(self):
        client = imaplib.IMAP4("127.0.0.1", self.imap4_port, timeout=30)
        self.addCleanup(self.close, client)
        self.assertEqual(client.login("ivy", "ivy-pass")[0], "OK")
        return client

    def login_as(self, user, password):
        client = imaplib.IMAP4("127.0.0.1", self.imap4_port, timeout=30)
        self.addCleanup(self.close, client)
        return client.login(user, password)

    @staticmethod
    def close(client):
        try:
            client.logout()
        except (imaplib.IMAP4.error, OSError):
            pass

    def folders(self, client, pattern="*"):
        typ, data = client.list('""', pattern)
        self.assertEqual(typ, "OK")
        return [line.decode() for line in data if line is not None]

    def test_login_and_capability(self):
        client = imaplib.IMAP4("127.0.0.1", self.imap4_port, timeout=30)
        self.addCleanup(self.close, client)
        self.assertTrue(client.welcome.startswith(b"* OK IMAP4d ready (QMS/32 v0.9.5"))
        self.assertIn("IMAP4REV1", client.capabilities)
        with self.assertRaises(imaplib.IMAP4.error):
            client.login("ivy", "wrong")
        self.assertEqual(client.login("ivy", "ivy-pass")[0], "OK")
        self.assertEqual(client.logout()[0], "BYE")
        self.wait_log("IMAP4", "Client session ended")
        self.assertIn("Authenticated; Internal", self.service_log("IMAP4"))

    def test_folders(self):
        client = self.login()
        self.assertEqual(self.folders(client), ['() "/" "Inbox"'])
        for name in ("Work", "Work/Projects", "Archive"):
            self.assertEqual(client.create(name)[0], "OK", name)
        self.assertEqual(client.create("Work")[0], "NO")
        self.assertEqual(self.folders(client),
                         ['() "/" "Archive"', '() "/" "Inbox"', '() "/" "Work"',
                          '() "/" "Work/Projects"'])
        self.assertEqual(client.rename("Work", "Jobs")[0], "OK")
        self.assertEqual(client.rename("Jobs", "Archive")[0], "NO")  # never over a folder
        self.assertEqual(client.delete("Jobs")[0], "NO")               # not empty
        self.assertEqual(client.delete("Jobs/Projects")[0], "OK")
        self.assertEqual(client.delete("Jobs")[0], "OK")
        self.assertEqual(client.delete("INBOX")[0], "NO")
        self.assertEqual(self.folders(client), ['() "/" "Archive"', '() "/" "Inbox"'])
        self.assertEqual(sorted(os.listdir(os.path.join(self.home, "ivy", ".mailbox"))),
                         ["Archive", "Inbox"])
        # Names never leave the user's folder.
        for name in ("../escape", "../../ivy2", "/etc", ".hidden", "a/../../x"):
            self.assertEqual(client.create(name)[0], "NO", name)
        self.assertEqual(sorted(os.listdir(self.home)), ["ivy"])

    def test_subscriptions(self):
        client = self.login()
        self.assertEqual(client.subscribe("INBOX")[0], "OK")
        self.assertEqual(client.subscribe("Lists/News")[0], "OK")
        typ, data = client.lsub('""', "*")
        self.assertEqual(typ, "OK")
        self.assertEqual([d.decode() for d in data],
                         ['() "/" "Inbox"', '() "/" "Lists/News"'])
        self.assertEqual(client.unsubscribe("Lists/News")[0], "OK")
        self.assertEqual([d.decode() for d in client.lsub('""', "*")[1]], ['() "/" "Inbox"'])
        with open(os.path.join(self.home, "ivy", ".mailbox", ".subscriptions.imap"), "rb") as f:
            self.assertEqual(f.read(), b"Inbox\r\n")

    def test_select_counts_new_messages_as_recent_once(self):
        names = [self.place_message("ivy", message_lines("m%d" % i, [b"body"]))[0]
                 for i in range(2)]
        client = self.login()
        typ, data = client.select("INBOX")
        self.assertEqual((typ, data), ("OK", [b"2"]))
        self.assertEqual(client.response("RECENT"), ("RECENT", [b"2"]))
        # One folder per session: a second SELECT is refused, and so are message commands.
        with self.assertRaises(imaplib.IMAP4.error):
            client.select("INBOX")
        with self.assertRaises(imaplib.IMAP4.error):
            client.fetch("1", "(BODY[])")
        self.assertEqual(sorted(os.listdir(self.inbox("ivy"))),
                         sorted([n + ".msg" for n in names] + [n + ".qms" for n in names]))

        later = self.login()
        self.assertEqual(later.select("INBOX"), ("OK", [b"2"]))
        self.assertEqual(later.response("RECENT"), ("RECENT", [b"0"]))

        # A message POP3 deleted leaves its flag file; the next SELECT sweeps it away.
        os.remove(os.path.join(self.inbox("ivy"), names[0] + ".msg"))
        third = self.login()
        self.assertEqual(third.select("INBOX"), ("OK", [b"1"]))
        self.assertFalse(os.path.exists(os.path.join(self.inbox("ivy"), names[0] + ".qms")))

    def test_literals_and_the_hierarchy_delimiter(self):
        password = 'pa ss"w\\d'
        self.add_user("lit", password)
        # imaplib quotes such a password itself ...
        self.assertEqual(self.login_as("lit", password)[0], "OK")
        # ... and sends any argument as a literal when asked to.
        client = imaplib.IMAP4("127.0.0.1", self.imap4_port, timeout=30)
        self.addCleanup(self.close, client)
        client.literal = password.encode()
        self.assertEqual(client._simple_command("LOGIN", "lit")[0], "OK")
        client.state = "AUTH"
        client.literal = b"My Work"
        self.assertEqual(client._simple_command("CREATE")[0], "OK")
        self.assertEqual(sorted(os.listdir(os.path.join(self.home, "lit", ".mailbox"))),
                         ["Inbox", "My Work"])
        self.assertEqual(client.list('""', '""'), ("OK", [b'(\\Noselect) "/" ""']))

    def test_links_in_the_mail_folder_never_lead_out(self):
        outside = self.site.path("outside")
        os.makedirs(os.path.join(outside, "Victim", "Sub"))
        with open(os.path.join(outside, "Victim", "000000000009.msg"), "wb") as f:
            f.write(b"Subject: not yours\r\n\r\nsecret\r\n")
        before = tree_of(outside)
        client = self.login()
        os.symlink(outside, os.path.join(os.path.dirname(self.inbox("ivy")), "link"))
        self.assertEqual(self.folders(client), ['() "/" "Inbox"'])
        self.assertEqual(self.folders(client, "link/*"), [])
        self.assertEqual(client.create("Mine")[0], "OK")
        for command, args in (("create", ("link/New",)), ("create", ("link/Victim/New",)),
                              ("delete", ("link/Victim/Sub",)), ("delete", ("link",)),
                              ("rename", ("link/Victim", "Taken")),
                              ("rename", ("Mine", "link/Mine")),
                              ("select", ("link/Victim",))):
            self.assertEqual(getattr(client, command)(*args)[0], "NO", (command, args))
        self.assertEqual(tree_of(outside), before)


@unittest.skipUnless(shutil.which("curl"), "curl is not installed")
class IMAP4CurlTest(MailServerTestCase):

    def test_list_folders(self):
        self.add_user("kit", "kit-pass")
        r = subprocess.run(["curl", "--silent", "--show-error", "--max-time", "30",
                            "--user", "kit:kit-pass", "imap://127.0.0.1:%d/" % self.imap4_port],
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout, b'* LIST () "/" "Inbox"\r\n')
        r = subprocess.run(["curl", "--silent", "--max-time", "30", "--user", "kit:wrong",
                            "imap://127.0.0.1:%d/" % self.imap4_port],
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
        self.assertNotEqual(r.returncode, 0)

    def test_special_password_and_the_hierarchy_delimiter(self):
        self.add_user("kit", 'k i"t\\pw')
        r = subprocess.run(["curl", "--silent", "--show-error", "--max-time", "30",
                            "--user", 'kit:k i"t\\pw', "--request", 'LIST "" ""',
                            "imap://127.0.0.1:%d/" % self.imap4_port],
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout, b'* LIST (\\Noselect) "/" ""\r\n')


if __name__ == "__main__":
    unittest.main()
