#!/usr/bin/env bash
# Compares what a binary exports with the host interface's names:
#   check_exports.sh BINARY NAMES EXTRA
# NAMES and EXTRA are files of names, one a line. Every name of NAMES must be
# exported; nothing may be exported besides NAMES and EXTRA. The sanitizers' and the C library's own symbols are passed over.
# So are weak instances of the C++ library's templates: an executable exports
# those the C++ library defines too (clang makes some that g++ leaves to it).
set -euo pipefail
binary=$1 names=$2 extra=$3

exported=$(nm -D --defined-only "$binary" | awk 'NF >= 3 && !($2 ~ /^[WVu]$/ && $3 ~ /^_Z(NK?)?St/) {print $3}' |
  grep -vE '@|^(__asan_|__ubsan_|__lsan_|_IO_stdin_used$|_init$|_fini$|_edata$|_end$|__bss_start$)' | sort -u)
expected=$(grep . "$names" | sort -u)
allowed=$(cat "$names" "$extra" | grep . | sort -u)

status=0
for name in $(comm -13 <(echo "$exported") <(echo "$expected")); do
  echo "not exported: $name"
  status=1
done
for name in $(comm -23 <(echo "$exported") <(echo "$allowed")); do
  echo "exported beyond the host interface: $name"
  status=1
done
found=$(comm -12 <(echo "$exported") <(echo "$expected") | grep -c .)
echo "$binary exports $found of $(echo "$expected" | grep -c .) host functions"
exit $status
