#!/usr/bin/env bash
# Includes run one way: each folder below may include only itself and the
# folders (or single files) listed for it. Prints every include that runs the
# wrong way.
set -euo pipefail
cd "${1:-$(dirname "$0")/../..}"

declare -A allowed=(
  [platform]="platform"
  [engine/foundation]="engine/foundation"
  [engine/app]="engine/app engine/foundation platform"
  [engine/files]="engine/files engine/app engine/foundation platform"
  [engine/program]="engine/program engine/files engine/app engine/foundation platform"
  [engine/values]="engine/values engine/program engine/files engine/app engine/foundation platform"
  [engine/vm]="engine/vm engine/values engine/program engine/files engine/app engine/foundation platform"
  [database]="database engine platform"
  [host]="host database engine platform"
  [sqllib]="sqllib host/VornHost.h"
  [gateway]="gateway host/VornHost.h sqllib/HostBinding.h"
  [server]="server host database engine platform"
  [snapin]="snapin host engine platform"
  [snapin/vornconfig]="snapin/vornconfig snapin host engine platform"
  [tools]="tools host database engine platform"
)

status=0
for folder in "${!allowed[@]}"; do
  [ -d "$folder" ] || continue
  while IFS= read -r line; do
    file=${line%%:*}
    target=$(sed -E 's/.*#include "([^"]+)".*/\1/' <<<"$line")
    ok=0
    for prefix in ${allowed[$folder]}; do
      [[ $target == "$prefix"/* || $target == "$prefix" ]] && ok=1 && break
    done
    if [ $ok = 0 ]; then
      echo "$file includes $target"
      status=1
    fi
  done < <(grep -HE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$folder"/*.h "$folder"/*.cpp 2>/dev/null || true)
done
exit $status
