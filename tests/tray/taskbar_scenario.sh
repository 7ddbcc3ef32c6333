#!/usr/bin/env bash
# The tray on a user's paths in a real taskbar: kovarel_tray.exe, beside the
# stand-in server, runs in Wine's virtual desktop on an X server of its own and
# is driven with real mouse events where the shell says its icon and menu are.
# Its icon must be in the notification area with the tip "Kovarel Media
# Server" and look as the program's icon does there; a double click opens the
# console; after the shell has lost the icon and broadcast "TaskbarCreated"
# the icon is back and answers again; a right click shows the one item "Exit",
# and choosing it ends the tray with 0 and the server with 9.
#
# Usage: taskbar_scenario.sh <mingw build dir>. Prints one line per finding,
# "taskbar: FAIL ..." for each failure, and ends with 0 only without one.
# Pictures and logs stay in <build>/tray-taskbar. KV_TASKBAR_EXPECTED names
# another folder of expected pictures (default: beside this script).
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../.." && pwd)
build=$(realpath "$1")
expected=${KV_TASKBAR_EXPECTED:-$here}
out="$build/tray-taskbar"
app="$out/app"
probe="$build/bin/support/taskbar_probe.exe"
helper="$build/bin/support/tray_in_desktop.exe"
rm -rf "$out" && mkdir -p "$app"
cp "$build/bin/kovarel_tray.exe" "$build/bin/"*.dll "$build/bin/support/kovarel.exe" "$app/"

source "$root/scripts/wine-env.sh"
source "$root/scripts/xvfb.sh"
source "$root/scripts/taskbar.sh"
kv_taskbar_session "$root/build/wine/taskbar" || { echo "taskbar: FAIL no X server"; exit 1; }
wine reg add 'HKCU\Software\Wine\WineBrowser' /v Browsers /d "$root/tests/support/browser_recorder.sh" /f \
  </dev/null >/dev/null 2>&1

failures=0
fail() { echo "taskbar: FAIL $1"; failures=$((failures + 1)); }
# Stops the scenario: what follows needs what failed.
give_up() {
  fail "$1"
  import -window root "$out/screen-at-failure.png" 2>/dev/null
  echo "taskbar: the screen is in $out/screen-at-failure.png; the tray's log:"
  cat "$app/tray_out.txt" 2>/dev/null
  exit 1
}
# Polls: a shell that has listed something may not have painted it yet.
eventually() { # tries command...
  local tries=$1
  shift
  for _ in $(seq "$tries"); do
    "$@" && return 0
    sleep 0.2
  done
  return 1
}
url_count() { [ -f "$app/browser_urls.txt" ] && wc -l <"$app/browser_urls.txt" || echo 0; }
urls_are() { [ "$(url_count)" -ge "$1" ]; }
# Whether the screen's box x y w h shows the expected picture, pixel for pixel;
# the last grab stays in $out/<name>.png.
shows() { # name x y w h
  import -window root -crop "$4x$5+$2+$3" +repage "$out/$1.png" 2>/dev/null &&
    [ "$(compare -metric AE "$out/$1.png" "$expected/taskbar_$1.png" null: 2>&1)" = 0 ]
}
find_icon() { # limit: sets ix iy iw ih
  local found
  found=$(kv_taskbar_probe "$probe" kvtray "Kovarel Media Server" "$1") || return 1
  read -r ix iy iw ih <<<"$(kv_taskbar_field icon "$found")"
}
double_click_opens() { # URLs recorded before
  xdotool mousemove $((ix + iw / 2)) $((iy + ih / 2)) sleep 0.3 click --repeat 2 --delay 100 1
  eventually 50 urls_are $(($1 + 1)) || return 1
  [ "$(tail -1 "$app/browser_urls.txt")" = "http://127.0.0.1:5566/wscli/general/" ]
}

kv_taskbar_desktop kvtray "$out/desktop-log.txt" "$helper" run "Z:${app//\//\\}\\"

# Found by its tip among the notification area's icons, icon-sized.
find_icon 120 || give_up "no icon with the tip \"Kovarel Media Server\" in the taskbar"
echo "taskbar: the icon with the tip \"Kovarel Media Server\" is at $ix,$iy, ${iw}x${ih}"
[ "$iw" -ge 16 ] && [ "$iw" -le 32 ] && [ "$ih" -ge 16 ] && [ "$ih" -le 32 ] || fail "the icon's box is not icon-sized"
eventually 100 shows icon "$ix" "$iy" "$iw" "$ih" || fail "the icon does not look as expected: see $out/icon.png"

double_click_opens 0 || fail "a double click on the icon did not open the console: $(url_count) URLs"

# The shell loses its icons when it restarts and then broadcasts
# "TaskbarCreated".
wine "Z:${helper//\//\\}" forget-icon kvtray </dev/null >/dev/null 2>&1 || give_up "the icon could not be removed"
find_icon 20 || give_up "after \"TaskbarCreated\" the icon is not back"
double_click_opens 1 || fail "after \"TaskbarCreated\" a double click did not open the console"

xdotool mousemove $((ix + iw / 2)) $((iy + ih / 2)) click 3
menu=$(kv_taskbar_probe "$probe" kvtray --menu 20) || give_up "a right click on the icon showed no menu"
read -r mx my mw mh <<<"$(kv_taskbar_field menu "$menu")"
echo "taskbar: the menu is at $mx,$my, ${mw}x${mh}"
# With the pointer on its middle the one item "Exit" is highlighted.
xdotool mousemove $((mx + mw / 2)) $((my + mh / 2))
eventually 50 shows menu "$mx" "$my" "$mw" "$mh" || fail "the menu is not the one item \"Exit\": see $out/menu.png"

xdotool click 1
eventually 150 test -f "$app/exit_codes.txt" || give_up "the tray did not end after Exit"
grep -qx "tray 0" "$app/exit_codes.txt" || fail "the tray ended with $(sed -n 's/^tray //p' "$app/exit_codes.txt")"
grep -qx "server 9" "$app/exit_codes.txt" || fail "the server ended with $(sed -n 's/^server //p' "$app/exit_codes.txt")"
wait "$kv_desktop_pid"
echo "taskbar: $failures failures"
[ "$failures" = 0 ]
