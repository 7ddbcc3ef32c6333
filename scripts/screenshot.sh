#!/usr/bin/env bash
# Pictures of the tray at work. The packaged kovarel_tray.exe, beside a
# stand-in server as kovarel.exe, runs in Wine's virtual desktop with its
# taskbar on Xvfb. Once its icon shows in the notification area ImageMagick
# grabs the screen; then a right click opens the icon's menu, another picture
# is taken, and a click on "Exit" ends the tray, which stops the server.
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
for f in "$package" "$stub"; do
  [ -f "$f" ] || { echo "screenshot: $f missing: build $build first" >&2; exit 1; }
done

# The tray's folder: the package's programs and the stand-in server, which
# runs until the tray stops it.
app="$out/app"
rm -rf "$out" && mkdir -p "$app"
python3 -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])' "$package" "$out"
cp "$out/kovarel-desktop-$version-win64/"*.exe "$out/kovarel-desktop-$version-win64/"*.dll "$app/"
cp "$stub" "$app/kovarel.exe"

source "$root/scripts/wine-env.sh"
WINEPREFIX=$(realpath -m "${KV_WINEPREFIX_SCREENSHOT:-$root/build/wine/screenshot}")
export WINEPREFIX
source "$root/scripts/xvfb.sh"

# One run at a time per prefix.
mkdir -p "$WINEPREFIX"
exec 9>"$WINEPREFIX.lock"
flock 9

kv_xvfb_start
export DISPLAY="$KV_XVFB_DISPLAY"
finish() {
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
  kv_xvfb_stop
}
trap finish EXIT

if [ ! -f "$WINEPREFIX/.kv-ready-x11" ]; then
  wine wineboot -i </dev/null >/dev/null 2>&1
  wineserver -w
  touch "$WINEPREFIX/.kv-ready-x11"
fi
# A persistent, warmed-up server: Wine's services must not hold this
# script's output (the pipe trap).
wineserver -p </dev/null >/dev/null 2>&1
wine wineboot </dev/null >/dev/null 2>&1

# A named virtual desktop has the taskbar with its notification area; the
# tray runs inside it and the desktop ends with it.
wine explorer /desktop=kovarel,1024x768 "Z:${app//\//\\}\\kovarel_tray.exe" \
  </dev/null >"$out/tray-log.txt" 2>&1 &
desktop_pid=$!

# Where the icon is: within the taskbar band at the bottom (the rows of the
# bottom-middle pixel's colour), the pixels of the icon's blue tile at the
# right end. Prints "x y width height" of their box; nothing while the icon
# is not there.
find_icon() { # png
  convert "$1" -depth 8 rgb:- | python3 -c '
import sys
w, h = 1024, 768
px = sys.stdin.buffer.read()
at = lambda x, y: tuple(px[3 * (y * w + x):3 * (y * w + x) + 3])
band = at(w // 2, h - 1)
top = h - 1
while top > 0 and at(w // 2, top - 1) == band:
    top -= 1
hits = [(x, y) for y in range(top, h) for x in range(w - 200, w)
        if (lambda r, g, b: b >= 0x80 and b - r >= 0x50 and g < b)(*at(x, y))]
if len(hits) >= 20:
    xs, ys = [x for x, _ in hits], [y for _, y in hits]
    print(min(xs), min(ys), max(xs) - min(xs) + 1, max(ys) - min(ys) + 1)
'
}

shot="$out/tray-desktop.png"
icon=""
for _ in $(seq 60); do
  sleep 0.5
  import -window root "$shot"
  icon=$(find_icon "$shot")
  [ -n "$icon" ] && break
done
if [ -z "$icon" ]; then
  echo "screenshot: no notification icon after 30 s; the screen is in $shot" >&2
  exit 1
fi
read -r ix iy iw ih <<<"$icon"
echo "screenshot: the tray's icon shows, ${iw}x${ih} pixels at $ix,$iy"
corner="256x48+768+720"  # the bottom-right corner, room for the menu
convert "$shot" -crop "$corner" +repage "$out/tray-taskbar.png"

xdotool mousemove $((ix + iw / 2)) $((iy + ih / 2)) click 3
sleep 1
import -window root "$out/tray-menu-desktop.png"
convert "$out/tray-menu-desktop.png" -crop "$corner" +repage "$out/tray-menu.png"
rm "$out/tray-menu-desktop.png"
convert "$out/tray-taskbar.png" \( -size 8x48 xc:'#103a52' \) "$out/tray-menu.png" +append \
  -filter point -resize 200% "$out/tray.png"

# The menu opens under the pointer, on its only item.
xdotool click 1
for _ in $(seq 20); do
  kill -0 $desktop_pid 2>/dev/null || break
  sleep 0.5
done
if kill -0 $desktop_pid 2>/dev/null; then
  echo "screenshot: the tray did not end after Exit; its log:" >&2
  cat "$out/tray-log.txt" >&2
  exit 1
fi
echo "screenshot: Exit ended the tray; pictures in $out: tray-desktop.png tray-taskbar.png tray-menu.png tray.png"
