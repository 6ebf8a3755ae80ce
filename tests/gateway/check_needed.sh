#!/usr/bin/env bash
# A library's dynamic section names no OpenSSL library: check_needed.sh LIBRARY
set -euo pipefail
needed=$(readelf -d "$1" | awk '/\(NEEDED\)/ {print $NF}')
[ -n "$needed" ] || { echo "no NEEDED entries read from $1"; exit 1; }
if grep -E 'lib(ssl|crypto)' <<<"$needed"; then
  echo "$1 links OpenSSL"
  exit 1
fi
echo "$1 needs" $needed
