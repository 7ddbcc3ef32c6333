#!/usr/bin/env bash
# package_reproducible.sh SOURCE_DIR BUILD_TYPE DEPS_PREFIX EPOCH ZIP SYMBOLS_ZIP
# The release from the same sources, built again in another folder (a copy of
# the tree under another path, its own build folder) and at another time,
# gives both zips byte for byte. Only the shipped targets are built, -j2.
set -uo pipefail
source_dir=$1 build_type=$2 deps=$3 epoch=$4 zip=$5 symbols=$6
# The linker orders some imports by the paths of the libraries, and the
# system's lie under /usr: the copy, with its own copy of the dependencies,
# lies on the other side of /usr from the tree.
if [[ "$source_dir/" < /usr/x86_64-w64-mingw32/ ]]; then parent=/var/tmp; else parent=/tmp; fi
work=$(mktemp -d "$parent/kv-reproducible-XXXXXX")
trap 'rm -rf "$work"' EXIT
other="$work/another/checkout"
mkdir -p "$other"
# The files of the working tree that git tracks or would track.
(cd "$source_dir" && git ls-files -z --cached --others --exclude-standard |
  while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done | tar --null -T - -cf -) | tar -C "$other" -xf - ||
  { echo "FAILED: copying the tree"; exit 1; }

# The dependencies' builds are copied; their sources, read for the licence
# texts only, are linked.
mkdir -p "$other/build/deps" && cp -a "$deps" "$other/build/deps/mingw" && ln -s "$deps/../src" "$other/build/deps/src" ||
  { echo "FAILED: copying the dependencies"; exit 1; }

started=$SECONDS
# The copy has no git history: the commit's time comes along as SOURCE_DATE_EPOCH.
if ! { SOURCE_DATE_EPOCH=$epoch cmake -S "$other" -B "$other/build/elsewhere" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$other/cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE="$build_type" \
  -DKV_TESTS=OFF -DKV_DEPS_PREFIX="$other/build/deps/mingw" && cmake --build "$other/build/elsewhere" -j2 --target package_zip; } \
  >"$work/build.log" 2>&1; then
  echo "FAILED: the second build"
  tail -30 "$work/build.log"
  exit 1
fi
echo "second build of the package: $((SECONDS - started)) s"

failed=0
for first in "$zip" "$symbols"; do
  second="$other/build/elsewhere/$(basename "$first")"
  if cmp -s "$first" "$second"; then
    echo "ok: $(basename "$first") is the same, byte for byte"
    continue
  fi
  failed=$((failed + 1))
  echo "FAILED: $(basename "$first") differs (entries' sizes, times and CRCs, first build then second):"
  diff <(unzip -v "$first" | tail -n +2) <(unzip -v "$second" | tail -n +2) | grep '^[<>]'
done
echo "$failed failed"
[ "$failed" -eq 0 ]
