#!/usr/bin/env bash
# The full encoder soak, natively under LeakSanitizer and under Wine: 10 rounds
# of 1,000 320x240 frames with buf_num 4, the handle closed and opened again
# after each round, and one minute (1,800 frames at 30 per second) of
# 1920x1080. Prints each round's figures (under Wine the private bytes and
# handles). Builds what it needs in the test command's build folders.
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
builds="$(realpath -m "${KV_BUILD_DIR:-$root/build}")"
"$root/scripts/setup.sh" >/dev/null || exit 1
export HWAVC_SOAK_ROUNDS=10 HWAVC_SOAK_FRAMES=1000 HWAVC_SOAK_HD_FRAMES=1800
rc=0
for preset in native-asan mingw; do
  { cmake --preset "$preset" -B "$builds/$preset" >/dev/null && cmake --build "$builds/$preset" --target hwavc_enc_soak >/dev/null; } || exit 1
done
echo "soak: native, under LeakSanitizer"
LD_LIBRARY_PATH="$builds/native-asan/bin/mfx_standin" ASAN_OPTIONS=detect_leaks=1 \
  "$builds/native-asan/bin/hwavc_enc_soak" || rc=1
echo "soak: hwavc_enc.dll under Wine"
"$root/scripts/wine-x11-run" "$builds/wine/x11" "$builds/mingw/bin/hwavc_enc_soak.exe" || rc=1
exit $rc
