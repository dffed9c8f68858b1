#!/usr/bin/env bash
# Tests one stack: a fresh virtual environment of CPython X.Y with NumPy 1.26 or 2.x, then the
# whole suite (all), the Python suite alone (python) or the C++ one (cpp), in folders of that stack's own.
#
#   tools/test_stack.sh 3.13 numpy2 [all|python|cpp] [pytest arguments…]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/tools/lib.sh"
version=$1 numpy=$2 which=${3:-all}
shift $(( $# < 3 ? $# : 3 ))
stack=cp${version/./}-$numpy
echo "== CPython $version with $numpy: $which tests"
venv=$root/build/venv-$stack
make_venv "$(python_for "$version")" "$venv" "$root/tools/requirements/tests-$numpy.txt"
"$venv/bin/python" -c "import sys, numpy, scipy; print('stack:', sys.version.split()[0], 'NumPy', numpy.__version__, 'SciPy', scipy.__version__)"
SARVO_TESTS=$which SARVO_TEST_BUILD=$root/build/tests-$stack bash "$root/tools/run_tests.sh" "$venv/bin/python" "$@"
