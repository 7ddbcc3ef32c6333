#!/usr/bin/env bash
# Pictures of the tray at work. The packaged kovarel_tray.exe, beside a
# stand-in server as kovarel.exe, runs in Wine's virtual desktop with its
# taskbar on Xvfb. The shell tells where its taskbar and the tray's icon are
# (tests/support/taskbar_probe.cpp); once the icon is painted there
# ImageMagick grabs the screen; then a right click opens the icon's menu,
# another picture is taken, and a click on "Exit" ends the tray, which stops
# the server.
# Pictures in <out>:
#   tray-desktop.png  the whole 1024x768 desktop with the icon in the taskbar
#   tray-taskbar.png  the notification area, real size
#   tray-menu.png     the same corner with the icon's menu open
#   tray.png          the last two side by side, twice the size
# Everything started here is stopped here.
#
# Usage: scripts/screenshot.sh [mingw build dir]   (default build/mingw)
# KV_SCREENSHOT_DIR: where the pictures go (default build/screenshot);
# KV_WINEPREFIX_SCREENSHOT: the Wine prefix (default build/wine/screenshot,
# made on first use with Wine's X11 driver).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(realpath "${1:-$root/build/mingw}")
out=$(realpath -m "${KV_SCREENSHOT_DIR:-$root/build/screenshot}")
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
package="$build/kovarel-desktop-$version-win64.zip"
stub="$build/bin/support/kovarel.exe"
for f in "$package" "$stub" "$build/bin/support/taskbar_probe.exe"; do
  [ -f "$f" ] || { echo "screenshot: $f missing: build $build first" >&2; exit 1; }
done

# The tray's folder: the package's programs and the stand-in server, which
# runs until the tray stops it.
app="$out/app"
rm -rf "$out" && mkdir -p "$app"
python3 -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])' "$package" "$out"
cp "$out/kovarel-desktop-$version-win64/"*.exe "$out/kovarel-desktop-$version-win64/"*.dll "$app/"
cp "$stub" "$app/kovarel.exe"
cp "$build/bin/support/taskbar_probe.exe" "$app/"

source "$root/scripts/wine-env.sh"
source "$root/scripts/xvfb.sh"
source "$root/scripts/taskbar.sh"
kv_taskbar_session "${KV_WINEPREFIX_SCREENSHOT:-$root/build/wine/screenshot}"

# The tray runs inside the desktop, which ends with it.
kv_taskbar_desktop kovarel "$out/tray-log.txt" "$app/kovarel_tray.exe"
desktop_pid=$kv_desktop_pid

# Generous limits: a first run on a loaded 2-core machine makes the desktop,
# its taskbar and the tray's icon in tens of seconds.
limit=120
fail() { # message: the screen as it is then is kept for the reader
  import -window root "$shot" || true
  echo "screenshot: $1; the screen is in $shot; the tray's log:" >&2
  cat "$out/tray-log.txt" >&2
  exit 1
}
probe() { # what (a tip or --menu): where it is, from the shell itself
  kv_taskbar_probe "$app/taskbar_probe.exe" kovarel "$1" "$limit"
}
# How many pixels of the box (x y w h) in the picture are of the icon's blue
# tile: the shell may list the icon a moment before it has painted it.
tile_pixels() { # png x y w h
  convert "$1" -crop "$4x$5+$2+$3" +repage -depth 8 rgb:- | python3 -c '
import sys
px = sys.stdin.buffer.read()
print(sum(1 for i in range(0, len(px), 3)
          if px[i + 2] >= 0x80 and px[i + 2] - px[i] >= 0x50 and px[i + 1] < px[i + 2]))
'
}

shot="$out/tray-desktop.png"
import -window root "$shot"
found=$(probe "Kovarel Media Server") || fail "the tray's icon was not found in the taskbar: ${found:-no answer}"
read -r ix iy iw ih <<<"$(kv_taskbar_field icon "$found")"
read -r tx ty tw th <<<"$(kv_taskbar_field taskbar "$found")"
# A notification icon is 16x16 at 96 DPI in a cell of a few pixels more.
if [ "$iw" -lt 16 ] || [ "$iw" -gt 32 ] || [ "$ih" -lt 16 ] || [ "$ih" -gt 32 ]; then
  fail "the icon's box ${iw}x${ih} at $ix,$iy is not icon-sized"
fi
painted=0
for _ in $(seq $((limit * 2))); do
  import -window root "$shot"
  [ "$(tile_pixels "$shot" "$ix" "$iy" "$iw" "$ih")" -ge 20 ] && { painted=1; break; }
  sleep 0.5
done
[ $painted = 1 ] || fail "the icon at $ix,$iy (${iw}x${ih}) in the taskbar ${tw}x${th} at $tx,$ty was never painted"
echo "screenshot: the tray's icon shows, ${iw}x${ih} pixels at $ix,$iy in the taskbar ${tw}x${th} at $tx,$ty"
corner="256x48+768+720"  # the bottom-right corner, room for the menu
convert "$shot" -crop "$corner" +repage "$out/tray-taskbar.png"

xdotool mousemove $((ix + iw / 2)) $((iy + ih / 2)) click 3
menu=$(probe --menu) || fail "a right click on the icon opened no menu: ${menu:-no answer}"
read -r mx my mw mh <<<"$(kv_taskbar_field menu "$menu")"
# The pointer onto the menu's only item, "Exit", which fills it: off the icon
# its tip, which would cover the menu, goes away.
xdotool mousemove $((mx + mw / 2)) $((my + mh / 2))
sleep 1  # the menu window exists a moment before it is drawn
import -window root "$out/tray-menu-desktop.png"
convert "$out/tray-menu-desktop.png" -crop "$corner" +repage "$out/tray-menu.png"
rm "$out/tray-menu-desktop.png"
convert "$out/tray-taskbar.png" \( -size 8x48 xc:'#103a52' \) "$out/tray-menu.png" +append \
  -filter point -resize 200% "$out/tray.png"

xdotool click 1
for _ in $(seq $((limit * 2))); do
  kill -0 $desktop_pid 2>/dev/null || break
  sleep 0.5
done
kill -0 $desktop_pid 2>/dev/null && fail "the tray did not end after Exit"
echo "screenshot: Exit ended the tray; pictures in $out: tray-desktop.png tray-taskbar.png tray-menu.png tray.png"
