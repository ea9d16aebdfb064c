#!/usr/bin/env bash
# clang-tidy, with the checked-in .clang-tidy, over the product's own code
# (app, lookup, ui, server); any finding fails.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
[ -f "$dir/compile_commands.json" ] || scripts/build.sh "$dir"
# The build may be GCC's: its options clang does not know are no finding.
run-clang-tidy -p "$dir" -quiet -j"$(nproc)" -extra-arg=-Wno-unknown-warning-option \
  "$PWD/(app|lookup|ui|server)/.*\.cpp\$" > "$dir/clang-tidy.log" 2>&1 || {
  grep -E "(warning|error):" "$dir/clang-tidy.log" || tail -n 40 "$dir/clang-tidy.log"
  echo "clang-tidy found problems"
  exit 1
}
echo "clang-tidy: no findings"
