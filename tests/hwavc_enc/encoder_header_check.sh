#!/usr/bin/env bash
# encoder_header_check.sh INCLUDE_DIR CC CXX: the public header as callers
# compile it. C99, C11 and C++11 with the MinGW compilers (CC, CXX) and with
# clang's MSVC target, warnings as errors, under a caller's #pragma pack(1)
# (its layout checks stop the compile if the packing reached the records),
# each pointer type taking its export. Any target other than x86-64 is refused.
set -uo pipefail
include=$1 cc=$2 cxx=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cat >"$work/caller.c" <<'CALLER'
#pragma pack(1) /* the caller's packing, which must not reach the records */
#include "hwavc_enc.h"

/* ...and is the caller's again after the header */
struct caller_record { char c; int i; };
typedef char caller_packing_kept[sizeof(struct caller_record) == 5 ? 1 : -1];
#pragma pack()

int pointer_types_take_the_exports(void);
int pointer_types_take_the_exports(void) {
  hwavc_enc_open_func open_f = hwavc_enc_open;
  hwavc_enc_encode_func encode_f = hwavc_enc_encode;
  hwavc_enc_close_func close_f = hwavc_enc_close;
  hwavc_enc_reset_func reset_f = hwavc_enc_reset;
  hwavc_enc_done_func done_f = hwavc_enc_done;
  hwavc_enc_get_msg_func get_msg_f = hwavc_enc_get_msg;
  return open_f && encode_f && close_f && reset_f && done_f && get_msg_f;
}
CALLER

failed=0
expect() { # what, command...
  local what=$1
  shift
  if "$@" >"$work/out" 2>&1; then
    echo "ok: $what"
  else
    echo "FAILED: $what"
    sed 's/^/  /' "$work/out"
    failed=$((failed + 1))
  fi
}
refused() { # target
  if clang --target="$1" -I"$include" -fsyntax-only "$work/caller.c" >"$work/out" 2>&1; then
    echo "FAILED: $1 compiled the header"
  elif grep -q "hwavc_enc is an x86-64 library" "$work/out"; then
    echo "ok: $1 refused"
    return
  else
    echo "FAILED: $1 refused for another reason:"
    sed 's/^/  /' "$work/out"
  fi
  failed=$((failed + 1))
}

flags=(-Wall -Wextra -pedantic -Werror -I"$include" -fsyntax-only)
msvc=(--target=x86_64-pc-windows-msvc -fms-extensions)
for std in c99 c11; do
  expect "MinGW $std" "$cc" -std=$std "${flags[@]}" "$work/caller.c"
  expect "clang MSVC target $std" clang "${msvc[@]}" -std=$std "${flags[@]}" "$work/caller.c"
done
expect "MinGW c++11" "$cxx" -x c++ -std=c++11 "${flags[@]}" "$work/caller.c"
expect "clang MSVC target c++11" clang++ "${msvc[@]}" -x c++ -std=c++11 "${flags[@]}" "$work/caller.c"
for target in i686-w64-mingw32 i686-pc-windows-msvc aarch64-linux-gnu aarch64-pc-windows-msvc; do refused $target; done
echo "$failed failed"
[ "$failed" -eq 0 ]
