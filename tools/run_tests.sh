#!/usr/bin/env bash
# Builds the module and the C++ unit tests, then runs every test: C++ (ctest) and Python (pytest).
# PYTHON selects the interpreter (its NumPy/SciPy are the ones tested); extra arguments go to pytest.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
python=$(command -v "${PYTHON:-python3}")
build=${SARVO_TEST_BUILD:-$root/build/tests}

mkdir -p "$build"
# The test build exports the memory-statistics hooks that the leak tests read.
cmake -S "$root" -B "$build" -G Ninja -DSARVO_BUILD_TESTS=ON -DSARVO_TEST_HOOKS=ON -DPython_EXECUTABLE="$python" \
      ${SARVO_CMAKE_ARGS:-} > "$build/configure.log" 2>&1 || { cat "$build/configure.log"; exit 1; }
cmake --build "$build" -j2
ctest --test-dir "$build" --output-on-failure
cd "$root"
PYTHONPATH="$build" "$python" -m pytest tests/python -q -p no:cacheprovider "$@"
