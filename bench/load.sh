#!/usr/bin/env bash
# Load and soak runs on loopback (not a test; every step bounded in count and time). Stages a
# site in a temporary directory (SMTP, POP3, IMAP4, FTP and HTTP on 127.0.0.1 high ports, the
# shipped settings otherwise, accounts bench01..bench20), starts the server and drives it with
# bench/loadbench.py:
#   idle   IDLE connections (1000) per protocol opened at once and held, a fresh client served
#          meanwhile, then released: the server's threads and descriptors before, while held
#          and after must come back;
#   flood  FLOOD_CLIENTS (200) parallel SMTP clients send FLOOD_MESSAGES (10000) messages;
#          each must arrive in its mailbox exactly once;
#   soak   SOAK_SECONDS (600) of mixed traffic of every protocol; RSS, threads and descriptors
#          at the start, every tenth and the end; memory must stay flat;
#   burst  BURST (2000) HTTP connections opened at once against the shipped listen backlog;
#          every one must be served.
# Environment: QMS_BUILD_DIR (build/release), QMS_NO_BUILD=1 skips the build.
# Usage: bench/load.sh [idle|flood|soak|burst|all]...   (default: all)
set -euo pipefail
src="$(cd "$(dirname "$0")/.." && pwd)"
source "$src/bench/lib.sh"
bench="$src/bench/mailbench.py"
load="$src/bench/loadbench.py"
build="${QMS_BUILD_DIR:-$src/build/release}"
IDLE="${IDLE:-1000}"
FLOOD_CLIENTS="${FLOOD_CLIENTS:-200}"
FLOOD_MESSAGES="${FLOOD_MESSAGES:-10000}"
SOAK_SECONDS="${SOAK_SECONDS:-600}"
BURST="${BURST:-2000}"
USERS=20
runs=("$@")
[[ ${#runs[@]} -eq 0 || "${runs[0]}" == all ]] && runs=(idle flood soak burst)

tmp="$(mktemp -d /tmp/qms-load.XXXXXX)"
site="$tmp/site"
qms_pid=""
cleanup() {
  set +e
  stop_server "$site" "$qms_pid"
  wait 2>/dev/null
  rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

if [[ "${QMS_NO_BUILD:-0}" != 1 ]]; then
  cmake --build "$build" --target qms32srv >"$tmp/build.log" 2>&1 || { tail -30 "$tmp/build.log" >&2; exit 1; }
fi
QMS_BUILD_DIR="$build" QMS_NO_BUILD=1 "$src/scripts/stage-site.sh" "$site" >/dev/null
read -r admin_port smtp_port pop3_port imap_port ftp_port http_port < <(python3 "$bench" ports 6)
main_cfg="$site/documentation/config/qms.cfg"
group_cfg="$site/documentation/config/default/default.cfg"
python3 "$bench" setkey "$main_cfg" GLOBAL DisableConsoleStart 1
python3 "$bench" setkey "$main_cfg" ADMIN Address 127.0.0.1
python3 "$bench" setkey "$main_cfg" ADMIN Port "$admin_port"
for s in SMTP:$smtp_port POP3:$pop3_port IMAP4:$imap_port FTP:$ftp_port HTTP:$http_port; do
  python3 "$bench" setkey "$group_cfg" "${s%%:*}" Address 127.0.0.1
  python3 "$bench" setkey "$group_cfg" "${s%%:*}" Port "${s##*:}"
done
python3 "$bench" users "$site/documentation/config/default/users" "$USERS" QmsBench1
ports="$smtp_port,$pop3_port,$imap_port,$ftp_port,$http_port"
home="$site/sites/default/home"

stamp="$(python3 -c 'import datetime; n = datetime.datetime.now(); print("%s.%d" % (n.strftime("%Y%m%d%H%M%S"), n.microsecond // 1000))')"
(cd "$site" && exec ./binaries/qms32srv "$stamp") >"$tmp/qms.out" 2>&1 </dev/null &
qms_pid=$!
for s in SMTP POP3 IMAP4 FTP HTTP; do wait_for "$tmp/qms.out" "$s service default/$s running" 60 "$qms_pid"; done
echo "Quillmar/32 runs (PID $qms_pid): SMTP $smtp_port, POP3 $pop3_port, IMAP4 $imap_port, FTP $ftp_port, HTTP $http_port"
echo "Descriptor limit of the server: $(grep 'Max open files' /proc/$qms_pid/limits | awk '{print $4 " (soft), " $5 " (hard)"}');" \
  "listen backlog cap (somaxconn): $(cat /proc/sys/net/core/somaxconn)"

status=0
for run in "${runs[@]}"; do
  echo "=== $run"
  case "$run" in
    idle)  timeout 1200 python3 "$load" idle "$qms_pid" "$ports" "$IDLE" || status=1 ;;
    flood) timeout 1800 python3 "$load" flood "$qms_pid" "$smtp_port" "$home" "$FLOOD_CLIENTS" \
             "$FLOOD_MESSAGES" "$USERS" || status=1 ;;
    soak)  timeout $((SOAK_SECONDS + 600)) python3 "$load" soak "$qms_pid" "$ports" "$home" \
             "$SOAK_SECONDS" "$USERS" || status=1 ;;
    burst) timeout 600 python3 "$load" burst "$qms_pid" "$http_port" "$BURST" || status=1 ;;
    *) echo "unknown run: $run" >&2; exit 2 ;;
  esac
  kill -0 "$qms_pid" 2>/dev/null || { echo "the server ended:" >&2; tail -30 "$tmp/qms.out" >&2; exit 1; }
done
grep -E "TRAP|trap|Unable to create|no session thread" "$tmp/qms.out" | head -5 || true
exit $status
