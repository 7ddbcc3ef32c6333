# Sourced after wine-env.sh: makes the prefix once (stamped) and starts a
# persistent, warmed-up wineserver for it.
#
# Why warm up: the first Wine process starts Wine's services, which keep that
# process's stderr open; if its output is captured (ctest does) the capture
# never ends. A persistent server started here, before any test, takes that
# role, and later process starts cost milliseconds instead of a second.
kv_wine_prefix_ready() {
  local driver="${1:-null}"
  local stamp="$WINEPREFIX/.kv-ready-$driver"
  if [ ! -f "$stamp" ]; then
    mkdir -p "$WINEPREFIX"
    wine wineboot -i </dev/null >/dev/null 2>&1
    if [ "$driver" = null ]; then
      # Without an X server CreateWindowEx fails unless the null driver is set.
      wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f </dev/null >/dev/null 2>&1
    fi
    wineserver -w || true
    touch "$stamp"
  fi
  wineserver -p 2>/dev/null || true  # already running is fine
  wine wineboot </dev/null >/dev/null 2>&1
}

kv_wine_stop() {
  wineserver -k 2>/dev/null || true
}
