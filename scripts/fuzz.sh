#!/usr/bin/env bash
# Builds the fuzz targets under fuzz/ with clang (libFuzzer, AddressSanitizer,
# UndefinedBehaviorSanitizer) in build-fuzz and runs each for a bounded time.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]
#
# SECONDS per target, default 60; TARGETs default to every *_fuzzer. Each
# target starts from a scratch copy of its seed corpus, so the checkout is not
# changed. Prints the executions of each target; exits non-zero when a target
# crashed or broke an invariant, and leaves the input that did it in
# build-fuzz/crashes/.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
shift || true
if ! [[ "$seconds" =~ ^[1-9][0-9]*$ ]]; then
    echo "fuzz: SECONDS must be a positive whole number, not '$seconds'" >&2
    exit 2
fi

VELLORT_WITH_CLANG=1 bash scripts/setup.sh

build=build-fuzz
echo "=== building $build"
cmake -S fuzz -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)"

targets=("$@")
if ((${#targets[@]} == 0)); then
    for source in fuzz/*_fuzzer.cc; do
        targets+=("$(basename "$source" .cc)")
    done
fi

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
crashes="$build/crashes"
mkdir -p "$crashes"

failed=()
for target in "${targets[@]}"; do
    if [[ ! -x "$build/$target" ]]; then
        echo "fuzz: no target $target" >&2
        exit 2
    fi
    corpus="$scratch/$target"
    mkdir -p "$corpus"
    if [[ -d "fuzz/corpus/$target" ]]; then
        cp -R "fuzz/corpus/$target/." "$corpus/"
    fi
    options=(-max_total_time="$seconds" -timeout=25 -print_final_stats=1 -artifact_prefix="$crashes/$target-")
    if [[ -f "fuzz/$target.dict" ]]; then
        options+=(-dict="fuzz/$target.dict")
    fi
    echo "=== fuzzing $target for ${seconds}s"
    status=0
    "$build/$target" "${options[@]}" "$corpus" >"$scratch/$target.log" 2>&1 || status=$?
    executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$scratch/$target.log" | tail -n 1)
    echo "$target: ${executions:-unknown} executions, exit status $status"
    if ((status != 0)); then
        tail -n 60 "$scratch/$target.log"
        failed+=("$target")
    fi
done

if ((${#failed[@]} > 0)); then
    echo "fuzz: FAILED: ${failed[*]} (inputs in $crashes)"
    exit 1
fi
echo "fuzz: all ${#targets[@]} targets ran ${seconds}s without a crash"
