#!/usr/bin/env bash
# Builds the module and the C++ unit tests with one interpreter, then runs every test: C++ (ctest)
# and Python (pytest, on both cores when pytest-xdist is there).
#
#   tools/run_tests.sh [PYTHON [pytest arguments…]]
#
# PYTHON (default $PYTHON, else python3) is the interpreter whose NumPy and SciPy are tested; it
# may be a relative path. The cmake, ninja and ctest installed beside it come first on PATH.
# SARVO_TEST_BUILD names the build folder (default build/tests), SARVO_TESTS=python skips the C++
# tests, SARVO_TESTS=cpp skips the Python ones, SARVO_CMAKE_ARGS adds CMake options.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/tools/lib.sh"
python=$(absolute_interpreter "${1:-${PYTHON:-python3}}")
[ $# -gt 0 ] && shift
build=${SARVO_TEST_BUILD:-$root/build/tests}
cpp_tests=ON
[ "${SARVO_TESTS:-all}" = python ] && cpp_tests=OFF
export PATH="$(dirname "$python"):$PATH"

mkdir -p "$build"
# The test build exports the memory-statistics hooks that the leak tests read.
cmake -S "$root" -B "$build" -G Ninja -DSARVO_BUILD_TESTS=$cpp_tests -DSARVO_TEST_HOOKS=ON \
      -DPython_EXECUTABLE="$python" ${SARVO_CMAKE_ARGS:-} > "$build/configure.log" 2>&1 \
  || { cat "$build/configure.log"; exit 1; }
cmake --build "$build" -j2
[ $cpp_tests = ON ] && ctest --test-dir "$build" --output-on-failure
[ "${SARVO_TESTS:-all}" = cpp ] && exit 0
cd "$root"
parallel=()
"$python" -c "import xdist" 2>/dev/null && parallel=(-n 2)
PYTHONPATH="$build" "$python" -m pytest tests/python -q -p no:cacheprovider "${parallel[@]}" "$@"
