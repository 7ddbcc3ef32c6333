#!/usr/bin/env bash
# What the tray costs while nothing happens: kovarel_tray.exe runs under Wine
# (null display driver) beside the stand-in server, which runs until stopped;
# once both are up, the CPU time and the context switches of all the tray's
# threads are read from /proc at the start and the end of the idle period.
# Prints "idle <s> s: cpu <ticks> ticks, context switches <n> (voluntary <v>,
# involuntary <i>), threads <t>"; 0 ticks and 0 switches mean no wake-ups.
#
# Usage: scripts/tray-idle.sh [mingw build dir] [seconds]  (build/mingw, 60)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(realpath "${1:-$root/build/mingw}")
seconds=${2:-60}
app="$build/tray-idle"
rm -rf "$app" && mkdir -p "$app"
cp "$build/bin/kovarel_tray.exe" "$build/bin/"*.dll "$build/bin/support/kovarel.exe" "$app/"
echo "forever $(((seconds + 30) * 1000))" >"$app/stub_mode.txt"  # the server outlives the measurement

source "$root/scripts/wine-env.sh"
source "$root/scripts/wine-prefix.sh"
kv_wine_prefix_ready null
trap kv_wine_stop EXIT

wine "$app/kovarel_tray.exe" </dev/null >"$app/tray_out.txt" 2>&1 &
# The Wine process of this tray: the one whose command line names its path.
pid=""
for _ in $(seq 100); do
  pid=$(pgrep -f -x "$app/kovarel_tray.exe" || pgrep -f "Z:.*tray-idle.kovarel_tray.exe" || true)
  [ -n "$pid" ] && [ -s "$app/stub_log.txt" ] && break
  sleep 0.1
done
[ -n "$pid" ] || { echo "tray-idle: the tray did not start" >&2; exit 1; }
sleep 2  # the start's own work is over
sample() { # cpu ticks, voluntary and involuntary switches over all threads
  local cpu=0 vol=0 invol=0 t
  for t in /proc/"$pid"/task/*; do
    read -r -a stat <<<"$(sed 's/.*) //' "$t/stat")"
    cpu=$((cpu + stat[11] + stat[12]))
    vol=$((vol + $(sed -n 's/^voluntary_ctxt_switches:\s*//p' "$t/status")))
    invol=$((invol + $(sed -n 's/^nonvoluntary_ctxt_switches:\s*//p' "$t/status")))
  done
  echo "$cpu $vol $invol"
}
read -r cpu0 vol0 invol0 <<<"$(sample)"
sleep "$seconds"
read -r cpu1 vol1 invol1 <<<"$(sample)"
threads=$(ls /proc/"$pid"/task | wc -l)
echo "tray-idle: process $pid, $(tr "\0" " " </proc/"$pid"/cmdline)"
echo "idle $seconds s: cpu $((cpu1 - cpu0)) ticks, context switches $((vol1 - vol0 + invol1 - invol0))" \
  "(voluntary $((vol1 - vol0)), involuntary $((invol1 - invol0))), threads $threads"
