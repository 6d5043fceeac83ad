#!/usr/bin/env bash
# HTTP benchmark (not a test; loopback only, every step bounded): Quillmar/32 side by side
# with nginx, both measured with wrk on the same files.
#   1 KiB and 1 MiB files with keep-alive (wrk -t2 -c50 -d10s), and 1 KiB without keep-alive
#   (every request on a new connection). Prints requests/s and MB/s of both servers and the
#   ratios Quillmar/32 : nginx, for nginx with 1 worker and with "auto" workers.
#   HTTPS: the 1 KiB file with keep-alive over TLS, both servers with the same self-signed
#   certificate (Quillmar/32 from a second HTTP service with TLSMode=Implicit).
# nginx and wrk come from Debian (installed here if missing, the nginx system service neither
# started nor enabled). nginx runs in the foreground from a temporary configuration on a
# loopback high port, writes its default access log (Quillmar/32 logs every request too),
# and is stopped by PID. Quillmar/32 runs from a staged site in a temporary directory and is
# stopped with ".shutdown.instant".
# Environment: QMS_NO_BUILD=1 skips the release build; DURATION (10s), THREADS (2),
# CONNECTIONS (50).
# Usage: bench/http.sh
set -euo pipefail
src="$(cd "$(dirname "$0")/.." && pwd)"
source "$src/bench/lib.sh"
helper="$src/bench/mailbench.py"
DURATION="${DURATION:-10s}"
THREADS="${THREADS:-2}"
CONNECTIONS="${CONNECTIONS:-50}"

tmp="$(mktemp -d /tmp/qms-httpbench.XXXXXX)"
site="$tmp/site"
qms_pid=""
nginx_pid=""

cleanup() {
  set +e
  stop_server "$site" "$qms_pid"
  stop_pid "$nginx_pid"
  wait 2>/dev/null
  rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# --- nginx and wrk from Debian, the nginx system service never started -------------------
missing=()
command -v wrk >/dev/null 2>&1 || missing+=(wrk)
[[ -x /usr/sbin/nginx ]] || missing+=(nginx-light)
if ((${#missing[@]})); then
  echo "Installing ${missing[*]} (the nginx system service is not started) ..."
  policy_made=0
  if [[ ! -e /usr/sbin/policy-rc.d ]]; then
    printf '#!/bin/sh\nexit 101\n' > /usr/sbin/policy-rc.d
    chmod 0755 /usr/sbin/policy-rc.d
    policy_made=1
  fi
  DEBIAN_FRONTEND=noninteractive timeout 600 apt-get install -y -q --no-install-recommends \
    "${missing[@]}" >"$tmp/apt.log" 2>&1 \
    || { tail -20 "$tmp/apt.log" >&2; [[ $policy_made == 1 ]] && rm -f /usr/sbin/policy-rc.d; exit 1; }
  [[ $policy_made == 1 ]] && rm -f /usr/sbin/policy-rc.d
  if command -v systemctl >/dev/null 2>&1 && [[ -d /run/systemd/system ]]; then
    systemctl disable --now nginx.service >/dev/null 2>&1 || true
  else
    command -v update-rc.d >/dev/null 2>&1 && update-rc.d nginx disable >/dev/null 2>&1 || true
  fi
fi

# --- Quillmar/32 site with the shipped HTTP settings --------------------------------------
if [[ "${QMS_NO_BUILD:-0}" != 1 ]]; then
  "$src/scripts/build.sh" release >"$tmp/build.log" 2>&1 || { tail -30 "$tmp/build.log" >&2; exit 1; }
fi
QMS_NO_BUILD=1 "$src/scripts/stage-site.sh" "$site" >/dev/null
read -r admin_port smtp_port pop3_port imap_port http_port nginx_port https_port nginx_tls_port \
  < <(python3 "$helper" ports 8)
main_cfg="$site/documentation/config/qms.cfg"
group_cfg="$site/documentation/config/default/default.cfg"
python3 "$helper" setkey "$main_cfg" GLOBAL DisableConsoleStart 1
python3 "$helper" setkey "$main_cfg" ADMIN Address 127.0.0.1
python3 "$helper" setkey "$main_cfg" ADMIN Port "$admin_port"
for s in SMTP:$smtp_port POP3:$pop3_port IMAP4:$imap_port HTTP:$http_port; do
  python3 "$helper" setkey "$group_cfg" "${s%%:*}" Address 127.0.0.1
  python3 "$helper" setkey "$group_cfg" "${s%%:*}" Port "${s##*:}"
done
www="$site/sites/default/www"
# HTTPS: a second HTTP service with implicit TLS, the same certificate as nginx's.
openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=localhost -days 2 \
  -keyout "$tmp/tls.key" -out "$tmp/tls.crt" >/dev/null 2>&1
python3 "$helper" setkey "$group_cfg" GLOBAL ServiceSections "SMTP POP3 IMAP4 FTP HTTP HTTPS"
for kv in Protocol=httpd Address=127.0.0.1 Port=$https_port Host=localhost ClientAddress=* \
  Timeout=60 RootDirectory=/www ListenBacklog=511 ClientPool=16 DisableReverse=1 \
  TLSMode=Implicit TLSCertificate=$tmp/tls.crt TLSKey=$tmp/tls.key; do
  python3 "$helper" setkey "$group_cfg" HTTPS "${kv%%=*}" "${kv#*=}"
done
head -c 1024 /dev/urandom >"$www/1k.bin"
head -c 1048576 /dev/urandom >"$www/1m.bin"

stamp="$(python3 -c 'import datetime; n = datetime.datetime.now(); print("%s.%d" % (n.strftime("%Y%m%d%H%M%S"), n.microsecond // 1000))')"
(cd "$site" && exec ./binaries/qms32srv "$stamp") >"$tmp/qms.out" 2>&1 </dev/null &
qms_pid=$!
wait_for "$tmp/qms.out" "HTTP service default/HTTP running" 60 "$qms_pid"
echo "Quillmar/32 runs (PID $qms_pid): HTTP 127.0.0.1:$http_port"

# --- nginx from its own configuration ------------------------------------------------------
ng="$tmp/nginx"
mkdir -p "$ng/logs" "$ng/body"
chmod 0755 "$tmp" "$site" "$site/sites" "$site/sites/default" "$www"
start_nginx() {  # WORKERS
  stop_pid "$nginx_pid"
  nginx_pid=""
  cat > "$ng/nginx.conf" <<EOF
worker_processes $1;
daemon off;
pid $ng/nginx.pid;
error_log $ng/logs/error.log;
events { worker_connections 1024; }
http {
  include /etc/nginx/mime.types;
  default_type application/octet-stream;
  sendfile on;
  tcp_nopush on;
  keepalive_timeout 65;
  client_body_temp_path $ng/body;
  access_log $ng/logs/access.log;
  server {
    listen 127.0.0.1:$nginx_port backlog=511;
    root $www;
  }
  server {
    listen 127.0.0.1:$nginx_tls_port ssl backlog=511;
    ssl_certificate $tmp/tls.crt;
    ssl_certificate_key $tmp/tls.key;
    root $www;
  }
}
EOF
  /usr/sbin/nginx -c "$ng/nginx.conf" -p "$ng" >"$ng/out.log" 2>&1 </dev/null &
  nginx_pid=$!
  wait_port "$nginx_port" "$nginx_pid" || { cat "$ng/out.log" "$ng/logs/error.log" >&2; exit 1; }
}

# --- measurements -------------------------------------------------------------------------
results="$tmp/results.txt"
: >"$results"
measure() {  # SERVER CASE PORT FILE [wrk options...]
  local server="$1" case="$2" port="$3" file="$4" out
  shift 4
  out="$(timeout 120 wrk -t"$THREADS" -c"$CONNECTIONS" -d"$DURATION" "$@" \
    "${scheme:-http}://127.0.0.1:$port/$file" 2>&1)" || { echo "$out" >&2; return 1; }
  printf '%s\n' "$out" >"$tmp/wrk.out"
  python3 - "$server" "$case" "$results" "$tmp/wrk.out" <<'EOF'
import re, sys
server, case, path = sys.argv[1:4]
text = open(sys.argv[4]).read()
rps = float(re.search(r"Requests/sec:\s+([\d.]+)", text).group(1))
m = re.search(r"Transfer/sec:\s+([\d.]+)([KMG]?B)", text)
mb = float(m.group(1)) * {"B": 1e-6, "KB": 1024 / 1e6, "MB": 1024 ** 2 / 1e6,
                          "GB": 1024 ** 3 / 1e6}[m.group(2)]
errors = re.search(r"Non-2xx or 3xx responses: (\d+)|Socket errors: (.*)", text)
note = (" (" + errors.group(0) + ")") if errors else ""
with open(path, "a") as f:
    f.write("%s\t%s\t%.0f\t%.1f\t%s\n" % (server, case, rps, mb, note))
EOF
}
cases() {  # SERVER PORT TLS-PORT
  measure "$1" "1 KiB keep-alive" "$2" 1k.bin
  measure "$1" "1 MiB keep-alive" "$2" 1m.bin
  measure "$1" "1 KiB new connection" "$2" 1k.bin -H "Connection: close"
  scheme=https measure "$1" "HTTPS 1 KiB keep-alive" "$3" 1k.bin
}

echo "wrk -t$THREADS -c$CONNECTIONS -d$DURATION on 127.0.0.1 ..."
cases "Quillmar/32" "$http_port" "$https_port"
start_nginx 1
cases "nginx (1 worker)" "$nginx_port" "$nginx_tls_port"
start_nginx auto
cases "nginx (auto: $(nproc) workers)" "$nginx_port" "$nginx_tls_port"
stop_pid "$nginx_pid"
nginx_pid=""

python3 - "$results" <<'EOF'
import sys
rows = [l.rstrip("\n").split("\t") for l in open(sys.argv[1]) if l.strip()]
data = {(r[0], r[1]): (float(r[2]), float(r[3]), r[4]) for r in rows}
servers = list(dict.fromkeys(r[0] for r in rows))
cases = list(dict.fromkeys(r[1] for r in rows))
print()
print("%-32s %-22s %12s %10s" % ("server", "case", "requests/s", "MB/s"))
for s in servers:
    for c in cases:
        if (s, c) in data:
            rps, mb, note = data[(s, c)]
            print("%-32s %-22s %12.0f %10.1f%s" % (s, c, rps, mb, note))
print()
q = servers[0]
for other in servers[1:]:
    print("Quillmar/32 : %s" % other)
    for c in cases:
        if (q, c) in data and (other, c) in data:
            print("  %-22s requests/s %5.2fx   MB/s %5.2fx" % (
                c, data[(q, c)][0] / data[(other, c)][0], data[(q, c)][1] / data[(other, c)][1]))
EOF
