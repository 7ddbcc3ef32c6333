#!/usr/bin/env bash
# The main job: sets up what is missing, builds the Windows deliverables
# (Release, MinGW-w64 cross build) and puts them into dist/.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
scripts/setup.sh
cmake --preset mingw -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build --preset mingw
mkdir -p dist
shopt -s nullglob
shipped=()
# The tray needs GNU libiconv's DLL beside it; its LGPL text ships with it.
for f in build/mingw/bin/kovarel_tray.exe build/mingw/bin/hwavc_enc.dll build/mingw/bin/libiconv-2.dll; do
  cp "$f" dist/
  shipped+=("$(basename "$f")")
done
cp build/deps/mingw/share/licenses/libiconv/COPYING.LIB dist/libiconv-COPYING.LIB
echo "main: dist/ holds: ${shipped[*]:-nothing yet}"
