#!/usr/bin/env bash
# The Windows decode proof: the Windows program (run through the launcher
# given) writes each case's stream into FOLDER, then the native checker
# decodes and checks them. A GTEST_OUTPUT from the test command names a
# Windows folder (Z:\...): the native checker gets it back as a Unix one.
# Usage: windows_decode_proof.sh FOLDER NATIVE_CHECKER LAUNCHER... PROGRAM.exe
set -u
dir=$1 check=$2
shift 2
rm -rf "$dir" && mkdir -p "$dir"
HWAVC_PROOF_DIR="Z:${dir//\//\\}" "$@" || exit 1
if [[ ${GTEST_OUTPUT:-} == xml:Z:* ]]; then
  unix=${GTEST_OUTPUT#xml:Z:}
  export GTEST_OUTPUT="xml:${unix//\\//}"
fi
HWAVC_PROOF_DIR="$dir" exec "$check"
