#!/usr/bin/env bash
# The interpreter against Lua 5.4 and PHP 8.2 on four small workloads, whole
# process, as a user would time them: each workload is written three times
# (vrasm in workloads/, Lua, PHP), the three must print the same line, then
# one hyperfine call per workload times them side by side. Prints mean times, ratios to the
# vrrun time and peak RSS, then the N / 4N scaling pairs of vrrun.
#
#   bench/peers/run.sh                 build (Release) and run everything
#   RUNS=20 bench/peers/run.sh         more hyperfine runs per command
#   VRRUN_BEFORE="/path/vrrun -c globaltimeout=600" ...
#                                      also time another vrrun (with options) in each call
#   WORKLOADS="loop concat" ...        only some of loop, calls, concat, array
#   ICOUNT=0 bench/peers/run.sh        without the instruction counts (default 100000)
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${BUILD_DIR:-$root/build/release}
runs=${RUNS:-10}
workloads=${WORKLOADS:-"loop calls concat array"}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

need=""
for p in lua5.4 php8.2-cli hyperfine time jq bc cmake g++ libbenchmark-dev valgrind; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || need="$need $p"
done
if [ -n "$need" ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq && apt-get install -y -qq $need >/dev/null
fi

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVORN_BENCH=ON -DVORN_TESTS=OFF >/dev/null
cmake --build "$build" -j "${JOBS:-4}" --target vrrun vrasm >/dev/null
vrasm=$build/tools/vrasm
vrrun=$build/tools/vrrun

# Default sizes: the workloads of the comparison table.
declare -A size=([loop]=10000000 [calls]=1000000 [concat]=1000000 [array]=1000000)

# write NAME N: NAME-N.vra, NAME-N.lua, NAME-N.php in $work.
write() {
    local name=$1 n=$2 base=$work/$1-$2
    sed "s/@N@/$n/g" "$here/workloads/$name.vra" >"$base.vra"
    case $name in
    loop)
        printf 'local i = 0\nwhile i < %d do i = i + 1 end\nio.write(i)\n' "$n" >"$base.lua"
        printf '<?php\n$i = 0;\nwhile ($i < %d) { $i = $i + 1; }\necho $i;\n' "$n" >"$base.php"
        ;;
    calls)
        printf 'local function f(a, b) return a + b end\nlocal s = 0\nfor i = 1, %d do s = f(s, 1) end\nio.write(s)\n' \
            "$n" >"$base.lua"
        printf '<?php\nfunction f($a, $b) { return $a + $b; }\n$s = 0;\nfor ($i = 0; $i < %d; $i++) { $s = f($s, 1); }\necho $s;\n' \
            "$n" >"$base.php"
        ;;
    concat)
        # Lua strings are immutable: its linear idiom is a buffer table.
        printf 'local t = {}\nfor i = 1, %d do t[#t + 1] = "x" end\nlocal s = table.concat(t)\nio.write(#s)\n' \
            "$n" >"$base.lua"
        printf '<?php\n$s = "";\nfor ($i = 0; $i < %d; $i++) { $s .= "x"; }\necho strlen($s);\n' "$n" >"$base.php"
        ;;
    array)
        printf 'local a = {}\nfor i = 1, %d do a[i] = i end\nlocal sum = 0\nfor i = 1, %d do sum = sum + a[i] end\nio.write(sum)\n' \
            "$n" "$n" >"$base.lua"
        printf '<?php\n$a = [];\nfor ($i = 1; $i <= %d; $i++) { $a[$i] = $i; }\n$sum = 0;\nfor ($i = 1; $i <= %d; $i++) { $sum = $sum + $a[$i]; }\necho $sum;\n' \
            "$n" "$n" >"$base.php"
        ;;
    esac
    "$vrasm" -o "$base.vrc" "$base.vra"
}

# Peak resident set of a command, in MB.
peak() { /usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -1 | awk '{printf "%.1f", $1 / 1024}'; }

# Mean seconds (wall, or $3: user) of command number $2 in hyperfine's JSON $1.
mean() { jq -r ".results[$2].${3:-mean}" "$1"; }

php=$(command -v php8.2 || command -v php)
# On a shared machine the user time is the steadier of the two.
printf '%-8s %-14s %12s %12s %10s %10s\n' workload command "mean (ms)" "user (ms)" "x vrrun" "peak MB"
for w in $workloads; do
    n=${size[$w]}
    write "$w" "$n"
    base=$work/$w-$n
    want=$("$vrrun" "$base.vrc")
    for other in "lua5.4 $base.lua" "$php $base.php"; do
        got=$($other)
        if [ "$got" != "$want" ]; then
            echo "$w: '$other' printed '$got', vrrun printed '$want'" >&2
            exit 1
        fi
    done
    cmds=("$vrrun $base.vrc" "lua5.4 $base.lua" "$php $base.php")
    names=(vrrun lua5.4 php8.2)
    if [ -n "${VRRUN_BEFORE:-}" ]; then
        # shellcheck disable=SC2086
        got=$($VRRUN_BEFORE "$base.vrc")
        [ "$got" = "$want" ] || { echo "$w: before printed '$got', not '$want'" >&2; exit 1; }
        cmds+=("$VRRUN_BEFORE $base.vrc")
        names+=("vrrun-before")
    fi
    hyperfine -N -w 1 -r "$runs" --export-json "$work/$w.json" "${cmds[@]}" >/dev/null 2>&1
    t0=$(mean "$work/$w.json" 0)
    for i in "${!cmds[@]}"; do
        t=$(mean "$work/$w.json" "$i")
        # shellcheck disable=SC2086
        u=$(mean "$work/$w.json" "$i" user)
        printf '%-8s %-14s %12.1f %12.1f %10.2f %10s\n' "$w" "${names[$i]}" "$(echo "$t * 1000" | bc -l)" \
            "$(echo "$u * 1000" | bc -l)" "$(echo "$t / $t0" | bc -l)" "$(peak ${cmds[$i]})"
    done
done

echo
echo "scaling of vrrun: N and 4N in one hyperfine call (linear: ratio at most 4.5)"
printf '%-8s %10s %12s %12s %8s %11s %10s\n' workload N "N (ms)" "4N (ms)" ratio "user ratio" "4N peak MB"
for w in $workloads; do
    n=${size[$w]}
    [ "$w" = loop ] && n=$((n / 4))
    write "$w" "$n"
    write "$w" $((4 * n))
    hyperfine -N -w 1 -r "$runs" --export-json "$work/$w-scale.json" \
        "$vrrun $work/$w-$n.vrc" "$vrrun $work/$w-$((4 * n)).vrc" >/dev/null 2>&1
    a=$(mean "$work/$w-scale.json" 0)
    b=$(mean "$work/$w-scale.json" 1)
    ua=$(mean "$work/$w-scale.json" 0 user)
    ub=$(mean "$work/$w-scale.json" 1 user)
    printf '%-8s %10d %12.1f %12.1f %8.2f %11.2f %10s\n' "$w" "$n" "$(echo "$a * 1000" | bc -l)" \
        "$(echo "$b * 1000" | bc -l)" "$(echo "$b / $a" | bc -l)" "$(echo "$ub / $ua" | bc -l)" \
        "$(peak "$vrrun" "$work/$w-$((4 * n)).vrc")"
done

icount=${ICOUNT:-100000}
[ "$icount" -gt 1 ] || exit 0
echo
echo "instructions per iteration (cachegrind, $icount iterations less 1)"
printf '%-8s %10s %10s %10s %12s\n' workload vrrun lua5.4 php8.2 "vrrun/php"
# Instructions of one run, from cachegrind's summary.
irefs() {
    valgrind --tool=cachegrind --cache-sim=no --cachegrind-out-file=/dev/null "$@" 2>&1 >/dev/null |
        awk '/I *refs/ {gsub(",", "", $4); print $4}'
}
for w in $workloads; do
    write "$w" 1
    write "$w" "$icount"
    per=()
    for c in "$vrrun .vrc" "lua5.4 .lua" "$php .php"; do
        cmd=${c% *}
        ext=${c##* }
        a=$(irefs $cmd "$work/$w-1$ext")
        b=$(irefs $cmd "$work/$w-$icount$ext")
        per+=($(( (b - a) / (icount - 1) )))
    done
    printf '%-8s %10d %10d %10d %12.2f\n' "$w" "${per[0]}" "${per[1]}" "${per[2]}" "$(echo "${per[0]} / ${per[2]}" | bc -l)"
done
