#!/usr/bin/env bash
# Fails on any #include that points up or sideways against the layer order: a folder may include
# from itself and from the folders below it (cmake/QbLayers.cmake links them in the same order).
# The watchdog stands on platform/ alone and the schema-upgrade library on nothing of the collector.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
cd "$ROOT"

LAYERS=(app intake maintenance writers storage protocol config core platform)
declare -A RANK
for i in "${!LAYERS[@]}"; do RANK[${LAYERS[$i]}]=$i; done

bad=0
report() { echo "check-layers: $1:$2: includes \"$3\": $4" >&2; bad=1; }

check_folder() { # folder, allowed-folders (space separated)
    local folder="$1" allowed=" $2 " f n inc target
    while IFS= read -r f; do
        n=0
        while IFS= read -r line; do
            n=$((n + 1))
            [[ "$line" =~ ^[[:space:]]*#[[:space:]]*include[[:space:]]*\"([^\"]+)\" ]] || continue
            inc="${BASH_REMATCH[1]}"
            target="${inc%%/*}"
            [ "$target" = "$inc" ] && continue # a file beside it
            [[ -v RANK[$target] || "$target" == watchdog || "$target" == schemalift ]] || continue
            [[ "$allowed" == *" $target "* ]] || report "$f" "$n" "$inc" "$folder/ may not include from $target/"
        done <"$f"
    done < <(find "$folder" -type f \( -name '*.h' -o -name '*.cpp' \) | sort)
}

for i in "${!LAYERS[@]}"; do
    check_folder "${LAYERS[$i]}" "${LAYERS[*]:$i}"
done
check_folder watchdog "watchdog platform"
check_folder schemalift "schemalift"

if [ "$bad" -ne 0 ]; then
    echo "check-layers: FAILED (the order, top first: ${LAYERS[*]})" >&2
    exit 1
fi
echo "check-layers: every include points down (${LAYERS[*]})"
