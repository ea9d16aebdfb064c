#!/usr/bin/env bash
# Builds what is missing, starts the lookup server with its sample directory
# on 127.0.0.1 and opens the client once that server answers a lookup; the
# server stops when the client ends. When port 1007 is taken or the server
# cannot start, it says so (naming what holds the port where it can) and
# exits non-zero without opening the client.
#
# VELMARIO_BUILD_DIR (default build) is the build tree to use; VELMARIO_CLIENT
# and VELMARIO_SERVER name other programs to open and start instead.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${VELMARIO_BUILD_DIR:-build}
scripts/deps.sh
scripts/build.sh "$build"

port=1007
address=127.0.0.1
number=20230001 # in the sample directory: the server answers it
server_program=${VELMARIO_SERVER:-$build/server/velmario-server}
client=${VELMARIO_CLIENT:-$build/app/velmario}
say() { echo "run.sh: $*" >&2; }

for program in "$server_program" "$client"; do
  [ -x "$program" ] || { say "$program is missing or not executable: the build did not make it"; exit 1; }
done

# Listening sockets that take connections to $address:$port: on that
# address or on every address.
listeners() {
  ss -Hltnp "sport = :$port" 2>/dev/null |
    awk -v a="$address:$port" -v p=":$port" '$4 == a || $4 == "0.0.0.0" p || $4 == "*" p || $4 == "[::]" p || $4 == "[::ffff:" substr(a, 1, length(a) - length(p)) "]" p'
}
listening() {
  [ -n "$(listeners)" ]
}
# What holds it, as "program (pid N)", where ss can tell.
holder() {
  listeners | sed -n 's/.*users:(("\([^"]*\)",pid=\([0-9]*\).*/\1 (pid \2)/p' | head -n 1
}
if listening; then
  who=$(holder)
  say "port $port is already in use${who:+ by $who}: the client would talk to that program, not to this"
  say "server. Stop it (or choose it on purpose: build/app/velmario opens the client alone)."
  exit 1
fi

if [ "$(id -u)" -ne 0 ] && [ -z "${VELMARIO_SERVER:-}" ]; then
  # Port 1007 is privileged: let the server bind it without running as root.
  if ! getcap "$server_program" 2>/dev/null | grep -q cap_net_bind_service; then
    if ! command -v sudo >/dev/null; then
      say "velmario-server needs the right to bind port $port, and sudo is not installed:"
      say "as root, run: setcap cap_net_bind_service=+ep $PWD/$server_program"
      exit 1
    fi
    echo "Allowing velmario-server to bind port $port (sudo setcap cap_net_bind_service)"
    sudo setcap cap_net_bind_service=+ep "$server_program"
  fi
fi

log=$(mktemp /tmp/velmario-run.XXXXXX)
"$server_program" --listen "$address" --port "$port" >"$log" 2>&1 &
server_pid=$!
trap 'kill "$server_pid" 2>/dev/null; wait "$server_pid" 2>/dev/null; rm -f "$log"' EXIT

# One lookup, as the client makes it: the number, then the reply that comes
# back within a second. Succeeds when the reply holds a "*".
answers() {
  local reply=
  { exec 3<>"/dev/tcp/$address/$port"; } 2>/dev/null || return 1
  printf '%s' "$number" >&3
  IFS= read -r -t 1 -d '' reply <&3 || true
  exec 3<&- 3>&-
  [[ $reply == *'*'* ]]
}

deadline=$((SECONDS + 30))
until answers; do
  if ! kill -0 "$server_pid" 2>/dev/null; then
    wait "$server_pid" && status=0 || status=$?
    say "velmario-server could not start (exit status $status):"
    sed 's/^/  /' "$log" >&2
    who=$(holder)
    [ -z "$who" ] || say "port $port is held by $who"
    exit 1
  fi
  if [ "$SECONDS" -ge "$deadline" ]; then
    say "velmario-server started but did not answer a lookup on $address:$port within 30 s:"
    sed 's/^/  /' "$log" >&2
    exit 1
  fi
  sleep 0.2
done
echo "velmario-server answers on $address:$port; opening the client (connect to $address)."
"$client"
