#!/usr/bin/env bash
# Remakes docs/screenshots/*.png: the client under Xvfb at 96 dpi, with a
# real lookup against velmario-server for the search window.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh --test
for p in xdotool imagemagick; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="${missing:-} $p"
done
if [ -n "${missing:-}" ]; then
  sudo=""; [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get install -y -qq $missing
fi
scripts/build.sh build

out=docs/screenshots
display=:97
port=1007
Xvfb "$display" -screen 0 1024x768x24 -dpi 96 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
build/server/velmario-server --listen 127.0.0.1 --port "$port" 2>/dev/null &
server=$!
client=""
trap 'kill $client $server $xvfb 2>/dev/null || true' EXIT
export DISPLAY=$display
sleep 1

shoot() { # window title, file
  local id
  id=$(xdotool search --sync --onlyvisible --name "^$1\$" | head -n 1)
  sleep 0.3
  import -window "$id" "$out/$2.png"
}
start_client() {
  [ -n "$client" ] && kill "$client" 2>/dev/null && wait "$client" 2>/dev/null || true
  build/app/velmario 2>/dev/null &
  client=$!
  xdotool search --sync --onlyvisible --name '^Bienvenidos$' >/dev/null
  sleep 0.3
}

start_client
shoot Bienvenidos bienvenidos
xdotool key Return
xdotool search --sync --onlyvisible --name '^Busqueda Via Internet.$' >/dev/null
sleep 0.3
xdotool type "Ana"
for _ in 1 2 3 4 5; do xdotool key Tab; done
xdotool type "127.0.0.1"
xdotool key alt+c
sleep 0.5
xdotool key shift+Tab
xdotool type "20230002"
xdotool key alt+b
sleep 0.5
# End restarts the number box's blinking caret; the picture is taken in the
# half second the caret is off, so that every run gives the same pixels.
xdotool key End
sleep 0.45
shoot "Busqueda Via Internet." busqueda

for item in 1:acerca:"Acerca del Velmario" 2:integrantes:Integrantes 3:uso:"Uso del Velmario"; do
  n=${item%%:*}; rest=${item#*:}; file=${rest%%:*}; title=${rest#*:}
  start_client
  xdotool key Return
  xdotool search --sync --onlyvisible --name '^Busqueda Via Internet.$' >/dev/null
  sleep 0.3
  xdotool key alt+a
  sleep 0.3
  for _ in $(seq 2 "$n"); do xdotool key Down; done
  xdotool key Return
  shoot "$title" "$file"
done
echo "screenshots written to $out"
