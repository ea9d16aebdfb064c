#!/usr/bin/env bash
# Builds what is missing, starts the lookup server with its sample directory
# on 127.0.0.1 and opens the client; the server stops when the client ends.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh build

port=1007
server=(build/server/velmario-server --listen 127.0.0.1 --port "$port")
if [ "$(id -u)" -ne 0 ]; then
  # Port 1007 is privileged: let the server bind it without running as root.
  if ! getcap build/server/velmario-server 2>/dev/null | grep -q cap_net_bind_service; then
    if ! command -v sudo >/dev/null; then
      echo "run.sh: velmario-server needs the right to bind port $port, and sudo is not installed:" >&2
      echo "run.sh: as root, run: setcap cap_net_bind_service=+ep $PWD/build/server/velmario-server" >&2
      exit 1
    fi
    echo "Allowing velmario-server to bind port $port (sudo setcap cap_net_bind_service)"
    sudo setcap cap_net_bind_service=+ep build/server/velmario-server
  fi
fi
"${server[@]}" &
server_pid=$!
trap 'kill "$server_pid" 2>/dev/null; wait "$server_pid" 2>/dev/null' EXIT
build/app/velmario
