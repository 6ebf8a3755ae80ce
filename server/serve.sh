#!/usr/bin/env bash
# Serves compiled scripts: vornfcgi with the extension behind nginx on
# 127.0.0.1:PORT, until SIGINT or SIGTERM stops both.
#
#   serve.sh --build DIR --root DIR --state DIR [--data DIR] [--port N]
#            [--registry FILE | --registry-template FILE] [--acceptors N]
#            [--max-body SIZE]
#   serve.sh --check --state DIR [--port N]
#
# --build is the build folder (vornfcgi and VornVMIIS come from it), --root
# the folder of the scripts, --state where the generated files, sockets,
# nginx's log and its temporary files go: one serve.sh at a time per state
# folder. --data is the scripts' data folder (STATE/data); several servers may
# share one. The registry is --registry, else made from --registry-template
# (@ROOT@, @DATA@ and @BUILD@ replaced), else a minimal one. --acceptors (32)
# must be more than nginx's workers x keepalive (1 x 8); --max-body (64m) is
# the largest request body nginx takes. --check only tells whether a server
# could start there now (the port and the state folder free), before a build.
#
# Exit status: 0 after Ctrl-C or SIGTERM (or a --check that passed), 1 when
# it cannot start (the port in use, the state folder in use) or nginx or
# vornfcgi ended by itself, 2 for bad usage.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build="" root="" state="" data="" port=8080 registry="" template="" acceptors=32 maxbody=64m check=""
while [ $# -gt 0 ]; do
  [ "$1" = --check ] && { check=1; shift; continue; }
  [ $# -ge 2 ] || { echo "serve.sh: $1 needs a value" >&2; exit 2; }
  case $1 in
    --build) build=$2; shift 2 ;;
    --root) root=$2; shift 2 ;;
    --state) state=$2; shift 2 ;;
    --data) data=$2; shift 2 ;;
    --port) port=$2; shift 2 ;;
    --registry) registry=$2; shift 2 ;;
    --registry-template) template=$2; shift 2 ;;
    --acceptors) acceptors=$2; shift 2 ;;
    --max-body) maxbody=$2; shift 2 ;;
    *) echo "serve.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done
if [ -n "$check" ]; then
  [ -n "$state" ] || { echo "serve.sh: --check needs --state" >&2; exit 2; }
else
  [ -n "$build" ] && [ -n "$root" ] && [ -n "$state" ] || { echo "serve.sh: --build, --root and --state are needed" >&2; exit 2; }
fi
[[ $port =~ ^[0-9]+$ ]] && [ "$port" -ge 1 ] && [ "$port" -le 65535 ] || { echo "serve.sh: --port must be 1 to 65535, not '$port'" >&2; exit 2; }

# The absolute path of the folder an option names; a folder that is not there
# is bad usage, said in the option's own words.
folder() {
  local option=$1 path=$2
  if [ ! -e "$path" ]; then
    echo "serve.sh: $option $path: no such folder" >&2; exit 2
  elif [ ! -d "$path" ]; then
    echo "serve.sh: $option $path: not a folder" >&2; exit 2
  fi
  (cd "$path" && pwd) || { echo "serve.sh: $option $path: cannot enter it" >&2; exit 2; }
}
made() {
  mkdir -p "$2" 2>/dev/null || { echo "serve.sh: $1 $2: cannot make that folder" >&2; exit 2; }
  folder "$1" "$2"
}
if [ -z "$check" ]; then
  build=$(folder --build "$build")
  root=$(folder --root "$root")
fi
state=$(made --state "$state")

# The state folder holds the responder's socket and nginx's files: a second
# server there would take them from the first. The lock is held by this
# shell and, through the inherited descriptor, by nginx and vornfcgi, so it
# lasts as long as any of them runs.
exec {held}>>"$state/serve.lock"
if ! flock -n "$held"; then
  echo "serve.sh: $state is in use by another server ($(cat "$state/serving" 2>/dev/null || echo "port unknown")); stop it or give another --state" >&2
  exit 1
fi

# Something already answering on the port: nginx would fail to bind it.
if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
  echo "serve.sh: port $port on 127.0.0.1 is in use; give another (--port, or PORT= for make run)" >&2
  exit 1
fi
[ -z "$check" ] || exit 0
echo "port $port, process $$" >"$state/serving"
[ -n "$data" ] || data=$state/data
data=$(made --data "$data")
for dir in client_body proxy fastcgi uwsgi scgi; do mkdir -p "$state/$dir"; done

vornfcgi=$build/server/vornfcgi
extension=$(ls "$build"/host/libVornVMIIS.so 2>/dev/null || true)
[ -x "$vornfcgi" ] && [ -n "$extension" ] || { echo "serve.sh: build vornfcgi and VornVMIIS first" >&2; exit 1; }
nginx=$(command -v nginx || echo /usr/sbin/nginx)

if [ -z "$registry" ]; then
  registry=$state/registry.conf
  if [ -n "$template" ]; then
    sed -e "s|@ROOT@|$root|g" -e "s|@DATA@|$data|g" -e "s|@BUILD@|$build|g" "$template" >"$registry"
  else
    printf '[SOFTWARE\\Vorn\\Vorn Tevrona NT\\Configuration]\nvornroot = %s\ndatadir = %s\n' \
      "$root" "$data" >"$registry"
  fi
fi

# nginx waits for a page's answer longer than its script may run, so that a
# visitor sees the runtime's own "Application timed out" rather than nginx's
# 504: the longest globaltimeout the registry sets (90 s where none does),
# the watchdog's tick that notices it (5 s) and a margin. One of 0 or less
# (no limit) leaves nginx waiting a day. Read as the server starts.
longest=90
while read -r value; do
  case $value in
    0[xX][0-9a-fA-F]*) n=$((value)) ;;
    [0-9]*) n=$((10#$value)) ;;
    -[0-9]*) n=0 ;;
    *) continue ;;
  esac
  # Beyond 2^31-1 a stored number reads as negative: no limit either.
  if [ "$n" -le 0 ] || [ "$n" -gt 2147483647 ]; then longest=86400; break; fi
  [ "$n" -le "$longest" ] || longest=$n
done < <(sed -nE 's/^[[:space:]]*[gG][lL][oO][bB][aA][lL][tT][iI][mM][eE][oO][uU][tT][[:space:]]*=[[:space:]]*[dD][wW][oO][rR][dD]:[[:space:]]*([^[:space:]]+)[[:space:]]*$/\1/p' "$registry" 2>/dev/null || true)
[ "$longest" -le 86400 ] || longest=86400
readtimeout=$((longest + 30))

# nginx takes a descriptor for each client and one more for each request it
# passes on: 16384 (root may raise the hard limit for it), else what the hard
# limit allows.
files=16384
ulimit -Sn $files 2>/dev/null || ulimit -n $files 2>/dev/null || { files=$(ulimit -Hn); ulimit -Sn "$files"; }
connections=$((files / 2))

socket=$state/vornfcgi.sock
# As root, nginx's workers would run as nobody and could not reach the
# socket or the temporary folders: they run as the caller.
user=""
[ "$(id -u)" = 0 ] && user="user root;"
sed -e "s|@STATE@|$state|g" -e "s|@SOCKET@|$socket|g" -e "s|@ROOT@|$root|g" -e "s|@PORT@|$port|g" \
    -e "s|@USER@|$user|g" -e "s|@MAXBODY@|$maxbody|g" \
    -e "s|@CONNECTIONS@|$connections|g" -e "s|@READTIMEOUT@|$readtimeout|g" "$here/nginx.conf.in" >"$state/nginx.conf"

responder="" front=""
# Stops both and ends with STATUS, or with vornfcgi's own when it did not stop
# cleanly.
stop() {
  local status=$1
  trap - INT TERM EXIT
  [ -n "$front" ] && kill -TERM "$front" 2>/dev/null || true
  [ -n "$responder" ] && kill -TERM "$responder" 2>/dev/null || true
  if [ -n "$responder" ]; then
    # vornfcgi lets the pages it runs end first, each within its time-out.
    for _ in $(seq 10); do kill -0 "$responder" 2>/dev/null || break; sleep 0.05; done
    if kill -0 "$responder" 2>/dev/null; then
      echo "serve.sh: stopping; waiting for the pages still running to end (each within its time-out)" >&2
    fi
  fi
  [ -n "$front" ] && { wait "$front" || true; }
  if [ -n "$responder" ]; then
    wait "$responder" || { [ "$status" != 0 ] || status=$?; }
  fi
  exit "$status"
}
trap 'stop 0' INT TERM
trap 'stop $?' EXIT

# Each nginx worker keeps up to `keepalive` idle connections to the responder,
# and each holds an acceptor: with no more acceptors than workers x keepalive,
# a new connection can wait behind idle ones until nginx drops them (60 s).
workers=$(awk '$1 == "worker_processes" { sub(";", "", $2); print $2 }' "$state/nginx.conf")
[ "$workers" = auto ] && workers=$(nproc)
keepalive=$(awk '$1 == "keepalive" { sub(";", "", $2); print $2 }' "$state/nginx.conf")
if [ "$acceptors" -le $((${workers:-1} * ${keepalive:-0})) ]; then
  echo "serve.sh: --acceptors must be more than nginx's workers x keepalive (${workers:-1} x ${keepalive:-0})" >&2
  exit 2
fi

rm -f "$socket"
# A request makes and frees a hundred or so small blocks, a table page
# thousands: the C library's per-thread cache keeps them all for the next
# request rather than seven of each size (read only as a process starts).
tunables=${GLIBC_TUNABLES:+$GLIBC_TUNABLES:}glibc.malloc.tcache_count=2000
GLIBC_TUNABLES=$tunables VORN_REGISTRY=$registry "$vornfcgi" --extension "$extension" --socket "$socket" --acceptors "$acceptors" &
responder=$!
for _ in $(seq 200); do [ -S "$socket" ] && break; kill -0 "$responder" 2>/dev/null || break; sleep 0.05; done
[ -S "$socket" ] || { echo "serve.sh: vornfcgi did not start" >&2; exit 1; }

# nginx writes its pid file once it listens; it ends without one when it
# cannot (after some seconds of retrying a busy port).
rm -f "$state/nginx.pid"
"$nginx" -p "$state" -c "$state/nginx.conf" -e stderr &
front=$!
until [ -s "$state/nginx.pid" ]; do
  kill -0 "$front" 2>/dev/null || { echo "serve.sh: nginx could not listen on 127.0.0.1:$port" >&2; exit 1; }
  sleep 0.02
done
echo "Serving $root on http://127.0.0.1:$port/ (Ctrl-C stops; nginx's log: $state/error.log)"
# Either one ending by itself ends both, as a failure. Ctrl-C reaches both as
# well, and one that stops cleanly on it can end before this shell has run
# its trap: a clean end is a stop.
wait -n "$responder" "$front" && stop 0
kill -0 "$front" 2>/dev/null && echo "serve.sh: vornfcgi ended" >&2 || echo "serve.sh: nginx ended" >&2
exit 1
