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
  [sqllib]="sqllib host/VornHost.h database/DatabaseLibrary.h engine/foundation database/XBaseStore.h database/XBaseTable.h database/KPZIndexFile.h database/KPZIndexKeys.h database/KPZPageCache.h"
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

# The xBase format code is compiled into the SQL plug-in too, over its own file
# functions: it includes only itself and the foundation.
format="database/XBaseStore database/XBaseTable database/XBaseMemo database/KPZIndexFile database/KPZIndexKeys
        database/KPZIndexTree database/KPZPageCache"
for stem in $format; do
  for file in "$stem".h "$stem".cpp; do
    [ -f "$file" ] || continue
    while IFS= read -r target; do
      ok=0
      [[ $target == engine/foundation/* ]] && ok=1
      for other in $format; do [[ $target == "$other".h ]] && ok=1; done
      if [ $ok = 0 ]; then
        echo "$file (format code) includes $target"
        status=1
      fi
    done < <(sed -nE 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"([^"]+)".*/\1/p' "$file")
  done
done
exit $status
