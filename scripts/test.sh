#!/usr/bin/env bash
# Installs what is missing, builds the project and runs the whole test suite:
# first as the Debian packages build it (the packages themselves are tested
# too), then with address and undefined-behaviour sanitizers, with the
# thread sanitizer (the server), as fuzzers, and for Windows.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh --test

run_ctest() {
  local dir=$1; shift
  # The tests serve on loopback port 1007, which needs root; elsewhere they
  # run as root of a private user and network namespace.
  if [ "$(id -u)" -eq 0 ]; then
    ctest --test-dir "$dir" --output-on-failure --timeout 300 "$@"
  else
    unshare --user --map-root-user --net bash -c \
      "ip link set lo up && ctest --test-dir '$dir' --output-on-failure --timeout 300 $*"
  fi
}

# Warnings fail these builds: the tree stays free of them.
werror=-DVELMARIO_WERROR=ON

# The plain build is the packages' own: dpkg-buildpackage compiles the tree
# once, with Debian's flags, the tests and benchmarks included; the suite
# runs from that build tree, and package_test checks the packages it made
# (kept in build-packages, from the folder above this one).
version=$(dpkg-parsechangelog -SVersion)
arch=$(dpkg-architecture -qDEB_HOST_ARCH)
build=obj-$(dpkg-architecture -qDEB_HOST_GNU_TYPE)
rm -rf build-packages
mkdir build-packages
DEB_BUILD_OPTIONS="nocheck parallel=$(nproc)" \
  VELMARIO_CMAKE_OPTIONS="$werror -DVELMARIO_BUILD_TESTS=ON -DVELMARIO_BUILD_BENCH=ON" \
  dpkg-buildpackage -us -uc -b >build-packages/build.log 2>&1 || {
  tail -n 60 build-packages/build.log; echo "dpkg-buildpackage failed"; exit 1
}
mv ../velmario_"${version}_${arch}".{changes,buildinfo,deb} ../velmario-server_"${version}_${arch}".deb \
  ../velmario-dbgsym_"${version}_${arch}".*deb ../velmario-server-dbgsym_"${version}_${arch}".*deb build-packages/
rm build-packages/build.log
export VELMARIO_PACKAGES=$PWD/build-packages
run_ctest "$build"
unset VELMARIO_PACKAGES
scripts/tidy.sh "$build"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp
scripts/build.sh build-asan "$werror" -DCMAKE_BUILD_TYPE=Debug -DVELMARIO_SANITIZE=ON -DVELMARIO_BUILD_BENCH=OFF
run_ctest build-asan

# The thread sanitizer over the server and its tests (label "server"): its
# loop, source, log, metrics and status threads share state.
export TSAN_OPTIONS="halt_on_error=1 die_after_fork=0 second_deadlock_stack=1 suppressions=$PWD/tests/tsan.supp"
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$werror" -DVELMARIO_TSAN=ON \
  -DVELMARIO_BUILD_BENCH=OFF >/dev/null
mapfile -t server_tests < <(ctest --test-dir build-tsan -N -L server | awk '/Test +#/ { print $3 }')
cmake --build build-tsan -j"$(nproc)" --target velmario-server "${server_tests[@]}"
run_ctest build-tsan -L server
unset TSAN_OPTIONS

# Fuzzers: the reply rules, the server's answer to any request, CSV import,
# framing, PostgreSQL's COPY rows, and reply tables read back from a file.
tests/fuzz/run.sh "$werror"

# The Windows client: Qt for Windows (built once, cached), the client and its
# MSI (scripts/windows.sh), then its tests and the MSI under wine, against
# the Linux server on loopback.
VELMARIO_WINDOWS_CMAKE_OPTIONS=$werror scripts/windows.sh
export VELMARIO_SERVER=$PWD/$build/server/velmario-server
msi=$(ls build-windows/velmario-*-x64.msi)
if [ "$(id -u)" -eq 0 ]; then
  tests/windows_test.sh build-windows "$msi"
else
  unshare --user --map-root-user --net bash -c "ip link set lo up && tests/windows_test.sh build-windows '$msi'"
fi
