"""Client side of bench/ftp.sh: timed FTP runs against one server (curl for the large
transfers, Python's ftplib for the login series), with figures printed as JSON."""

import ftplib
import io
import json
import os
import socket
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor


def ports(n):
    found, socks = [], []
    for _ in range(n):
        s = socket.socket()
        s.bind(("127.0.0.1", 0))
        socks.append(s)
        found.append(s.getsockname()[1])
    for s in socks:
        s.close()
    print(" ".join(map(str, found)))


def curl(url, upload=None, sync=True, tls=False):
    if sync:
        os.sync()  # earlier writes are flushed outside the timed run, for both servers alike
    argv = ["curl", "-sS", "--fail", "-o", "/dev/null", "-w", "%{time_total}", url]
    if tls:  # AUTH TLS, then PBSZ 0 and PROT P: control and data connections encrypted
        argv[1:1] = ["--ssl-reqd", "-k"]
    if upload:
        argv[1:1] = ["-T", upload]
    r = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=600)
    if r.returncode != 0:
        raise SystemExit("curl failed: %s" % r.stderr.decode())
    return float(r.stdout)


def run(port, user, password, upload_dir, upload_file, big_mb, rounds):
    base = "ftp://%s:%s@127.0.0.1:%d/" % (user, password, port)
    out = {}
    retr = [curl(base + "big.bin") for _ in range(rounds)]
    stor = [curl(base + upload_dir + "up.bin", upload_file) for _ in range(rounds)]
    out["retr_mbs"] = big_mb / sorted(retr)[len(retr) // 2]
    out["stor_mbs"] = big_mb / sorted(stor)[len(stor) // 2]
    start = time.monotonic()
    for _ in range(200):
        ftp = ftplib.FTP()
        ftp.connect("127.0.0.1", port, timeout=30)
        ftp.login(user, password)
        data = io.BytesIO()
        ftp.retrbinary("RETR small.bin", data.write)
        assert len(data.getvalue()) == 4096
        ftp.quit()
    out["logins_per_s"] = 200 / (time.monotonic() - start)
    os.sync()
    start = time.monotonic()
    with ThreadPoolExecutor(20) as pool:
        list(pool.map(lambda _: curl(base + "mid.bin", sync=False), range(20)))
    out["parallel_mbs"] = 20 * 64 / (time.monotonic() - start)
    print(json.dumps(out))


def run_tls(port, user, password, big_mb, rounds):
    """RETR of the big file over FTPS (PROT P): MB/s, median of the rounds."""
    base = "ftp://%s:%s@127.0.0.1:%d/" % (user, password, port)
    retr = [curl(base + "big.bin", tls=True) for _ in range(rounds)]
    print(json.dumps({"retr_tls_mbs": big_mb / sorted(retr)[len(retr) // 2]}))


def report(names, files):
    figures = [{} for _ in files]
    for i, f in enumerate(files):
        for line in open(f):  # one JSON object per run
            figures[i].update(json.loads(line))
    rows = [("RETR 512 MiB (MB/s)", "retr_mbs"), ("STOR 512 MiB (MB/s)", "stor_mbs"),
            ("200 logins + RETR 4 KiB (per s)", "logins_per_s"),
            ("20 clients x 64 MiB (MB/s total)", "parallel_mbs"),
            ("FTPS RETR 512 MiB, PROT P (MB/s)", "retr_tls_mbs")]
    print("%-34s %12s %12s %7s" % ("", names[0], names[1], "ratio"))
    for label, key in rows:
        if key not in figures[0] or key not in figures[1]:
            continue
        a, b = figures[0][key], figures[1][key]
        print("%-34s %12.1f %12.1f %6.2fx" % (label, a, b, a / b))


if __name__ == "__main__":
    cmd = sys.argv[1]
    if cmd == "ports":
        ports(int(sys.argv[2]))
    elif cmd == "run":
        run(int(sys.argv[2]), sys.argv[3], sys.argv[4], sys.argv[5], sys.argv[6],
            int(sys.argv[7]), int(sys.argv[8]))
    elif cmd == "tls":
        run_tls(int(sys.argv[2]), sys.argv[3], sys.argv[4], int(sys.argv[5]), int(sys.argv[6]))
    elif cmd == "report":
        report(sys.argv[2:4], sys.argv[4:6])
