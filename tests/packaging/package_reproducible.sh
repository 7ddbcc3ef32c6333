#!/usr/bin/env bash
# package_reproducible.sh SOURCE_DIR BUILD_TYPE DEPS_PREFIX EPOCH ZIP SYMBOLS_ZIP
# The release from the same sources, built again in another folder (a copy of
# the tree under another path, its own build folder) and at another time,
# gives both zips byte for byte. Only the shipped targets are built, -j2.
set -uo pipefail
source_dir=$1 build_type=$2 deps=$3 epoch=$4 zip=$5 symbols=$6
work=$(mktemp -d /tmp/kv-reproducible-XXXXXX)
trap 'rm -rf "$work"' EXIT
other="$work/another/checkout"
mkdir -p "$other"
# The files of the working tree that git tracks or would track.
(cd "$source_dir" && git ls-files -z --cached --others --exclude-standard |
  while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done | tar --null -T - -cf -) | tar -C "$other" -xf - ||
  { echo "FAILED: copying the tree"; exit 1; }

started=$SECONDS
# The copy has no git history: the commit's time comes along as SOURCE_DATE_EPOCH.
if ! { SOURCE_DATE_EPOCH=$epoch cmake -S "$other" -B "$other/build/elsewhere" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$other/cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE="$build_type" \
  -DKV_TESTS=OFF -DKV_DEPS_PREFIX="$deps" && cmake --build "$other/build/elsewhere" -j2 --target package_zip; } \
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
  echo "FAILED: $(basename "$first") differs:"
  python3 - "$first" "$second" <<'DIFF'
import sys, zipfile
a, b = (zipfile.ZipFile(p) for p in sys.argv[1:3])
ia, ib = ({i.filename: i for i in z.infolist()} for z in (a, b))
for name in sorted(set(ia) | set(ib)):
    x, y = ia.get(name), ib.get(name)
    if x is None or y is None:
        print(f"  {name}: only in the {'second' if x is None else 'first'}")
    elif a.read(name) != b.read(name):
        print(f"  {name}: contents")
    elif (x.date_time, x.external_attr) != (y.date_time, y.external_attr):
        print(f"  {name}: entry {x.date_time} {x.external_attr:o} against {y.date_time} {y.external_attr:o}")
if [i.filename for i in a.infolist()] != [i.filename for i in b.infolist()]:
    print("  the entries' order")
DIFF
done
echo "$failed failed"
[ "$failed" -eq 0 ]
