#!/usr/bin/env bash
# The test command: sets up what is missing, builds the native sanitizer build
# and the Windows build, runs the native tests and the Windows tests under
# Wine, and ends with one line "N passed, N failed".
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
# KV_BUILD_DIR lets several people share one work tree without sharing builds.
builds="$(realpath -m "${KV_BUILD_DIR:-$root/build}")"
results="$builds/test-results"

"$root/scripts/setup.sh" || { echo "0 passed, 1 failed"; exit 1; }

build_failed=0
build() { # preset
  if ! { cmake --preset "$1" -B "$builds/$1" >/dev/null && cmake --build "$builds/$1"; } >"$results/build-$1.log" 2>&1; then
    echo "test: the $1 build failed:" >&2
    tail -40 "$results/build-$1.log" >&2
    build_failed=$((build_failed + 1))
  fi
}
rm -rf "$results" && mkdir -p "$results/native-asan" "$results/mingw"
build native-asan
build mingw

# Each GoogleTest program writes its cases to <results>/<preset>/<program>.xml.
# Windows programs need the folder as a Windows path (Wine maps / to Z:).
run_ctest() { # preset
  local dir="$results/$1/"
  [ "$1" = mingw ] && dir="Z:${dir//\//\\}"
  GTEST_OUTPUT="xml:$dir" ctest --test-dir "$builds/$1" --output-on-failure --output-junit "$results/$1.junit.xml" -j2 || true
}

source "$root/scripts/wine-env.sh"
source "$root/scripts/wine-prefix.sh"
source "$root/scripts/xvfb.sh"

[ -f "$builds/native-asan/CTestTestfile.cmake" ] && \
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 run_ctest native-asan
if [ -f "$builds/mingw/CTestTestfile.cmake" ]; then
  kv_wine_prefix_ready null
  kv_xvfb_start
  run_ctest mingw
  kv_xvfb_stop
  kv_wine_stop
fi

python3 "$root/scripts/test-summary.py" "$results" "$build_failed"
