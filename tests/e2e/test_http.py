"""HTTP with real clients against the server of the shipped default site: curl for the
ordinary requests (keep-alive, redirects, authorization, status codes, a 50 MiB file,
listings) and Python's http.client for malformed and hostile requests."""

import hashlib
import os
import re
import subprocess

import qmstest
from httptest import HTTPServerTestCase, USER, USER_PASSWORD


class HTTPTest(HTTPServerTestCase):

    def test_get_head_post_on_one_kept_alive_connection(self):
        rc, out, err = self.curl("-v", self.url("/hello.txt"), self.url("/index.html"),
                                 "--next", "-sSv", "-I", self.url("/hello.txt"))
        self.assertEqual(rc, 0, err)
        self.assertEqual(err.count("Re-using existing connection"), 2, err)
        self.assertIn(b"Hello, web!\n", out)
        self.assertIn(b"<title>Quillmar/32</title>", out)
        head = out.split(b"HTTP/1.1 ")[-1]
        self.assertIn(b"Content-Length: 12\r\n", head)
        self.assertTrue(head.endswith(b"\r\n\r\n"), head)       # HEAD: no body
        for line in (b"Server: Quillmar/0.9.5", b"Pragma: no-cache", b"Accept-Ranges: none",
                     b"Cache-Control: no-cache", b"Connection: Keep-Alive"):
            self.assertIn(line + b"\r\n", head)
        self.assertRegex(head, rb"Date: \w{3}, \d\d \w{3} \d{4} \d\d:\d\d:\d\d GMT\r\n")
        self.assertRegex(head, rb"Last-Modified: \w{3}, \d\d \w{3} \d{4} \d\d:\d\d:\d\d GMT")

        rc, out, err = self.curl("-d", "a=1&b=2", self.url("/hello.txt"))
        self.assertEqual(rc, 0, err)
        self.assertTrue(out.startswith(b"HTTP/1.1 200 OK\r\n"), out)
        qmstest.wait_for(lambda: not [f for f in os.listdir(self.site.path("tmp"))
                                      if f.endswith(".bdy")], what="body file removed")

        _rc, icon, _err = self.curl(self.url("/!icon?icon40-qms.gif"))
        self.assertIn(b"Content-Type: image/gif\r\n", icon)
        self.assertIn(b"Cache-Control: max-age=120\r\n", icon)
        self.assertIn(b"\r\n\r\nGIF89a", icon)
        # The banner of the administration pages' header frame: 400 x 40.
        _rc, banner, _err = self.curl(self.url("/!icon?header400x40-qmsadm.gif"))
        self.assertIn(b"\r\n\r\nGIF89a\x90\x01\x28\x00", banner)

    def test_index_redirect_and_basic_authorization(self):
        _rc, out, _err = self.curl(self.url("/"))
        self.assertTrue(out.startswith(b"HTTP/1.1 302 Found\r\n"), out)
        self.assertIn(b"Location: http://127.0.0.1:%d/index.html\r\n" % self.port, out)
        _rc, out, _err = self.curl("-L", self.url("/"))
        self.assertIn(b"<title>Quillmar/32</title>", out)

        _rc, out, _err = self.curl(self.url("/private/secret.txt"))
        self.assertTrue(out.startswith(b"HTTP/1.1 401 Unauthorized\r\n"), out)
        self.assertIn(b'WWW-Authenticate: Basic realm="main"\r\n', out)
        _rc, out, _err = self.curl("-u", "%s:%s" % (USER, USER_PASSWORD),
                                   self.url("/private/secret.txt"))
        self.assertTrue(out.startswith(b"HTTP/1.1 200 OK\r\n"), out)
        self.assertTrue(out.endswith(b"for user only\n"))
        _rc, out, _err = self.curl("-u", USER + ":wrong", self.url("/hello.txt"))
        self.assertTrue(out.startswith(b"HTTP/1.1 401 "), out)
        # An unknown user stays anonymous.
        _rc, out, _err = self.curl("-u", "nobody:x", self.url("/hello.txt"))
        self.assertTrue(out.startswith(b"HTTP/1.1 200 OK\r\n"), out)
        self.assertIn('>>> "user" not authorized', self.service_log())

    def test_status_codes(self):
        cases = [(["-X", "OPTIONS", self.url("/")], 405), (["-X", "PUT", self.url("/x")], 405),
                 (["-X", "BREW", self.url("/")], 400), ([self.url("/nothing.html")], 404),
                 ([self.url("/!icon?../x.gif")], 403), ([self.url("/!icon?nothing.gif")], 500),
                 ([self.url("/!admin")], 401), ([self.url("/home/")], 404)]
        for args, status in cases:
            _rc, out, _err = self.curl(*args)
            self.assertTrue(out.startswith(b"HTTP/1.1 %d " % status), (args, out[:200]))
            self.assertIn(b"Content-Type: text/html\r\n", out)
        self.assertTrue(self.raw(b"GET /\r\n\r\n").startswith(b"HTTP/1.1 505 "))
        self.assertTrue(self.raw(b"GET / HTTP/2.0\r\n\r\n").startswith(b"HTTP/1.1 505 "))

    def test_fifty_mib_file_byte_exact(self):
        data = os.urandom(1 << 20) * 50
        self.site.write("sites/default/www/big.bin", data)
        target = self.site.path("big.download")
        rc, out, err = self.curl("-o", target, self.url("/big.bin"))
        self.assertEqual(rc, 0, err)
        self.assertIn(b"Content-Length: %d\r\n" % len(data), out)
        with open(target, "rb") as f:
            self.assertEqual(hashlib.sha256(f.read()).digest(), hashlib.sha256(data).digest())

    def test_directory_listing_escapes_names_and_closes(self):
        self.site.write("sites/default/www/list/a <b>&\"x\".txt", b"12345")
        os.makedirs(self.site.path("sites/default/www/list/sub"), exist_ok=True)
        rc, out, err = self.curl("-v", self.url("/list/"))
        self.assertEqual(rc, 0, err)
        self.assertIn(b"Connection: close\r\n", out)
        self.assertNotIn(b"Content-Length", out)
        self.assertIn(b'<A HREF="/list/a%20%3Cb%3E%26%22x%22.txt">a &lt;b&gt;&amp;&quot;x&quot;.txt</A>',
                      out)
        self.assertIn(b'<A HREF="/list/sub/">sub/</A>', out)
        self.assertIn(b'<IMG SRC="/!icon?icon20-folder.gif"', out)
        self.assertRegex(out, rb'<td class="size">5</td><td>\w{3}, \d\d \w{3} \d{4} \d\d:\d\d:\d\d')
        self.assertTrue(out.rstrip().endswith(b"</html>"))

    def test_hostile_requests(self):
        cases = [(b"GET /hello.txt%00.gif HTTP/1.1\r\n\r\n", 400),
                 (b"GET /%2e%2e/outside.txt HTTP/1.1\r\n\r\n", 401),
                 (b"GET /..%2foutside.txt HTTP/1.1\r\n\r\n", 401),
                 (b"POST /hello.txt HTTP/1.1\r\nContent-Length: -5\r\n\r\n", 400),
                 (b"POST /hello.txt HTTP/1.1\r\nContent-Length: 99999999999999999999\r\n\r\n", 413),
                 (b"POST /hello.txt HTTP/1.1\r\nContent-Length: 70000\r\n\r\n", 413),
                 (b"GET / HTTP/1.1\r\nX: " + b"a" * 70000 + b"\r\n\r\n", 431),
                 (b"GET / HTTP/1.1\r\n" + b"X: y\r\n" * 300 + b"\r\n", 431),
                 (b"GET /" + b"a" * 70000 + b" HTTP/1.1\r\n\r\n", 414)]
        for request, status in cases:
            answer = self.raw(request)
            self.assertTrue(answer.startswith(b"HTTP/1.1 %d " % status), (request[:60], answer[:80]))
            self.assertNotIn(b"outside the web root", answer)
        # A link out of the web root is not followed.
        os.symlink(self.site.path("sites/default/outside.txt"), os.path.join(self.www, "out.txt"))
        self.assertTrue(self.raw(b"GET /out.txt HTTP/1.1\r\nConnection: close\r\n\r\n")
                        .startswith(b"HTTP/1.1 404 "))
        # Requests that were refused did not stop the server.
        self.assertEqual(self.request("GET", "/hello.txt")[0], 200)

    def test_virtual_host_ssi_fib_and_extended_log(self):
        status, _h, body = self.request("GET", "/index.html", headers={"Host": "other.test"})
        self.assertEqual((status, body), (200, b"<p>the other host</p>\n"))
        status, _h, body = self.request("GET", "/page.shtml")
        self.assertEqual(body, b"<p>beforeafter</p>\n")
        status, _h, body = self.request("GET", "/page.fib", headers={"User-Agent": "<x>"})
        self.assertEqual(body, b"<p>GET 0 &lt;x&gt;</p>\n")
        log = self.site.read("log", "http-ext.log").decode("latin-1").split("\r\n")
        self.assertEqual(log[:3], ["#Version: 1.0",
                                   "#Fields: date time c-ip cs-method cs-uri sc-status bytes",
                                   '#Software: "Quillmar/32"'])
        self.assertTrue(log[3].startswith("#Start-Date: "))
        self.assertTrue(any(re.fullmatch(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d 127\.0\.0\.1 GET "
                                         r"/page\.shtml 200 19", l) for l in log), log)

    def test_listen_backlogs(self):
        """Every shipped site service asks for 511 (capped by somaxconn); a service without
        the key (the remote console link) keeps 16. ss shows a listener's backlog in its
        Send-Q column."""
        with open("/proc/sys/net/core/somaxconn") as f:
            somaxconn = int(f.read())
        cfg = qmstest.parse_config(self.site.read("config", "default", "default.cfg"))
        expected = [(self.site.admin_port, 16)] + [(int(cfg[s]["Port"]), min(511, somaxconn))
                                                   for s in ("HTTP", "SMTP", "POP3", "IMAP4", "FTP")]
        for port, backlog in expected:
            out = subprocess.run(["ss", "-ltnH", "sport = :%d" % port], stdout=subprocess.PIPE,
                                 text=True, check=True).stdout.split()
            self.assertEqual(int(out[2]), backlog, out)
