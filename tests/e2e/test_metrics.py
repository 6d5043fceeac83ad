"""The metrics page /!metrics: curl scrapes it with the administrator's credentials, a real
parser of the text exposition format (prometheus_client's) reads it, and the counters move
with an SMTP message delivered locally and a failed and a good POP3 login. Clients the
administration pages refuse are refused here too."""

import importlib.util
import json
import poplib
import smtplib
import subprocess
import sys

import qmstest
from httptest import HTTPServerTestCase, USER, USER_PASSWORD

ADMIN, ADMIN_PASSWORD = "admin", "QuillmarAdmin"
PARSER = r"""
import json, sys
from prometheus_client.parser import text_string_to_metric_families
out = []
for family in text_string_to_metric_families(sys.stdin.read()):
    for s in family.samples:
        out.append([family.name, family.type, s.name, s.labels, s.value])
print(json.dumps(out))
"""


def parse(text):
    """{(sample name, sorted label pairs): value} and {family: type}, by the real parser."""
    python = sys.executable if importlib.util.find_spec("prometheus_client") else "/usr/bin/python3"
    r = subprocess.run([python, "-c", PARSER], input=text, stdout=subprocess.PIPE,
                       stderr=subprocess.PIPE, timeout=60)
    if r.returncode != 0:
        raise AssertionError("exposition does not parse: " + r.stderr.decode() + "\n" + text.decode())
    samples, types = {}, {}
    for family, kind, name, labels, value in json.loads(r.stdout):
        types[family] = kind
        samples[(name, tuple(sorted(labels.items())))] = value
    return samples, types


def svc(service, group="default"):
    return (("group", group), ("service", service))


class MetricsTest(HTTPServerTestCase):

    def scrape(self, user=(ADMIN, ADMIN_PASSWORD)):
        args = ["-u", "%s:%s" % user] if user else []
        code, out, err = self.curl(*args, self.url("/!metrics"))
        self.assertEqual(code, 0, err)
        head, _, body = out.partition(b"\r\n\r\n")
        return head, body

    def test_scrape_parse_and_counters(self):
        cfg = qmstest.parse_config(self.site.read("config", "default", "default.cfg"))
        smtp_port, pop3_port = int(cfg["SMTP"]["Port"]), int(cfg["POP3"]["Port"])
        head, body = self.scrape()
        self.assertTrue(head.startswith(b"HTTP/1.1 200 "), head)
        self.assertIn(b"\r\nContent-Type: text/plain; version=0.0.4", head)
        before, types = parse(body)
        self.assertEqual(types["qms32_connections_accepted"], "counter")
        self.assertEqual(types["qms32_smtp_queue_length"], "gauge")
        self.assertEqual(before[("qms32_service_state", svc("HTTP"))], 2)
        self.assertEqual(before[("qms32_service_info", tuple(sorted(svc("SMTP") + (("protocol", "SMTP"),))))], 1)
        self.assertGreater(before[("qms32_uptime_seconds", ())], 0)
        # Present always; a sanitizer's allocator leaves the C library's figures at zero.
        for kind in ("in_use", "free"):
            self.assertGreaterEqual(before[("qms32_heap_bytes", (("kind", kind),))], 0)
        self.assertNotIn(("qms32_smtp_messages_received_total", svc("POP3")), before)

        with smtplib.SMTP("127.0.0.1", smtp_port, local_hostname="client.example",
                          timeout=30) as s:
            s.sendmail("alice@example.test", ["user@localhost"],
                       b"Subject: metrics\r\n\r\nbody line\r\n")
        client = poplib.POP3("127.0.0.1", pop3_port, timeout=30)
        client.user(USER)
        with self.assertRaises(poplib.error_proto):
            client.pass_("wrong")
        client.quit()

        key = ("qms32_smtp_delivered_local_total", svc("SMTP"))
        qmstest.wait_for(lambda: parse(self.scrape()[1])[0][key] == before[key] + 1,
                         what="local delivery counted")
        client = poplib.POP3("127.0.0.1", pop3_port, timeout=30)
        client.user(USER)
        client.pass_(USER_PASSWORD)
        self.assertEqual(client.stat()[0], 1)
        client.quit()
        after, _ = parse(self.scrape()[1])

        def moved(name, service):
            key = (name, svc(service))
            return after[key] - before[key]
        for name, service, delta in (("qms32_smtp_messages_received_total", "SMTP", 1),
                                     ("qms32_smtp_messages_queued_total", "SMTP", 1),
                                     ("qms32_smtp_delivered_local_total", "SMTP", 1),
                                     ("qms32_smtp_delivered_remote_total", "SMTP", 0),
                                     ("qms32_smtp_expired_total", "SMTP", 0),
                                     ("qms32_connections_accepted_total", "SMTP", 1),
                                     ("qms32_connections_accepted_total", "POP3", 2),
                                     ("qms32_logins_failed_total", "POP3", 1),
                                     ("qms32_logins_ok_total", "POP3", 1),
                                     ("qms32_connections_refused_total", "POP3", 0)):
            self.assertEqual(moved(name, service), delta, (name, service))
        self.assertGreater(moved("qms32_received_bytes_total", "SMTP"), 40)
        self.assertGreater(moved("qms32_sent_bytes_total", "POP3"), 40)
        self.assertGreaterEqual(moved("qms32_logins_ok_total", "HTTP"), 2)
        self.assertEqual(after[("qms32_smtp_queue_length", svc("SMTP"))], 0)

    def test_refused_like_admin_pages(self):
        for user in (None, (USER, USER_PASSWORD), (ADMIN, "wrong")):
            head, body = self.scrape(user)
            code, admin, _ = self.curl(*(["-u", "%s:%s" % user] if user else []),
                                       self.url("/!admin?pg=sl"))
            self.assertTrue(head.startswith(b"HTTP/1.1 401 "), (user, head))
            self.assertEqual(head.split(b"\r\n")[0], admin.split(b"\r\n")[0])
            self.assertNotIn(b"qms32_", body)
