"""SITE commands of the FTP service with ftplib: help, idle time-out, reply language,
listings on the control connection, account changes, the online list, progress lines,
and remote administration (RADM) for administrators only."""

import ftplib
import io
import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import qmstest  # noqa: E402
from ftpsite import FtpServerTestCase, say  # noqa: E402


class FtpSiteTest(FtpServerTestCase):

    def setUp(self):
        super().setUp()
        self.area = self.add_user("mia", "mia-pass")
        self.add_user("boss", "boss-pass", admin=True)

    def user_file(self, name):
        return qmstest.parse_config(self.site.read("config", "default", "users", name))

    def test_user_subcommands(self):
        anon = self.client()
        self.assertEqual(say(anon, "SITE HELP")[:3], "530")
        ftp = self.client("mia", "mia-pass")
        text = say(ftp, "SITE H")
        self.assertTrue(text.startswith("214-") and text.endswith("214 End of help"), text)
        self.assertIn(" SITE commands for mia:", text)
        self.assertNotIn("RADM CGET", text)
        self.assertIn("SITE IDLE [seconds]", say(ftp, "SITE HELP idle"))
        self.assertEqual(say(ftp, "SITE I 100")[:3], "202")  # IDLE needs two characters
        self.assertIn("set to 900 seconds", say(ftp, "SITE IDLE 5000"))  # cut to TimeoutMax
        self.assertIn("set to 120 seconds", say(ftp, "SITE ID 120"))
        self.assertEqual(say(ftp, "SITE LANG xx")[:3], "504")
        self.assertEqual(say(ftp, "SITE LANG ../../config/qms")[:3], "504")
        self.assertEqual(say(ftp, "SITE LANG de"), "200 Antworten jetzt auf Deutsch")
        self.assertEqual(say(ftp, "XYZZY"), "500 Befehl nicht verstanden")
        self.assertEqual(say(ftp, "SITE NAME")[:3], "501")
        self.assertEqual(say(ftp, "SITE NAME Mia Example")[:3], "200")
        self.assertEqual(self.user_file("mia")["USER"]["Fullname"], "Mia Example")
        self.assertEqual(say(ftp, "SITE PASS new-secret")[:3], "550")  # no ChangePassword
        self.assertEqual(say(ftp, "SITE STAT")[:3], "200")
        with open(os.path.join(self.area, "f.txt"), "wb") as f:
            f.write(b"abc")
        listing = say(ftp, "SITE LIST").splitlines()
        self.assertEqual(listing[0][:4], "200-")
        self.assertRegex(listing[1], r"^-rwx------ +1 mia +users +3 .* f\.txt$")
        self.assertEqual(say(ftp, "SITE MLSD").splitlines()[1][:10], "type=file;")
        who = say(ftp, "SITE WHO").splitlines()
        self.assertTrue(any(l.split()[1:3] == ["mia", "SITE"] for l in who[1:-1]), who)
        self.assertEqual(say(ftp, "SITE RADM LIST USERS")[:3], "202")
        # An idle session hears why it is closed before the connection ends.
        self.assertEqual(say(ftp, "SITE IDLE 1")[:3], "200")
        self.assertEqual(ftp.getline()[:4], "421 ")
        self.assertEqual(ftp.file.readline(), "")

    def test_password_change(self):
        path = self.site.path("config", "default", "users", "mia")
        qmstest.edit_config(path, "USER", "ChangePassword", "1")
        ftp = self.client("mia", "mia-pass")
        self.assertEqual(say(ftp, "SITE PASS new-secret")[:3], "200")
        ftp.quit()
        self.client("mia", "new-secret")
        admin = self.client("boss", "boss-pass")
        self.assertEqual(say(admin, "SITE PASS other")[:3], "550")

    def test_progress_lines(self):
        with open(os.path.join(self.area, "p.bin"), "wb") as f:
            f.write(b"x" * 40000)
        ftp = self.client("mia", "mia-pass")
        self.assertEqual(say(ftp, "SITE XQMS"), "202 Command not implemented or not allowed")
        self.assertEqual(say(ftp, "SITE XQMS XCMD")[:3], "200")
        lines = []
        ftp.voidcmd("TYPE I")
        with ftp.transfercmd("RETR p.bin") as conn:
            while conn.recv(65536):
                pass
        ftp.sock.settimeout(30)
        while True:
            line = ftp.getline()
            lines.append(line)
            if line.startswith("226"):
                break
        self.assertRegex(lines[0], r"^QMS RETR\|1\|40000\|\d{14}\|$")
        self.assertEqual(lines[-2], "QMS RETR|0|40000|")

    def test_remote_administration(self):
        admin = self.client("boss", "boss-pass")
        self.assertIn("RADM CGET", say(admin, "SITE HELP"))
        cfg = "config/default/default.cfg"
        self.assertEqual(say(admin, "SITE RADM CGET %s FTP TimeoutMax" % cfg),
                         "200 %s/FTP/TimeoutMax=900" % cfg)
        self.assertIn(" FTP", say(admin, "SITE RADM CGET " + cfg).splitlines())
        self.assertEqual(say(admin, "SITE RADM CGET %s FTP NoSuchKey" % cfg)[:3], "550")
        self.assertEqual(say(admin, "SITE RADM CGET ../../etc/passwd")[:3], "550")
        before = self.site.read("config", "default", "default.cfg")
        self.assertEqual(say(admin, "SITE RADM CSET %s FTP NewKey 1" % cfg)[:3], "550")
        self.assertEqual(self.site.read("config", "default", "default.cfg"), before)
        reply = say(admin, "SITE RADM CSET %s FTP TimeoutMax 600 s" % cfg).splitlines()
        self.assertEqual(reply, ["200-%s/FTP/TimeoutMax was 900" % cfg,
                                 "200 %s/FTP/TimeoutMax is now 600 s" % cfg])
        self.assertEqual(say(admin, "SITE RADM UGET mia USER Fullname")[:3], "550")
        self.assertEqual(say(admin, "SITE RADM UGET mia USER Username"),
                         "200 config/default/users/mia/USER/Username=mia")
        self.assertEqual(say(admin, "SITE RADM USET mia USER Administrator 0")[:4], "200-")
        self.assertEqual(say(admin, "SITE RADM UDUP mia boss")[:3], "550")  # target exists
        self.assertEqual(say(admin, "SITE RADM UDUP mia ../x")[:3], "550")
        self.assertEqual(say(admin, "SITE RADM UDUP mia kim")[:3], "200")
        self.assertEqual(self.user_file("kim")["USER"]["Username"], "kim")
        users = say(admin, "SITE RADM LIST USERS").splitlines()
        self.assertIn(" Username|Datestamp|", users)
        self.assertTrue(any(l.startswith(" kim|") for l in users))
        services = say(admin, "SITE RADM LIST SERVICES").splitlines()
        self.assertTrue(any(l.startswith(" default|FTP|127.0.0.1:%d|1|" % self.port)
                            for l in services), services)
        victim = self.client("mia", "mia-pass")
        sockets = say(admin, "SITE RADM LIST SOCKETS").splitlines()
        mine = [l for l in sockets if "|mia|" in l]
        self.assertEqual(len(mine), 1, sockets)
        handle = mine[0].split("|")[0].strip()
        kill = say(admin, "SITE RADM KILL 9999 %s" % handle).splitlines()
        self.assertIn(" %s|mia|" % handle, kill)
        victim.sock.settimeout(30)
        self.assertEqual(victim.getline(), "421 Session ended by the administrator")
        self.assertEqual(say(admin, "SITE RADM MONITOR 0")[:4], "200-")
        self.assertEqual(say(admin, "SITE RADM BOGUS")[:3], "202")
        self.assertEqual(say(admin, "SITE RADM SHUTDOWN")[:3], "200")
        admin.quit()  # the server stops once no session is left
        self.assertEqual(self.server.wait(timeout=60).returncode, 0)


if __name__ == "__main__":
    unittest.main()
