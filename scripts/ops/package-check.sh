#!/usr/bin/env bash
# The Debian package in a fresh Debian 12 chroot: install it with apt, run the command line
# of its systemd unit as the unit's user, deliver a message by SMTP and read it by POP3,
# upgrade to a rebuilt package while the server runs (the launcher installs the new server
# program), check that the operator's config, accounts, mail and logs survive, stop the
# launcher with the unit's stop signal, purge, and check what is left.
#
# The services listen on 127.0.0.1 and free ports set in the chroot's config/ before the
# first start (systemd cannot run in a chroot; the chroot shares this machine's network).
# Needs root, debootstrap and the network (for the first debootstrap and apt's downloads).
# The base system and downloaded packages are cached in QMS_OPS_CACHE (/var/cache/qms32-ops).
# Usage: scripts/ops/package-check.sh          (QMS_NO_BUILD=1: use the built programs as they are)
set -euo pipefail
src="$(cd "$(dirname "$0")/../.." && pwd)"
cache="${QMS_OPS_CACHE:-/var/cache/qms32-ops}"
base="$cache/bookworm-minbase.tar.gz"
work="$(mktemp -d /var/tmp/qms32-pkgcheck.XXXXXX)"
root="$work/chroot"
site="$root/opt/quillmar32"
launcher_pid=""
mounts=()

log() { printf '== %s\n' "$*"; }
fail() {
  printf 'FAIL: %s\n' "$*" >&2
  [[ -f "$work/launcher.out" ]] && tail -n 40 "$work/launcher.out" >&2
  exit 1
}
cleanup() {
  if [[ -n "$launcher_pid" ]] && kill -0 "$launcher_pid" 2>/dev/null; then
    kill -TERM "$launcher_pid" 2>/dev/null || true
    for _ in $(seq 100); do kill -0 "$launcher_pid" 2>/dev/null || break; sleep 0.2; done
    kill -KILL "$launcher_pid" 2>/dev/null || true
  fi
  for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do umount -l "${mounts[i]}" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
in_root() { chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 "$@"; }
mount_in() {  # mount_in TARGET mount-arguments...
  local target="$1"
  shift
  mkdir -p "$target"
  mount "$@" "$target"
  mounts+=("$target")
}
wait_until() {  # wait_until SECONDS WHAT COMMAND...
  local deadline=$((SECONDS + $1)) what="$2"
  shift 2
  until "$@"; do
    ((SECONDS < deadline)) || fail "timed out waiting for $what"
    sleep 0.2
  done
}

# --- Packages: the current build, and a rebuilt one with a higher version -------------------
project_version="$(sed -n 's/^project(Quillmar32 VERSION \([0-9.]*\).*/\1/p' "$src/CMakeLists.txt")"
v1="$project_version-1" v2="$project_version-2"
deb1="$(QMS_PKG_VERSION="$v1" "$src/scripts/package.sh" "$work/debs")"
deb2="$(QMS_NO_BUILD=1 QMS_PKG_VERSION="$v2" "$src/scripts/package.sh" "$work/debs")"
log "built $(basename "$deb1") and $(basename "$deb2")"

# --- The unit file --------------------------------------------------------------------------
unit="$src/packaging/debian/quillmar32.service"
if command -v systemd-analyze >/dev/null; then
  # ExecStart must exist for the check: a copy of the unit pointing at this machine's shell.
  sed 's|^ExecStart=.*|ExecStart=/bin/true|' "$unit" >"$work/quillmar32.service"
  systemd-analyze verify "$work/quillmar32.service" 2>&1 | tee "$work/verify.out"
  if grep -v -e 'qms32' -e '^$' "$work/verify.out" | grep -q .; then fail "systemd-analyze verify"; fi
  log "systemd-analyze verify: clean"
fi

# --- A fresh Debian 12 --------------------------------------------------------------------
mkdir -p "$cache/archives/partial"
if [[ ! -f "$base" ]]; then
  log "debootstrap (cached in $base)"
  debootstrap --variant=minbase bookworm "$work/base" http://deb.debian.org/debian >"$work/debootstrap.log"
  tar -C "$work/base" -czf "$base.new" . && mv "$base.new" "$base"
  rm -rf "$work/base"
fi
mkdir -p "$root"
tar -C "$root" -xzf "$base"
chmod 0755 "$root"
mount_in "$root/proc" -t proc proc
mount_in "$root/dev" --bind /dev
mount_in "$root/dev/pts" --bind /dev/pts
mount_in "$root/var/cache/apt/archives" --bind "$cache/archives"
cp /etc/resolv.conf "$root/etc/resolv.conf"
cp "$deb1" "$deb2" "$root/tmp/"
in_root apt-get update -qq
log "apt install $(basename "$deb1")"
in_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "/tmp/$(basename "$deb1")" >"$work/apt1.out" ||
  { cat "$work/apt1.out"; fail "apt install"; }

# --- What the install made ----------------------------------------------------------------
in_root getent passwd qms32 >/dev/null || fail "no user qms32"
in_root getent group qms32 >/dev/null || fail "no group qms32"
# Numbers, not names: this machine's own user list knows nothing of the chroot's.
qms_uid="$(in_root id -u qms32)" qms_gid="$(in_root getent group qms32 | cut -d: -f3)"
for f in qms32 binaries/qms32srv binaries/qms32cgi documentation/config/qms.cfg package/qms32srv; do
  [[ -f "$site/$f" ]] || fail "missing /opt/quillmar32/$f"
done
[[ -f "$root/lib/systemd/system/quillmar32.service" ]] || fail "unit not installed"
for d in . binaries log tmp sites/default/queue sites/default/home; do
  [[ "$(stat -c %g "$site/$d")" == "$qms_gid" ]] || fail "$d not the group qms32's"
done
[[ -z "$(find "$site/documentation" "$site/qms32" -user "$qms_uid")" ]] || fail "shipped files owned by qms32"
log "install: user, layout and ownership as expected"

# --- The operator's settings before the first start: loopback and free ports ----------------
ports="$(python3 - "$src" "$site" <<'PY'
import os, re, shutil, sys
src, site = sys.argv[1], sys.argv[2]
sys.path.insert(0, os.path.join(src, "tests", "e2e"))
import qmstest
shutil.copytree(os.path.join(site, "documentation", "config"), os.path.join(site, "config"))
main = os.path.join(site, "config", "qms.cfg")
qmstest.edit_config(main, "GLOBAL", "DisableConsoleStart", "1")
qmstest.edit_config(main, "ADMIN", "Address", "127.0.0.1")
qmstest.edit_config(main, "ADMIN", "Port", str(qmstest.free_port()))
group = os.path.join(site, "config", "default", "default.cfg")
with open(group, "rb") as f:
    sections = qmstest.parse_config(f.read())["GLOBAL"]["ServiceSections"]
ports = {}
for section in re.split(r"[ ,;\t]+", sections):
    if section:
        ports[section] = qmstest.free_port()
        qmstest.edit_config(group, section, "Address", "127.0.0.1")
        qmstest.edit_config(group, section, "Port", str(ports[section]))
print(ports["SMTP"], ports["POP3"], ports["HTTP"])
PY
)"
read -r smtp_port pop3_port http_port <<<"$ports"
in_root chown -R qms32:qms32 /opt/quillmar32/config

# --- The unit's command line, as its user ---------------------------------------------------
unit_value() { sed -n "s/^$1=//p" "$root/lib/systemd/system/quillmar32.service" | head -n1; }
exec_start="$(unit_value ExecStart)" workdir="$(unit_value WorkingDirectory)" user="$(unit_value User)"
caps="$(unit_value AmbientCapabilities | tr 'A-Z' 'a-z' | sed 's/cap_/+/g')"
start_launcher() {
  log "start: $exec_start in $workdir as $user (ambient ${caps})"
  chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 \
    setpriv --reuid="$user" --regid="$user" --init-groups --inh-caps="$caps" \
    --ambient-caps="$caps" --no-new-privs /bin/sh -c "cd '$workdir' && exec $exec_start" \
    </dev/null >>"$work/launcher.out" 2>&1 &
  launcher_pid=$!
}
server_pid() { pgrep -P "$launcher_pid" -x qms32srv | head -n1; }
port_open() { python3 -c "import socket,sys; socket.create_connection(('127.0.0.1', int(sys.argv[1])), 2).close()" "$1" 2>/dev/null; }
mail_round() {  # mail_round SUBJECT EXPECTED-COUNT: deliver one message, read the mailbox
  python3 - "$smtp_port" "$pop3_port" "$1" "$2" <<'PY'
import poplib, smtplib, sys, time
smtp, pop3, subject, expected = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], int(sys.argv[4])
with smtplib.SMTP("127.0.0.1", smtp, local_hostname="client.test", timeout=30) as s:
    s.sendmail("alice@example.test", ["user@localhost"],
               ("Subject: %s\r\n\r\nA message for the package check.\r\n" % subject).encode())
deadline = time.monotonic() + 60
while True:
    p = poplib.POP3("127.0.0.1", pop3, timeout=30)
    p.user("user")
    p.pass_("QmsUser1")
    count = p.stat()[0]
    if count >= expected:
        break
    p.quit()
    if time.monotonic() > deadline:
        sys.exit("mailbox holds %d messages, expected %d" % (count, expected))
    time.sleep(0.2)
subjects = [l for i in range(1, count + 1) for l in p.retr(i)[1] if l.startswith(b"Subject: ")]
p.quit()
assert ("Subject: " + subject).encode() in subjects, subjects
print("mailbox: %d messages, %s" % (count, b", ".join(subjects).decode()))
PY
}

start_launcher
wait_until 60 "the server's ports" port_open "$smtp_port"
wait_until 30 "POP3" port_open "$pop3_port"
pid1="$(server_pid)"
[[ -n "$pid1" ]] || fail "no server process under the launcher"
grep -q "CapAmb:.*0000000000000400" "/proc/$pid1/status" || fail "server lacks CAP_NET_BIND_SERVICE"
[[ "$(stat -c %u "/proc/$pid1")" == "$qms_uid" ]] || fail "server not running as qms32"
log "running: launcher $launcher_pid, server $pid1 as qms32 with CAP_NET_BIND_SERVICE"
mail_round "before the upgrade" 1 || fail "mail before the upgrade"

# The operator's marks: a changed setting, a changed message file, an extra account.
python3 - "$src" "$site" <<'PY'
import os, sys
sys.path.insert(0, os.path.join(sys.argv[1], "tests", "e2e"))
import qmstest
qmstest.edit_config(os.path.join(sys.argv[2], "config", "default", "default.cfg"), "GLOBAL", "OperatorMark", "kept")
PY
users_dir="$site/config/default/users"
[[ -f "$users_dir/user" ]] || fail "no account file $users_dir/user"
cp "$users_dir/user" "$users_dir/carol" && sed -i 's/^Username=user/Username=carol/I' "$users_dir/carol"
msgfile="$(find "$site/messages" -type f -name '*.res' | sort | head -n1)"
printf '; operator note\r\n' >>"$msgfile"
in_root chown -R qms32:qms32 /opt/quillmar32/config /opt/quillmar32/messages
snapshot() {
  (cd "$site" && find config messages sites/default/home -type f -print0 | sort -z | xargs -0 sha256sum)
}
snapshot >"$work/before.sums"
logs_before="$(find "$site/log" -type f | wc -l)"

# --- Upgrade while the server runs ----------------------------------------------------------
log "apt install $(basename "$deb2") (upgrade, server running)"
in_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "/tmp/$(basename "$deb2")" >"$work/apt2.out" ||
  { cat "$work/apt2.out"; fail "apt upgrade"; }
new_server() { [[ ! -e "$site/binaries/qms32upd" ]] && cmp -s "$site/binaries/qms32srv" "$site/package/qms32srv"; }
wait_until 90 "the launcher to install the new server" new_server
wait_until 60 "the new server's ports" port_open "$smtp_port"
pid2="$(server_pid)"
[[ -n "$pid2" && "$pid2" != "$pid1" ]] || fail "the server did not restart"
cmp -s "/proc/$pid2/exe" "$site/package/qms32srv" || fail "the running server is not the new program"
[[ -f "$site/binaries/qms32old" ]] || fail "no backup binaries/qms32old"
grep -q 'Copied new file "binaries/qms32upd" to "binaries/qms32srv"' "$work/launcher.out" || fail "launcher did not report the upgrade"
[[ "$(in_root dpkg-query -W -f='${Version}' quillmar32)" == "$v2" ]] || fail "version after upgrade"
grep -e '- Backup of' -e '- Copied new file' -e '- Deleted update file' "$work/launcher.out"
log "upgrade: launcher installed binaries/qms32upd; server $pid2 runs the $v2 program, previous kept as qms32old"
snapshot >"$work/after.sums"
# The mailbox may only grow; config, messages and existing mail stay byte for byte.
if ! diff <(cat "$work/before.sums") <(grep -F -f <(cut -c67- "$work/before.sums") "$work/after.sums"); then
  fail "operator files changed by the upgrade"
fi
grep -q '^OperatorMark=kept' "$site/config/default/default.cfg" || fail "operator setting lost"
[[ -f "$users_dir/carol" ]] || fail "account lost"
logs_after="$(find "$site/log" -type f | wc -l)"
((logs_after >= logs_before)) || fail "log files lost ($logs_before before, $logs_after after)"
mail_round "after the upgrade" 2 || fail "mail after the upgrade"
curl -sS -u admin:QuillmarAdmin "http://127.0.0.1:$http_port/!metrics" >"$work/metrics.txt" || fail "metrics scrape"
grep -E '^qms32_smtp_(messages_received|delivered_local)_total' "$work/metrics.txt" || fail "no SMTP metrics"
log "after upgrade: config, accounts, message files, mail and $logs_after log files kept"

# --- The unit's stop: SIGTERM to the launcher alone (KillMode=mixed) -----------------------
kill -TERM "$launcher_pid"
wait_until 120 "the launcher to end" bash -c "! kill -0 $launcher_pid 2>/dev/null"
wait "$launcher_pid" || fail "launcher exit status $?"
launcher_pid=""
grep -q "QMS has been shut down ..." "$work/launcher.out" || fail "no orderly shutdown"
[[ "$(grep -c 'Calling server binary' "$work/launcher.out")" == 2 ]] || fail "server started again after the stop"
log "stop: SIGTERM to the launcher, server stopped in order, no restart"

# --- Purge --------------------------------------------------------------------------------
in_root env DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq quillmar32 >"$work/purge.out" ||
  { cat "$work/purge.out"; fail "apt purge"; }
grep -e '^quillmar32:' -e 'warning' "$work/purge.out" || true
for gone in qms32 documentation package utilities binaries tmp qms32srv.lck; do
  [[ ! -e "$site/$gone" ]] || fail "/opt/quillmar32/$gone left after purge"
done
[[ ! -e "$root/lib/systemd/system/quillmar32.service" ]] || fail "unit left after purge"
for kept in config/qms.cfg config/default/default.cfg messages log sites/default/home; do
  [[ -e "$site/$kept" ]] || fail "/opt/quillmar32/$kept removed by purge"
done
[[ -n "$(find "$site/sites/default/home" -type f)" ]] || fail "mail removed by purge"
log "purge: programs, documentation, tmp/, unit removed; kept: $(cd "$site" && echo *)"
log "package check passed"
