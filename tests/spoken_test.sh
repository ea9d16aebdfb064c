#!/usr/bin/env bash
# What a blind user hears: the client under Xvfb with openbox, driven from
# the keyboard with xdotool, read by the Orca screen reader in a D-Bus
# session of its own. Orca runs with speech and braille off and writes what
# it would say to its debug log ("SPEECH OUTPUT: '...'"); the test waits for
# the status line's texts there: connected, answered, closed by the server.
#
#   spoken_test.sh CLIENT SERVER
#
# Exits 77 (skipped), saying why, where Orca, Xvfb, openbox or xdotool are
# missing (scripts/deps.sh --test installs them).
set -euo pipefail
client=$1
server=$2
address=127.0.0.9 # a loopback address of its own: other tests use 127.0.0.1

for tool in orca Xvfb openbox xdotool dbus-run-session; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is missing (scripts/deps.sh --test installs it)"; exit 77; }
done

if [ -z "${VELMARIO_SPOKEN_SESSION:-}" ]; then
  # Everything below runs in a D-Bus session of its own, where the
  # accessibility bus starts on demand and ends with it.
  exec env VELMARIO_SPOKEN_SESSION=1 dbus-run-session -- "$0" "$@"
fi

work=$(mktemp -d /tmp/velmario-spoken.XXXXXX)
pids=()
cleanup() {
  local status=$?
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  if [ "$status" -ne 0 ] && [ -f "$work/orca.log" ]; then
    echo "--- what Orca said ---"
    grep -a 'SPEECH OUTPUT' "$work/orca.log" | tail -n 40 || true
  fi
  [ -n "${VELMARIO_KEEP:-}" ] || rm -rf "$work"
  exit "$status"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }

# Waits up to 15 s for Orca to have said a text containing $1.
heard() {
  local deadline=$((SECONDS + 15))
  until grep -aF "SPEECH OUTPUT: '" "$work/orca.log" 2>/dev/null | grep -qF -- "$1"; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.2
  done
}

Xvfb -displayfd 3 -screen 0 1280x900x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
pids+=($!)
for _ in $(seq 50); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || fail "Xvfb did not start: $(cat "$work/xvfb.log")"
export DISPLAY=:$(cat "$work/display")
openbox >/dev/null 2>&1 &
pids+=($!)

export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 QT_QPA_PLATFORM=xcb
mkdir -p "$work/prefs" "$work/home"
# Orca's debug file is written through a terminal, where Python flushes
# each line, so that the log shows what was said as it is said.
HOME=$work/home script -qfec "orca -u '$work/prefs' -d speech -d braille -d main-window -d splash-window \
  --debug-file /dev/tty" "$work/orca.log" >/dev/null 2>&1 </dev/null &
pids+=($!)
for _ in $(seq 100); do grep -aq 'SPEECH: Initialized' "$work/orca.log" 2>/dev/null && break; sleep 0.1; done

"$server" --listen "$address" --port 1007 >"$work/server.log" 2>&1 &
server_pid=$!
pids+=("$server_pid")
"$client" >"$work/client.log" 2>&1 &
pids+=($!)

# Keys go one at a time, each after Orca has taken the one before: Qt waits
# for the screen reader to see every key, and a burst of them stalls both.
key() {
  local k
  for k in "$@"; do xdotool key "$k"; sleep 0.3; done
}
type_text() {
  xdotool type --delay 150 "$1"
  sleep 0.3
}

heard "Entrar" || fail "Orca never presented the welcome window"
key Return
heard "Nombre: text" || fail "Orca never presented the search window"
# From the name box, the designed tab order reaches the number box in four
# steps and the address box in one more.
key Tab Tab Tab Tab
heard "Número de control: text" || fail "the tab order did not reach the number box"
type_text 20230001
key Tab
type_text "$address"
key alt+c
heard "Conectado con $address." || fail "the connection was made and Orca did not say so"
key alt+b
heard "Respuesta recibida." || fail "the reply was shown and Orca did not say so"
kill "$server_pid"
heard "El servidor cerró la conexión" || fail "the server closed the connection and Orca did not say so"
echo "PASS: Orca said the connection, the reply and the close"
