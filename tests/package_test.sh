#!/usr/bin/env bash
# Builds the Debian packages in a scratch directory, inspects them, unpacks
# them into a scratch root and runs what they installed.
set -euo pipefail
export LC_ALL=C # replies are Windows-1252 bytes
build=$1
source_dir=$2
scratch=$(mktemp -d)
server_pid=""
client_pid=""
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
  [ -n "$client_pid" ] && kill "$client_pid" 2>/dev/null || true
  rm -rf "$scratch"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }

(cd "$scratch" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/out" >/dev/null)
client_deb=$(ls "$scratch"/out/velmario_*.deb)
server_deb=$(ls "$scratch"/out/velmario-server_*.deb)

client_info=$(dpkg-deb --info "$client_deb")
server_info=$(dpkg-deb --info "$server_deb")
echo "$client_info" | grep -E '^ (Package|Version|Depends):'
echo "$server_info" | grep -E '^ (Package|Version|Depends):'
for dep in fonts-liberation qt6-qpa-plugins libqt6widgets6 libqt6network6; do
  echo "$client_info" | grep -q "Depends:.*$dep" || fail "velmario does not depend on $dep"
done
echo "$server_info" | grep -q 'Depends:.*libsqlite3-0' || fail "velmario-server does not depend on libsqlite3-0"
echo "$server_info" | grep -q 'Depends:.*libuv1' || fail "velmario-server does not depend on libuv1"
echo "$server_info" | grep -q 'Depends:.*libqt6' && fail "velmario-server pulls in Qt"
echo "$client_info" | grep -q 'Version: 1.0.0.0' || fail "client version"

client_files=$(dpkg-deb --contents "$client_deb")
server_files=$(dpkg-deb --contents "$server_deb")
for f in ./usr/bin/velmario ./usr/share/applications/org.velmario.Velmario.desktop \
         ./usr/share/metainfo/org.velmario.Velmario.metainfo.xml \
         ./usr/share/icons/hicolor/16x16/apps/org.velmario.Velmario.png \
         ./usr/share/icons/hicolor/32x32/apps/org.velmario.Velmario.png; do
  echo "$client_files" | grep -q " $f\$" || fail "velmario lacks $f"
done
for f in ./usr/bin/velmario-server ./usr/lib/systemd/system/velmario-server.service \
         ./usr/share/man/man1/velmario-server.1 \
         ./usr/share/doc/velmario-server/examples/directory-example.csv; do
  echo "$server_files" | grep -q " $f\$" || fail "velmario-server lacks $f"
done

root="$scratch/root"
mkdir -p "$root"
dpkg -x "$client_deb" "$root"
dpkg -x "$server_deb" "$root"

desktop-file-validate "$root/usr/share/applications/org.velmario.Velmario.desktop"
appstreamcli validate --no-net "$root/usr/share/metainfo/org.velmario.Velmario.metainfo.xml"
systemd-analyze verify --man=no "$root/usr/lib/systemd/system/velmario-server.service"

"$root/usr/bin/velmario-server" --version | grep -q '^velmario-server 1.00' || fail "server --version"

# The installed server imports the example directory and answers from it.
"$root/usr/bin/velmario-server" import "$root/usr/share/doc/velmario-server/examples/directory-example.csv" \
  --db "$scratch/directory.db" 2>/dev/null
port=$(( 20000 + RANDOM % 20000 ))
"$root/usr/bin/velmario-server" --listen 127.0.0.1 --port "$port" --db "$scratch/directory.db" 2>"$scratch/server.log" &
server_pid=$!
for _ in $(seq 50); do grep -q started: "$scratch/server.log" && break; sleep 0.1; done
exec 3<>"/dev/tcp/127.0.0.1/$port"
expected=$(printf 'Mar\xeda Mu\xf1oz L\xf3pez*961-555-0102')
printf '20240002' >&3
IFS= read -r -t 5 -N "${#expected}" reply <&3 || true
exec 3>&-
[ "$reply" = "$expected" ] || fail "installed server answered '$reply'"

# The installed client starts and keeps running until it is ended.
QT_QPA_PLATFORM=offscreen "$root/usr/bin/velmario" 2>"$scratch/client.log" &
client_pid=$!
sleep 1
kill -0 "$client_pid" 2>/dev/null || { cat "$scratch/client.log"; fail "the client did not stay up"; }
kill -TERM "$client_pid"
wait "$client_pid" 2>/dev/null || true
client_pid=""
echo "packages built, inspected, installed into a scratch root and run"
