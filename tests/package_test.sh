#!/usr/bin/env bash
# Builds the Debian packages with dpkg-buildpackage from a copy of the source
# tree (or takes those built already in $VELMARIO_PACKAGES, with their
# .changes: scripts/test.sh builds them once and runs the suite from that
# build), runs lintian on them, inspects them, unpacks them into a scratch
# root and runs what they installed. With a second argument, leaves the
# packages in that directory (for boot_test.sh).
set -euo pipefail
export LC_ALL=C # replies are Windows-1252 bytes
source_dir=$1
keep_dir=${2:-}
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

src="$scratch/velmario"
if [ -n "${VELMARIO_PACKAGES:-}" ]; then
  ls "$VELMARIO_PACKAGES"/velmario_*.changes >/dev/null 2>&1 || fail "no .changes in VELMARIO_PACKAGES=$VELMARIO_PACKAGES"
  cp "$VELMARIO_PACKAGES"/* "$scratch"/
  src=$source_dir
else
  # The tree as committed or being changed, without build trees.
  mkdir "$src"
  tar -C "$source_dir" --exclude=./.git --exclude='./build*' --exclude='./obj-*' -cf - . | tar -C "$src" -xf -
  # The test suite runs apart from the package build (debian/rules).
  (cd "$src" && DEB_BUILD_OPTIONS="nocheck parallel=$(nproc)" dpkg-buildpackage -us -uc -b >"$scratch/build.log" 2>&1) || {
    tail -n 60 "$scratch/build.log"; fail "dpkg-buildpackage"
  }
fi
changes=$(ls "$scratch"/velmario_*.changes)
client_deb=$(ls "$scratch"/velmario_*.deb)
server_deb=$(ls "$scratch"/velmario-server_*.deb)
ls "$scratch"/velmario-dbgsym_*.*deb "$scratch"/velmario-server-dbgsym_*.*deb >/dev/null ||
  fail "no debug symbol packages"

# No error and no warning; what lintian says besides is shown.
lintian --fail-on error,warning --display-info "$changes" || fail "lintian"

client_info=$(dpkg-deb --info "$client_deb")
server_info=$(dpkg-deb --info "$server_deb")
echo "$client_info" | grep -E '^ (Package|Version|Depends|Description):'
echo "$server_info" | grep -E '^ (Package|Version|Depends|Description):'
for dep in fonts-liberation qt6-qpa-plugins libqt6widgets6; do
  echo "$client_info" | grep -q "Depends:.*$dep" || fail "velmario does not depend on $dep"
done
for dep in libsqlite3-0 libuv1 libpq5 libsystemd0; do
  echo "$server_info" | grep -q "Depends:.*$dep" || fail "velmario-server does not depend on $dep"
done
echo "$server_info" | grep -q 'Depends:.*libqt6' && fail "velmario-server pulls in Qt"
release=$(sed -n 's/^project(Velmario VERSION \([0-9.]*\).*/\1/p' "$src/CMakeLists.txt")
echo "$client_info" | grep -q "Version: $release" || fail "client version"
echo "$server_info" | grep -q "Version: $release" || fail "server version"
[ "$(echo "$client_info" | grep '^ Description:')" != "$(echo "$server_info" | grep '^ Description:')" ] ||
  fail "both packages have the same summary"
dpkg-deb --info "$server_deb" conffiles | grep -qx /etc/default/velmario-server ||
  fail "/etc/default/velmario-server is not a conffile"
dpkg-deb --info "$server_deb" postinst | grep -q "deb-systemd-helper enable 'velmario-server.service'" ||
  fail "the unit is not enabled on installation"

client_files=$(dpkg-deb --contents "$client_deb")
server_files=$(dpkg-deb --contents "$server_deb")
for doc in README.md examples/velmario.rules.yml; do
  echo "$server_files" | grep -qE "\./usr/share/doc/velmario-server/$doc(\.gz)?\$" ||
    fail "velmario-server does not ship $doc"
done
for f in ./usr/bin/velmario ./usr/share/applications/org.velmario.Velmario.desktop \
         ./usr/share/metainfo/org.velmario.Velmario.metainfo.xml \
         ./usr/share/icons/hicolor/16x16/apps/org.velmario.Velmario.png \
         ./usr/share/icons/hicolor/32x32/apps/org.velmario.Velmario.png \
         ./usr/share/icons/hicolor/scalable/apps/org.velmario.Velmario.svg \
         ./usr/share/man/man1/velmario.1.gz ./usr/share/doc/velmario/copyright; do
  echo "$client_files" | grep -q " $f\$" || fail "velmario lacks $f"
done
for f in ./usr/bin/velmario-server ./lib/systemd/system/velmario-server.service \
         ./etc/default/velmario-server ./usr/share/man/man1/velmario-server.1.gz \
         ./usr/share/doc/velmario-server/examples/directory-example.csv; do
  echo "$server_files" | grep -q " $f\$" || fail "velmario-server lacks $f"
done

root="$scratch/root"
mkdir -p "$root"
dpkg -x "$client_deb" "$root"
dpkg -x "$server_deb" "$root"
for program in velmario velmario-server; do
  readelf -S "$root/usr/bin/$program" | grep -q debug_info && fail "$program is not stripped"
done

desktop-file-validate "$root/usr/share/applications/org.velmario.Velmario.desktop"
appstreamcli validate --no-net "$root/usr/share/metainfo/org.velmario.Velmario.metainfo.xml"
unit="$root/lib/systemd/system/velmario-server.service"
# The unit names /usr/bin/velmario-server, which this machine may not have:
# verified with the path of the one unpacked here (boot_test.sh verifies the
# installed unit under a running systemd).
sed "s|/usr/bin/velmario-server|$root/usr/bin/velmario-server|g" "$unit" >"$scratch/velmario-server.service"
systemd-analyze verify --man=no "$scratch/velmario-server.service"
# Exposure 2.0 or lower (the threshold counts tenths).
systemd-analyze security --offline=true --threshold=20 --no-pager "$unit" | tail -n 1 ||
  fail "the unit is exposed above 2.0"

"$root/usr/bin/velmario-server" --version | grep -q "^velmario-server $release " || fail "server --version"

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
if [ -n "$keep_dir" ]; then
  mkdir -p "$keep_dir"
  rm -f "$keep_dir"/*.deb "$keep_dir"/*.ddeb
  cp "$client_deb" "$server_deb" "$keep_dir"/
fi
echo "packages built, passed lintian, inspected, installed into a scratch root and run"
