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
  [database/format]="database/format engine/foundation"
  [database/xbase3]="database/xbase3 database/format engine platform"
  [database/library]="database/library database/xbase3 database/format engine platform"
  [host/base]="host/base engine platform"
  [host/features]="host/features engine platform"
  [host/network]="host/network host/base engine platform"
  [host/plugin]="host/plugin host/network host/base database/library engine platform"
  [host/app]="host/app host/plugin host/features host/network host/base database/library engine platform"
  [host/web]="host/web host/app host/plugin host/features host/network host/base database engine platform"
  [sqllib/binding]="sqllib/binding host/plugin/VornHost.h"
  [sqllib/front]="sqllib/front engine/foundation"
  [sqllib/store]="sqllib/store sqllib/front/SqlColumnDefinition.h sqllib/front/SqlCollections.h sqllib/front/SqlMemory.h sqllib/front/SqlMessages.h host/plugin/VornHost.h database/format engine/foundation"
  [sqllib/engine]="sqllib/engine sqllib/store sqllib/front host/plugin/VornHost.h database/library/DatabaseLibrary.h database/format engine/foundation"
  [gateway]="gateway host/plugin/VornHost.h sqllib/binding/HostBinding.h"
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
    # No process per line: the check runs over every include of the tree.
    [[ $line =~ include[[:space:]]*\"([^\"]+)\" ]] || continue
    target=${BASH_REMATCH[1]}
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

# Within engine/vm the core (the VM class, its loop, stack, frames, features,
# tag errors and the expression compiler) includes only the core: the tag
# groups, their state and the interfaces they reach the host through include
# the core, never the other way.
vm_core='engine/vm/(VornVM[A-Za-z]*|Feature|TagErrors|ScriptOperators|ExpressionCompiler|ExternalFunctionSource)[.](h|cpp)'
while IFS= read -r line; do
  file=${line%%:*}
  [[ $file =~ ^$vm_core$ ]] || continue
  [[ $line =~ include[[:space:]]*\"(engine/vm/[^\"]+)\" ]] || continue
  target=${BASH_REMATCH[1]}
  if ! [[ $target =~ ^$vm_core$ ]]; then
    echo "$file (the VM's core) includes $target"
    status=1
  fi
done < <(grep -HE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' engine/vm/*.h engine/vm/*.cpp 2>/dev/null || true)

# host/, database/ and sqllib/ keep their sources in the folders above only.
for top in host database sqllib; do
  for file in "$top"/*.h "$top"/*.cpp; do
    [ -f "$file" ] || continue
    echo "$file is in no folder of its subsystem"
    status=1
  done
done
exit $status
