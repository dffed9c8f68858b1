#!/usr/bin/env bash
# Tests one stack: a fresh virtual environment of CPython X.Y with NumPy 1.26 or 2.x, then the
# whole suite (all), the Python suite alone (python) or the C++ one (cpp), in folders of that stack's own.
# An interpreter this machine lacks (3.14, 3.15) comes from Debian sid's packages, in a sid chroot
# made by tools/chroot.sh: SARVO_CHROOT names it (made there when missing; default
# build/chroot-sid), and the working tree is copied into it.
#
#   tools/test_stack.sh 3.15 numpy2 [all|python|cpp] [pytest arguments…]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/tools/lib.sh"
version=$1 numpy=$2 which=${3:-all}
shift $(( $# < 3 ? $# : 3 ))
stack=cp${version/./}-$numpy

if [ -z "${SARVO_IN_CHROOT:-}" ] && ! python_for "$version" >/dev/null 2>&1; then
  dir=${SARVO_CHROOT:-$root/build/chroot-sid}
  if [ ! -x "$dir/usr/bin/python$version" ]; then
    if [ -x "$dir/bin/bash" ]; then
      bash "$root/tools/chroot.sh" run "$dir" "apt-get update -q && apt-get install -y -q $(sid_packages "$version")"
    else
      bash "$root/tools/chroot.sh" make "$dir" sid amd64 $(sid_packages "$version")
    fi
  fi
  echo "== CPython $version from Debian sid, in the chroot $dir"
  rm -rf "$dir/root/sarvo_functions"
  mkdir -p "$dir/root/sarvo_functions"
  tar -C "$root" --exclude=./build --exclude='./build-*' --exclude='./.venv*' --exclude=./wheelhouse -cf - . \
    | tar -C "$dir/root/sarvo_functions" -xf -
  ucd=
  if [ -n "${SARVO_UCD_DIR:-}" ]; then
    # Under its own folder name, which the regenerated Unicode source quotes.
    ucd=/root/$(basename "$(cd "$SARVO_UCD_DIR" && pwd)")
    rm -rf "$dir$ucd" && cp -r "$SARVO_UCD_DIR" "$dir$ucd" && ucd=SARVO_UCD_DIR=$ucd
  fi
  exec bash "$root/tools/chroot.sh" run "$dir" \
    "cd /root/sarvo_functions && SARVO_IN_CHROOT=1 $ucd tools/test_stack.sh $(printf '%q ' "$version" "$numpy" "$which" "$@")"
fi
echo "== CPython $version with $numpy: $which tests"
venv=$root/build/venv-$stack
make_venv "$(python_for "$version")" "$venv" "$root/tools/requirements/tests-$numpy.txt"
"$venv/bin/python" -c "import sys, numpy, scipy; print('stack:', sys.version.split()[0], 'NumPy', numpy.__version__, 'SciPy', scipy.__version__)"
SARVO_TESTS=$which SARVO_TEST_BUILD=$root/build/tests-$stack bash "$root/tools/run_tests.sh" "$venv/bin/python" "$@"
