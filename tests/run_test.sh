#!/usr/bin/env bash
# The README's run command, scripts/run.sh, on a first run that could
# mislead: the client opens only once its own server answers a lookup; with
# port 1007 held by another program, or a server that cannot start, it says
# so and exits non-zero without opening the client.
#
#   run_test.sh SOURCE_DIR SERVER
#
# run.sh runs from a copy of scripts/ whose deps.sh and build.sh do nothing
# (the tree is built already); the client it opens is a stand-in that makes a
# lookup the way the client does and writes down the reply.
set -euo pipefail
source_dir=$1
server=$(realpath "$2")
export LC_ALL=C # replies are Windows-1252 bytes
command -v python3 >/dev/null || { echo "SKIP: python3 is missing (scripts/deps.sh --test installs it)"; exit 77; }

work=$(mktemp -d /tmp/velmario-run-test.XXXXXX)
holder_pid=
cleanup() {
  [ -z "$holder_pid" ] || kill "$holder_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }

mkdir -p "$work/tree/scripts"
cp "$source_dir/scripts/run.sh" "$work/tree/scripts/"
printf '#!/bin/sh\nexit 0\n' >"$work/tree/scripts/deps.sh"
printf '#!/bin/sh\nexit 0\n' >"$work/tree/scripts/build.sh"
chmod +x "$work/tree/scripts/"*.sh
cat >"$work/client" <<EOF
#!/usr/bin/env bash
exec 3<>/dev/tcp/127.0.0.1/1007 || exit 1
printf 20230001 >&3
IFS= read -r -t 2 -d '' reply <&3 || true
printf '%s' "\$reply" >"$work/opened"
EOF
chmod +x "$work/client"

run() { # run.sh with this server; its output in $work/out, its status echoed
  VELMARIO_SERVER=$1 VELMARIO_CLIENT=$work/client "$work/tree/scripts/run.sh" >"$work/out" 2>&1 && echo 0 || echo $?
}

# 1. The port held by another program: named, and no client.
python3 -c 'import socket, sys, time
s = socket.socket(); s.bind(("127.0.0.1", 1007)); s.listen(); print("ready", flush=True); time.sleep(60)' \
  >"$work/holder" &
holder_pid=$!
for _ in $(seq 50); do grep -q ready "$work/holder" 2>/dev/null && break; sleep 0.1; done
status=$(run "$server")
[ "$status" -ne 0 ] || fail "run.sh exited 0 with port 1007 held by another program"
[ ! -e "$work/opened" ] || fail "run.sh opened the client with port 1007 held by another program"
grep -q "port 1007 is already in use by python3 (pid $holder_pid)" "$work/out" ||
  fail "run.sh did not name what holds the port: $(cat "$work/out")"
kill "$holder_pid"
wait "$holder_pid" 2>/dev/null || true
holder_pid=

# 2. A server that cannot start: said, and no client.
status=$(run /bin/false)
[ "$status" -ne 0 ] || fail "run.sh exited 0 when the server could not start"
[ ! -e "$work/opened" ] || fail "run.sh opened the client when the server could not start"
grep -q "velmario-server could not start" "$work/out" || fail "run.sh did not say the server could not start: $(cat "$work/out")"

# 3. The first run as the README gives it: the client opens with its server
# already answering, and the server stops when the client ends.
status=$(run "$server")
[ "$status" -eq 0 ] || fail "run.sh failed ($status): $(cat "$work/out")"
[ "$(cat "$work/opened")" = "$(printf 'Jos\xe9 Pe\xf1a Ib\xe1\xf1ez*961-976-1527')" ] ||
  fail "the client opened before its server answered: got '$(cat "$work/opened" 2>/dev/null)'"
! (exec 3<>/dev/tcp/127.0.0.1/1007) 2>/dev/null || fail "the server was still serving after the client ended"
echo "PASS: run.sh opens the client only when its own server answers"
