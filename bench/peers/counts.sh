#!/usr/bin/env bash
# Machine instructions per iteration of the interpreter on every workload of
# workloads/ (the four of run.sh and more: handlers, recursion, locals,
# element pops, out, appends), for one or more vrrun builds side by side:
# cachegrind's count of an ICOUNT-iteration run less a 1-iteration run, so
# start-up and loading drop out. Each build must print what the first does.
#
#   bench/peers/counts.sh                          the Release build (made first)
#   bench/peers/counts.sh OLD/vrrun NEW/vrrun      two builds, alternating
#   WORKLOADS="calls recursion" ICOUNT=20000 ...   some workloads, fewer iterations
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${BUILD_DIR:-$root/build/release}
icount=${ICOUNT:-100000}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if [ $# -eq 0 ]; then
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVORN_BENCH=ON -DVORN_TESTS=OFF >/dev/null
    cmake --build "$build" -j "${JOBS:-4}" --target vrrun vrasm >/dev/null
    set -- "$build/tools/vrrun"
fi
vrasm=${VRASM:-$(dirname "$1")/vrasm}
workloads=${WORKLOADS:-$(cd "$here/workloads" && ls -- *.vra | sed 's/\.vra$//' | tr '\n' ' ')}

irefs() {
    valgrind --tool=cachegrind --cache-sim=no --cachegrind-out-file=/dev/null "$@" 2>&1 >/dev/null |
        awk '/I *refs/ {gsub(",", "", $4); print $4}'
}

k=0
for b in "$@"; do k=$((k + 1)); echo "$k: $b"; done
printf '%-10s' workload
for k in $(seq $#); do printf ' %10s' "$k"; done
echo
for w in $workloads; do
    for n in 1 "$icount"; do
        sed "s/@N@/$n/g" "$here/workloads/$w.vra" >"$work/$w-$n.vra"
        "$vrasm" -o "$work/$w-$n.vrc" "$work/$w-$n.vra"
    done
    want=$("$1" "$work/$w-$icount.vrc" | md5sum)
    printf '%-10s' "$w"
    for b in "$@"; do
        got=$("$b" "$work/$w-$icount.vrc" | md5sum)
        [ "$got" = "$want" ] || { echo; echo "$w: $b prints other output than $1" >&2; exit 1; }
        a=$(irefs "$b" "$work/$w-1.vrc")
        c=$(irefs "$b" "$work/$w-$icount.vrc")
        printf ' %10d' $(( (c - a) / (icount - 1) ))
    done
    echo
done
