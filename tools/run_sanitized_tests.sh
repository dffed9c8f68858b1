#!/usr/bin/env bash
# Runs the C++ and Python tests against a build with AddressSanitizer and UndefinedBehaviorSanitizer.
# The interpreter is not instrumented: the sanitizer runtime is preloaded for it, and leak detection
# is off for the interpreter's run (its own allocations live until exit by design). Any sanitizer
# report fails the run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/tools/lib.sh"
python=$(absolute_interpreter "${1:-${PYTHON:-python3}}")
[ $# -gt 0 ] && shift
build=${SARVO_SANITIZE_BUILD:-$root/build/sanitize}

# Tests request impossible sizes on purpose: the allocator must answer null, as the C library does.
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:halt_on_error=1:detect_odr_violation=0:allocator_may_return_null=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
# The race harness (tests/python/test_races.py) races each case this long, in seconds.
export SARVO_RACE_SECONDS=${SARVO_RACE_SECONDS:-0.2}
# Death tests fork; keep the sanitizer quiet about the child's deliberate abort.
SARVO_CMAKE_ARGS="-DSARVO_SANITIZE=ON" SARVO_TEST_BUILD="$build" \
  LD_PRELOAD="$(gcc -print-file-name=libasan.so):$(gcc -print-file-name=libubsan.so)" \
  PYTHONMALLOC=malloc \
  bash "$root/tools/run_tests.sh" "$python" "$@"
