#!/usr/bin/env bash
# The client's Windows release, cross-built here: Qt for Windows from
# Debian's own source (scripts/windows-qt.sh, built once per machine and
# cached), the client with mingw-w64, and
#   build-windows/velmario-VERSION-x64.msi
# which installs it for every user under Program Files with a Start-menu
# shortcut, replaces an older version in place and installs and uninstalls
# silently (msiexec /i FILE /qn, msiexec /x FILE /qn).
#
#   windows.sh          builds the MSI
#   windows.sh --test   then runs the client's tests under wine64 and a
#                       smoke test of the MSI (tests/windows_smoke.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
test=false
[ "${1:-}" = "--test" ] && test=true
started=$SECONDS
say() { echo "windows.sh: $*" >&2; }

packages=(g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wixl cmake ninja-build python3)
$test && packages+=(wine wine64 xvfb xauth fonts-liberation openbox xdotool)
missing=()
for p in "${packages[@]}"; do
  [ "$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)" = "install ok installed" ] || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=(); [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  say "installing ${missing[*]}"
  "${sudo[@]}" apt-get -o DPkg::Lock::Timeout=600 update -qq
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq \
    --no-install-recommends "${missing[@]}"
fi

t=$SECONDS
qt=$(scripts/windows-qt.sh | tail -n 1)
say "Qt for Windows: $qt ($(( SECONDS - t ))s)"

build=build-windows
t=$SECONDS
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_PREFIX_PATH="$qt" -DQT_HOST_PATH=/usr \
  -DCMAKE_CROSSCOMPILING_EMULATOR=wine ${VELMARIO_WINDOWS_CMAKE_OPTIONS:-} >/dev/null
cmake --build "$build"
say "client built ($(( SECONDS - t ))s)"

version=$(sed -n 's/^project(Velmario VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
msi_version=$(echo "$version" | cut -d. -f1-3) # an MSI compares three fields
stage=$build/stage
rm -rf "$stage"
mkdir -p "$stage/licences"
x86_64-w64-mingw32-strip -o "$stage/velmario.exe" "$build/velmario.exe"

# The plugins Qt loads at run time, which no import names: the windows
# platform, and the image formats of the client's pictures (emblem.jpg,
# group.jpg and cog.gif; BMP and PNG are built into Qt's GUI module).
plugins=(platforms/qwindows.dll imageformats/qjpeg.dll imageformats/qgif.dll)
for plugin in "${plugins[@]}"; do
  mkdir -p "$stage/$(dirname "$plugin")"
  x86_64-w64-mingw32-strip --strip-unneeded -o "$stage/$plugin" "$qt/plugins/$plugin"
done

# Every DLL the program and its plugins import, found in Qt's bin or the
# mingw runtime, and what those import in turn; the rest are Windows' own.
mingw_dirs=("$qt/bin" /usr/lib/gcc/x86_64-w64-mingw32/*-posix /usr/x86_64-w64-mingw32/lib)
imports() { x86_64-w64-mingw32-objdump -p "$1" | awk '/DLL Name:/ { print $3 }'; }
locate() { local d; for d in "${mingw_dirs[@]}"; do [ -f "$d/$1" ] && { echo "$d/$1"; return; }; done; }
queue=("$stage/velmario.exe")
for plugin in "${plugins[@]}"; do queue+=("$stage/$plugin"); done
declare -A shipped=()
while [ ${#queue[@]} -gt 0 ]; do
  file=${queue[0]}
  queue=("${queue[@]:1}")
  for dll in $(imports "$file"); do
    [ -z "${shipped[$dll]:-}" ] || continue
    found=$(locate "$dll" || true)
    if [ -z "$found" ]; then
      case $dll in
        Qt6*|lib*) say "$file imports $dll, which is not in Qt or the mingw runtime"; exit 1 ;;
      esac
      shipped[$dll]=system
      continue
    fi
    shipped[$dll]=$found
    x86_64-w64-mingw32-strip --strip-unneeded -o "$stage/$dll" "$found"
    queue+=("$stage/$dll")
  done
done

# Licences: the client's, Qt's (LGPL 3, its DLLs shipped apart so that they
# can be replaced) and the mingw runtime's (GCC runtime exception,
# winpthreads).
cp README.md "$stage/licences/README.md"
if [ -d "$qt/licences" ]; then
  cp "$qt"/licences/* "$stage/licences/"
else
  cp /usr/share/doc/qt6-base-dev/copyright "$stage/licences/Qt.txt"
fi
cp /usr/share/doc/gcc-mingw-w64-base/copyright "$stage/licences/gcc-runtime.txt"
cp /usr/share/doc/mingw-w64-common/copyright "$stage/licences/mingw-w64.txt" 2>/dev/null ||
  cp /usr/share/doc/mingw-w64-x86-64-dev/copyright "$stage/licences/mingw-w64.txt"

# The installer's file list: one component per file, with a GUID derived
# from the file's path, so that it stays the same from one build to the next.
guid() {
  local h
  h=$(printf 'velmario:%s' "$1" | sha1sum)
  echo "${h:0:8}-${h:8:4}-5${h:13:3}-a${h:17:3}-${h:20:12}" | tr a-f A-F
}
files=
components=
n=0
emit_dir() { # emit_dir DIR INDENT: the files of stage/DIR as components
  local dir=$1 indent=$2 path id f
  for f in "$stage/$dir"*; do
    [ -f "$f" ] || continue
    path=${f#"$stage/"}
    n=$((n + 1))
    id=c$n
    files+="$indent<Component Id=\"$id\" Guid=\"$(guid "$path")\" Win64=\"yes\">"$'\n'
    files+="$indent  <File Id=\"f$n\" Name=\"$(basename "$f")\" Source=\"${f#"$PWD/"}\" KeyPath=\"yes\"/>"$'\n'
    files+="$indent</Component>"$'\n'
    components+="      <ComponentRef Id=\"$id\"/>"$'\n'
  done
}
emit_dir "" "          "
for sub in platforms imageformats licences; do
  files+="          <Directory Id=\"d_$sub\" Name=\"$sub\">"$'\n'
  emit_dir "$sub/" "            "
  files+="          </Directory>"$'\n'
done
wxs=$build/velmario.wxs
VERSION=$msi_version ICON=resources/velmario.ico FILES=$files COMPONENTS=$components python3 - \
  packaging/windows/velmario.wxs.in "$wxs" <<'EOF'
import os, sys
text = open(sys.argv[1], encoding="utf-8").read()
for key in ("VERSION", "ICON", "FILES", "COMPONENTS"):
    text = text.replace("@" + key + "@", os.environ[key].rstrip("\n"))
open(sys.argv[2], "w", encoding="utf-8").write(text)
EOF
msi=$build/velmario-$version-x64.msi
wixl -a x64 -o "$msi" "$wxs"
say "$msi: $(du -h "$msi" | cut -f1), $n files ($(( SECONDS - started ))s in all)"

if $test; then
  tests/windows_test.sh "$build" "$msi"
fi
