#!/usr/bin/env bash
# Mail benchmark (not a test; loopback only, every step bounded).
#  (a) SMTP: CLIENTS parallel smtplib clients send SMTP_MESSAGES messages of SIZE bytes to
#      local users; prints messages accepted per second and the seconds until all of them
#      are in their mailboxes (once local delivery works).
#  (b) POP3: a mailbox of POP3_MESSAGES messages of SIZE bytes; the time of one session's
#      LIST plus RETR of every message, side by side with Dovecot's POP3 server
#      (dovecot-pop3d, installed here if missing, without starting its system service; it
#      runs from a temporary configuration and maildir on a loopback high port and is
#      stopped by PID), and the ratio.
#  (c) System calls per RETR: one more POP3 session of each server runs under "strace -c"
#      (outside the timed runs; strace is installed here if missing); the count of all system
#      calls of the server during that session, divided by the messages, is printed.
#  (d) SMTP side by side with Postfix (installed here if missing, without starting its
#      system service): a private instance from a temporary configuration directory and
#      queue, listening on a loopback high port, delivering with its virtual agent into
#      maildirs; stopped with "postfix stop". For each client count of PEER_CLIENTS the same
#      messages go to both servers: messages accepted per second, seconds until all are in
#      their mailboxes, and the ratios. Both sync a message to disk before answering 250.
# Environment: QMS_NO_BUILD=1 skips the release build; SKIP_POP3=1 skips (b) and (c);
# PEER_CLIENTS ("8 64"), PEER_MESSAGES (2000), PEER_ROUNDS (3; medians count);
# SMTP_MESSAGES (2000), CLIENTS (8), PER_SESSION (1 message per SMTP session), POP3_MESSAGES (1000), SIZE (2048),
# ROUNDS (3 POP3 sessions per server, the median counts), DELIVERY_WAIT (60 s).
# Usage: bench/mail.sh
set -euo pipefail
src="$(cd "$(dirname "$0")/.." && pwd)"
source "$src/bench/lib.sh"
bench="$src/bench/mailbench.py"
SMTP_MESSAGES="${SMTP_MESSAGES:-2000}"
CLIENTS="${CLIENTS:-8}"
PER_SESSION="${PER_SESSION:-1}"
POP3_MESSAGES="${POP3_MESSAGES:-1000}"
SIZE="${SIZE:-2048}"
ROUNDS="${ROUNDS:-3}"
DELIVERY_WAIT="${DELIVERY_WAIT:-60}"

tmp="$(mktemp -d /tmp/qms-mailbench.XXXXXX)"
site="$tmp/site"
qms_pid=""
dovecot_pid=""
postfix_dir=""
PEER_CLIENTS="${PEER_CLIENTS:-8 64}"
PEER_MESSAGES="${PEER_MESSAGES:-2000}"
PEER_ROUNDS="${PEER_ROUNDS:-3}"

cleanup() {
  set +e
  stop_server "$site" "$qms_pid"
  if [[ -n "$postfix_dir" ]]; then
    postfix -c "$postfix_dir" stop >/dev/null 2>&1
    for _ in $(seq 1 50); do [[ -e "$postfix_dir/queue/pid/master.pid" ]] || break; sleep 0.2; done
  fi
  if [[ -n "$dovecot_pid" ]] && kill -0 "$dovecot_pid" 2>/dev/null; then
    kill -TERM "$dovecot_pid"
    for _ in $(seq 1 50); do kill -0 "$dovecot_pid" 2>/dev/null || break; sleep 0.2; done
    kill -0 "$dovecot_pid" 2>/dev/null && kill -KILL "$dovecot_pid"
  fi
  wait 2>/dev/null
  rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# --- Dovecot's POP3 server, installed without starting (or leaving) its system service ----
if [[ ! -x /usr/sbin/dovecot ]] || ! dpkg -s dovecot-pop3d >/dev/null 2>&1; then
  echo "Installing dovecot-pop3d (its system service is not started) ..."
  policy_made=0
  if [[ ! -e /usr/sbin/policy-rc.d ]]; then
    printf '#!/bin/sh\nexit 101\n' > /usr/sbin/policy-rc.d
    chmod 0755 /usr/sbin/policy-rc.d
    policy_made=1
  fi
  DEBIAN_FRONTEND=noninteractive timeout 600 apt-get install -y -q dovecot-pop3d >"$tmp/apt.log" 2>&1 \
    || { tail -20 "$tmp/apt.log" >&2; [[ $policy_made == 1 ]] && rm -f /usr/sbin/policy-rc.d; exit 1; }
  [[ $policy_made == 1 ]] && rm -f /usr/sbin/policy-rc.d
fi
if ! command -v strace >/dev/null 2>&1; then
  echo "Installing strace ..."
  DEBIAN_FRONTEND=noninteractive timeout 600 apt-get install -y -q strace >"$tmp/apt.log" 2>&1 \
    || { tail -20 "$tmp/apt.log" >&2; exit 1; }
fi
# Whatever happened at installation: the system service must not run or start at boot.
if command -v systemctl >/dev/null 2>&1 && [[ -d /run/systemd/system ]]; then
  systemctl disable --now dovecot.service dovecot.socket >/dev/null 2>&1 || true
else
  command -v update-rc.d >/dev/null 2>&1 && update-rc.d dovecot disable >/dev/null 2>&1 || true
  [[ -f /run/dovecot/master.pid ]] && kill -TERM "$(cat /run/dovecot/master.pid)" 2>/dev/null || true
fi
if ss -ltnH 2>/dev/null | awk '{print $4}' | grep -Eq ':(110|143)$'; then
  echo "note: something listens on port 110 or 143 (not started by this script)" >&2
fi

# --- Quillmar/32 site -------------------------------------------------------------------
if [[ "${QMS_NO_BUILD:-0}" != 1 ]]; then
  "$src/scripts/build.sh" release >"$tmp/build.log" 2>&1 || { tail -30 "$tmp/build.log" >&2; exit 1; }
fi
QMS_NO_BUILD=1 "$src/scripts/stage-site.sh" "$site" >/dev/null
read -r admin_port smtp_port pop3_port imap_port dovecot_port < <(python3 "$bench" ports 5)
main_cfg="$site/documentation/config/qms.cfg"
group_cfg="$site/documentation/config/default/default.cfg"
python3 "$bench" setkey "$main_cfg" GLOBAL DisableConsoleStart 1
python3 "$bench" setkey "$main_cfg" ADMIN Address 127.0.0.1
python3 "$bench" setkey "$main_cfg" ADMIN Port "$admin_port"
for s in SMTP:$smtp_port POP3:$pop3_port IMAP4:$imap_port; do
  python3 "$bench" setkey "$group_cfg" "${s%%:*}" Address 127.0.0.1
  python3 "$bench" setkey "$group_cfg" "${s%%:*}" Port "${s##*:}"
done
max_clients="$CLIENTS"
for c in $PEER_CLIENTS; do ((c > max_clients)) && max_clients=$c; done
python3 "$bench" users "$site/documentation/config/default/users" "$max_clients" QmsBench1

stamp="$(python3 -c 'import datetime; n = datetime.datetime.now(); print("%s.%d" % (n.strftime("%Y%m%d%H%M%S"), n.microsecond // 1000))')"
(cd "$site" && exec ./binaries/qms32srv "$stamp") >"$tmp/qms.out" 2>&1 </dev/null &
qms_pid=$!
wait_for "$tmp/qms.out" "POP3 service default/POP3 running" 60 "$qms_pid"
wait_for "$tmp/qms.out" "SMTP service default/SMTP running" 10 "$qms_pid"
echo "Quillmar/32 runs (PID $qms_pid): SMTP 127.0.0.1:$smtp_port, POP3 127.0.0.1:$pop3_port"

# --- (a) SMTP ---------------------------------------------------------------------------
timeout 900 python3 "$bench" smtp "$smtp_port" "$site/sites/default/home" "$SMTP_MESSAGES" \
  "$CLIENTS" "$SIZE" "$PER_SESSION" "$DELIVERY_WAIT" || echo "(SMTP part had errors)"

if [[ "${SKIP_POP3:-0}" != 1 ]]; then
# --- (b) POP3, side by side with Dovecot ------------------------------------------------
dc="$tmp/dovecot"
mkdir -p "$dc/run" "$dc/state" "$dc/home/user"
chmod 0755 "$tmp"
python3 "$bench" fill "$site/sites/default/home/user/.mailbox/Inbox" "$dc/home/user/Maildir" \
  "$POP3_MESSAGES" "$SIZE"
chown -R nobody:nogroup "$dc/home"
cat > "$dc/dovecot.conf" <<EOF
base_dir = $dc/run
state_dir = $dc/state
instance_name = qms-mailbench
log_path = $dc/dovecot.log
protocols = pop3
listen = 127.0.0.1
ssl = no
disable_plaintext_auth = no
auth_mechanisms = plain
mail_location = maildir:~/Maildir
first_valid_uid = 1
passdb {
  driver = static
  args = password=QmsUser1
}
userdb {
  driver = static
  args = uid=nobody gid=nogroup home=$dc/home/%u
}
service pop3-login {
  inet_listener pop3 {
    address = 127.0.0.1
    port = $dovecot_port
  }
  inet_listener pop3s {
    port = 0
  }
}
service imap-login {
  inet_listener imap {
    port = 0
  }
  inet_listener imaps {
    port = 0
  }
}
EOF
/usr/sbin/dovecot -F -c "$dc/dovecot.conf" >"$tmp/dovecot.out" 2>&1 </dev/null &
dovecot_pid=$!
for _ in $(seq 1 100); do
  python3 -c "import socket,sys; socket.create_connection(('127.0.0.1', $dovecot_port), 1).close()" \
    2>/dev/null && break
  kill -0 "$dovecot_pid" 2>/dev/null || { cat "$tmp/dovecot.out" "$dc/dovecot.log" >&2 2>/dev/null; exit 1; }
  sleep 0.1
done
echo "Dovecot $(/usr/sbin/dovecot --version | cut -d' ' -f1) runs (PID $dovecot_pid): POP3 127.0.0.1:$dovecot_port"

timeout 600 python3 "$bench" pop3 Quillmar "$pop3_port" user QmsUser1 "$ROUNDS" "$tmp/qms.time"
timeout 600 python3 "$bench" pop3 Dovecot "$dovecot_port" user QmsUser1 "$ROUNDS" "$tmp/dovecot.time"
python3 - "$tmp/qms.time" "$tmp/dovecot.time" <<'EOF'
import sys
q, d = (float(open(p).read()) for p in sys.argv[1:3])
print("POP3 ratio: Quillmar/32 time / Dovecot time = %.2f (at most 1.00: at least Dovecot's speed)"
      % (q / d))
EOF

# --- (c) system calls per RETR, one untimed session under strace -c ---------------------
syscalls_per_retr() {  # NAME PORT PID...
  local name="$1" port="$2" out="$tmp/strace-$1.txt" spid p t
  shift 2
  local args=()
  for p in "$@"; do
    for t in /proc/"$p"/task/*; do args+=(-p "${t##*/}"); done
  done
  strace -f -c -o "$out" "${args[@]}" 2>"$tmp/strace-$name.err" &
  spid=$!
  sleep 1  # attached to every thread before the session starts
  timeout 600 python3 "$bench" pop3 "$name" "$port" user QmsUser1 1 >/dev/null
  kill -INT "$spid"
  wait "$spid" 2>/dev/null || true
  python3 "$bench" syscalls "$out" "$name" "$POP3_MESSAGES"
}
syscalls_per_retr Quillmar "$pop3_port" "$qms_pid"
# Dovecot: its master and every process it runs (login and POP3 processes start per session).
# shellcheck disable=SC2046
syscalls_per_retr Dovecot "$dovecot_port" "$dovecot_pid" $(pgrep -P "$dovecot_pid" || true)
fi

# --- (d) SMTP side by side with Postfix -------------------------------------------------
if ! command -v postfix >/dev/null 2>&1; then
  echo "Installing postfix (its system service is not started) ..."
  policy_made=0
  if [[ ! -e /usr/sbin/policy-rc.d ]]; then
    printf '#!/bin/sh\nexit 101\n' > /usr/sbin/policy-rc.d
    chmod 0755 /usr/sbin/policy-rc.d
    policy_made=1
  fi
  echo "postfix postfix/main_mailer_type select No configuration" | debconf-set-selections
  DEBIAN_FRONTEND=noninteractive timeout 600 apt-get install -y -q --no-install-recommends postfix \
    >"$tmp/apt.log" 2>&1 || { tail -20 "$tmp/apt.log" >&2; [[ $policy_made == 1 ]] && rm -f /usr/sbin/policy-rc.d; exit 1; }
  [[ $policy_made == 1 ]] && rm -f /usr/sbin/policy-rc.d
fi
if command -v systemctl >/dev/null 2>&1 && [[ -d /run/systemd/system ]]; then
  systemctl disable --now postfix.service >/dev/null 2>&1 || true
fi
read -r postfix_port < <(python3 "$bench" ports 1)
pf="$tmp/postfix"
mkdir -p "$pf/vmail" "$pf/queue" "$pf/data"
chmod 0755 "$tmp" "$pf"
chown nobody:nogroup "$pf/vmail"
chown postfix "$pf/data"
for i in $(seq 1 "$max_clients"); do printf 'bench%02d@localhost bench%02d/\n' "$i" "$i"; done > "$pf/vmailbox"
cat > "$pf/main.cf" <<EOF
compatibility_level = 3.6
queue_directory = $pf/queue
data_directory = $pf/data
maillog_file_prefixes = $pf
maillog_file = $pf/maillog
inet_interfaces = 127.0.0.1
inet_protocols = ipv4
myhostname = bench.localhost
mydestination =
mynetworks = 127.0.0.0/8
alias_maps =
alias_database =
local_recipient_maps =
virtual_mailbox_domains = localhost
virtual_mailbox_base = $pf/vmail
virtual_mailbox_maps = texthash:$pf/vmailbox
virtual_uid_maps = static:$(id -u nobody)
virtual_gid_maps = static:$(getent group nogroup | cut -d: -f3)
virtual_destination_concurrency_limit = 64
smtpd_recipient_restrictions = permit_mynetworks, reject_unauth_destination
smtputf8_enable = no
biff = no
EOF
cp /etc/postfix/master.cf "$pf/master.cf"
postconf -c "$pf" -M# smtp/inet submission/inet smtps/inet >/dev/null 2>&1 || true
postconf -c "$pf" -Me "127.0.0.1:$postfix_port/inet = 127.0.0.1:$postfix_port inet n - n - - smtpd"
postconf -c "$pf" -Me "postlog/unix-dgram = postlog unix-dgram n - n - 1 postlogd"
postconf -c "$pf" -F '*/*/chroot = n'
postfix -c "$pf" check >"$tmp/postfix.out" 2>&1 || { cat "$tmp/postfix.out" "$pf/maillog" >&2; exit 1; }
postfix -c "$pf" start >>"$tmp/postfix.out" 2>&1 || { cat "$tmp/postfix.out" "$pf/maillog" >&2 2>/dev/null; exit 1; }
postfix_dir="$pf"
for _ in $(seq 1 100); do
  python3 -c "import socket; socket.create_connection(('127.0.0.1', $postfix_port), 1).close()" \
    2>/dev/null && break
  sleep 0.1
done
echo "Postfix $(postconf -d -h mail_version) runs: SMTP 127.0.0.1:$postfix_port (virtual maildirs)"

# Each round runs both servers, in turns first: the file system carries the deletions of the
# run before it (on ext4 without a journal, inode allocation skips inodes freed minutes ago),
# and a "sync" before every run writes out what the run before left dirty.
run_peer() {  # NAME PORT HOME LAYOUT CLIENTS ROUND
  sync
  timeout 900 python3 "$bench" smtp "$2" "$3" "$PEER_MESSAGES" "$5" "$SIZE" "$PER_SESSION" \
    "$DELIVERY_WAIT" "$4" "$tmp/${1//\//_}-$5-$6.smtp" | sed "s|^|$1 |"
}
for c in $PEER_CLIENTS; do
  echo "--- $c clients, $PEER_MESSAGES messages of $SIZE bytes, $PEER_ROUNDS rounds"
  for r in $(seq 1 "$PEER_ROUNDS"); do
    if ((r % 2)); then
      run_peer Quillmar/32 "$smtp_port" "$site/sites/default/home" qms "$c" "$r"
      run_peer Postfix "$postfix_port" "$pf/vmail" maildir "$c" "$r"
    else
      run_peer Postfix "$postfix_port" "$pf/vmail" maildir "$c" "$r"
      run_peer Quillmar/32 "$smtp_port" "$site/sites/default/home" qms "$c" "$r"
    fi
  done
  python3 - "$c" "$tmp" "$PEER_ROUNDS" <<'EOF'
import statistics, sys
c, tmp, rounds = sys.argv[1], sys.argv[2], int(sys.argv[3])
def figures(name):
    runs = [[float(x) for x in open("%s/%s-%s-%d.smtp" % (tmp, name, c, r)).read().split()]
            for r in range(1, rounds + 1)]
    times = [d for _, d in runs]
    return (statistics.median(a for a, _ in runs),
            statistics.median(times) if min(times) > 0 else -1)
(qa, qd), (pa, pd) = figures("Quillmar_32"), figures("Postfix")
print("SMTP, %s clients, median of %d rounds: accepted/s Quillmar/32 %.0f, Postfix %.0f"
      % (c, rounds, qa, pa))
print("SMTP ratio, %s clients: accepted/s Quillmar/32 / Postfix = %.2f (at least 1.00: at "
      "least Postfix's rate)" % (c, qa / pa))
if qd > 0 and pd > 0:
    print("SMTP ratio, %s clients: time until all delivered Postfix / Quillmar/32 = %.2f "
          "(at least 1.00: at least Postfix's speed)" % (c, pd / qd))
else:
    print("SMTP ratio, %s clients: not every message was delivered in time" % c)
EOF
done
