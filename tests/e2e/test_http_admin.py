"""The administration pages under /!admin: curl for the access rule, the pages' contents,
the account editor's refusals and the log viewer's limits; headless Chromium (driven over
its DevTools pipe) signs in with Basic credentials, shows the service list, edits an account
through the form and reads a log file. Screenshots are kept in the build directory
(http-screenshots/)."""

import json
import os
import re
import shutil
import subprocess
import tempfile
import time
import unittest

import qmstest
from httptest import HTTPServerTestCase

CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
ARTIFACTS = os.path.join(qmstest.BUILD_DIR, "http-screenshots")
ADMIN, ADMIN_PASSWORD = "admin", "QuillmarAdmin"


class Browser:
    """Headless Chromium driven over --remote-debugging-pipe (fd 3 in, fd 4 out)."""

    def __init__(self, test):
        profile = tempfile.mkdtemp(prefix="qms-chromium-")
        test.addCleanup(shutil.rmtree, profile, ignore_errors=True)
        to_child, self._w = os.pipe()
        self._r, from_child = os.pipe()

        def fds():
            high_in, high_out = os.dup(to_child) + 100, os.dup(from_child) + 100
            os.dup2(to_child, high_in)
            os.dup2(from_child, high_out)
            os.dup2(high_in, 3)
            os.dup2(high_out, 4)
        self.proc = subprocess.Popen(
            [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
             "--disable-background-networking", "--user-data-dir=" + profile,
             "--window-size=1100,800", "--remote-debugging-pipe", "about:blank"],
            preexec_fn=fds, pass_fds=(3, 4, to_child, from_child),
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(to_child)
        os.close(from_child)
        test.addCleanup(self.close)
        self._id, self._buf = 0, b""
        targets = self.call("Target.getTargets")["targetInfos"]
        page = [t for t in targets if t["type"] == "page"][0]
        self.session = self.call("Target.attachToTarget", targetId=page["targetId"],
                                 flatten=True)["sessionId"]

    def call(self, method, session=None, **params):
        self._id += 1
        msg = {"id": self._id, "method": method, "params": params}
        if session:
            msg["sessionId"] = session
        os.write(self._w, json.dumps(msg).encode() + b"\0")
        while True:
            while b"\0" not in self._buf:
                chunk = os.read(self._r, 1 << 20)
                if not chunk:
                    raise AssertionError("chromium ended")
                self._buf += chunk
            raw, self._buf = self._buf.split(b"\0", 1)
            reply = json.loads(raw)
            if reply.get("id") == self._id:
                if "error" in reply:
                    raise AssertionError(reply["error"])
                return reply["result"]

    def eval(self, expression):
        r = self.call("Runtime.evaluate", self.session, expression=expression,
                      returnByValue=True)
        return r["result"].get("value")

    def open(self, url, ready):
        self.call("Page.navigate", self.session, url=url)
        qmstest.wait_for(lambda: self.eval("document.readyState") == "complete"
                         and self.eval(ready), what="page " + url)

    def screenshot(self, name):
        os.makedirs(ARTIFACTS, exist_ok=True)
        data = self.call("Page.captureScreenshot", self.session)["data"]
        import base64
        png = base64.b64decode(data)
        with open(os.path.join(ARTIFACTS, name), "wb") as f:
            f.write(png)
        return png

    def close(self):
        os.close(self._w)
        self.proc.kill()
        self.proc.wait()
        os.close(self._r)


class HTTPAdminTest(HTTPServerTestCase):

    def admin(self, query, *args, user=(ADMIN, ADMIN_PASSWORD)):
        url = self.url("/!admin" + query)
        auth = ["-u", "%s:%s" % user] if user else []
        return self.curl(*(auth + list(args) + [url]))[1]

    def user_file(self, name):
        return self.site.read("config", "default", "users", name).decode("latin-1")

    def test_pages_access_and_escaping(self):
        self.assertTrue(self.admin("?pg=sl", user=None).startswith(b"HTTP/1.1 401 "))
        self.assertTrue(self.admin("?pg=sl", user=("user", "QmsUser1")).startswith(b"HTTP/1.1 401 "))
        out = self.admin("")
        self.assertIn(b'name="Body"', out)
        sl = self.admin("?pg=sl")
        self.assertIn(b'<meta http-equiv="refresh" content="5;URL=!admin?pg=sl">', sl)
        self.assertRegex(sl, rb"<td>default/HTTP</td><td>[^<]+</td><td>%d</td><td>HTTPd</td>" % self.port)
        self.assertNotIn(b"refresh", self.admin("?pg=cg"))
        for page, text in (("mn", b"GROUP (default)"), ("cg", b"UserDirectory"),
                           ("ca", b"sites/default/www/*"), ("cv", b"sites/default/www"),
                           ("cs&gr=HTTP", b'value="%d"' % self.port),
                           ("sc&gr=HTTP", b"<td>127.0.0.1</td><td>admin</td>"),
                           ("ae&us=user", b"Account statistics")):
            self.assertIn(text, self.admin("?pg=" + page), page)
        # Values from files and from the query are escaped where they land.
        self.admin("?pg=ae&us=user", "--data-urlencode", 'Fullname=<script>"x"</script>',
                   "-d", "bt=Apply")
        self.assertIn("Fullname=<script>", self.user_file("user"))
        out = self.admin("?pg=ae&us=user")
        self.assertIn(b'value="&lt;script&gt;&quot;x&quot;&lt;/script&gt;"', out)
        self.assertNotIn(b"<script>", out)
        out = self.admin("?pg=sc&gr=HTTP&x=%22%3E%3Cscript%3E")
        self.assertNotIn(b"<script>", out)

    def test_account_editor_refusals(self):
        before = self.user_file("user")
        # Changes come only from a POST of the page's own form.
        self.admin("?pg=ae&us=user&bt=Apply&Fullname=Linked")
        self.admin("?pg=ae&us=user", "-H", "Origin: http://evil.test", "-d", "bt=Apply&Fullname=X")
        # Names with "/" or "..", or of an existing account, are refused.
        for name in ("../evil", "a/b", "..", "admin"):
            out = self.admin("?pg=ae&us=user", "--data-urlencode", "Username=" + name,
                             "-d", "bt=Save as new")
            self.assertIn(b"<li>Unable create user</li>", out, name)
            out = self.admin("?pg=ae&us=user", "--data-urlencode", "Username=" + name,
                             "-d", "bt=Apply")
            self.assertIn(b"<li>Unable to change Username</li>", out, name)
        self.assertEqual(self.user_file("user"), before)
        self.assertTrue(self.site.exists("config", "default", "users", "admin"))
        self.assertFalse(os.path.exists(self.site.path("config", "default", "evil")))
        # Two different passwords change nothing; Save as new copies the account.
        self.admin("?pg=ae&us=user", "-d", "Password=a&Password=b&bt=Apply")
        self.assertEqual(self.user_file("user"), before)
        out = self.admin("?pg=ae&us=user", "-d", "Username=copy1&bt=Save as new")
        self.assertIn(b"<li>Changed Username</li>", out)
        self.assertIn("Username=copy1", self.user_file("copy1"))
        self.assertEqual(self.user_file("user"), before)

    def test_log_viewer_limits(self):
        logs = self.site.path("log")
        with open(os.path.join(logs, "big.log"), "w") as f:
            for i in range(5000):
                f.write("line %05d %s\n" % (i, "x" * 20))
        for lb, low, high in (("64", 32000, 32768), ("1", 1900, 2048)):
            out = self.admin("?pg=lf&fn=big.log&lb=" + lb)
            shown = re.search(rb'<pre class="log"[^>]*>(.*)</pre>', out, re.S).group(1)
            self.assertNotIn(b"\n", shown.replace(b"\r\n", b""))
            shown = shown.replace(b"\r\n", b"\n")
            self.assertTrue(low <= len(shown) <= high + 100, (lb, len(shown)))
            self.assertTrue(shown.startswith(b"line "), shown[:40])
            self.assertTrue(shown.endswith(b"\n"))
        self.site.write("config/default/secret.log", b"do not show\n")
        for fn in ("../config/qms.cfg", "..%2Fconfig%2Fdefault%2Fsecret.log", "nothere.log"):
            out = self.admin("?pg=lf&fn=" + fn)
            self.assertIn(b"is not one of the listed files", out, fn)
            self.assertNotIn(b"do not show", out)
            self.assertNotIn(b"[GLOBAL]", out)

    @unittest.skipUnless(CHROMIUM, "chromium is not installed")
    def test_admin_pages_in_chromium(self):
        b = Browser(self)
        base = "http://%s:%s@127.0.0.1:%d" % (ADMIN, ADMIN_PASSWORD, self.port)
        b.open(base + "/!admin", "document.querySelectorAll('iframe').length == 2")
        qmstest.wait_for(lambda: b.eval(
            "(() => { try { return frames['Body'].document.querySelector('#services') != null"
            " && frames[0].document.body.innerText.includes('REAL TIME'); } catch (e) {"
            " return false; } })()"), what="frames loaded")
        time.sleep(0.5)  # let the frames paint before the picture
        b.screenshot("admin-frames.png")
        b.open(base + "/!admin?pg=sl", "document.querySelector('#services') != null")
        self.assertIn("default/HTTP", b.eval("document.querySelector('#services').innerText"))
        b.screenshot("admin-services.png")

        b.open(base + "/!admin?pg=ae&us=user", "document.querySelector('[name=Fullname]') != null")
        b.eval("document.querySelector('[name=Fullname]').value = 'Edited in a browser';"
               "document.querySelector('input[value=Apply]').click()")
        qmstest.wait_for(lambda: "Fullname=Edited in a browser" in self.user_file("user"),
                         what="user file changed")
        qmstest.wait_for(lambda: b.eval("document.body.innerText.includes('Changed Fullname')"),
                         what="change listed")
        b.screenshot("admin-account.png")

        b.open(base + "/!admin?pg=lf&fn=default-http.log&lb=8",
               "document.querySelector('pre.log') != null")
        self.assertIn("GET /!admin?pg=lf", b.eval("document.querySelector('pre.log').innerText"))
        b.screenshot("admin-log.png")

        # On a phone the frames stack and no page is wider than the screen.
        b.call("Emulation.setDeviceMetricsOverride", b.session, width=390, height=844,
               deviceScaleFactor=2, mobile=True)
        b.open(base + "/!admin?pg=ae&us=user", "document.querySelector('[name=Fullname]') != null")
        self.assertLessEqual(b.eval("document.documentElement.scrollWidth"), 390)
        b.screenshot("admin-phone-account.png")
