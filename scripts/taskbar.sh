# Sourced after wine-env.sh and xvfb.sh: the tray in Wine's virtual desktop
# with its taskbar on an X server of its own, driven with real mouse events
# (xdotool) at places the shell itself tells (tests/support/taskbar_probe.cpp).
# The main job's pictures and the tray's real-taskbar scenario use it.

# kv_taskbar_session PREFIX: one run at a time per prefix, an X server, the
# prefix with Wine's X11 driver (made on first use), a persistent warmed-up
# wineserver (the pipe trap); everything is stopped when the script ends.
kv_taskbar_session() {
  WINEPREFIX=$(realpath -m "$1")
  export WINEPREFIX
  mkdir -p "$WINEPREFIX"
  exec 9>"$WINEPREFIX.lock"
  flock 9
  kv_xvfb_start || return 1
  export DISPLAY="$KV_XVFB_DISPLAY"
  trap kv_taskbar_finish EXIT
  if [ ! -f "$WINEPREFIX/.kv-ready-x11" ]; then
    wine wineboot -i </dev/null >/dev/null 2>&1
    wineserver -w
    touch "$WINEPREFIX/.kv-ready-x11"
  fi
  wineserver -p </dev/null >/dev/null 2>&1
  wine wineboot </dev/null >/dev/null 2>&1
}
kv_taskbar_finish() {
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
  kv_xvfb_stop
}

# kv_taskbar_desktop NAME LOG PROGRAM [ARGS...]: the named virtual desktop
# (1024x768, the taskbar with its notification area) running PROGRAM, a Unix
# path; it ends with the program. Its pid is in kv_desktop_pid.
kv_taskbar_desktop() {
  local name=$1 log=$2 program=$3
  shift 3
  wine explorer /desktop="$name",1024x768 "Z:${program//\//\\}" "$@" </dev/null >"$log" 2>&1 &
  kv_desktop_pid=$!
}

# kv_taskbar_probe PROBE DESKTOP WHAT LIMIT: where WHAT (an icon's tip, or
# --menu) is on the screen; see taskbar_probe.cpp for the lines it prints.
kv_taskbar_probe() {
  wine "Z:${1//\//\\}" "$2" "$3" "$4" </dev/null 2>/dev/null | tr -d '\r'
}
# kv_taskbar_field NAME OUTPUT: the four numbers of the line "NAME x y w h".
kv_taskbar_field() {
  sed -n "s/^$1 //p" <<<"$2"
}
