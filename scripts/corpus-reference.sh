#!/usr/bin/env bash
# Converts every file of uchardet's test corpus to UTF-8 with the iconv tool,
# taking the encoding from the file's name (fr/utf-16.be: UTF-16BE,
# ja/shift_jis.txt: SHIFT_JIS), for the text decoding's corpus test.
# Writes <out>/<lang>/<file>.utf8 (a leading byte-order mark removed, as the
# decoder removes it) and <out>/index.txt: "<lang>/<file> <ENCODING>" a line.
# Usage: corpus-reference.sh <corpus-dir> <out-dir>
set -euo pipefail
corpus=$1 out=$2
[ -d "$corpus" ] || { echo "corpus-reference: no corpus at $corpus (scripts/setup.sh unpacks it)" >&2; exit 1; }
rm -rf "$out" && mkdir -p "$out"
bom=$(printf '\357\273\277')
for path in "$corpus"/*/*; do
  file=${path##*/}
  case $file in *.c|CMakeLists.txt) continue ;; esac
  lang=$(basename "$(dirname "$path")")
  stem=${file%%.*} ext=${file##*.}
  enc=$stem
  case $ext in be|le) enc=$stem$ext ;; esac
  enc=${enc^^}
  mkdir -p "$out/$lang"
  iconv -f "$enc" -t UTF-8 "$path" >"$out/$lang/$file.utf8.tmp"
  if [ "$(head -c 3 "$out/$lang/$file.utf8.tmp")" = "$bom" ]; then
    tail -c +4 "$out/$lang/$file.utf8.tmp" >"$out/$lang/$file.utf8"
    rm "$out/$lang/$file.utf8.tmp"
  else
    mv "$out/$lang/$file.utf8.tmp" "$out/$lang/$file.utf8"
  fi
  echo "$lang/$file $enc" >>"$out/index.txt"
done
