# Sourced: an X server for the Wine tests that need a real display driver
# (Direct3D adapter queries). DISPLAY is exported as KV_XVFB_DISPLAY so only
# the tests that ask for it use it; everything else stays on the null driver.
kv_xvfb_pid=""
kv_xvfb_start() {
  local n pid
  for n in $(seq 91 99); do
    # A lock whose server is gone (a killed run) frees its display.
    pid=$([ -f "/tmp/.X$n-lock" ] && tr -d ' ' <"/tmp/.X$n-lock")
    if [ -n "$pid" ] && ! kill -0 "$pid" 2>/dev/null; then
      rm -f "/tmp/.X$n-lock" "/tmp/.X11-unix/X$n"
    fi
    [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] && continue
    Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
    kv_xvfb_pid=$!
    for _ in $(seq 50); do
      [ -e "/tmp/.X11-unix/X$n" ] && break
      sleep 0.1
    done
    export KV_XVFB_DISPLAY=":$n"
    return 0
  done
  echo "xvfb: no free display" >&2
  return 1
}
kv_xvfb_stop() {
  [ -n "$kv_xvfb_pid" ] && kill "$kv_xvfb_pid" 2>/dev/null && wait "$kv_xvfb_pid" 2>/dev/null
  kv_xvfb_pid=""
}
