#!/usr/bin/env bash
# The same update of a generated game (version A to B: about 400 MB, 15 % of the entries
# changed, some moved between archives, some recompressed) done side by side by our installer,
# zsync, rsync and a plain full download with curl; once on loopback and once on a link
# limited to RATE MiB/s. Every row goes through one token-bucket proxy of our own
# (bench/token_bucket_proxy.py), which counts the bytes the client receives.
#
#   bench/compare.sh [TOTAL_MB (default 400)] [RATE_MIB (default 20)]
#
# Rows: qmh_installer installing A into an empty directory (the fresh install), then updating
# it to B (the scan skipped by its own last-scan state); zsync seeded with all of A's archives
# (zsyncmake files served by nginx); rsync against a loopback rsync daemon, into a copy of A;
# curl downloading B's archives whole. Per row: bytes received, HTTP requests (nginx's access
# log), wall time, and whether the result equals B. "ideal" is what the update cannot avoid:
# the byte ranges of B's entries whose contents A lacks (zipsync diff's "download").
# Results: build/compare/results.md. Needs root (the installer runs as "nobody").
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
TOTAL_MB=${1:-400}
RATE_MIB=${2:-20}

bash scripts/deps.sh --bench
bash scripts/build.sh >/dev/null
W=$ROOT/build/compare
ZS=$ROOT/build/bin/zipsync
mkdir -p "$W"

# --- the game, published as versions A and B ------------------------------------------------
if [ "$(cat "$W/game.size" 2>/dev/null)" != "$TOTAL_MB" ]; then
  rm -rf "$W/game" "$W/www"
  echo "Generating A and B ($TOTAL_MB MB each)..."
  python3 bench/make_compare_game.py "$W/game" "$TOTAL_MB"
  mkdir -p "$W/www/zipsync"
  for v in A B; do
    cp -r "$W/game/$v" "$W/www/zipsync/$v"
    "$ZS" -q normalize "$W/www/zipsync/$v"
    "$ZS" -q analyze "$W/www/zipsync/$v"
  done
  (cd "$W/www/zipsync/B" && for f in *.pk4; do zsyncmake -e -u "$f" -o "$f.zsync" "$f" >/dev/null; done)
  echo "$TOTAL_MB" >"$W/game.size"
fi
ideal=$("$ZS" -q diff "$W/www/zipsync/A/manifest.iniz" "$W/www/zipsync/B/manifest.iniz" | awk '$1=="download"{print $2}')
full=$(cat "$W"/www/zipsync/B/*.pk4 | wc -c)

# --- servers: nginx (HTTP for the rows, HTTPS for the target manifest), rsync, the proxy ------
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; wait 2>/dev/null || true; }
trap cleanup EXIT
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
wait_port() { for _ in $(seq 500); do (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0; sleep 0.02; done; echo "port $1 did not open" >&2; exit 1; }
S=$W/servers
rm -rf "$S"
mkdir -p "$S"
chmod 755 "$S"
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout "$S/ca.key" -out "$S/ca.pem" \
  -subj /CN=bench-ca -days 2 2>/dev/null
openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout "$S/server.key" -out "$S/server.csr" \
  -subj /CN=127.0.0.1 2>/dev/null
printf 'subjectAltName=IP:127.0.0.1\n' >"$S/san.ext"
openssl x509 -req -in "$S/server.csr" -CA "$S/ca.pem" -CAkey "$S/ca.key" -CAcreateserial -out "$S/server.pem" \
  -days 2 -extfile "$S/san.ext" 2>/dev/null
chmod 644 "$S"/*.pem
HTTP=$(free_port) HTTPS=$(free_port) RSYNC=$(free_port) PHTTP=$(free_port) PRSYNC=$(free_port) PCTL=$(free_port)
cat >"$S/nginx.conf" <<EOF
worker_processes 1;
pid $S/nginx.pid;
error_log $S/nginx.error.log;
events { worker_connections 256; }
http {
  access_log $S/access.log;
  default_type application/octet-stream;
  server { listen 127.0.0.1:$HTTP; root $W/www; }
  server { listen 127.0.0.1:$HTTPS ssl; ssl_certificate $S/server.pem; ssl_certificate_key $S/server.key; root $W/www; }
}
EOF
nginx -c "$S/nginx.conf" -g 'daemon off;' &
pids+=($!)
cat >"$S/rsyncd.conf" <<EOF
use chroot = no
uid = nobody
gid = nogroup
pid file = $S/rsyncd.pid
[B]
  path = $W/www/zipsync/B
  read only = yes
EOF
rsync --daemon --no-detach --config="$S/rsyncd.conf" --address=127.0.0.1 --port="$RSYNC" &
pids+=($!)
wait_port "$HTTP"
wait_port "$RSYNC"

counter() { python3 -c "import socket; print(socket.create_connection(('127.0.0.1',$PCTL)).recv(100).decode().split()[0])"; }
requests() { wc -l <"$S/access.log"; }
now() { date +%s.%N; }
mib() { awk -v b="$1" 'BEGIN{printf "%.1f", b/1048576}'; }

# One row: name, a command, a check; prints the table line.
row() {
  local name=$1 run=$2 check=$3 b0 r0 t0 t1 bytes reqs ok
  b0=$(counter); r0=$(requests); t0=$(now)
  eval "$run" || true
  t1=$(now)
  bytes=$(($(counter) - b0)); reqs=$(($(requests) - r0))
  if eval "$check"; then ok=yes; else ok=NO; fi
  [ "$name" = "rsync" ] && reqs="-"
  printf '| %s | %s | %s | %s | %.1f | %s |\n' "$LINK" "$name" "$(mib $bytes)" "$reqs" \
    "$(awk -v a="$t0" -v b="$t1" 'BEGIN{print b - a}')" "$ok"
  [ "$name" = "qmh_installer update" ] && echo "ratio $bytes $ideal" >>"$W/ratios.txt"
  return 0
}

installer_run() {
  setpriv --reuid=nobody --regid=nogroup --clear-groups env QMH_UPDATE_SERVER="https://127.0.0.1:$HTTPS" \
    QMH_EXTRA_CA_FILE="$S/ca.pem" DISPLAY= HOME="$1" "$1/qmh_installer" --unattended --skip-config-download \
    --version "$2" >"$1/run_$2.out" 2>&1
}

R=$W/run
rm -rf "$R" "$W/ratios.txt"
{
  echo "Update A to B: $TOTAL_MB MB per version, ideal $(mib "$ideal") MiB, full download $(mib "$full") MiB."
  echo
  echo "| link | row | MiB received | HTTP requests | seconds | result equals B |"
  echo "|---|---|---|---|---|---|"
} >"$W/results.md"
for LINK in loopback "$RATE_MIB MiB/s"; do
  rate=0
  [ "$LINK" != loopback ] && rate=$((RATE_MIB * 1048576))
  python3 bench/token_bucket_proxy.py --rate "$rate" --control "$PCTL" \
    --listen "$PHTTP=127.0.0.1:$HTTP" --listen "$PRSYNC=127.0.0.1:$RSYNC" &
  proxy=$!
  pids+=($proxy)
  wait_port "$PCTL"
  MIRROR="http://127.0.0.1:$PHTTP/"

  rm -rf "$R"
  mkdir -p "$R/qmh" "$R/zsync" "$R/curl"
  chmod 755 "$R"
  cp build/bin/qmh_installer "$R/qmh/"
  printf '[Mirror official]\nurl=http://127.0.0.1:%s/\nweight=0\nhidden=1\n\n[Mirror bench]\nurl=%s\nweight=1\n\n' \
    "$HTTPS" "$MIRROR" >"$R/qmh/qmh_installer.ini"
  printf '[Version A]\nfolder=Bench\nmanifestUrl=${MIRROR}zipsync/A/manifest.iniz\n\n' >>"$R/qmh/qmh_installer.ini"
  printf '[Version B]\nfolder=Bench\ndefault=1\nmanifestUrl=${MIRROR}zipsync/B/manifest.iniz\n' >>"$R/qmh/qmh_installer.ini"
  chown -R nobody:nogroup "$R/qmh"
  verify() { "$ZS" -q verify "$R/qmh" "$W/www/zipsync/$1/manifest.iniz" >/dev/null 2>&1; }
  same_as_b() { for f in "$W"/www/zipsync/B/*.pk4; do cmp -s "$f" "$1/$(basename "$f")" || return 1; done; }

  row "qmh_installer install A" 'installer_run "$R/qmh" A' 'verify A' | tee -a "$W/results.md"
  row "qmh_installer update" 'installer_run "$R/qmh" B' 'verify B' | tee -a "$W/results.md"
  cp "$W"/www/zipsync/A/*.pk4 "$R/zsync/"
  seeds=$(for f in "$W"/www/zipsync/A/*.pk4; do printf -- ' -i %q' "$f"; done)
  row "zsync" 'for f in "$W"/www/zipsync/B/*.pk4; do b=$(basename "$f"); (cd "$R/zsync" && zsync -q $seeds -o "$b.new" "${MIRROR}zipsync/B/$b.zsync" >/dev/null && mv "$b.new" "$b"); done' \
    'same_as_b "$R/zsync"' | tee -a "$W/results.md"
  rm -rf "$R/rsync"
  cp -r "$W/www/zipsync/A" "$R/rsync"
  row "rsync" 'rsync -a --delete --exclude "*.zsync" --exclude manifest.iniz "rsync://127.0.0.1:$PRSYNC/B/" "$R/rsync/"' \
    'same_as_b "$R/rsync"' | tee -a "$W/results.md"
  row "curl (full download)" 'for f in "$W"/www/zipsync/B/*.pk4; do curl -s -o "$R/curl/$(basename "$f")" "${MIRROR}zipsync/B/$(basename "$f")"; done' \
    'same_as_b "$R/curl"' | tee -a "$W/results.md"

  kill "$proxy"
  wait "$proxy" 2>/dev/null || true
done
awk -v ideal="$ideal" '{printf "qmh_installer update received %.3f x the ideal\n", $2/ideal}' "$W/ratios.txt" | tee -a "$W/results.md"
echo "Results in $W/results.md"
