"""Helpers of the process-level POP3 and IMAP4 tests.

A running server in a staged site with the shipped default group, accounts written for the
test, and messages placed in a mailbox the way local delivery stores them: the line
"Return-Path: <reverse path>" and then the queue body file byte for byte - the server's
"Received:" trace line followed by the client's DATA lines (dot-unstuffed, each ended by
CR LF, trailing empty lines dropped).
"""

import datetime
import itertools
import os
import time

import qmstest
from qmstest import SiteTestCase

MONTHS = ("Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec")

_names = itertools.count(1)


def message_name():
    """A queue message name: 8 hex digits of seconds since 1980 and 4 of a thread id."""
    seconds = int(time.time()) - 315532800
    return "%08X%04X" % (seconds & 0xFFFFFFFF, (os.getpid() + next(_names)) & 0xFFFF)


def queue_body(name, lines, remote_domain="client.test", client_host="localhost",
               client_address="127.0.0.1", host="localhost"):
    """The queue body file the SMTP service writes for DATA lines (already unstuffed)."""
    now = datetime.datetime.now()
    stamp = "%d %s %04d %02d:%02d:%02d" % (now.day, MONTHS[now.month - 1], now.year,
                                          now.hour, now.minute, now.second)
    received = ("Received: from %s (%s [%s])\r\n\tby %s (Quillmar/32 v0.9.5) with SMTP id %s;"
                "\r\n\t%s\r\n" % (remote_domain, client_host, client_address, host, name, stamp))
    lines = list(lines)
    while lines and lines[-1] == b"":
        lines.pop()
    return received.encode("latin-1") + b"".join(l + b"\r\n" for l in lines)


def message_lines(subject, body_lines, sender="alice@example.test", to="user@localhost"):
    return [b"From: <" + sender.encode() + b">", b"To: <" + to.encode() + b">",
            b"Subject: " + subject.encode("latin-1"), b""] + list(body_lines)


def tree_of(top):
    """Every path below top with its bytes (None for a directory), to show it untouched."""
    found = {}
    for root, dirs, files in os.walk(top):
        for name in dirs + files:
            path = os.path.join(root, name)
            data = None
            if os.path.isfile(path):
                with open(path, "rb") as f:
                    data = f.read()
            found[os.path.relpath(path, top)] = data
    return found


class MailServerTestCase(SiteTestCase):
    """A started server of the shipped default site, with the test's accounts."""

    settings = {}  # extra keys per section of the group configuration

    def setUp(self):
        super().setUp()
        group = self.site.path("documentation", "config", "default", "default.cfg")
        for section, keys in self.settings.items():
            for key, value in keys.items():
                qmstest.edit_config(group, section, key, value)
        self.server = self.site.start_running_server()
        self.addCleanup(self.stop_server)
        cfg = qmstest.parse_config(self.site.read("config", "default", "default.cfg"))
        self.pop3_port = int(cfg["POP3"]["Port"])
        self.imap4_port = int(cfg["IMAP4"]["Port"])
        self.home = self.site.path("sites", "default", "home")
        # Each service says so once it listens.
        for service in ("POP3 service default/POP3", "IMAP4 service default/IMAP4"):
            self.server.wait_for_line(service + " running")

    def stop_server(self):
        if self.server.running():
            self.site.stop(self.server)

    def add_user(self, name, password, apop_secret=None, extra=""):
        lines = "[USER]\r\nUsername=%s\r\nPassword=-%s\r\n" % (name, password)
        if apop_secret is not None:
            lines += "APOPSecret=%s\r\n" % apop_secret
        self.site.write(os.path.join("config", "default", "users", name.lower()), lines + extra)

    def inbox(self, user, folder="Inbox"):
        return os.path.join(self.home, user, ".mailbox", folder)

    def place_message(self, user, lines, reverse_path="alice@example.test", name=None,
                      folder="Inbox"):
        """Stores a message as local delivery does; returns (name, file bytes)."""
        name = name or message_name()
        data = b"Return-Path: <" + reverse_path.encode() + b">\r\n" + queue_body(name, lines)
        path = os.path.join(self.inbox(user, folder), name + ".msg")
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        return name, data

    def files(self, user, folder="Inbox"):
        d = self.inbox(user, folder)
        return sorted(os.listdir(d)) if os.path.isdir(d) else []

    def service_log(self, section):
        return self.site.log_messages("default-%s.log" % section.lower())

    def wait_log(self, section, text):
        qmstest.wait_for(lambda: any(text in l for l in self.service_log(section)),
                         what="%r in the %s log" % (text, section))
