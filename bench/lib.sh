# Helpers the benchmark scripts share. Sourced, not run.

stop_pid() {  # PID: TERM, then KILL after 10 s
  local pid="$1"
  [[ -n "$pid" ]] && kill -0 "$pid" 2>/dev/null || return 0
  kill -TERM "$pid"
  for _ in $(seq 1 100); do kill -0 "$pid" 2>/dev/null || return 0; sleep 0.1; done
  kill -KILL "$pid" 2>/dev/null || true
}

wait_for() {  # FILE TEXT SECONDS PID: until a line with TEXT is in FILE
  local i
  for ((i = 0; i < $3 * 10; i++)); do
    grep -q -- "$2" "$1" 2>/dev/null && return 0
    kill -0 "$4" 2>/dev/null || { echo "process ended before \"$2\":" >&2; tail -20 "$1" >&2; return 1; }
    sleep 0.1
  done
  echo "timed out waiting for \"$2\" in $1" >&2; tail -20 "$1" >&2; return 1
}

wait_port() {  # PORT PID: until 127.0.0.1:PORT takes connections (30 s at most)
  for _ in $(seq 1 300); do
    python3 -c "import socket; socket.create_connection(('127.0.0.1', $1), 1).close()" \
      2>/dev/null && return 0
    kill -0 "$2" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}

stop_server() {  # SITE PID: the orderly ".shutdown.instant" first, then stop_pid
  local site="$1" pid="$2"
  [[ -n "$pid" ]] && kill -0 "$pid" 2>/dev/null || return 0
  touch "$site/.shutdown.instant"          # polled by the server every 5 seconds
  for _ in $(seq 1 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.2; done
  stop_pid "$pid"
}
