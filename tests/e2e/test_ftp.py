"""FTP with Python's ftplib against the shipped default site: logins, byte-exact
transfers in both data-connection modes, restarts, listings and facts, file management,
ABOR, the access rules and the file-system boundaries, bad input, and 64-bit sizes."""

import ftplib
import io
import os
import socket
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from ftpsite import FtpServerTestCase, reply, say  # noqa: E402

KIB = 1024
MIB = 1024 * KIB


def pattern(size, seed=7):
    block = bytes((i * seed + (i >> 8)) & 0xFF for i in range(65536))
    return (block * (size // len(block) + 1))[:size]


class FtpTest(FtpServerTestCase):

    def setUp(self):
        super().setUp()
        self.area = self.add_user("mia", "mia-pass")

    def test_logins(self):
        ftp = self.client()
        self.assertRegex(ftp.getwelcome(), r"^220 localhost FTPd ready \(QMS/32 v0\.9\.5 - .+\)$")
        self.assertTrue(say(ftp, "PASS early").startswith("530"))
        self.assertTrue(ftp.sendcmd("USER nobody-here").startswith("331"))
        self.assertTrue(say(ftp, "PASS wrong").startswith("530"))
        self.assertTrue(ftp.login("mia", "mia-pass").startswith("230"))
        self.assertEqual(ftp.pwd(), "/users/mia")
        self.assertTrue(say(ftp, "PASS again").startswith("530"))
        self.assertRegex(ftp.sendcmd("SYST"), r"^215 UNIX Type: L8 \(.+ running Quillmar/32")
        feat = ftp.sendcmd("FEAT")
        self.assertIn(" MLST type*;size*;modify*;perm*;", feat)
        self.assertTrue(ftp.sendcmd("OPTS MLST size;bogus;type").endswith("size;type;"))
        self.assertIn(" MLST type*;size*;modify;perm;", ftp.sendcmd("FEAT"))
        self.assertTrue(ftp.sendcmd("HELP").startswith("214-"))
        self.assertEqual(ftp.sendcmd("\xff\xf4 ABOR")[:3], "226")
        self.assertEqual(ftp.sendcmd("xcwd /pub")[:3], "250")
        self.assertEqual(ftp.sendcmd("XPWD"), '257 "/pub" is the current directory')
        anon = self.client("anonymous", "guest@example.test")
        self.assertEqual(anon.pwd(), "/")
        anon.cwd("/pub")
        self.assertTrue(say(anon, "REIN").startswith("220 localhost FTPd ready"))
        self.assertEqual(say(anon, "PWD")[:3], "530")
        anon.login("anonymous", "again@example.test")
        self.assertEqual(anon.pwd(), "/")  # nothing of the first login remains
        say(anon, "REIN")
        self.assertTrue(anon.login("mia", "mia-pass").startswith("230"))
        # Client text in a reply is never a template: no session variable leaks.
        self.assertEqual(say(anon, "USER %(curroot)"), "530 Already logged in or user given, "
                         "send PASS or start over")
        self.assertEqual(anon.mkd("%(curroot)"), "%(curroot)")
        self.assertTrue(os.path.isdir(os.path.join(self.area, "%(curroot)")))

    def test_transfers_are_byte_exact_in_both_modes(self):
        ftp = self.client("mia", "mia-pass")
        for passive in (True, False):
            ftp.set_pasv(passive)
            for size in (0, 1, 16 * KIB - 1, 16 * KIB, 16 * KIB + 1, 10 * MIB):
                data = pattern(size, seed=size % 251 + 1)
                name = "f%d-%d.bin" % (size, passive)
                ftp.storbinary("STOR " + name, io.BytesIO(data))
                with open(os.path.join(self.area, name), "rb") as f:
                    self.assertEqual(f.read(), data, name)
                self.assertEqual(self.fetch(ftp, name), data, name)
                self.assertEqual(ftp.size(name), size)

    def test_restarts_and_append(self):
        ftp = self.client("mia", "mia-pass")
        data = pattern(100000)
        ftp.storbinary("STOR r.bin", io.BytesIO(data))
        self.assertEqual(self.fetch(ftp, "r.bin", rest=99000), data[99000:])
        ftp.storbinary("STOR r.bin", io.BytesIO(b"new tail"), rest=100)
        self.assertEqual(self.fetch(ftp, "r.bin"), data[:100] + b"new tail")
        ftp.storbinary("APPE r.bin", io.BytesIO(b"+more"))
        self.assertEqual(self.fetch(ftp, "r.bin"), data[:100] + b"new tail+more")
        # A restart beyond the end would leave a hole: refused, the file untouched.
        with self.assertRaises(ftplib.error_temp):
            ftp.storbinary("STOR r.bin", io.BytesIO(b"x"), rest=10**6)
        self.assertEqual(os.path.getsize(os.path.join(self.area, "r.bin")), 113)

    def test_listings_and_facts(self):
        os.makedirs(os.path.join(self.area, "d1", "s1"))
        os.makedirs(os.path.join(self.area, "d1", "s2"))
        os.makedirs(os.path.join(self.area, "d1", "s3"))
        with open(os.path.join(self.area, "a.txt"), "wb") as f:
            f.write(b"12345")
        with open(os.path.join(self.area, ".hidden"), "wb") as f:
            f.write(b"x")
        ftp = self.client("mia", "mia-pass")
        self.assertEqual(sorted(ftp.nlst()), ["a.txt", "d1"])
        lines = []
        ftp.dir(lines.append)
        self.assertRegex(lines[0], r"^-rwx------   1 mia      users          5 \w{3} [ \d]\d \d\d:\d\d a\.txt$")
        self.assertRegex(lines[1], r"^drwx------   5 mia      users +\d+ .* d1$")
        lines = []
        ftp.dir("-aF", lines.append)
        self.assertEqual([l.split()[-1] for l in lines], [".hidden", "a.txt", "d1/"])
        facts = dict(ftp.mlsd())
        self.assertEqual(facts["a.txt"]["size"], "5")
        self.assertEqual(facts["a.txt"]["perm"], "dfarw")
        self.assertEqual(facts["d1"]["type"], "dir")
        mlst = ftp.sendcmd("MLST a.txt").splitlines()
        self.assertEqual(mlst[0][:4], "250-")
        self.assertRegex(mlst[1], r"^ type=file;size=5;modify=\d{14};perm=dfarw; /users/mia/a\.txt$")
        self.assertRegex(ftp.sendcmd("MDTM a.txt"), r"^213 \d{14}$")
        self.assertEqual(ftp.sendcmd("SIZE *.txt"), "213 5")
        self.assertEqual(ftp.sendcmd("SIZE d1")[:3], "212")

    def test_file_management(self):
        ftp = self.client("mia", "mia-pass")
        self.assertEqual(ftp.mkd("sub"), "sub")
        ftp.storbinary("STOR sub/one", io.BytesIO(b"1"))
        ftp.storbinary("STOR two", io.BytesIO(b"2"))
        # Rename never replaces an existing target.
        with self.assertRaises(ftplib.error_perm):
            ftp.rename("two", "sub/one")
        self.assertEqual(self.fetch(ftp, "sub/one"), b"1")
        ftp.rename("two", "sub/two")
        self.assertEqual(self.fetch(ftp, "sub/two"), b"2")
        with self.assertRaises(ftplib.error_perm):
            ftp.sendcmd("RNTO nowhere")
        with self.assertRaises(ftplib.error_perm):
            ftp.rmd("sub")  # not empty
        ftp.delete("sub/one")
        ftp.delete("sub/two")
        # A folder without any write permission is not even tried (root could remove it).
        os.chmod(os.path.join(self.area, "sub"), 0o555)
        with self.assertRaises(ftplib.error_perm):
            ftp.rmd("sub")
        self.wait_log('RMD "sub", cannot remove (-99)')
        os.chmod(os.path.join(self.area, "sub"), 0o755)
        ftp.rmd("sub")
        self.assertEqual(os.listdir(self.area), [])
        ftp.cwd("/pub")
        self.assertEqual(ftp.sendcmd("CDUP")[:3], "200")
        self.assertEqual(say(ftp, "CDUP")[:3], "550")
        self.assertEqual(ftp.pwd(), "/")

    def test_abort_during_transfer(self):
        with open(os.path.join(self.area, "big.bin"), "wb") as f:
            f.truncate(512 * MIB)
        for passive in (True, False):
            ftp = self.client("mia", "mia-pass", passive=passive)
            conn = ftp.transfercmd("RETR big.bin")
            self.assertEqual(len(conn.recv(1000)) > 0, True)
            # A file another session is reading is in use: not deleted under it.
            other = self.client("mia", "mia-pass")
            self.assertEqual(say(other, "DELE big.bin")[:3], "450")
            self.assertEqual(ftp.abort()[:3], "426")
            conn.close()
            self.assertEqual(ftp.voidcmd("NOOP")[:3], "200")
            self.assertEqual(self.fetch(ftp, "/pub/readme.txt")[:5], b"Files")

    def test_access_rules_and_boundaries(self):
        ftp = self.client("mia", "mia-pass")
        anon = self.client("anonymous", "guest@example.test")
        with self.assertRaises(ftplib.error_perm):
            anon.storbinary("STOR /pub/new", io.BytesIO(b"x"))
        with self.assertRaises(ftplib.error_perm):
            anon.delete("/pub/readme.txt")
        with self.assertRaises(ftplib.error_perm):
            anon.mkd("/pub/d")
        self.assertEqual(sorted(anon.nlst("/")), ["pub", "users", "www"])
        # The mail store at /home: nobody reads another user's mailbox.
        box = os.path.join(self.home, "user", ".mailbox", "Inbox")
        os.makedirs(box)
        with open(os.path.join(box, "1.msg"), "wb") as f:
            f.write(b"secret")
        for client in (ftp, anon, self.client("admin", "QuillmarAdmin")):
            with self.assertRaises(ftplib.error_perm):
                client.cwd("/home/user")
            with self.assertRaises(ftplib.Error):
                self.fetch(client, "/home/user/.mailbox/Inbox/1.msg")
            with self.assertRaises(ftplib.error_perm):
                client.nlst("/home/user/.mailbox/Inbox")
        # Other users' areas are closed; ".." and absolute paths stay inside the root.
        with self.assertRaises(ftplib.error_perm):
            anon.nlst("/users/mia")
        self.assertEqual(say(ftp, "CWD ../../../../..")[:3], "550")
        self.assertEqual(ftp.pwd(), "/users/mia")
        for name in ("../../../../config/default/users/admin", "/etc/passwd",
                     "/../../../etc/passwd"):
            with self.assertRaises(ftplib.Error):
                self.fetch(ftp, name)
        # A link leading out of the mounted directory is never followed; a FIFO never opened.
        os.symlink("/etc", os.path.join(self.area, "out"))
        os.symlink("/etc/passwd", os.path.join(self.area, "passwd"))
        os.mkfifo(os.path.join(self.area, "pipe"))
        ftp.cwd("/users/mia")
        self.assertEqual(ftp.nlst(), [])
        for name in ("out/passwd", "passwd", "pipe"):
            with self.assertRaises(ftplib.Error):
                self.fetch(ftp, name)
        with self.assertRaises(ftplib.error_perm):
            ftp.cwd("out")
        self.assertEqual(ftp.voidcmd("NOOP")[:3], "200")

    def test_read_only_user(self):
        area = self.add_user("ro", "ro-pass", write=False)
        with open(os.path.join(area, "keep"), "wb") as f:
            f.write(b"k")
        ftp = self.client("ro", "ro-pass")
        with self.assertRaises(ftplib.error_perm):
            ftp.storbinary("STOR new", io.BytesIO(b"x"))
        with self.assertRaises(ftplib.error_perm):
            ftp.delete("keep")
        self.assertEqual(self.fetch(ftp, "keep"), b"k")

    def test_bad_input(self):
        s, f = self.raw()
        s.sendall(b"USER mia\r\n")
        reply(f)
        s.sendall(b"PASS mia-pass\r\n")
        self.assertTrue(reply(f).startswith("230"))
        s.sendall(b"NOOP " + b"x" * 10000 + b"\r\n")
        self.assertTrue(reply(f).startswith("500"))
        for line in (b"PORT 1,2,3", b"PORT 127,0,0,1,300,1", b"PORT 127,0,0,1,0,0",
                     b"PORT a,b,c,d,e,f", b"PORT 10,0,0,9,0,80", b"EPRT |2|::1|5000|",
                     b"EPRT |1|127.0.0.1|70000|", b"EPRT junk"):
            s.sendall(line + b"\r\n")
            self.assertTrue(reply(f).startswith("501"), line)
        s.sendall(b"SIZE /pub/readme.txt\x00.gif\r\n")
        self.assertTrue(reply(f).startswith("550"))
        s.sendall(b"NOOP\r\n")
        self.assertTrue(reply(f).startswith("200"))

    def test_passive_port_takes_only_the_client(self):
        with open(os.path.join(self.area, "d.bin"), "wb") as f:
            f.write(b"data" * 1000)
        s, f = self.raw()
        for line in (b"USER mia", b"PASS mia-pass", b"TYPE I", b"EPSV"):
            s.sendall(line + b"\r\n")
            last = reply(f)
        port = int(last.split("|||")[1].split("|")[0])
        thief = socket.create_connection(("127.0.0.1", port), source_address=("127.0.0.2", 0))
        self.addCleanup(thief.close)
        data = socket.create_connection(("127.0.0.1", port))
        self.addCleanup(data.close)
        s.sendall(b"RETR d.bin\r\n")
        self.assertTrue(reply(f).startswith("150"))
        got = b""
        while len(got) < 4000:
            chunk = data.recv(65536)
            if not chunk:
                break
            got += chunk
        self.assertEqual(got, b"data" * 1000)
        self.assertTrue(reply(f).startswith("226"))
        thief.settimeout(30)
        self.assertEqual(thief.recv(10), b"")  # closed, never served

    def test_client_vanishing_mid_upload_keeps_what_arrived(self):
        s, f = self.raw()
        for line in (b"USER mia", b"PASS mia-pass", b"TYPE I", b"EPSV"):
            s.sendall(line + b"\r\n")
            last = reply(f)
        port = int(last.split("|||")[1].split("|")[0])
        data = socket.create_connection(("127.0.0.1", port))
        s.sendall(b"STOR part.bin\r\n")
        self.assertTrue(reply(f).startswith("150"))
        data.sendall(b"p" * 300000)
        data.close()
        s.close()
        path = os.path.join(self.area, "part.bin")
        self.wait_log('STOR 292 kB')
        self.assertEqual(os.path.getsize(path), 300000)
        ftp = self.client("mia", "mia-pass")  # no lock remains
        ftp.storbinary("STOR part.bin", io.BytesIO(b"whole"))
        self.assertEqual(self.fetch(ftp, "part.bin"), b"whole")

    def wait_log(self, text):
        import qmstest
        qmstest.wait_for(lambda: any(text in l for l in self.service_log()),
                         what="%r in the FTP log" % text)

    def test_sparse_5gib_file(self):
        size = 5 * 1024 * MIB + 123
        tail = pattern(4096, seed=3)
        path = os.path.join(self.area, "huge.bin")
        with open(path, "wb") as f:
            f.seek(size - len(tail))
            f.write(tail)
        ftp = self.client("mia", "mia-pass")
        self.assertEqual(ftp.size("huge.bin"), size)
        lines = []
        ftp.dir("huge.bin", lines.append)
        self.assertEqual(int(lines[0].split()[4]), size)
        self.assertEqual(dict(ftp.mlsd())["huge.bin"]["size"], str(size))
        self.assertEqual(self.fetch(ftp, "huge.bin", rest=size - 1000), tail[-1000:])
        # A resumed upload beyond 4 GiB cuts and continues at the exact offset.
        ftp.storbinary("STOR huge.bin", io.BytesIO(b"END"), rest=size - 10)
        self.assertEqual(os.path.getsize(path), size - 7)
        self.assertEqual(self.fetch(ftp, "huge.bin", rest=size - 20), tail[-20:-10] + b"END")


if __name__ == "__main__":
    unittest.main()
