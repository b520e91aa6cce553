#!/bin/sh
# The README's code excerpt under HEADING is copied from FILE: every line of its first fenced
# block, without its indentation, is a line of FILE.
#   readme_excerpt.sh README HEADING FILE
set -u
readme=$1 heading=$2 file=$3
excerpt=$(awk -v h="$heading" '$0 == h {found = 1; next}
    found && /^```/ {if (inside) exit; inside = 1; next}
    inside {print}' "$readme")
[ -n "$excerpt" ] || { echo "FAILED: no code block under '$heading' in $readme"; exit 1; }
failed=0
printf '%s\n' "$excerpt" | sed 's/^ *//' | while IFS= read -r line; do
    [ -z "$line" ] && continue
    sed 's/^ *//' "$file" | grep -qxF -- "$line" || { echo "FAILED: not in $file: $line"; exit 1; }
done || failed=1
[ $failed -eq 0 ] && echo "the excerpt under '$heading' is in $file"
exit $failed
