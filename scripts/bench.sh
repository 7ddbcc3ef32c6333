#!/usr/bin/env bash
# Builds the benchmarks (native, optimised) and runs each; every benchmark
# prints its figures as ratios against a reference measured in the same run.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
scripts/setup-packages.sh
builds="$(realpath -m "${KV_BUILD_DIR:-$root/build}")"
cmake --preset bench -B "$builds/bench" >/dev/null
cmake --build "$builds/bench" -- -j2 >/dev/null
for b in "$builds"/bench/bin/*_bench; do
  echo "== $(basename "$b")"
  "$b" --benchmark_color=false "$@"
done
