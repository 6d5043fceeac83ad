"""HTTP applications with real clients: CGI programs in shell and Python run through the CGI
processor, a REXX application and a plug-in application of the shipped default site, and
the clean-up of every temporary file and semaphore, also for hostile or broken requests."""

import concurrent.futures
import glob
import os
import socket
import subprocess

import qmstest
from httptest import HTTPServerTestCase

ENV_SCRIPT = b"""#!/bin/sh
printf 'Status: 201 Made\\r\\nContent-Type: text/plain\\r\\nX-Cgi: yes\\r\\n\\r\\n'
env | sort
echo "BODY=$(cat)"
echo "to the log" >&2
"""


class HTTPAppsTest(HTTPServerTestCase):

    @classmethod
    def prepare(cls, site):
        super().prepare(site)
        cfg = site.path("documentation", "config", "default", "default.cfg")
        qmstest.edit_config(cfg, "HTTP", "Timeout", "3")
        site.write("sites/default/www/cgi-bin/env.sh", ENV_SCRIPT)
        site.write("sites/default/www/cgi-bin/hang.sh", b"#!/bin/sh\nsleep 600\n")
        site.write("sites/default/www/cgi-bin/silent.sh", b"#!/bin/sh\nexit 0\n")
        site.write("sites/default/www/cgi-bin/broken.rexx", b"/* */\nsay 'unterminated\n")

    def leftovers(self):
        tmp = [f for f in os.listdir(self.site.path("tmp"))
               if f.endswith((".cgi", ".bdy"))]
        return tmp + glob.glob("/dev/shm/sem.QMSCGI*-%d" % self.server.pid)

    def assert_clean(self):
        qmstest.wait_for(lambda: not self.leftovers(), what="temporary files removed")

    def test_shell_and_python_cgi(self):
        rc, out, err = self.curl("-A", "agent/1", "-H", "X-Some-Thing: 42", "-H", "Proxy: evil",
                                 "-H", "Bad=Name: x", "-d", "0123456789",
                                 self.url("/cgi-bin/env.sh?a=1%262&b"))
        self.assertEqual(rc, 0, err)
        head, _, body = out.partition(b"\r\n\r\n")
        self.assertTrue(head.startswith(b"HTTP/1.1 201 Made\r\n"), head)
        self.assertIn(b"X-Cgi: yes", head)
        self.assertNotIn(b"Status:", head)
        env = dict(line.split("=", 1) for line in body.decode().splitlines() if "=" in line)
        for name, value in (("CONTENT_LENGTH", "10"), ("GATEWAY_INTERFACE", "CGI/1.1"),
                            ("QUERY_STRING", "a=1%262&b"), ("REMOTE_ADDR", "127.0.0.1"),
                            ("REQUEST_METHOD", "POST"), ("SCRIPT_NAME", "/cgi-bin/env.sh"),
                            ("SERVER_PORT", str(self.port)), ("SERVER_PROTOCOL", "HTTP/1.1"),
                            ("SERVER_SOFTWARE", "Quillmar/32 v0.9.5"),
                            ("HTTP_USER_AGENT", "agent/1"), ("HTTP_X_SOME_THING", "42"),
                            ("BODY", "0123456789")):
            self.assertEqual(env.get(name), value, name)
        for name in ("HTTP_PROXY", "REMOTE_USER", "AUTH_TYPE", "HTTP_BAD=NAME"):
            self.assertNotIn(name, env)
        self.assertFalse([n for n in env if n.startswith("QMS_")])
        qmstest.wait_for(lambda: "ERR to the log" in self.service_log(), what="ERR line")

        rc, out, err = self.curl("-v", self.url("/cgi-bin/env.sh"), self.url("/hello.txt"))
        self.assertNotIn(b"QUERY_STRING", out)
        self.assertNotIn("Re-using existing connection", err)  # a CGI answer closes

        rc, out, err = self.curl("-d", "name=<b>&x=1", self.url("/cgi-bin/hello.py?q=2"))
        self.assertEqual(rc, 0, err)
        self.assertTrue(out.startswith(b"HTTP/1.1 200 OK\r\n"), out)
        self.assertIn(b"<td>name</td><td>&lt;b&gt;</td>", out)
        self.assertIn(b"<td>q</td><td>2</td>", out)
        rc, out, err = self.curl(self.url("/cgi-bin/hello.sh?x=%3Cy%3E"))
        self.assertIn(b"<h1>Hello from a shell script</h1>", out)
        self.assert_clean()

    def test_silent_hanging_and_parallel_programs(self):
        _rc, out, _err = self.curl(self.url("/cgi-bin/silent.sh"))
        self.assertTrue(out.startswith(b"HTTP/1.1 500 "), out)
        _rc, out, _err = self.curl(self.url("/cgi-bin/hang.sh"))
        self.assertTrue(out.startswith(b"HTTP/1.1 500 "), out)
        qmstest.wait_for(lambda: not subprocess.run(["pgrep", "-f", "sleep 600"],
                                                     stdout=subprocess.PIPE).stdout,
                         what="hanging program ended")
        with concurrent.futures.ThreadPoolExecutor(50) as pool:
            outs = list(pool.map(lambda i: self.curl(self.url("/cgi-bin/env.sh?n=%d" % i))[1],
                                 range(50)))
        self.assertEqual([o.startswith(b"HTTP/1.1 201 ") for o in outs], [True] * 50)
        self.assert_clean()

    def test_hostile_requests_leave_nothing(self):
        # A header trying to smuggle a variable, a query with a line feed and a command.
        rc, out, _err = self.curl("-H", "X-A: 1\x0bPATH=/tmp", self.url(
            "/cgi-bin/env.sh?x=%0APATH=/tmp;rm%20-rf%20/"))
        env = out.partition(b"\r\n\r\n")[2]
        self.assertIn(b"QUERY_STRING=x=%0APATH=/tmp;rm%20-rf%20/\n", env)
        self.assertNotIn(b"\nPATH=/tmp\n", env)
        # A POST that ends early, and a client that leaves during the program.
        for data in (b"POST /cgi-bin/env.sh HTTP/1.1\r\nHost: x\r\nContent-Length: 100\r\n\r\nabc",
                     b"GET /cgi-bin/hang.sh HTTP/1.1\r\nHost: x\r\n\r\n"):
            s = socket.create_connection(("127.0.0.1", self.port))
            s.sendall(data)
            s.close()
        qmstest.wait_for(lambda: not subprocess.run(["pgrep", "-f", "sleep 600"],
                                                     stdout=subprocess.PIPE).stdout,
                         what="abandoned program ended")
        self.assert_clean()

    def test_rexx_and_plugin_applications(self):
        rc, out, err = self.curl(self.url("/cgi-bin/hello.rexx"))
        self.assertEqual(rc, 0, err)
        self.assertTrue(out.startswith(b"HTTP/1.1 200 OK\r\n"), out)
        self.assertIn(b"<p>Request: GET /cgi-bin/hello.rexx</p>", out)
        self.assertTrue(out.endswith(b"</body></html>\r\n"), out)   # and nothing after it
        # A script the interpreter cannot run gets an error page, not silence.
        rc, out, err = self.curl(self.url("/cgi-bin/broken.rexx"))
        self.assertEqual(rc, 0, err)
        self.assertTrue(out.startswith(b"HTTP/1.1 500 "), out)
        rc, out, err = self.curl(self.url("/cgi-bin/hello.qmsapp"))
        self.assertEqual(rc, 0, err)
        self.assertTrue(out.startswith(b"HTTP/1.0 200 OK\r\n"), out)   # as the plug-in wrote it
        self.assertIn(b"Hello 127.0.0.1", out)

    def test_cgi_processor_by_hand(self):
        r = subprocess.run([self.site.path("binaries", "qms32cgi"), "a", "b", "c", "d", "e"],
                           stdout=subprocess.PIPE, timeout=30)
        self.assertEqual(r.returncode, 103)
        lines = r.stdout.decode().splitlines()
        self.assertEqual(lines[0], "-" * 78)
        self.assertTrue(lines[1].startswith("Quillmar/32 v0.9.5 CGI Processor"))
        self.assertEqual(len(lines[1]), 78)
        self.assertEqual(lines[4], "qmsHalt #10003")
        self.assertIn('has to be called from: "qms32srv"', lines[5])
