#!/usr/bin/env bash
# Cross-builds Qt for 64-bit Windows (mingw-w64, shared DLLs) from Debian's
# own qt6-base source, once per machine, into a cache outside the tree:
#   /var/cache/velmario/qt-<version>-mingw64-<key>   (or $VELMARIO_QT_CACHE)
# <key> hashes the Debian source version, the configure options, the patches
# in packaging/windows/qt-patches and the toolchain, so changing any of them
# builds a new Qt. The Qt prefix is the last line on stdout; progress and
# timings go to stderr, the build's output to <cache>.log.
#   VELMARIO_QT_JOBS   parallel jobs (default 2; the build runs under nice)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
toolchain=$here/cmake/mingw-w64-x86_64.cmake
patch_dir=$here/packaging/windows/qt-patches
jobs=${VELMARIO_QT_JOBS:-2}
apt=(apt-get -o DPkg::Lock::Timeout=900)
start=$SECONDS
say() { echo "windows-qt.sh: $*" >&2; }
need_root() { [ "$(id -u)" -eq 0 ] || { say "needs root to $1"; exit 1; }; }

# Debian packages: the cross compiler, apt-get source's unpacker and the
# build tools; the host Qt (moc, rcc, uic and its CMake packages) comes from
# qt6-base-dev(-tools) and must be the same Qt version as the source.
packages=(g++-mingw-w64-x86-64-posix dpkg-dev patch xz-utils cmake ninja-build perl
          qt6-base-dev qt6-base-dev-tools)
missing=()
for p in "${packages[@]}"; do
  [ "$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)" = "install ok installed" ] || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  need_root "install ${missing[*]}"
  say "installing ${missing[*]}"
  "${apt[@]}" update -qq >&2
  DEBIAN_FRONTEND=noninteractive "${apt[@]}" install -y -qq --no-install-recommends "${missing[@]}" >&2
fi

deb_version=$(dpkg-query -W -f='${source:Version}' qt6-base-dev-tools) # e.g. 6.4.2+dfsg-10
qt_version=${deb_version%%[+~-]*}                                      # e.g. 6.4.2

# Shared Qt with what the client uses: Core, Gui, Widgets, Network, Test; the
# windows and offscreen platform plugins (offscreen draws text with FreeType);
# JPEG, GIF and ICO image plugins. Every third-party library is Qt's bundled
# copy, so the DLLs need nothing but Windows and the mingw runtime; TLS, if
# ever used, is Windows' own Schannel. Tablet input is off: its Windows
# header (src/3rdparty/wintab) is not in Debian's source. Direct2D is off
# (no qdirect2d.dll); see packaging/windows/qt-patches.
configure_options=(
  -release -shared -nomake examples -nomake tests
  -no-opengl -no-dbus -no-openssl -no-icu -no-fontconfig -no-glib -no-zstd -no-pkg-config
  -qt-zlib -qt-libpng -qt-libjpeg -qt-pcre -qt-freetype -qt-harfbuzz -qt-doubleconversion
  -no-feature-sql -no-feature-concurrent -no-feature-xml -no-feature-printsupport
  -no-feature-direct2d -no-feature-vulkan -no-feature-tabletevent -no-feature-androiddeployqt
  -qt-host-path /usr
)
shopt -s nullglob
patches=("$patch_dir"/*.patch)
shopt -u nullglob
key=$( { echo "$deb_version"; printf '%s\n' "${configure_options[@]}"
         cat "$toolchain" "${patches[@]}"; dpkg-query -W -f='${Version}\n' g++-mingw-w64-x86-64-posix
       } | sha256sum | cut -c1-12)
cache=${VELMARIO_QT_CACHE:-/var/cache/velmario/qt-$qt_version-mingw64-$key}
stamp=$cache/velmario-qt.stamp

# A cache is complete only with the stamp, written last, holding this key.
cache_ok() {
  [ "$(cat "$stamp" 2>/dev/null)" = "$key" ] || return 1
  local f
  for f in bin/Qt6Core.dll bin/Qt6Gui.dll bin/Qt6Widgets.dll bin/Qt6Network.dll bin/Qt6Test.dll \
           lib/cmake/Qt6/Qt6Config.cmake plugins/platforms/qwindows.dll \
           plugins/platforms/qoffscreen.dll plugins/imageformats/qjpeg.dll plugins/imageformats/qgif.dll; do
    [ -s "$cache/$f" ] || { say "$cache lacks $f"; return 1; }
  done
}

mkdir -p "$(dirname "$cache")"
exec 9>"$cache.lock" # one build of this cache at a time
flock 9
if cache_ok; then
  say "Qt $qt_version for Windows is cached ($(( SECONDS - start ))s)"
  echo "$cache"
  exit 0
fi
if [ -e "$cache" ]; then
  say "$cache is stale or incomplete: removing it"
  rm -rf --one-file-system "$cache"
fi

# Debian's source package needs deb-src lines for the mirror apt already uses
# (as in .ci/run), with the same keyring, or apt refuses the mix.
apt_uris() {
  cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
    awk '$1 == "deb" { for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) { print $i; break } }'
  cat /etc/apt/sources.list.d/*.sources 2>/dev/null | awk '$1 == "URIs:" { for (i = 2; i <= NF; i++) print $i }'
}
keyring_of() { # the Signed-By of the sources entry for URI $1, if any
  cat /etc/apt/sources.list.d/*.sources 2>/dev/null | awk -v u="$1" 'BEGIN { RS = ""; FS = "\n" }
    { hit = 0; key = ""
      for (i = 1; i <= NF; i++) { n = split($i, w, /[ \t]+/)
        if (w[1] == "URIs:") for (j = 2; j <= n; j++) if (w[j] == u) hit = 1
        if (w[1] == "Signed-By:" && w[2] ~ /^\//) key = w[2] }
      if (hit && key != "") { print key; exit } }'
  cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null | awk -v u="$1" '$1 == "deb" {
    for (i = 2; i <= NF; i++) if ($i == u && match($0, /signed-by=[^] ]+/)) { print substr($0, RSTART + 10, RLENGTH - 10); exit } }'
}
if ! grep -qsE '^[[:space:]]*deb-src[[:space:]]|^Types:.*deb-src' \
       /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; then
  need_root "add deb-src lines to apt's sources"
  . /etc/os-release
  mirror=$(apt_uris | grep -E '/debian/?$' | head -n 1 || true)
  security=$(apt_uris | grep -E '/debian-security/?$' | head -n 1 || true)
  mirror=${mirror:-http://deb.debian.org/debian}
  security=${security:-http://deb.debian.org/debian-security}
  opt() { local k; k=$(keyring_of "$1" | head -n 1); [ -z "$k" ] || echo "[signed-by=$k] "; }
  say "adding /etc/apt/sources.list.d/velmario-deb-src.list ($mirror)"
  cat >/etc/apt/sources.list.d/velmario-deb-src.list <<EOF
deb-src $(opt "$mirror")$mirror $VERSION_CODENAME main
deb-src $(opt "$mirror")$mirror $VERSION_CODENAME-updates main
deb-src $(opt "$security")$security $VERSION_CODENAME-security main
EOF
fi
if ! apt-cache showsrc qt6-base 2>/dev/null | grep -qx "Version: $deb_version"; then
  "${apt[@]}" update -qq >&2
fi

log=$cache.log
work=$(mktemp -d "$cache.build.XXXXXX")
trap 'rm -rf --one-file-system "$work"' EXIT
: >"$log"
step() { # step NAME COMMAND...: runs COMMAND at low priority, output to the log
  local t=$SECONDS
  say "$1..."
  if ! (cd "$work" && nice -n 10 "${@:2}") >>"$log" 2>&1; then
    say "$1 failed; the end of $log:"
    tail -n 40 "$log" >&2
    exit 1
  fi
  say "$1: $(( SECONDS - t ))s"
}

say "building Qt $qt_version ($deb_version) for Windows into $cache"
step "fetching qt6-base $deb_version" \
  "${apt[@]}" -o APT::Sandbox::User=root source --download-only "qt6-base=$deb_version"
step "unpacking" dpkg-source -x "qt6-base_${deb_version#*:}.dsc" src
for p in "${patches[@]}"; do
  step "applying $(basename "$p")" patch -d src -p1 --forward --fuzz=0 --no-backup-if-mismatch -i "$p"
done
# Qt's lib/cmake/Qt6/qt.toolchain.cmake loads the toolchain it was built with:
# a copy in the prefix keeps the prefix independent of this work tree.
mkdir -p "$cache" "$work/build"
cp "$toolchain" "$cache/mingw-w64-x86_64.cmake"
step "configuring" sh -c 'cd build && exec "$@"' sh ../src/configure -prefix "$cache" \
  "${configure_options[@]}" -cmake-generator Ninja -- \
  -DCMAKE_TOOLCHAIN_FILE="$cache/mingw-w64-x86_64.cmake" \
  -DQT_HOST_PATH_CMAKE_DIR="/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/cmake"
step "building" cmake --build build --parallel "$jobs"
step "installing" cmake --install build
echo "$key" >"$stamp"
cache_ok || { say "the installed Qt is incomplete; see $log"; exit 1; }
say "Qt $qt_version for Windows built in $(( SECONDS - start ))s: $(du -sh "$cache" | cut -f1)"
echo "$cache"
