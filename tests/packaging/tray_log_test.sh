#!/usr/bin/env bash
# The README's way to keep the tray's log: started from cmd with its output
# redirected to a file, the tray (a program without a console) writes its
# stamped lines there. The tray from the zip runs beside a stub server that
# ends by itself with 0, so the tray ends with 0 too and asks nothing.
# Runs in the project's Wine prefix, warmed as scripts/test.sh does.
# Usage: tray_log_test.sh ZIP STUB_KOVAREL_EXE
set -uo pipefail
source "$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)/scripts/wine-env.sh"
zip=$1 stub=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
python3 -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])' "$zip" "$work"
folder=$(echo "$work"/kovarel-desktop-*-win64)
cp "$stub" "$folder/kovarel.exe"
echo "exit 0 200" >"$folder/stub_mode.txt"

# As the README says: in cmd, in the tray's folder.
(cd "$folder" && timeout 60 wine cmd /c 'kovarel_tray.exe > tray.log 2>&1' </dev/null >/dev/null 2>&1)
# cmd need not wait for a program without a console: wait for the tray's last line.
for _ in $(seq 100); do
  grep -q "kovarel.exe done 0" "$folder/tray.log" 2>/dev/null && break
  sleep 0.1
done
# A stamped line: day of the month, time to the millisecond, the tray's label,
# the event.
stamp='^[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3} tray '
if grep -Eq "${stamp}kovarel\.exe done 0" "$folder/tray.log" 2>/dev/null; then
  echo "ok: the tray's stamped lines reached tray.log:"
  sed 's/^/  /' "$folder/tray.log"
  exit 0
fi
echo "FAIL: no stamped 'kovarel.exe done 0' line in tray.log; it holds:"
sed 's/^/  /' "$folder/tray.log" 2>/dev/null
exit 1
