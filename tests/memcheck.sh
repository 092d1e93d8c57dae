#!/usr/bin/env bash
# Runs quelt under valgrind's memcheck against the simulator, once for a
# delivery and once for a run that fails; any memory error or leak fails.
set -euo pipefail
quelt=$1
sim=$2
log=$(mktemp)
trap 'rm -f "$log"; kill -TERM "$sim_pid" 2>/dev/null || true' EXIT

coproc SIM { exec "$sim" --queue 10; }
sim_pid=$SIM_PID
exec {sim_out}<&"${SIM[0]}"
read -r -t 10 device <&"$sim_out"

check() {
    local want=$1
    shift
    local status=0
    valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite,indirect,possible \
        --errors-for-leak-kinds=definite,indirect,possible --error-exitcode=99 --log-file="$log" \
        "$quelt" "$device" "$@" >/dev/null 2>&1 || status=$?
    if [ "$status" -ne "$want" ]; then
        echo "memcheck: quelt $* exited $status, not $want"
        cat "$log"
        exit 1
    fi
    grep -E 'ERROR SUMMARY|definitely lost|in use at exit' "$log" | sed "s/^==[0-9]*== /quelt $*: /"
}

check 0 0 'hi'                  # delivered: 3 of the 10 bytes
check 255 0 'Howdy, modbus!'    # a shortfall
check 255 7 'x'                 # refused argument
echo "memcheck: no errors, no leaks"
