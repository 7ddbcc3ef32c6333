# Sourced: the environment every Wine run of this project uses.
# KV_WINEPREFIX picks the prefix (default: build/wine/null, Wine's null display
# driver, no X server needed).
kv_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export WINEPREFIX="${KV_WINEPREFIX:-$kv_root/build/wine/null}"
export WINEDEBUG=-all
export WINEARCH=win64
case ",${WINEDLLOVERRIDES:-}," in
  *,mscoree,mshtml=*) ;;
  *) export WINEDLLOVERRIDES="mscoree,mshtml=${WINEDLLOVERRIDES:+;$WINEDLLOVERRIDES}" ;;
esac
