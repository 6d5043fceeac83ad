"""Many connections at once against the shipped site: the small form of bench/load.sh.

Every service of the shipped configuration takes a burst of idle connections opened at
once (a greeting for each, or for HTTP a session thread), serves a fresh client while they
are held, and gives back every thread and descriptor once they are closed.
"""

import os
import sys
import unittest

import qmstest

sys.path.insert(0, os.path.join(qmstest.SOURCE_DIR, "bench"))
import loadbench  # noqa: E402
import mailbench  # noqa: E402

CONNECTIONS = 200


class IdleConnectionsTest(unittest.TestCase):
    def setUp(self):
        qmstest.require_programs(qmstest.SERVER_BINARY)
        self.site = qmstest.staged_site("qms-load-", self.addCleanup)
        mailbench.write_users(self.site.path("documentation", "config", "default", "users"), 1,
                              loadbench.PASSWORD)

    def test_bursts_of_idle_connections_are_served_and_given_back(self):
        server = self.site.start_running_server()
        cfg = qmstest.parse_config(self.site.read("config", "default", "default.cfg"))
        for proto in loadbench.PROTOCOLS:
            server.wait_for_line("%s service default/%s running" % ((proto.upper(),) * 2))
        pid = server.pid
        for proto in loadbench.PROTOCOLS:
            with self.subTest(proto):
                port = int(cfg[proto.upper()]["Port"])
                before = loadbench.settled_stats(pid)
                socks, ready = loadbench.open_many(port, CONNECTIONS, loadbench.GREETING[proto],
                                                   qmstest.POLL_TIMEOUT)
                try:
                    self.assertEqual(ready, CONNECTIONS)
                    qmstest.wait_for(lambda: loadbench.server_stats(pid)[1]
                                     >= before[1] + CONNECTIONS, what="a thread per connection")
                    self.assertTrue(loadbench.FRESH[proto](port))
                finally:
                    for s in socks:
                        s.close()
                qmstest.wait_for(lambda: all(a <= b for a, b in zip(
                    loadbench.server_stats(pid)[1:], before[1:])), timeout=90,
                    what="threads and descriptors given back")


if __name__ == "__main__":
    unittest.main()
