"""Helpers of the process-level HTTP tests: one staged site with the shipped default group,
prepared with a few documents, a protected folder, a virtual host and the template
extensions, and one server for all tests of a class."""

import http.client
import os
import re
import subprocess
import unittest

import qmstest

# Accounts of the shipped site.
USER, USER_PASSWORD = "user", "QmsUser1"


class HTTPServerTestCase(unittest.TestCase):
    """A running server of the shipped default site; self.port is its HTTP port."""

    maxDiff = None

    @classmethod
    def setUpClass(cls):
        qmstest.require_programs(qmstest.SERVER_BINARY)
        cls.site = qmstest.staged_site("qms-http-", cls.addClassCleanup)
        cls.prepare(cls.site)
        cls.server = cls.site.start_running_server()
        cls.server.wait_for_line("HTTP service default/HTTP running")
        cfg = qmstest.parse_config(cls.site.read("config", "default", "default.cfg"))
        cls.port = int(cfg["HTTP"]["Port"])
        cls.www = cls.site.path("sites", "default", "www")

    @classmethod
    def prepare(cls, site):
        """Adds the test documents and settings to the staged defaults."""
        cfg = site.path("documentation", "config", "default", "default.cfg")
        with open(cfg, "rb") as f:
            text = f.read().decode("latin-1")
        eol = "\r\n" if "\r\n" in text else "\n"
        # Only "user" may read /private; the vhost root is open to all. The first matching
        # rule counts, so these go in front of the shipped ones.
        text = text.replace("[ACCESS]" + eol, eol.join(["[ACCESS]",
                                                        "sites/default/www/private*;user;users;700;000",
                                                        "sites/default/vhost*;admin;users;755;000",
                                                        ""]), 1)
        text = text.replace("/www=sites/default/www",
                            "/www=sites/default/www" + eol + "/vhost=sites/default/vhost")
        with open(cfg, "wb") as f:
            f.write(text.encode("latin-1"))
        for key, value in (("RootDirectory[other.test]", "/vhost"),
                           ("ExtendedLogFile", "log/http-ext.log"),
                           ("ExtendedLogFields", "date time c-ip cs-method cs-uri sc-status bytes"),
                           ("PostSizeMax", "64")):
            qmstest.edit_config(cfg, "HTTP", key, value)
        site.write("sites/default/www/hello.txt", b"Hello, web!\n")
        site.write("sites/default/www/private/secret.txt", b"for user only\n")
        site.write("sites/default/vhost/index.html", b"<p>the other host</p>\n")
        site.write("sites/default/www/page.shtml",
                   b"<p>before<!--#include file=\"/etc/passwd\" -->after</p>\n")
        site.write("sites/default/www/page.fib",
                   b"<p>%(http.request.method) %(http.status) %(http.!user-agent)</p>\n")
        site.write("sites/default/outside.txt", b"outside the web root\n")

    def url(self, path):
        return "http://127.0.0.1:%d%s" % (self.port, path)

    def curl(self, *args):
        """curl's exit code, headers and body (bytes), stderr (text) of one run."""
        r = subprocess.run(["curl", "-sS", "--max-time", "60", "-D", "-"] + list(args),
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)
        return r.returncode, r.stdout, r.stderr.decode("latin-1")

    def raw(self, data):
        """The first answer to data sent as it is: its header block and as much body as its
        Content-Length announces (or everything until the server closes)."""
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=30)
        conn.connect()
        try:
            conn.sock.sendall(data)
            out = b""
            while True:
                head, sep, body = out.partition(b"\r\n\r\n")
                m = re.search(rb"\r\nContent-Length: (\d+)\r\n", head + b"\r\n")
                if sep and m and len(body) >= int(m.group(1)):
                    return out
                chunk = conn.sock.recv(65536)
                if not chunk:
                    return out
                out += chunk
        finally:
            conn.close()

    def request(self, method, path, body=None, headers=None):
        """(status, headers, body) through http.client."""
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=30)
        try:
            conn.request(method, path, body=body, headers=headers or {})
            r = conn.getresponse()
            return r.status, {k.lower(): v for k, v in r.getheaders()}, r.read()
        finally:
            conn.close()

    def service_log(self):
        return self.site.log_messages("default-http.log")
