#!/usr/bin/env bash
# Leaves in OUT_DIR the Debian packages of the previous release, 1.0.0.0
# (tag v1.0.0.0), for the boot test's upgrade. They are built once from that
# commit with dpkg-buildpackage and kept in this machine's cache:
#   /var/cache/velmario/release-1.0.0.0-<commit>   (or $VELMARIO_RELEASE_CACHE)
#
#   previous_release.sh SOURCE_DIR OUT_DIR
#
# Exits 77 (skipped), saying why, where SOURCE_DIR is not a git clone with
# that commit (a tarball has no history to build the release from).
set -euo pipefail
source_dir=$1
out_dir=$2
release=1.0.0.0
tag=v$release
# The tag's commit, for a clone that came without tags.
tagged=7961c74331cef97ca480e58d5992e3a8675d67a8
skip() { echo "SKIP: $*"; exit 77; }
fail() { echo "FAIL: $*"; exit 1; }

command -v git >/dev/null || skip "git is missing: the previous release cannot be built"
git -C "$source_dir" rev-parse --git-dir >/dev/null 2>&1 ||
  skip "$source_dir is not a git clone: the previous release cannot be built"
commit=$(git -C "$source_dir" rev-parse --verify -q "$tag^{commit}" || true)
if [ -z "$commit" ]; then
  git -C "$source_dir" cat-file -e "$tagged^{commit}" 2>/dev/null ||
    skip "neither $tag nor its commit is in this clone"
  commit=$tagged
fi
[ "$commit" = "$tagged" ] || fail "$tag names $commit, not the release's commit $tagged"

if [ -n "${VELMARIO_RELEASE_CACHE:-}" ]; then
  cache=$VELMARIO_RELEASE_CACHE
elif [ -w /var/cache ] || [ -w /var/cache/velmario ]; then
  cache=/var/cache/velmario/release-$release-${commit:0:12}
else
  cache=${XDG_CACHE_HOME:-$HOME/.cache}/velmario/release-$release-${commit:0:12}
fi
mkdir -p "$(dirname "$cache")"
exec 9>"$cache.lock"
flock 9 # another run building it: wait for its packages

if ! ls "$cache"/velmario-server_"$release"_*.deb "$cache"/velmario_"$release"_*.deb >/dev/null 2>&1; then
  started=$SECONDS
  scratch=$(mktemp -d)
  trap 'rm -rf "$scratch"' EXIT
  mkdir "$scratch/velmario"
  git -C "$source_dir" archive "$commit" | tar -C "$scratch/velmario" -xf -
  (cd "$scratch/velmario" && DEB_BUILD_OPTIONS="nocheck parallel=$(nproc)" dpkg-buildpackage -us -uc -b \
     >"$scratch/build.log" 2>&1) || { tail -n 60 "$scratch/build.log"; fail "dpkg-buildpackage of $tag"; }
  rm -rf "$cache.new"
  mkdir "$cache.new"
  cp "$scratch"/velmario-server_"$release"_*.deb "$scratch"/velmario_"$release"_*.deb "$cache.new"/
  rm -rf "$cache"
  mv "$cache.new" "$cache"
  echo "built the $release packages from $tag in $((SECONDS - started)) s, kept in $cache"
else
  echo "the $release packages, from $cache"
fi
mkdir -p "$out_dir"
rm -f "$out_dir"/*.deb
cp "$cache"/*.deb "$out_dir"/
