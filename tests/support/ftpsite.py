"""Helpers of the process-level FTP tests: a started server of the shipped default site
with its FTP service, accounts with home areas, and ftplib clients on 127.0.0.1."""

import ftplib
import io
import os
import socket

import qmstest
from qmstest import SiteTestCase


class FtpServerTestCase(SiteTestCase):
    """The shipped default site, started; its FTP service on a port of its own."""

    settings = {}  # extra keys of the FTP section

    def setUp(self):
        super().setUp()
        group = self.site.path("documentation", "config", "default", "default.cfg")
        for key, value in self.settings.items():
            qmstest.edit_config(group, "FTP", key, value)
        self.server = self.site.start_running_server()
        self.addCleanup(self.stop_server)
        cfg = qmstest.parse_config(self.site.read("config", "default", "default.cfg"))
        self.port = int(cfg["FTP"]["Port"])
        self.root = self.site.path("sites", "default", "ftp")
        self.home = self.site.path("sites", "default", "home")
        self.server.wait_for_line("FTP service default/FTP running")

    def stop_server(self):
        if self.server.running():
            self.site.stop(self.server)

    def add_user(self, name, password, admin=False, write=True):
        """An account with its home area /users/<name> (rights 700, or 500 read-only)."""
        area = "sites/default/ftp/users/" + name
        rights = "700" if write else "500"
        text = ("[USER]\r\nUsername=%s\r\nPassword=-%s\r\nMemberOfGroups=users\r\n"
                "Administrator=%d\r\nLoginDirectory=/users/%s\r\n\r\n[ACCESS]\r\n"
                "%s;%s;users;%s;000\r\n%s/*;%s;users;%s;000\r\n"
                % (name, password, int(admin), name, area, name, rights, area, name, rights))
        self.site.write(os.path.join("config", "default", "users", name), text)
        os.makedirs(self.site.path(area), exist_ok=True)
        return self.site.path(area)

    def client(self, user=None, password=None, passive=True):
        ftp = ftplib.FTP()
        ftp.connect("127.0.0.1", self.port, timeout=30)
        self.addCleanup(ftp.close)
        ftp.set_pasv(passive)
        if user:
            ftp.login(user, password)
        return ftp

    @staticmethod
    def fetch(ftp, name, rest=None):
        out = io.BytesIO()
        ftp.retrbinary("RETR " + name, out.write, rest=rest)
        return out.getvalue()

    def service_log(self):
        return self.site.log_messages("default-ftp.log")

    def raw(self):
        """A plain control connection for lines no client library sends."""
        s = socket.create_connection(("127.0.0.1", self.port), timeout=30)
        self.addCleanup(s.close)
        f = s.makefile("rb")
        self.assertTrue(f.readline().startswith(b"220 "))
        return s, f


def reply(f):
    """One whole reply (all lines) from a control-connection file."""
    lines = [f.readline()]
    if lines[0][3:4] == b"-":
        while not (lines[-1][:3] == lines[0][:3] and lines[-1][3:4] == b" "):
            lines.append(f.readline())
    return b"".join(lines).decode("latin-1")


def say(ftp, line):
    """The reply to one command line, whatever its code."""
    try:
        return ftp.sendcmd(line)
    except ftplib.Error as e:
        return str(e)
