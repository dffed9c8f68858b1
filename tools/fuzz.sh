#!/usr/bin/env bash
# Coverage-guided fuzzing of the module (tests/fuzz/fuzz_sarvo.py, atheris) for a time budget.
#
#   tools/fuzz.sh [SECONDS]            fuzz, then replay every input kept under the sanitizers
#   tools/fuzz.sh --replay DIR...      run saved inputs once each under the sanitizers
#   tools/fuzz.sh --coverage           replay the corpus on the coverage build and report kernel line coverage
#
# Two stages. The search runs on the plain test build (SARVO_TEST_BUILD, default build/tests),
# guided by the coverage of the harness and of the argument builders, whose bytecode atheris
# instruments; a preloaded AddressSanitizer would take over the coverage hooks and blind it, and
# clang's native edge counters are not available (clang refuses the entry table's
# constant-expression function-address casts). Then every input the search kept, and every
# finding, runs once on the sanitizer build (GCC, AddressSanitizer and UndefinedBehaviorSanitizer;
# the interpreter is not instrumented, so their runtimes are preloaded for it). New inputs go to
# build/fuzz/corpus, crashing ones to build/fuzz/findings.
# FUZZ_PYTHON names an interpreter with atheris, hypothesis, numpy and scipy (NumPy 1.26 here).
# Not part of CI: a run is as long as its budget.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
python=${FUZZ_PYTHON:-python3}
build=${SARVO_FUZZ_BUILD:-$root/build/fuzz}
plain_build=${SARVO_TEST_BUILD:-$root/build/tests}
coverage_build=${SARVO_COVERAGE_BUILD:-$root/build/coverage}
harness=$root/tests/fuzz/fuzz_sarvo.py
pydir=$(dirname "$(command -v "$python")")

configure_and_build() {  # build-dir, extra cmake arguments...
    local dir=$1
    shift
    if [ ! -f "$dir/build.ninja" ]; then
        PATH=$pydir:$PATH cmake -S "$root" -B "$dir" -G Ninja -DPython_EXECUTABLE="$(command -v "$python")" "$@" \
            > "$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; exit 1; }
    fi
    PATH=$pydir:$PATH cmake --build "$dir" --target sarvo_functions -j2
}

fuzz_env() {
    export ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:max_allocation_size_mb=3072:detect_odr_violation=0"
    export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
    export LD_PRELOAD="$(gcc -print-file-name=libasan.so):$(gcc -print-file-name=libubsan.so)"
    export PYTHONMALLOC=malloc PYTHONPATH=$build
}

case "${1:-}" in
--replay)
    shift
    configure_and_build "$build" -DSARVO_SANITIZE=ON -DSARVO_TEST_HOOKS=ON
    fuzz_env
    exec "$python" "$harness" --replay "$@"
    ;;
--coverage)
    configure_and_build "$coverage_build" -DSARVO_COVERAGE=ON -DSARVO_TEST_HOOKS=ON
    find "$coverage_build" -name '*.gcda' -delete
    PYTHONPATH=$coverage_build "$python" "$harness" --replay "$build/corpus"
    # Counters bumped from many threads at once may wrap (gcov's are not atomic): warn, don't stop.
    "$python" -m gcovr -r "$root" "$coverage_build" --filter "$root/csrc/pelmarinex/deviverozo_new/" \
        --gcov-ignore-parse-errors=suspicious_hits.warn_once_per_file --txt-summary --txt "$build/kernel_coverage.txt"
    echo "per-file report: $build/kernel_coverage.txt"
    ;;
*)
    seconds=${1:-600}
    configure_and_build "$plain_build" -DSARVO_BUILD_TESTS=ON -DSARVO_TEST_HOOKS=ON
    mkdir -p "$build/corpus" "$build/findings"
    (cd "$build" && PYTHONPATH=$plain_build "$python" "$harness" "$build/corpus" -max_total_time="$seconds" \
        -max_len=8192 -len_control=0 -timeout=120 -rss_limit_mb=6144 -artifact_prefix="$build/findings/" \
        -print_final_stats=1) || echo "the search stopped on a finding: see $build/findings"
    "$0" --replay "$build/corpus" "$build/findings"
    ;;
esac
