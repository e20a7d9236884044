#!/usr/bin/env bash
# Runs every test of VELLORT on a fresh Debian machine, as root: installs what
# is missing, checks the locking with clang, then builds and runs the whole
# suite twice, once plainly and once under ThreadSanitizer, runs the short soak
# test and every fuzz target for a bounded time.
# Exits non-zero when anything fails.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

jobs=$(nproc)

run_suite() {
    local dir=$1
    shift
    echo "=== building $dir $*"
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
    cmake --build "$dir" -j"$jobs"
    echo "=== testing $dir"
    (cd "$dir" && ctest -j"$jobs" --output-on-failure)
}

# The locking rules, checked by clang: a build of the daemon and its tools, no tests.
echo "=== building build-clang: the thread-safety check"
cmake -S . -B build-clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug -DVELLORT_THREAD_SAFETY=ON \
      -DBUILD_TESTING=OFF -DVELLORT_BENCH=OFF >/dev/null
cmake --build build-clang -j"$jobs"

run_suite build
# The short soak: the real daemon under load and injected faults for two
# minutes, then every copy, report, memory, thread and descriptor checked.
echo "=== soak"
build/tests/soak/soak --seconds 120 --build-dir build
# The crash test's long run: more files and kills than the suite's short one.
echo "=== soak: crash test, long"
VELLORT_CRASH_FILES=8000 VELLORT_CRASH_KILLS=60 build/tests/vellort_tests --gtest_filter='CrashTest.*'
# The power-cut test's long run: more cuts than the suite's ten, on ext4 and
# on XFS (the two order their metadata differently).
for fs in ext4 xfs; do
    echo "=== soak: power cuts, long, $fs"
    VELLORT_POWERCUT_ROUNDS=12 VELLORT_POWERCUT_FS=$fs build/tests/vellort_tests --gtest_filter='PowerCutTest.*'
done
# TSan stops a test at its first report, so a data race fails the run.
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 ${TSAN_OPTIONS:-}"
run_suite build-tsan -DVELLORT_SANITIZER=thread -DVELLORT_BENCH=OFF

# Each fuzz target for 45 s (FUZZ_SECONDS to change), from the seed corpus.
bash scripts/fuzz.sh "${FUZZ_SECONDS:-45}"
