#!/usr/bin/env bash
# Updates and fresh installs of a generated game shaped like a real one (bench/make_compare_game.py:
# about 20,000 entries of long-tailed sizes in five archives; from A to B a scattered patch of
# 4 % of the entries), by our installer next to zsync and a plain full download with curl,
# through one shared link: unlimited on loopback, then RATE MiB/s for all connections together
# with each round trip of RTTS. Every row goes through one proxy of our own
# (bench/token_bucket_proxy.py), which limits the rate, delays both directions and counts the
# bytes the client receives.
#
#   bench/compare.sh [TOTAL_MB (default 420)] [RATE_MIB (default 20)] [RTTS (default "0 100 300")]
#   TRANSFERS="4 8 16 32" bench/compare.sh ...   adds rows of `zipsync update --transfers N` (the
#                                                 update's download stage with N requests in flight)
#
# TOTAL_MB is the uncompressed size of a version (its archives take about 0.7 of it). The
# installer's rows run against two mirrors: nginx, which answers requests for several ranges
# with multipart/byteranges, and Varnish in front of nginx, a cache that serves one range per
# request only (as CDN edges and object stores do); Varnish holds the files before the rows
# start, as an edge would. Rows: qmh_installer installing A into an empty directory (the fresh
# install), then updating it to B (the scan skipped by its own last-scan state); zsync seeded
# with all of A's archives (zsyncmake files served by nginx); curl downloading B's archives
# whole, one after another on one connection. Per row: bytes received, HTTP requests, wall
# time, the installer's download and repack stages, and whether the result is right. "ideal" is
# what the update cannot avoid: the byte ranges of B's entries whose contents A lacks (zipsync
# diff's "download"). Results: build/compare/results.md. Needs root (the installer runs as
# "nobody").
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
TOTAL_MB=${1:-420}
RATE_MIB=${2:-20}
RTTS=${3:-"0 100 300"}

bash scripts/deps.sh --bench
bash scripts/build.sh >/dev/null
W=$ROOT/build/compare
ZS=$ROOT/build/bin/zipsync
mkdir -p "$W"

# --- the game, published as versions A and B ------------------------------------------------
if [ "$(cat "$W/game.size" 2>/dev/null)" != "$TOTAL_MB" ]; then
  rm -rf "$W/game" "$W/www"
  echo "Generating A and B ($TOTAL_MB MB each before compression)..."
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
fullA=$(cat "$W"/www/zipsync/A/*.pk4 | wc -c)

# --- servers: nginx (HTTP for the mirror, HTTPS for the official server), Varnish, the proxy ---
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; wait 2>/dev/null || true; }
trap cleanup EXIT
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
wait_port() { for _ in $(seq 1500); do (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0; sleep 0.02; done; echo "port $1 did not open" >&2; exit 1; }
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
HTTP=$(free_port) HTTPS=$(free_port) VARNISH=$(free_port)
PHTTP=$(free_port) PHTTPS=$(free_port) PVARNISH=$(free_port) PCTL=$(free_port)
cat >"$S/nginx.conf" <<EOF
worker_processes 1;
pid $S/nginx.pid;
error_log $S/nginx.error.log;
events { worker_connections 256; }
http {
  access_log $S/access.log;
  default_type application/octet-stream;
  keepalive_requests 100000;
  server { listen 127.0.0.1:$HTTP; root $W/www; }
  server { listen 127.0.0.1:$HTTPS ssl; ssl_certificate $S/server.pem; ssl_certificate_key $S/server.key; root $W/www; }
}
EOF
nginx -c "$S/nginx.conf" -g 'daemon off;' &
pids+=($!)
varnishd -F -a "127.0.0.1:$VARNISH" -b "127.0.0.1:$HTTP" -n "$S/varnish" -s malloc,2G >"$S/varnish.out" 2>&1 &
pids+=($!)
wait_port "$HTTP"
wait_port "$VARNISH"
for f in "$W"/www/zipsync/*/*.pk4; do
  curl -s -o /dev/null "http://127.0.0.1:$VARNISH/zipsync/$(basename "$(dirname "$f")")/$(basename "$f")"
done

counter() { python3 -c "import socket; print(socket.create_connection(('127.0.0.1',$PCTL)).recv(100).decode().split()[0])"; }
requests() { wc -l <"$S/access.log"; }
now() { date +%s.%N; }
mib() { awk -v b="$1" 'BEGIN{printf "%.1f", b/1048576}'; }
# Seconds between the first lines of a stamped output that contain two texts ("-" if missing).
stage() {
  awk -v a="$2" -v b="$3" 'index($0, a) && !ta {ta=$1} index($0, b) && !tb {tb=$1}
    END {if (ta && tb) printf "%.1f", tb - ta; else printf "-"}' "$1"
}

# One row: server, name, a command, a check, and for the installer its stamped output; prints
# the table line.
row() {
  local server=$1 name=$2 run=$3 check=$4 out=${5:-} b0 r0 t0 t1 bytes reqs ok down="-" repack="-"
  b0=$(counter); r0=$(requests); t0=$(now)
  eval "$run" || true
  t1=$(now)
  bytes=$(($(counter) - b0)); reqs=$(($(requests) - r0))
  if eval "$check"; then ok=yes; else ok=NO; fi
  if [ -n "$out" ]; then
    reqs=$(grep -c '\[curl-cmd\]' "$out" || true)
    if grep -q "Starting installation" "$out"; then
      down=$(stage "$out" "Starting installation: download" "Starting installation: repack")
      repack=$(stage "$out" "Starting installation: repack" "Repacking finished")
    else
      down=$(stage "$out" "Resumed bytes:" "Downloaded bytes:")
      repack=$(stage "$out" "Downloaded bytes:" "now holds the target")
    fi
  fi
  printf '| %s | %s | %s | %s | %s | %.1f | %s | %s | %s |\n' "$LINK" "$server" "$name" "$(mib $bytes)" "$reqs" \
    "$(awk -v a="$t0" -v b="$t1" 'BEGIN{print b - a}')" "$down" "$repack" "$ok"
  return 0
}

# Prefixes every line with the time, so that stages can be timed.
stamp() {
  python3 -u -c 'import sys, time
for line in sys.stdin: sys.stdout.write("%.3f %s" % (time.time(), line))'
}

installer_run() {
  local dir=$1 version=$2
  setpriv --reuid=nobody --regid=nogroup --clear-groups env QMH_UPDATE_SERVER="https://127.0.0.1:$PHTTPS" \
    QMH_EXTRA_CA_FILE="$S/ca.pem" DISPLAY= HOME="$dir" "$dir/qmh_installer" --unattended --skip-config-download \
    --version "$version" 2>&1 | stamp >"$dir/run_$version.out"
}

R=$W/run
rm -rf "$R"
{
  echo "A: $(mib "$fullA") MiB of archives; B: $(mib "$full") MiB; update A to B: ideal $(mib "$ideal") MiB."
  echo
  echo "| link | server | row | MiB received | HTTP requests | seconds | download stage s | repack s | result right |"
  echo "|---|---|---|---|---|---|---|---|---|"
} >"$W/results.md"
links=("loopback 0 0")
for rtt in $RTTS; do links+=("$RATE_MIB $((RATE_MIB * 1048576)) $rtt"); done
for link in "${links[@]}"; do
  read -r label rate rtt <<<"$link"
  LINK="$label MiB/s, ${rtt} ms"
  [ "$label" = loopback ] && LINK=loopback
  python3 bench/token_bucket_proxy.py --rate "$rate" --rtt "$rtt" --control "$PCTL" \
    --listen "$PHTTP=127.0.0.1:$HTTP" --listen "$PHTTPS=127.0.0.1:$HTTPS" --listen "$PVARNISH=127.0.0.1:$VARNISH" &
  proxy=$!
  pids+=($proxy)
  wait_port "$PCTL"
  verify() { "$ZS" -q verify "$1" "$W/www/zipsync/$2/manifest.iniz" >/dev/null 2>&1; }
  same_as_b() { for f in "$W"/www/zipsync/B/*.pk4; do cmp -s "$f" "$1/$(basename "$f")" || return 1; done; }

  for server in nginx Varnish; do
    port=$PHTTP
    [ $server = Varnish ] && port=$PVARNISH
    rm -rf "$R"
    mkdir -p "$R/qmh"
    chmod 755 "$R"
    cp build/bin/qmh_installer "$R/qmh/"
    printf '[Mirror official]\nurl=http://127.0.0.1:%s/\nweight=0\nhidden=1\n\n[Mirror bench]\nurl=%s\nweight=1\n\n' \
      "$PHTTPS" "http://127.0.0.1:$port/" >"$R/qmh/qmh_installer.ini"
    printf '[Version A]\nfolder=Bench\nmanifestUrl=${MIRROR}zipsync/A/manifest.iniz\n\n' >>"$R/qmh/qmh_installer.ini"
    printf '[Version B]\nfolder=Bench\ndefault=1\nmanifestUrl=${MIRROR}zipsync/B/manifest.iniz\n' >>"$R/qmh/qmh_installer.ini"
    chown -R nobody:nogroup "$R/qmh"
    row $server "qmh_installer install A" 'installer_run "$R/qmh" A' 'verify "$R/qmh" A' "$R/qmh/run_A.out" |
      tee -a "$W/results.md"
    row $server "qmh_installer update" 'installer_run "$R/qmh" B' 'verify "$R/qmh" B' "$R/qmh/run_B.out" |
      tee -a "$W/results.md"
    cp "$R/qmh"/run_*.out "$W/" 2>/dev/null || true
    for n in ${TRANSFERS:-}; do
      rm -rf "$R/tool"
      cp -r "$W/game/A" "$R/tool"
      "$ZS" -q normalize "$R/tool"
      row $server "zipsync update --transfers $n" \
        '"$ZS" update --transfers $n --target "$W/www/zipsync/B/manifest.iniz" --provide "$W/www/zipsync/B/manifest.iniz=http://127.0.0.1:$port/zipsync/B" -v "$R/tool" 2>&1 | stamp >"$R/tool.out"' \
        'verify "$R/tool" B' "$R/tool.out" | tee -a "$W/results.md"
    done
  done

  MIRROR="http://127.0.0.1:$PHTTP/"
  rm -rf "$R"
  mkdir -p "$R/zsync" "$R/curl"
  cp "$W"/www/zipsync/A/*.pk4 "$R/zsync/"
  seeds=$(for f in "$W"/www/zipsync/A/*.pk4; do printf -- ' -i %q' "$f"; done)
  row nginx "zsync" 'for f in "$W"/www/zipsync/B/*.pk4; do b=$(basename "$f"); (cd "$R/zsync" && zsync -q $seeds -o "$b.new" "${MIRROR}zipsync/B/$b.zsync" >/dev/null && mv "$b.new" "$b"); done' \
    'same_as_b "$R/zsync"' | tee -a "$W/results.md"
  urls=$(for f in "$W"/www/zipsync/B/*.pk4; do b=$(basename "$f"); printf -- ' %q -o %q' "${MIRROR}zipsync/B/$b" "$R/curl/$b"; done)
  row nginx "curl (full download)" "curl -s $urls" 'same_as_b "$R/curl"' | tee -a "$W/results.md"

  kill "$proxy"
  wait "$proxy" 2>/dev/null || true
done
echo "Results in $W/results.md"
