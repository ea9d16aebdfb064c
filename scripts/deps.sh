#!/usr/bin/env bash
# Installs the Debian packages the project needs, only those missing.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools libgl-dev qt6-qpa-plugins
  libsqlite3-dev libuv1-dev libcli11-dev libpq-dev
  fonts-liberation fontconfig
  iproute2 util-linux libcap2-bin
)
if [ "${1:-}" = "--test" ]; then
  packages+=(postgresql-15 xvfb xauth dpkg-dev desktop-file-utils appstream systemd clang clang-tidy libclang-rt-14-dev)
fi

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [ "$status" = "install ok installed" ] || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "Installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
