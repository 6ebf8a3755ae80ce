#!/usr/bin/env bash
# The web benchmark (run by hand): one nginx in front of the hello example
# through vornfcgi, the same bytes as a static file, a PHP page on PHP-FPM
# (children = THREADS) and a do-nothing libfcgi responder (the floor); and a
# page of real work (table.vra: a 200-row table from an array, a function per
# row, every cell entity-encoded, a form field read back) beside its PHP twin
# (table.php), which must print the same bytes. wrk measures each in turn,
# ROUNDS alternating rounds; each target's best rate is printed with its p99
# latency, beside the median over the rounds of the CPU time its server spent
# per request (a round's figure moves with what else the machine runs), and
# the ratios the goals name.
#
#   bench/web/run.sh            THREADS=4 ROUNDS=3 SECONDS_EACH=10 PORT=8090
set -euo pipefail

repo=$(cd "$(dirname "$0")/../.." && pwd)
threads=${THREADS:-4}
rounds=${ROUNDS:-3}
duration=${SECONDS_EACH:-10}
port=${PORT:-8090}
build=$repo/build/release
state=$build/bench-web

missing=""
for p in wrk php8.2-fpm nginx-light libfcgi-dev; do
  dpkg-query -W -f='${Status}' $p 2>/dev/null | grep -q 'install ok installed' || missing="$missing $p"
done
if [ -n "$missing" ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update && apt-get install -y $missing
fi

cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVORN_BENCH=ON -DVORN_TESTS=OFF >/dev/null
cmake --build "$build" -j 4 --target vornfcgi VornVMIIS vrasm null_fcgi >/dev/null

rm -rf "$state"
mkdir -p "$state"/{www,data,client_body,proxy,fastcgi,uwsgi,scgi}
"$build/tools/vrasm" -o "$state/www/hello.vrc" "$repo/examples/web/hello.vra"
"$build/tools/vrasm" -o "$state/www/table.vrc" "$repo/bench/web/table.vra"
cp "$repo/bench/web/table.php" "$state/www/table.php"
printf 'Hello, world!\n' >"$state/www/hello.html"
printf '<?php echo "Hello, world!\\n";\n' >"$state/www/hello.php"
cat >"$state/registry.conf" <<CONF
[SOFTWARE\\Vorn\\Vorn Tevrona NT]
Threads = dword:$threads
[SOFTWARE\\Vorn\\Vorn Tevrona NT\\Configuration]
vornroot = $state/www
datadir = $state/data
[SOFTWARE\\Vorn\\Vorn Tevrona NT\\Configuration\\1\\ROOT\\hello.vrc]
usecookies = dword:0
[SOFTWARE\\Vorn\\Vorn Tevrona NT\\Configuration\\1\\ROOT\\table.vrc]
usecookies = dword:0
CONF
user=""
[ "$(id -u)" = 0 ] && user="user root;"
cat >"$state/php-fpm.conf" <<CONF
[global]
pid = $state/php-fpm.pid
error_log = $state/php-fpm.log
daemonize = no
[bench]
listen = $state/php.sock
listen.backlog = 4096
pm = static
pm.max_children = $threads
$( [ "$(id -u)" = 0 ] && printf 'user = root\ngroup = root\n' )
CONF
sed -e "s|@STATE@|$state|g" -e "s|@ROOT@|$state/www|g" -e "s|@PORT@|$port|g" -e "s|@USER@|$user|g" \
    "$repo/bench/web/nginx.conf.in" >"$state/nginx.conf"

pids=()
stop() {
  trap - INT TERM EXIT
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
}
trap stop INT TERM EXIT

# As server/serve.sh starts it.
GLIBC_TUNABLES=${GLIBC_TUNABLES:+$GLIBC_TUNABLES:}glibc.malloc.tcache_count=2000 \
VORN_REGISTRY=$state/registry.conf "$build/server/vornfcgi" --extension "$build/host/libVornVMIIS.so" \
  --socket "$state/vornfcgi.sock" --acceptors 128 2>"$state/vornfcgi.log" &
pids+=($!)
"$build/bench/null_fcgi" --socket "$state/null.sock" --threads 128 &
pids+=($!)
php_fpm=$(command -v php-fpm8.2 || echo /usr/sbin/php-fpm8.2)
"$php_fpm" --fpm-config "$state/php-fpm.conf" --nodaemonize $( [ "$(id -u)" = 0 ] && echo --allow-to-run-as-root ) &
pids+=($!)
for s in vornfcgi null php; do
  for _ in $(seq 100); do [ -S "$state/$s.sock" ] && break; sleep 0.05; done
done
nginx -p "$state" -c "$state/nginx.conf" -e stderr &
pids+=($!)
sleep 0.5

for target in hello.vrc hello.html hello.php null; do
  body=$(curl -s "http://127.0.0.1:$port/$target")
  [ "$body" = "Hello, world!" ] || { echo "$target answers '$body'" >&2; exit 1; }
done
# The form field holds every character the encoding changes but ( and ).
query='q=%3Cb%3E%22hi%22%26amp;'
curl -s "http://127.0.0.1:$port/table.vrc?$query" >"$state/table.vrc.out"
curl -s "http://127.0.0.1:$port/table.php?$query" >"$state/table.php.out"
[ "$(grep -c '<tr>' "$state/table.vrc.out")" = 200 ] && cmp -s "$state/table.vrc.out" "$state/table.php.out" ||
  { echo "table.vrc and table.php differ (see $state/table.*.out)" >&2; exit 1; }

# CPU time (clock ticks) of the processes that answer a target: on a loaded
# machine the rates move with the load, the cost of a request much less.
declare -A servers=([hello.vrc]="${pids[0]}" [null]="${pids[1]}" [hello.php]="${pids[2]}" [hello.html]=""
                    [table.vrc]="${pids[0]}" [table.php]="${pids[2]}")
ticks() {
  local total=0 pid
  for pid in ${servers[$1]} $( [ "${1#*.}" = php ] && pgrep -P "${pids[2]}" ); do
    [ -r "/proc/$pid/stat" ] && total=$((total + $(awk '{print $14 + $15}' "/proc/$pid/stat")))
  done
  echo "$total"
}
hertz=$(getconf CLK_TCK)

declare -A best p99 costs cost
for round in $(seq "$rounds"); do
  for target in hello.vrc hello.php null hello.html table.vrc table.php; do
    url="http://127.0.0.1:$port/$target"
    [ "${target%.*}" = table ] && url="$url?$query"
    before=$(ticks "$target")
    out=$(wrk -t2 -c32 -d"${duration}s" --latency "$url")
    after=$(ticks "$target")
    rps=$(awk '/^Requests\/sec:/ {print $2}' <<<"$out")
    tail=$(awk '$1 == "99%" {print $2}' <<<"$out")
    errors=$(awk '/Non-2xx|Socket errors/' <<<"$out")
    served=$(awk '/requests in/ {print $1}' <<<"$out")
    us=$(awk -v t=$((after - before)) -v h="$hertz" -v n="$served" -v s="${servers[$target]}" \
      'BEGIN {if (s == "" || n == 0) print "-"; else printf "%.0f", t / h * 1e6 / n}')
    printf 'round %d  %-10s %10.0f requests/s  p99 %-8s  server CPU %s us/request %s\n' \
      "$round" "$target" "$rps" "$tail" "$us" "$errors"
    if [ -z "${best[$target]:-}" ] || awk -v a="$rps" -v b="${best[$target]}" 'BEGIN {exit !(a > b)}'; then
      best[$target]=$rps
      p99[$target]=$tail
    fi
    costs[$target]="${costs[$target]:-} $us"
  done
done
for target in "${!costs[@]}"; do
  cost[$target]=$(tr ' ' '\n' <<<"${costs[$target]}" | grep -v '^$' | sort -n |
    awk '{v[NR] = $1} END {if (v[1] == "-") print "-"; else if (NR % 2) print v[(NR + 1) / 2]; else printf "%.0f", (v[NR / 2] + v[NR / 2 + 1]) / 2}')
done

echo
line() { printf '%-28s %10.0f requests/s  p99 %-8s  server CPU %s us/request (median)\n' "$1" "${best[$2]}" "${p99[$2]}" "${cost[$2]}"; }
echo "hello page"
line "Vorn hello (vornfcgi)" hello.vrc
line "PHP-FPM ($threads children)" hello.php
line "do-nothing libfcgi" null
line "static file" hello.html
echo "table page (200 rows)"
line "Vorn table (vornfcgi)" table.vrc
line "PHP-FPM ($threads children)" table.php
line "do-nothing libfcgi" null
line "static file" hello.html
awk -v v="${best[hello.vrc]}" -v p="${best[hello.php]}" -v n="${best[null]}" -v s="${best[hello.html]}" \
    -v vc="${cost[hello.vrc]}" -v pc="${cost[hello.php]}" -v tc="${cost[table.vrc]}" -v tp="${cost[table.php]}" \
    -v tv="${best[table.vrc]}" -v tpr="${best[table.php]}" 'BEGIN {
  printf "hello: Vorn / PHP-FPM rate     %.2f\n", v / p
  printf "hello: Vorn / do-nothing rate  %.2f (goal >= 0.80)\n", v / n
  printf "hello: Vorn / static rate      %.2f\n", v / s
  printf "hello: Vorn / PHP-FPM CPU      %.2f (goal <= 0.50)\n", vc / pc
  printf "table: Vorn / PHP-FPM rate     %.2f\n", tv / tpr
  printf "table: Vorn / PHP-FPM CPU      %.2f (goal <= 1.00)\n", tc / tp
}'
