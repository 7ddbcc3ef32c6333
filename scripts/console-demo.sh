#!/usr/bin/env bash
# Shows the tray working under Wine: kovarel_tray.exe from the release zip beside a
# demonstration server (as kovarel.exe) that serves the web console on the
# port of its configuration. A driver double-clicks the icon, fetches the URL
# the shell was asked to open, prints the page and stops the tray through its
# "Exit" item. Everything started here is stopped here.
# Usage: scripts/console-demo.sh <mingw build dir>
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(realpath "${1:-$root/build/mingw}")
demo="$root/build/demo"

rm -rf "$demo" && mkdir -p "$demo/cfg.win32"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
folder="kovarel-desktop-$version-win64"
python3 -c 'import sys, zipfile; z = zipfile.ZipFile(sys.argv[1]); [open(f"{sys.argv[3]}/{n}", "wb").write(z.read(f"{sys.argv[2]}/{n}")) for n in sys.argv[4:]]' \
  "$build/$folder.zip" "$folder" "$demo" kovarel_tray.exe libiconv-2.dll
cp "$build/bin/support/demo/kovarel.exe" "$demo/"
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
printf '{"name": "demo", "port": %s}\n' "$port" >"$demo/cfg.win32/kovarel.cfg"
echo "console demo: cfg.win32/kovarel.cfg names port $port"

source "$root/scripts/wine-env.sh"
source "$root/scripts/wine-prefix.sh"
kv_wine_prefix_ready null
trap kv_wine_stop EXIT
# Wine hands URLs the shell opens to this recorder instead of a browser.
wine reg add 'HKCU\Software\Wine\WineBrowser' /v Browsers /d "$root/tests/support/browser_recorder.sh" /f \
  </dev/null >/dev/null 2>&1
wine "$build/bin/support/console_demo.exe" "Z:${demo//\//\\}\\"
