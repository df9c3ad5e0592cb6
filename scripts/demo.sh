#!/usr/bin/env bash
# Installs what is missing, builds, and opens the installer's wizard.
#
#   scripts/demo.sh [installer arguments...]          on your X display ($DISPLAY)
#   scripts/demo.sh --xvfb [installer arguments...]   on a virtual display, saving a screenshot
#
# The installer works in the directory that holds its executable, so the demo runs a copy in
# a fresh directory under /tmp. Run as root, it starts the copy as the unprivileged user
# "nobody": the installer treats root as elevated and would warn about it.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

use_xvfb=0
if [ "${1:-}" = "--xvfb" ]; then
  use_xvfb=1
  shift
fi

if [ $use_xvfb -eq 0 ] && [ -z "${DISPLAY:-}" ]; then
  echo "No display: DISPLAY is not set, and the installer is a windowed program."
  echo "Run it from a desktop session, or on a virtual display with a screenshot:"
  echo "    scripts/demo.sh --xvfb"
  exit 0
fi

bash scripts/build.sh

demo_dir=$(mktemp -d /tmp/qmh_demo.XXXXXX)
cp build/bin/qmh_installer "$demo_dir/"
run=()
if [ "$(id -u)" -eq 0 ]; then
  chown -R nobody:nogroup "$demo_dir"
  run=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
fi
echo "Installer copy: $demo_dir/qmh_installer (its install directory is $demo_dir)"

if [ $use_xvfb -eq 0 ]; then
  # Let "nobody" reach a display that needs an authorization cookie.
  auth="${XAUTHORITY:-$HOME/.Xauthority}"
  if [ ${#run[@]} -gt 0 ] && [ -r "$auth" ]; then
    cp "$auth" "$demo_dir/.Xauthority"
    chown nobody:nogroup "$demo_dir/.Xauthority"
    export XAUTHORITY="$demo_dir/.Xauthority"
  fi
  cd "$demo_dir"
  exec env HOME="$demo_dir" "${run[@]}" "$demo_dir/qmh_installer" "$@"
fi

# Virtual display: Xvfb picks a free display number and writes it to fd 3.
shots="$root/build/demo"
mkdir -p "$shots"
numfile=$(mktemp)
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$numfile" 2>/dev/null &
xvfb_pid=$!
installer_pid=""
cleanup() {
  [ -n "$installer_pid" ] && kill "$installer_pid" 2>/dev/null || true
  kill "$xvfb_pid" 2>/dev/null || true
  rm -f "$numfile"
}
trap cleanup EXIT
for _ in $(seq 100); do [ -s "$numfile" ] && break; sleep 0.1; done
export DISPLAY=":$(head -n1 "$numfile")"
echo "Virtual display $DISPLAY"

(cd "$demo_dir" && exec env HOME="$demo_dir" "${run[@]}" "$demo_dir/qmh_installer" "$@") &
installer_pid=$!
shown=0
for _ in $(seq 300); do
  if xwininfo -root -children 2>/dev/null | grep -q '"Quillmere installer'; then shown=1; break; fi
  kill -0 "$installer_pid" 2>/dev/null || break
  sleep 0.1
done
if [ $shown -eq 0 ]; then
  echo "The installer window did not appear." >&2
  exit 1
fi
sleep 1.5 # drawing, and the 0.3 s start-up check
xwd -root -silent -out "$shots/wizard.xwd"
python3 scripts/xwd2png.py "$shots/wizard.xwd" "$shots/wizard.png"
xwininfo -root -children | grep '"Quillmere installer' | sed 's/^ */Window: /'
echo "Screenshot: $shots/wizard.png"
