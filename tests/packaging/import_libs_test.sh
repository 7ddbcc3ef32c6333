#!/usr/bin/env bash
# The package's import libraries as integrators use them: import_caller.c is
# built three ways against the unpacked zip, with MinGW and lib/libhwavc_enc.dll.a,
# with clang's MSVC target and with clang-cl, both linked by lld-link with
# lib/hwavc_enc.lib, and each program runs under Wine against the zip's
# hwavc_enc.dll with the runtime stand-in beside it. Ends non-zero when any
# build or run fails.
# Usage: import_libs_test.sh ZIP MINGW_CC STANDIN_DLL CALLER_C LAUNCHER...
set -uo pipefail
zip=$1 cc=$2 standin=$3 caller=$(realpath "$4")
shift 4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
python3 -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])' "$zip" "$work"
package=$(echo "$work"/kovarel-desktop-*-win64)
cp "$standin" "$package/"
# Built inside the package folder, as an integrator would; the launcher's
# arguments stay relative to where this started.
pushd "$package" >/dev/null

failed=0
step() { # what command...
  local what=$1
  shift
  if ! out=$("$@" 2>&1); then
    echo "FAIL: $what: $out"
    failed=1
    return 1
  fi
}

# No C library in the MSVC-format programs: freestanding, no stack cookie.
msvc_link=(lld-link /nologo /entry:caller_main /subsystem:console /nodefaultlib)
built=()
step "MinGW with lib/libhwavc_enc.dll.a" \
  "$cc" -std=c99 -Wall -Wextra -Werror -I include "$caller" lib/libhwavc_enc.dll.a -o caller_mingw.exe &&
  built+=(caller_mingw.exe)
step "clang --target=x86_64-pc-windows-msvc with lib/hwavc_enc.lib" \
  clang --target=x86_64-pc-windows-msvc -std=c99 -Wall -Wextra -Werror -O2 -ffreestanding -fno-stack-protector \
  -I include -c "$caller" -o caller_clang.obj &&
  step "lld-link of the clang caller" "${msvc_link[@]}" /out:caller_clang.exe caller_clang.obj lib/hwavc_enc.lib &&
  built+=(caller_clang.exe)
step "clang-cl with lib/hwavc_enc.lib" \
  clang --driver-mode=cl /nologo /W4 /WX /O2 /GS- /clang:-ffreestanding /I include /c /Focaller_cl.obj -- "$caller" &&
  step "lld-link of the clang-cl caller" "${msvc_link[@]}" /out:caller_cl.exe caller_cl.obj lib/hwavc_enc.lib &&
  built+=(caller_cl.exe)
popd >/dev/null

# The exit codes of import_caller.c.
reasons=(ok "open failed" "an encode call failed" "not every frame came back" "a coded frame is not H.264"
  "close failed" "no log line")
for exe in "${built[@]}"; do
  "$@" "$package/$exe" >"$package/$exe.log" 2>&1
  rc=$?
  if [ $rc = 0 ]; then
    echo "ok: $exe encoded 12 frames through hwavc_enc.dll and got all 12 back"
  else
    echo "FAIL: $exe ended with $rc (${reasons[$rc]:-?}): $(tail -5 "$package/$exe.log")"
    failed=1
  fi
done
[ ${#built[@]} = 3 ] || failed=1
exit $failed
