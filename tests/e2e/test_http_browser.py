"""Headless Chromium loads the shipped default index page and a directory listing from the
server and takes screenshots, kept as artifacts in the build directory
(http-screenshots/). Skipped when chromium is not installed."""

import os
import shutil
import subprocess
import tempfile
import unittest

import qmstest
from httptest import HTTPServerTestCase

CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
ARTIFACTS = os.path.join(qmstest.BUILD_DIR, "http-screenshots")


@unittest.skipUnless(CHROMIUM, "chromium is not installed")
class HTTPBrowserTest(HTTPServerTestCase):

    def screenshot(self, path, name):
        os.makedirs(ARTIFACTS, exist_ok=True)
        target = os.path.join(ARTIFACTS, name)
        if os.path.exists(target):
            os.remove(target)
        profile = tempfile.mkdtemp(prefix="qms-chromium-")
        self.addCleanup(shutil.rmtree, profile, ignore_errors=True)
        r = subprocess.run([CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                            "--disable-background-networking", "--user-data-dir=" + profile,
                            "--window-size=1024,768", "--screenshot=" + target, self.url(path)],
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=120)
        self.assertTrue(os.path.isfile(target), r.stdout.decode("latin-1")[-2000:])
        with open(target, "rb") as f:
            data = f.read()
        self.assertEqual(data[:8], b"\x89PNG\r\n\x1a\n")
        return data

    def test_index_page_and_listing_render(self):
        self.site.write("sites/default/www/files/notes.txt", b"notes")
        os.makedirs(self.site.path("sites/default/www/files/photos"), exist_ok=True)
        self.screenshot("/", "index.png")
        self.screenshot("/files/", "listing.png")
        log = self.service_log()
        # The browser followed the redirect and fetched the pictures the pages show.
        for request in ('"GET /index.html HTTP/1.1"', '"GET /files/ HTTP/1.1"',
                        '"GET /!icon?icon20-qms.gif HTTP/1.1"',
                        '"GET /!icon?icon20-folder.gif HTTP/1.1"',
                        '"GET /!icon?icon20-file.gif HTTP/1.1"'):
            self.assertTrue(any(l.startswith(request) for l in log), (request, log[-30:]))
        self.assertNotIn(">>> 500", "\n".join(log))
