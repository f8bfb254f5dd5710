# Sourced by the setup script: runs a long step with everything it prints (normal output and
# compiler warnings alike) in a log file, so the terminal shows one line per step; when the step
# fails, its errors and the log's end follow that line.
#
#   run_step LOG DESCRIPTION COMMAND [ARGUMENT...]

STEP_TAIL_LINES="${STEP_TAIL_LINES:-40}"

run_step() {
    local logfile="$1" what="$2"
    shift 2
    mkdir -p "$(dirname "$logfile")"
    echo "setup: $what (log: $logfile)"
    "$@" >"$logfile" 2>&1 && return 0
    local code=$?
    {
        echo "setup: $what failed (exit code $code)"
        # In a parallel build the first error can lie far above the end of the log.
        if grep -q -m1 -E '(^|[^a-z])(error|Error)[: ]' "$logfile"; then
            echo "setup: the first errors in $logfile:"
            grep -E '(^|[^a-z])(error|Error)[: ]' "$logfile" | head -n 20
        fi
        echo "setup: the end of $logfile:"
        tail -n "$STEP_TAIL_LINES" "$logfile"
    } >&2
    return "$code"
}
