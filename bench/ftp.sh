#!/usr/bin/env bash
# FTP benchmark (not a test; loopback only): Quillmar/32 side by side with vsftpd.
#   - RETR and STOR of a 512 MiB file with curl (MB/s, median of ROUNDS);
#   - 200 sequential ftplib sessions, each a login and a RETR of a 4 KiB file;
#   - 20 parallel curl clients, each fetching a 64 MiB file (MB/s in total);
#   - FTPS: RETR of the 512 MiB file with curl --ssl-reqd (AUTH TLS, PROT P), both servers
#     with the same self-signed certificate.
# Both servers log every transfer (the FTP service log; vsftpd's xferlog). vsftpd is
# installed here when missing, without starting its system service; it runs from a
# temporary configuration on a loopback high port and is stopped by PID. Run as root.
# Environment: QMS_NO_BUILD=1 skips the release build; ROUNDS (3).
# Usage: bench/ftp.sh
set -euo pipefail
src="$(cd "$(dirname "$0")/.." && pwd)"
source "$src/bench/lib.sh"
bench="$src/bench/ftpbench.py"
ROUNDS="${ROUNDS:-3}"

tmp="$(mktemp -d /tmp/qms-ftpbench.XXXXXX)"
site="$tmp/site"
qms_pid=""
vsftpd_pid=""

cleanup() {
  set +e
  [[ -n "$qms_pid" ]] && stop_pid "$qms_pid"
  [[ -n "$vsftpd_pid" ]] && stop_pid "$vsftpd_pid"
  wait 2>/dev/null
  rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# --- vsftpd, installed without starting (or leaving) its system service ------------------
if [[ ! -x /usr/sbin/vsftpd ]]; then
  echo "Installing vsftpd (its system service is not started) ..."
  policy_made=0
  if [[ ! -e /usr/sbin/policy-rc.d ]]; then
    printf '#!/bin/sh\nexit 101\n' > /usr/sbin/policy-rc.d
    chmod 0755 /usr/sbin/policy-rc.d
    policy_made=1
  fi
  DEBIAN_FRONTEND=noninteractive timeout 600 apt-get install -y -q vsftpd >"$tmp/apt.log" 2>&1 \
    || { tail -20 "$tmp/apt.log" >&2; [[ $policy_made == 1 ]] && rm -f /usr/sbin/policy-rc.d; exit 1; }
  [[ $policy_made == 1 ]] && rm -f /usr/sbin/policy-rc.d
fi
if command -v systemctl >/dev/null 2>&1 && [[ -d /run/systemd/system ]]; then
  systemctl disable --now vsftpd.service >/dev/null 2>&1 || true
fi
mkdir -p /var/run/vsftpd/empty

# --- The files ------------------------------------------------------------------------------
data="$tmp/data"
mkdir -p "$data"
head -c 512M /dev/urandom > "$data/big.bin"
head -c 64M /dev/urandom > "$data/mid.bin"
head -c 4096 /dev/urandom > "$data/small.bin"
# One certificate for both servers' TLS.
openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=localhost -days 2 \
  -keyout "$data/tls.key" -out "$data/tls.crt" >/dev/null 2>&1

# --- Quillmar/32 ------------------------------------------------------------------------------
if [[ "${QMS_NO_BUILD:-0}" != 1 ]]; then
  "$src/scripts/build.sh" release >"$tmp/build.log" 2>&1 || { tail -30 "$tmp/build.log" >&2; exit 1; }
fi
QMS_NO_BUILD=1 "$src/scripts/stage-site.sh" "$site" >/dev/null
read -r admin_port qms_port vs_port pasv_base < <(python3 "$bench" ports 4)
main_cfg="$site/documentation/config/qms.cfg"
group_cfg="$site/documentation/config/default/default.cfg"
setkey() { python3 -c "
import sys; sys.path.insert(0, '$src/tests/e2e'); import qmstest
qmstest.edit_config(sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4])" "$@"; }
setkey "$main_cfg" GLOBAL DisableConsoleStart 1
setkey "$main_cfg" ADMIN Address 127.0.0.1
setkey "$main_cfg" ADMIN Port "$admin_port"
setkey "$group_cfg" GLOBAL ServiceSections FTP
setkey "$group_cfg" FTP Address 127.0.0.1
setkey "$group_cfg" FTP Port "$qms_port"
setkey "$group_cfg" FTP ClientPool 24
setkey "$group_cfg" FTP TLSMode STARTTLS
setkey "$group_cfg" FTP TLSCertificate "$data/tls.crt"
setkey "$group_cfg" FTP TLSKey "$data/tls.key"
home="$site/sites/default/ftp/users/user"
cp "$data"/*.bin "$home/"

stamp="$(python3 -c 'import datetime; n = datetime.datetime.now(); print("%s.%d" % (n.strftime("%Y%m%d%H%M%S"), n.microsecond // 1000))')"
(cd "$site" && exec ./binaries/qms32srv "$stamp") >"$tmp/qms.out" 2>&1 </dev/null &
qms_pid=$!
wait_port "$qms_port" "$qms_pid" || { cat "$tmp/qms.out" >&2; exit 1; }
echo "Quillmar/32 runs (PID $qms_pid): FTP 127.0.0.1:$qms_port"

# --- vsftpd -----------------------------------------------------------------------------------
vs="$tmp/vsftpd"
mkdir -p "$vs/root/up"
cp "$data"/*.bin "$vs/root/"
chmod 0755 "$tmp" "$vs" "$vs/root"
chmod 0644 "$vs/root"/*.bin
chown ftp "$vs/root/up"
cat > "$vs/vsftpd.conf" <<VSCONF
listen=YES
listen_ipv6=NO
listen_address=127.0.0.1
listen_port=$vs_port
background=NO
anonymous_enable=YES
no_anon_password=YES
anon_root=$vs/root
write_enable=YES
anon_upload_enable=YES
anon_other_write_enable=YES
local_enable=NO
pasv_enable=YES
pasv_min_port=$pasv_base
pasv_max_port=$((pasv_base + 200))
xferlog_enable=YES
vsftpd_log_file=$vs/vsftpd.log
max_clients=100
max_per_ip=100
seccomp_sandbox=NO
use_localtime=YES
ssl_enable=YES
allow_anon_ssl=YES
force_anon_logins_ssl=NO
force_anon_data_ssl=NO
ssl_ciphers=HIGH
rsa_cert_file=$data/tls.crt
rsa_private_key_file=$data/tls.key
VSCONF
/usr/sbin/vsftpd "$vs/vsftpd.conf" >"$tmp/vsftpd.out" 2>&1 </dev/null &
vsftpd_pid=$!
wait_port "$vs_port" "$vsftpd_pid" || { cat "$tmp/vsftpd.out" >&2; exit 1; }
echo "vsftpd runs (PID $vsftpd_pid): FTP 127.0.0.1:$vs_port"

# --- Runs -------------------------------------------------------------------------------------
# vsftpd's anonymous uploads go to up/, Quillmar's to the home area: the same work.
python3 "$bench" run "$qms_port" user QmsUser1 "" "$data/big.bin" 512 "$ROUNDS" > "$tmp/qms.json"
python3 "$bench" run "$vs_port" anonymous x "up/" "$data/big.bin" 512 "$ROUNDS" > "$tmp/vs.json"
python3 "$bench" tls "$qms_port" user QmsUser1 512 "$ROUNDS" >> "$tmp/qms.json"
python3 "$bench" tls "$vs_port" anonymous x 512 "$ROUNDS" >> "$tmp/vs.json"
python3 "$bench" report Quillmar/32 vsftpd "$tmp/qms.json" "$tmp/vs.json"
