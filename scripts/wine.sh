#!/usr/bin/env bash
# Runs a 64-bit Windows program under Wine with this project's settings; CTest runs the Windows
# test binaries through it (the cross-compiling emulator of build-win64/).
#
#   scripts/wine.sh PROGRAM.exe [ARGS...]
#
# The Wine prefix is WINEPREFIX when set, else wine64/ in the Windows cache directory
# (QMH_WINDOWS_DEPS, see scripts/windows-deps.sh); its first use creates it (about 10 s). Mono
# and Gecko are not installed into it, and Wine's own messages are off unless WINEDEBUG is set.
# Beside the program runs tests/support/unix_bridge.py, through which the tests start the Linux
# programs they need (web servers, fixtures); it ends with the program.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
cache=${QMH_WINDOWS_DEPS:-${XDG_CACHE_HOME:-$HOME/.cache}/qmh-windows-deps}
export WINEPREFIX=${WINEPREFIX:-$cache/wine64}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
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

bridgeDir=$(mktemp -d /tmp/qmh_bridge_XXXXXX)
QMH_UNIX_BRIDGE_TOKEN=$(head -c 18 /dev/urandom | base64 | tr '+/' '-_')
export QMH_UNIX_BRIDGE_TOKEN
python3 "$repo/tests/support/unix_bridge.py" "$bridgeDir/port" &
bridge=$!
cleanup() {
  kill "$bridge" 2>/dev/null || true
  wait "$bridge" 2>/dev/null || true
  rm -rf "$bridgeDir"
}
trap cleanup EXIT
trap "exit 143" TERM INT
for _ in $(seq 100); do
  [ -e "$bridgeDir/port" ] && break
  sleep 0.05
done
export QMH_UNIX_BRIDGE=127.0.0.1:$(cat "$bridgeDir/port")

status=0
"$wine" "$@" || status=$?
exit $status
