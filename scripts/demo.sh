#!/usr/bin/env bash
# The installer's main job on local servers: installs what is missing, builds, publishes a small
# sample game in two versions with the zipsync tool, serves it with nginx on free loopback
# ports, installs the first version into a fresh directory with the installer unattended, then
# updates that installation to the second version.
#
#   scripts/demo.sh          unattended install and update; prints what was downloaded
#   scripts/demo.sh --gui    opens the wizard on the same servers instead (needs a display)
#
# The official update server is served over HTTPS with a throw-away certificate authority
# (handed to the installer through QMH_UPDATE_SERVER and QMH_EXTRA_CA_FILE); two mirrors serve
# the archives over HTTP. The servers stop when the script ends, also on Ctrl-C. Run as root,
# the installer itself runs as the unprivileged user "nobody" (it treats root as elevated).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

gui=0
case "${1:-}" in
  --gui) gui=1 ;;
  "") ;;
  *) echo "usage: scripts/demo.sh [--gui]" >&2; exit 64 ;;
esac
if [ $gui -eq 1 ] && [ -z "${DISPLAY:-}" ]; then
  echo "--gui needs a display (DISPLAY is not set); run without it for the unattended demo." >&2
  exit 1
fi

bash scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target qmh_installer zipsync_cli
zipsync="$root/build/bin/zipsync"
installer="$root/build/bin/qmh_installer"

# Everything lives in one fresh directory, readable by everyone (nobody must read the CA file).
demo=$(mktemp -d /tmp/qmh_demo_XXXXXX)
chmod 755 "$demo"
www="$demo/www"
srv="$demo/server"
mkdir -p "$www/zipsync" "$srv/tmp"

nginx_pid=""
installer_pid=""
stop_servers() {
  if [ -n "$installer_pid" ]; then
    kill "$installer_pid" 2>/dev/null || true
    installer_pid=""
  fi
  if [ -n "$nginx_pid" ]; then
    kill "$nginx_pid" 2>/dev/null || true
    wait "$nginx_pid" 2>/dev/null || true
    nginx_pid=""
  fi
}
trap stop_servers EXIT
trap 'echo; echo "Interrupted."; exit 130' INT TERM

# --- the sample game, published with the zipsync tool ---------------------------------------
echo "== Publishing the sample game in $www"
python3 tests/support/make_installer_game.py "$demo/game" >/dev/null
for version in 1.0 2.0; do
  tree="$www/zipsync/$version"
  cp -r "$demo/game/versions/$version" "$tree"
  "$zipsync" -q normalize "$tree"
  "$zipsync" -q analyze "$tree"
done

# --- servers: free loopback ports, a throw-away CA, one nginx -------------------------------
free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
official_port=$(free_port)
river_port=$(free_port)
lake_port=$(free_port)

(
  cd "$srv"
  ec=(-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes)
  # 127.0.0.1 as a DNS name too: Windows' TLS (Schannel) matches a host only against DNS names.
  printf 'subjectAltName=IP:127.0.0.1,DNS:127.0.0.1\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' >server.ext
  openssl req -x509 "${ec[@]}" -keyout ca.key -out ca.pem -days 2 -subj '/CN=QMH demo CA'
  openssl req "${ec[@]}" -keyout server.key -out server.csr -subj '/CN=127.0.0.1'
  openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out server.pem -days 2 \
    -extfile server.ext
) >"$srv/openssl.log" 2>&1
chmod 644 "$srv/ca.pem"

user_line=""
[ "$(id -u)" -eq 0 ] && user_line="user root;"
cat >"$srv/nginx.conf" <<EOF
worker_processes 1;
daemon off;
pid $srv/nginx.pid;
error_log $srv/error.log warn;
$user_line
events { worker_connections 64; }
http {
  log_format demo '\$server_port \$request_uri \$status \$body_bytes_sent';
  access_log $srv/access.log demo;
  client_body_temp_path $srv/tmp/body;
  proxy_temp_path $srv/tmp/proxy;
  fastcgi_temp_path $srv/tmp/fastcgi;
  uwsgi_temp_path $srv/tmp/uwsgi;
  scgi_temp_path $srv/tmp/scgi;
  default_type application/octet-stream;
  server { listen 127.0.0.1:$official_port ssl; ssl_certificate $srv/server.pem;
           ssl_certificate_key $srv/server.key; root $www; }
  server { listen 127.0.0.1:$river_port; root $www; }
  server { listen 127.0.0.1:$lake_port; root $www; }
}
EOF
nginx_bin=$(command -v nginx || echo /usr/sbin/nginx)
"$nginx_bin" -p "$srv" -e "$srv/error.log" -c "$srv/nginx.conf" >"$srv/nginx.out" 2>&1 &
nginx_pid=$!
for _ in $(seq 100); do
  if python3 -c "import socket,sys; socket.create_connection(('127.0.0.1', $lake_port), 0.2)" 2>/dev/null; then break; fi
  kill -0 "$nginx_pid" 2>/dev/null || { echo "nginx did not start:" >&2; cat "$srv/error.log" >&2; exit 1; }
  sleep 0.1
done
echo "== Official server https://127.0.0.1:$official_port, mirrors on ports $river_port and $lake_port"

# This very build of the installer as the published one: the wizard's self-update check then
# finds nothing to do.
"$zipsync" -q pack --name qmh_installer.linux64 "$installer" "$www/zipsync/qmh_installer.linux64.zip"

# The official server is a hidden mirror of weight 0: manifests come from it over TLS, archives
# from the two mirrors.
cat >"$www/zipsync/qmh_installer.ini" <<EOF
[Mirror official]
url=http://127.0.0.1:$official_port/
weight=0
hidden=1

[Mirror riverside]
url=http://127.0.0.1:$river_port/
weight=1

[Mirror lakeside]
url=http://127.0.0.1:$lake_port/
weight=1

[Version 1.0]
folder=Release/Old
manifestUrl=\${MIRROR}zipsync/1.0/manifest.iniz

[Version 2.0]
folder=Release
default=1
manifestUrl=\${MIRROR}zipsync/2.0/manifest.iniz
EOF

# --- the installer in a fresh install directory ---------------------------------------------
install_dir="$demo/install"
mkdir -p "$install_dir"
cp "$installer" "$install_dir/"
run=()
if [ "$(id -u)" -eq 0 ]; then
  chown -R nobody:nogroup "$install_dir"
  run=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
fi
export QMH_UPDATE_SERVER="https://127.0.0.1:$official_port"
export QMH_EXTRA_CA_FILE="$srv/ca.pem"

# Runs the installer in its directory; waiting in the background lets Ctrl-C reach the traps.
run_installer() { # output file, installer arguments...
  local out=$1
  shift
  (cd "$install_dir" && exec env HOME="$install_dir" "${run[@]}" "$install_dir/qmh_installer" "$@") >"$out" 2>&1 &
  installer_pid=$!
  local code=0
  wait "$installer_pid" || code=$?
  installer_pid=""
  return $code
}

if [ $gui -eq 1 ]; then
  auth="${XAUTHORITY:-$HOME/.Xauthority}"
  if [ ${#run[@]} -gt 0 ] && [ -r "$auth" ]; then
    cp "$auth" "$install_dir/.Xauthority"
    chown nobody:nogroup "$install_dir/.Xauthority"
    export XAUTHORITY="$install_dir/.Xauthority"
  fi
  echo "== Opening the wizard in $install_dir (close it to stop the servers)"
  run_installer "$demo/wizard.out" || true
  echo "   console output in $demo/wizard.out"
  exit 0
fi

archive_bytes() { # bytes of archive bodies served since the log was emptied
  awk '$2 ~ /\.(pk4|zip)$/ && $3 ~ /^20[06]$/ { sum += $4 } END { print sum + 0 }' "$srv/access.log"
}
full_size() { # bytes of a version's archives
  find "$www/zipsync/$1" -type f \( -name '*.pk4' -o -name '*.zip' \) -printf '%s\n' | awk '{ s += $1 } END { print s + 0 }'
}
codes=()
step() { # title, installer arguments...
  local title=$1 code=0
  shift
  : >"$srv/access.log"
  echo "== $title"
  run_installer "$demo/$title.out" --unattended "$@" || code=$?
  echo "   exit code $code; console output in $demo/$title.out"
  codes+=("$code")
}

step install-1.0 --version 1.0
install_bytes=$(archive_bytes)
sleep 1 # log files are named by the second they start in
step update-2.0
update_bytes=$(archive_bytes)
echo
echo "Install of 1.0: downloaded $install_bytes bytes of archives; version 1.0 is $(full_size 1.0) bytes"
echo "Update to 2.0:  downloaded $update_bytes bytes of archives; version 2.0 is $(full_size 2.0) bytes"
echo "Exit codes: ${codes[*]} (0 success, 2 a warning needs a decision, 3 an error)"
echo "Installer logs: $(ls "$install_dir"/qmh_installer_*.log 2>/dev/null | tr '\n' ' ')"
echo "Installed game: $install_dir"
