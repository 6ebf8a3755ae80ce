#!/usr/bin/env bash
# examples/sql.vra through the assembler and the runner with the vornsql
# library, twice on one data directory (created, then opened again): both
# runs print what the expected file holds.
#   run_sql_example.sh VRASM VRRUN LIBRARY SOURCE EXPECTED
set -euo pipefail
vrasm=$1 vrrun=$2 library=$3 source=$4 expected=$5
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
"$vrasm" -o "$dir/sql.vrc" "$source"
for run in 1 2; do
  "$vrrun" -c globaltimeout=20 -s "$dir" -d "$dir" -t "vornsql=$library" sql.vrc > "$dir/out.txt"
  diff -u "$expected" "$dir/out.txt"
done
