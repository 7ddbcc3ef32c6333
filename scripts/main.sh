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
for f in build/mingw/bin/kovarel_tray.exe build/mingw/bin/hwavc_enc.dll; do
  cp "$f" dist/
  shipped+=("$(basename "$f")")
done
echo "main: dist/ holds: ${shipped[*]:-nothing yet}"
