#!/usr/bin/env bash
# A long setup step prints one line on the terminal and keeps everything else (warnings on
# standard error included) in its log; a failing step shows its first errors and the log's end,
# and fails the script.
set -uo pipefail
ROOT="$1"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# Many lines on both streams, as a compiler with warnings writes them.
noisy() {
    for i in $(seq 1 500); do
        echo "[ $i%] Building object $i"
        echo "warning: unused variable $i" >&2
    done
}
broken() {
    noisy
    echo "src/a.cpp:1:1: error: expected ';'" >&2
    for i in $(seq 1 100); do echo "[ $i%] Building other object $i"; done
    return 3
}

bash -c "set -euo pipefail; source '$ROOT/scripts/steps.sh'; $(declare -f noisy); \
    run_step '$work/ok.log' 'building something' noisy; echo after" >"$work/out" 2>&1
code=$?
[ "$code" -eq 0 ] || fail "a step that succeeds failed the script (exit code $code)"
[ "$(wc -l <"$work/out")" -eq 2 ] || fail "a step that succeeds printed $(wc -l <"$work/out") lines, not one: $(head -3 "$work/out")"
grep -q "^setup: building something (log: $work/ok.log)$" "$work/out" || fail "no step line: $(head -1 "$work/out")"
grep -q warning "$work/out" && fail "a warning reached the terminal"
[ "$(grep -c warning "$work/ok.log")" -eq 500 ] || fail "the log does not hold the step's standard error"
[ "$(grep -c Building "$work/ok.log")" -eq 500 ] || fail "the log does not hold the step's standard output"

bash -c "set -euo pipefail; source '$ROOT/scripts/steps.sh'; $(declare -f noisy broken); \
    run_step '$work/bad.log' 'building the rest' broken; echo after" >"$work/out" 2>&1
code=$?
[ "$code" -eq 3 ] || fail "a failing step gave exit code $code, not its own 3"
grep -q after "$work/out" && fail "the script went on after a failing step"
grep -q "^setup: building the rest failed (exit code 3)$" "$work/out" || fail "no failure line"
grep -q "error: expected ';'" "$work/out" || fail "the error far above the log's end is not shown"
grep -q "Building other object 100" "$work/out" || fail "the log's end is not shown"
[ "$(wc -l <"$work/out")" -lt 80 ] || fail "a failing step printed $(wc -l <"$work/out") lines"

# The real setup routes the llama.cpp and project builds through such steps.
for step in "configuring llama.cpp" "building llama.cpp" "building the project"; do
    grep -q "run_step .*\"$step" "$ROOT/scripts/setup" \
        || grep -A2 "run_step" "$ROOT/scripts/setup" | grep -q "\"$step" \
        || fail "setup does not run \"$step\" as a logged step"
done

[ "$failures" -eq 0 ] && echo "PASS: setup steps" 
exit "$failures"
