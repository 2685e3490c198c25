#!/bin/sh
# Runs every fuzz target in BUILD/fuzzers for SECONDS each, starting from its
# seed corpus here. New inputs and any crash stay in the build directory; the
# runs themselves work in a scratch directory outside the source tree.
# Usage: run.sh BUILD SECONDS
set -eu
build=$(cd "$1" && pwd)
seconds=$2
seeds=$(cd "$(dirname "$0")/corpus" && pwd)
scratch=$(mktemp -d /var/tmp/qkfuzz-XXXXXX)
trap '[ -n "$scratch" ] && rm -rf "$scratch"' EXIT
cd "$scratch"
for target in "$build"/fuzzers/*_fuzz; do
  name=$(basename "$target" _fuzz)
  mkdir -p "$build/corpus/$name"
  printf '%-16s %ss ... ' "$name" "$seconds"
  if "$target" -max_total_time="$seconds" -artifact_prefix="$build/$name-" \
       "$build/corpus/$name" "$seeds/$name" >"$build/$name.log" 2>&1; then
    grep -o 'Done [0-9]* runs' "$build/$name.log" || echo done
  else
    echo FAILED
    tail -40 "$build/$name.log"
    exit 1
  fi
done
