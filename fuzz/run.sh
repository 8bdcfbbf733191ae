#!/usr/bin/env bash
# Builds the fuzz preset and runs every libFuzzer target for a bounded time.
#
# A target is a source fuzz/fuzz_<name>.cpp with its seed inputs in
# fuzz/corpus/<name>/; adding both is all it takes to have it built and run.
# Inputs that once made a target fail are kept in fuzz/regressions/fuzz_<name>/
# and replayed before that target is fuzzed. The seed corpus is copied to a
# temporary folder, so the inputs that fuzzing finds do not land in the
# repository. A failure (crash, sanitizer report, leak, time-out) is copied into
# fuzz/regressions/fuzz_<name>/ and the script exits non-zero.
#
# Usage: fuzz/run.sh [seconds per target]   (default 60)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
if ! command -v clang++ >/dev/null; then
    echo "fuzz/run.sh: clang++ not found; install clang and libclang-rt-14-dev" >&2
    exit 1
fi

cmake --preset fuzz
cmake --build --preset fuzz

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export ASAN_OPTIONS=detect_leaks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

shopt -s nullglob
sources=(fuzz/fuzz_*.cpp)
if ((${#sources[@]} == 0)); then
    echo "fuzz/run.sh: no fuzz/fuzz_*.cpp targets" >&2
    exit 1
fi

status=0
for source in "${sources[@]}"; do
    target=$(basename "$source" .cpp)
    name=${target#fuzz_}
    binary=build/fuzz/fuzz/$target
    regressions=fuzz/regressions/$target
    log=$work/$target.log

    inputs=("$regressions"/*)
    if ((${#inputs[@]} > 0)); then
        echo "== $target: replaying ${#inputs[@]} regression input(s)"
        if ! "$binary" -timeout=25 "${inputs[@]}" >"$log" 2>&1; then
            tail -n 60 "$log"
            echo "== $target: FAILED on a regression input from $regressions"
            status=1
            continue
        fi
    fi

    corpus=$work/corpus-$name
    artifacts=$work/artifacts-$name
    mkdir -p "$corpus" "$artifacts"
    if [[ -d fuzz/corpus/$name ]]; then
        cp -R "fuzz/corpus/$name/." "$corpus/"
    else
        echo "== $target: no seed corpus in fuzz/corpus/$name, starting empty"
    fi

    echo "== $target: fuzzing for ${seconds} s"
    if "$binary" -max_total_time="$seconds" -timeout=25 -print_final_stats=1 \
        -artifact_prefix="$artifacts/" "$corpus" >"$log" 2>&1; then
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
        echo "== $target: ${runs:-?} executions in ${seconds} s, corpus of" \
            "$(find "$corpus" -type f | wc -l) inputs, no failure"
    else
        tail -n 60 "$log"
        mkdir -p "$regressions"
        for artifact in "$artifacts"/*; do
            cp "$artifact" "$regressions/"
            echo "== $target: reproducer kept in $regressions/$(basename "$artifact")"
        done
        echo "== $target: FAILED"
        status=1
    fi
done
exit "$status"
