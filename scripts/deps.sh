#!/usr/bin/env bash
# Installs the Debian packages the project needs, only those missing:
# deps.sh for building, running and packaging (dpkg-buildpackage, README
# "Installing"), deps.sh --test for the test command as well.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools libgl-dev qt6-qpa-plugins
  libsqlite3-dev libuv1-dev libcli11-dev libpq-dev libsystemd-dev libldap-dev libxxhash-dev
  prometheus-cpp-dev libcivetweb-dev
  fonts-liberation fontconfig
  iproute2 util-linux libcap2-bin
  debhelper dpkg-dev file
)
if [ "${1:-}" = "--test" ]; then
  packages+=(postgresql-15 slapd ldap-utils openssl samba samba-ad-dc samba-ad-provision ldb-tools
             xvfb xauth desktop-file-utils appstream systemd lintian nftables
             orca openbox xdotool dbus-daemon at-spi2-core python3
             g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wixl wine wine64
             clang clang-tidy libclang-rt-14-dev
             systemd-container prometheus git)
fi

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [ "$status" = "install ok installed" ] || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
if [ "$(id -u)" -ne 0 ]; then
  if ! command -v sudo >/dev/null; then
    echo "deps.sh: these Debian packages are missing: ${missing[*]}" >&2
    echo "deps.sh: sudo is not installed, so they cannot be installed from this account." >&2
    echo "deps.sh: as root, either install them (apt-get install ${missing[*]})" >&2
    echo "deps.sh: or install sudo and give this account the right to use it:" >&2
    echo "deps.sh:   apt-get install sudo && adduser $(id -un) sudo   (then log in again)" >&2
    exit 1
  fi
  sudo=(sudo)
fi
echo "Installing: ${missing[*]}"
# Another apt-get on the machine (unattended upgrades) holds the lock for a
# while: wait for it rather than fail.
apt=(apt-get -o DPkg::Lock::Timeout=600)
"${sudo[@]}" "${apt[@]}" update -qq
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive "${apt[@]}" install -y -qq --no-install-recommends "${missing[@]}"
