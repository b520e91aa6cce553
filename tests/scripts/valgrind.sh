#!/bin/sh
# Runs a program under valgrind's memcheck, with every program it starts (but the simulator), and
# fails when any of them reported a memory error or a leak. Valgrind's own reports go to files, so
# that the programs' output stays theirs (the tests compare it).
#   valgrind.sh VALGRIND PROGRAM [ARGUMENTS...]
valgrind=$1
shift
logs=$(mktemp -d /tmp/qm4720-valgrind-XXXXXX) || exit 1
"$valgrind" --error-exitcode=99 --leak-check=full --show-leak-kinds=definite,indirect \
    --errors-for-leak-kinds=definite,indirect --trace-children=yes \
    --trace-children-skip='*qm4720sim*' --log-file="$logs/%p.log" "$@"
status=$?
bad=$(grep -l -E 'ERROR SUMMARY: [1-9]|(definitely|indirectly) lost: [1-9]' "$logs"/*.log 2>/dev/null)
for log in $bad; do
    echo "valgrind: $log" >&2
    cat "$log" >&2
done
echo "valgrind: $(ls "$logs" | wc -l) processes checked, $(echo "$bad" | grep -c .) with errors"
rm -rf "$logs"
[ -z "$bad" ] || exit 1
exit $status
