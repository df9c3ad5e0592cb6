#!/usr/bin/env bash
# Runs a 64-bit Windows program under Wine with this project's settings; CTest runs the Windows
# test binaries through it (the cross-compiling emulator of build-win64/).
#
#   scripts/wine.sh PROGRAM.exe [ARGS...]
#
# The Wine prefix is WINEPREFIX when set, else wine64/ in the Windows cache directory
# (QMH_WINDOWS_DEPS, see scripts/windows-deps.sh); its first use creates it (about 10 s). Mono
# and Gecko are not installed into it, nor menu entries or desktop files into the Linux user's
# folders; the Windows user's Desktop and Documents are folders inside the prefix, not links to
# the Linux home (where Wine puts them by default). Wine's own messages are off unless WINEDEBUG
# is set. Beside the program runs tests/support/unix_bridge.py, through which the tests start the
# Linux programs they need (web servers, fixtures); it ends with the program.
# With QMH_WINE_DISPLAY=1 the program gets a virtual display of its own (Xvfb, 1280x1024, as
# DISPLAY), which ends with it. Wine's desktop process, which every window of a prefix's session
# goes through, keeps the display of the program that started the session: so these programs
# run in a prefix of their own (wine64-display/ beside wine64/), one at a time, and their
# session is ended before the display is.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
cache=${QMH_WINDOWS_DEPS:-${XDG_CACHE_HOME:-$HOME/.cache}/qmh-windows-deps}
display=${QMH_WINE_DISPLAY:-}
if [ "$display" = 1 ]; then
  export WINEPREFIX=${WINEPREFIX:-$cache/wine64-display}
else
  export WINEPREFIX=${WINEPREFIX:-$cache/wine64}
fi
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=;winemenubuilder.exe=d}
wine=/usr/lib/wine/wine64
if [ ! -x $wine ]; then
  echo "wine.sh: $wine is missing (Debian package wine64; scripts/deps.sh --windows)" >&2
  exit 127
fi
mkdir -p "$(dirname "$WINEPREFIX")"
if [ ! -e "$WINEPREFIX/system.reg" ]; then
  # The first start creates the prefix; tests started at the same time wait for it.
  flock "$WINEPREFIX.lock" sh -c '[ -e "$WINEPREFIX/system.reg" ] ||
    { "$0" wineboot --init && /usr/lib/wine/wineserver -w; }' "$wine" >/dev/null 2>&1
fi
# A shortcut the tests put on the Desktop stays inside the prefix.
for folder in "$WINEPREFIX/drive_c/users/$(id -un)"/{Desktop,Documents,Downloads,Music,Pictures,Videos,Templates}; do
  if [ -L "$folder" ]; then
    rm -f "$folder"
    mkdir -p "$folder"
  fi
done

bridgeDir=$(mktemp -d /tmp/qmh_bridge_XXXXXX)
bridge="" xvfb=""
cleanup() {
  if [ -n "$xvfb" ]; then
    /usr/lib/wine/wineserver -k 2>/dev/null || true
    /usr/lib/wine/wineserver -w 2>/dev/null || true
  fi
  kill $bridge $xvfb 2>/dev/null || true
  wait $bridge $xvfb 2>/dev/null || true
  rm -rf "$bridgeDir"
}
trap cleanup EXIT
trap "exit 143" TERM INT
if [ "$display" = 1 ]; then
  exec 9>"$WINEPREFIX.display.lock"
  flock 9
  # The lock stays with this script: no child keeps it.
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp -noreset 3>"$bridgeDir/display" >/dev/null 2>&1 9>&- &
  xvfb=$!
  for _ in $(seq 200); do
    [ -s "$bridgeDir/display" ] && break
    sleep 0.05
  done
  if [ ! -s "$bridgeDir/display" ]; then
    echo "wine.sh: Xvfb did not start (Debian package xvfb)" >&2
    exit 1
  fi
  export DISPLAY=:$(head -n 1 "$bridgeDir/display")
fi
QMH_UNIX_BRIDGE_TOKEN=$(head -c 18 /dev/urandom | base64 | tr '+/' '-_')
export QMH_UNIX_BRIDGE_TOKEN
python3 "$repo/tests/support/unix_bridge.py" "$bridgeDir/port" 9>&- &
bridge=$!
for _ in $(seq 100); do
  [ -e "$bridgeDir/port" ] && break
  sleep 0.05
done
export QMH_UNIX_BRIDGE=127.0.0.1:$(cat "$bridgeDir/port")

status=0
"$wine" "$@" 9>&- || status=$?
exit $status
