#!/usr/bin/env bash
# scripts/bench runs every benchmark named, even after one misses its goal, then lists the ones
# that missed and exits non-zero; with none missed it exits zero.
set -uo pipefail
ROOT="$1"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# Three stand-in benchmarks: the first misses its goal, the others meet theirs.
bench() {
    mkdir -p "$work/bench/$1"
    printf '#!/usr/bin/env bash\nset -e\necho "ran %s" >>"%s/ran"\nexit %s\n' "$1" "$work" "$2" \
        >"$work/bench/$1/run"
    chmod +x "$work/bench/$1/run"
}
bench a-misses 1
bench b-meets 0
bench c-meets 0

run_bench() {
    rm -f "$work/ran"
    QUORVANE_NO_SETUP=1 QUORVANE_BENCH_DIR="$work/bench" "$ROOT/scripts/bench" "$@" >"$work/out" 2>&1
}

run_bench
code=$?
[ "$code" -ne 0 ] || fail "a missed goal gave exit code 0"
[ "$(cat "$work/ran" 2>/dev/null | tr '\n' ' ')" = "ran a-misses ran b-meets ran c-meets " ] \
    || fail "not every benchmark ran after a miss: $(cat "$work/ran" 2>/dev/null)"
tail -2 "$work/out" | grep -q "a-misses (exit code 1)" || fail "the miss is not listed at the end: $(tail -3 "$work/out")"
grep -q "b-meets (exit" "$work/out" && fail "a benchmark that met its goal is listed as missed"

run_bench b-meets c-meets
code=$?
[ "$code" -eq 0 ] || fail "benchmarks that met their goals gave exit code $code"
[ "$(wc -l <"$work/ran")" -eq 2 ] || fail "naming two benchmarks ran $(wc -l <"$work/ran")"

run_bench b-meets nothing-of-that-name
[ $? -ne 0 ] || fail "an unknown benchmark's name gave exit code 0"

[ "$failures" -eq 0 ] && echo "PASS: bench"
exit "$failures"
