#!/usr/bin/env bash
# Installs what is missing, builds the libFuzzer targets (fuzz/) with clang in build-fuzz/ and runs
# each of them for a while; exits non-zero if any of them crashed.
#   scripts/fuzz.sh            60 seconds per target
#   scripts/fuzz.sh 3600       an hour per target
# Everything a run writes (corpus, crash inputs, logs) stays in build-fuzz/; the seeds in
# fuzz/corpus/ are only read. A crash input is kept as build-fuzz/artifacts/<target>/crash-*;
# build-fuzz/fuzz/<target>_fuzzer <file> runs it again.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-60}"
if ! [[ "$seconds" =~ ^[1-9][0-9]*$ ]]; then
    echo "usage: $0 [seconds per target]" >&2
    exit 2
fi

scripts/deps.sh --tests

dir=build-fuzz
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)"

targets=(collect_received mpsse)

# A finding must fail the run, not be recovered from; leaks count as findings too.
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

# The targets run side by side, one core each.
pids=()
for target in "${targets[@]}"; do
    corpus="$dir/corpus/$target"
    artifacts="$dir/artifacts/$target"
    mkdir -p "$corpus" "$artifacts" "$dir/logs"
    options=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
             -artifact_prefix="$artifacts/")
    [[ -f "fuzz/$target.dict" ]] && options+=(-dict="fuzz/$target.dict")
    # The first folder gets the new inputs; the seeds are only read.
    "$dir/fuzz/${target}_fuzzer" "${options[@]}" "$corpus" "fuzz/corpus/$target" \
        >"$dir/logs/$target.log" 2>&1 &
    pids+=($!)
done

passed=0
failed=0
for index in "${!targets[@]}"; do
    target="${targets[$index]}"
    log="$dir/logs/$target.log"
    result=0
    wait "${pids[$index]}" || result=$?
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
    if [[ $result -eq 0 ]]; then
        passed=$((passed + 1))
        echo "$target: ${runs:-?} runs (${rate:-?}/s) in ${seconds}s, no findings"
    else
        failed=$((failed + 1))
        crash=$(ls -t "$dir/artifacts/$target" 2>/dev/null | head -n 1 || true)
        echo "$target: FAILED (exit $result) after ${runs:-?} runs;" \
             "input: $dir/artifacts/$target/${crash:-none}; log: $log"
        grep -E "ERROR:|runtime error|_fuzzer: " "$log" | head -n 5 | sed 's/^/    /' || true
    fi
done

echo "$passed passed, $failed failed"
[[ $failed -eq 0 ]]
