#!/usr/bin/env bash
# Builds one wheel per supported CPython (cp311, cp312, cp313; never abi3: the module uses the
# version-specific C API) and repairs each with auditwheel to a manylinux platform tag, into
# wheelhouse/. The C++ runtime is linked statically, so the wheel needs only the C library and
# the math library of the system.
#
#   tools/build_wheels.sh [3.11 3.12 3.13]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/tools/lib.sh"
versions=${*:-3.11 3.12 3.13}
work=$root/build/wheels
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}

make_venv "$(python_for 3.11)" "$work/repair-venv" "$root/tools/requirements/wheels.txt"
rm -rf "$root/wheelhouse"
mkdir -p "$root/wheelhouse"
for version in $versions; do
  echo "== wheel for CPython $version"
  builder=$work/venv-cp${version/./}
  make_venv "$(python_for "$version")" "$builder"
  rm -rf "$work/raw"
  # A build folder of the wheel's own, so that no earlier build in the tree is reused.
  "$builder/bin/python" -m pip wheel "$root" --no-deps -q -w "$work/raw" -C build-dir="$work/build-cp${version/./}"
  PATH="$work/repair-venv/bin:$PATH" auditwheel repair -w "$root/wheelhouse" "$work"/raw/*.whl
done
for wheel in "$root"/wheelhouse/*.whl; do
  "$work/repair-venv/bin/auditwheel" show "$wheel" | tr '\n' ' ' | sed 's/  */ /g'
  echo
done
