#!/usr/bin/env bash
# The Windows client under wine64, in a wine prefix of its own:
# 1. the client's test suites, cross-built for Windows (ctest runs each
#    .exe through wine64);
# 2. the MSI as an administrator deploys it: installed silently, the
#    installed velmario.exe started, connected to velmario-server on Linux
#    over loopback, a lookup made from the keyboard and seen answered in the
#    server's metrics, then uninstalled silently and gone.
#
#   windows_test.sh BUILD_DIR MSI
#
# Arial and MS Sans Serif are mapped to Liberation Sans (metric-compatible),
# as a real Windows has Arial: the windows' rectangles are the Linux ones.
set -euo pipefail
build=$(realpath "$1")
msi=$(realpath "$2")
source_dir=$(cd "$(dirname "$0")/.." && pwd)
server=${VELMARIO_SERVER:-$source_dir/build/server/velmario-server}
started=$SECONDS
say() { echo "windows_test.sh: $*" >&2; }
fail() { say "FAIL: $*"; exit 1; }
[ -x "$server" ] || fail "no Linux velmario-server at $server (set VELMARIO_SERVER)"

work=$(mktemp -d /tmp/velmario-wine.XXXXXX)
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  WINEPREFIX=$work/prefix wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

export WINEPREFIX=$work/prefix WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
Xvfb -displayfd 3 -screen 0 1280x900x24 -nolisten tcp 3>"$work/display" 2>/dev/null &
pids+=($!)
for _ in $(seq 50); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=:$(cat "$work/display")

t=$SECONDS
wineboot --init >/dev/null 2>&1
for font in Arial "MS Sans Serif"; do
  wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v "$font" /t REG_SZ /d "Liberation Sans" /f >/dev/null 2>&1
done
wineserver -w
say "wine prefix ready ($(( SECONDS - t ))s)"

# 1. The client's tests. Their DLLs come from the Qt they were built with.
t=$SECONDS
qt_bin=$(sed -n 's/^Qt6_DIR:PATH=\(.*\)\/lib\/cmake\/Qt6$/\1\/bin/p' "$build/CMakeCache.txt")
winpath() { local p; for p in "$@"; do printf 'Z:%s;' "${p//\//\\}"; done; }
WINEPATH=$(winpath "$qt_bin" /usr/lib/gcc/x86_64-w64-mingw32/*-posix /usr/x86_64-w64-mingw32/lib)
export WINEPATH
# Qt Test writes to the debugger's channel on Windows unless told otherwise;
# the offscreen platform draws with FreeType and needs the fonts' folder.
export WINEQT_FORCE_STDERR_LOGGING=1
export WINEQT_QPA_FONTDIR='Z:\usr\share\fonts\truetype\liberation'
ctest --test-dir "$build" --output-on-failure --timeout 300 || fail "the client's tests failed under wine"
say "client tests passed under wine ($(( SECONDS - t ))s)"
unset WINEPATH

# 2. The MSI.
t=$SECONDS
wine msiexec /i "Z:${msi//\//\\}" /qn >/dev/null 2>&1 || fail "msiexec /i failed"
wineserver -w
installed=$WINEPREFIX/drive_c/Program\ Files/Velmario
[ -f "$installed/velmario.exe" ] || fail "velmario.exe is not under Program Files after the install"
# The shortcut lands in the Start menu (wine puts even a per-machine one in
# the user's own), and the uninstall entry, for the machine, has its version
# and publisher.
find "$WINEPREFIX/drive_c" -path '*Start Menu/Programs/Velmario Telefónico.lnk' | grep -q . ||
  fail "no Start-menu shortcut"
uninstall=$(wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null | tr -d '\r')
echo "$uninstall" | grep -a -A20 '^HKEY_LOCAL_MACHINE.*Uninstall\\{' | grep -aq "DisplayVersion *REG_SZ *$(basename "$msi" | sed 's/velmario-\([0-9]*\.[0-9]*\.[0-9]*\).*/\1/')" ||
  fail "no uninstall entry with the version for the machine"
echo "$uninstall" | grep -aq 'Publisher *REG_SZ *Velmario' || fail "the uninstall entry names no publisher"
say "installed ($(( SECONDS - t ))s)"

metrics_port=19107
"$server" --listen 127.0.0.1 --port 1007 --metrics "127.0.0.1:$metrics_port" >"$work/server.log" 2>&1 &
pids+=($!)
answered() { # lookups the server answered from its directory
  local response
  exec 3<>"/dev/tcp/127.0.0.1/$metrics_port" || return 1
  printf 'GET /metrics HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n' >&3
  response=$(cat <&3)
  exec 3<&- 3>&-
  echo "$response" | awk '/^velmario_lookups_total\{result="found"\}/ { print $2 + 0 }'
}
for _ in $(seq 50); do answered >/dev/null 2>&1 && break; sleep 0.1; done
before=$(answered)

openbox >/dev/null 2>&1 &
pids+=($!)
(cd "$installed" && exec wine ./velmario.exe) >"$work/client.log" 2>&1 &
client=$!
pids+=("$client")
window() { xdotool search --sync --onlyvisible --name "$1" 2>/dev/null | head -n 1; }
key() { local k; for k in "$@"; do xdotool key "$k"; sleep 0.3; done; }
w=$(timeout 60 bash -c "$(declare -f window); window '^Bienvenidos$'") || fail "the welcome window never showed"
xdotool windowactivate --sync "$w" 2>/dev/null || true
key Return
w=$(timeout 30 bash -c "$(declare -f window); window '^Busqueda Via Internet.$'") || fail "the search window never showed"
xdotool windowactivate --sync "$w" 2>/dev/null || true
key Tab Tab Tab Tab
xdotool type --delay 80 20230001
key Tab
xdotool type --delay 80 127.0.0.1
key alt+c
sleep 1
key alt+b
for _ in $(seq 100); do
  [ "$(answered)" -gt "$before" ] && break
  sleep 0.1
done
[ "$(answered)" -gt "$before" ] || fail "the installed client made no lookup the server answered"
say "the installed client made a lookup and it was answered"
kill "$client" 2>/dev/null || true
wineserver -k 2>/dev/null || true
wineserver -w 2>/dev/null || true

t=$SECONDS
wine msiexec /x "Z:${msi//\//\\}" /qn >/dev/null 2>&1 || fail "msiexec /x failed"
wineserver -w
[ ! -e "$installed/velmario.exe" ] || fail "velmario.exe is still there after the uninstall"
say "uninstalled ($(( SECONDS - t ))s)"
say "PASS ($(( SECONDS - started ))s)"
