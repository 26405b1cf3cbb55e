# Waiting for what the end-to-end test needs, sourced by its scripts. On a
# busy machine each step may take long; none is given a fixed time, each is
# waited for with a generous limit, and a run that gives up says what it
# waited for.

# Seconds that any one step may take before the run gives up.
wait_limit=${SEVRANE_TEST_WAIT_LIMIT:-120}

give_up() {
    echo "end_to_end: $*" >&2
    exit 1
}

# wait_until WHAT COMMAND...: runs COMMAND every tenth of a second until it
# succeeds; gives up after wait_limit seconds, naming WHAT.
wait_until() {
    local what=$1
    shift
    local deadline=$((SECONDS + wait_limit))
    until "$@"; do
        [ "$SECONDS" -lt "$deadline" ] || give_up "gave up after ${wait_limit} s waiting for $what"
        sleep 0.1
    done
}

# The size of a file in bytes, 0 while it does not exist.
size_of() {
    stat -c %s "$1" 2>/dev/null || echo 0
}
