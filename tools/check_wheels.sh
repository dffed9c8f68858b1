#!/usr/bin/env bash
# Installs each wheel of wheelhouse/ as a user would, into a fresh virtual environment of its
# Python that already holds NumPy 2, checks that the install kept that NumPy, and runs the Python
# suite there against the installed module (not the build tree). Then checks that a CPython 3.11
# environment holding NumPy 1.26 keeps it too and imports the module.
#
#   tools/check_wheels.sh [pytest arguments…]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/tools/lib.sh"
work=$root/build/wheel-checks
mkdir -p "$work"

# The environment's NumPy version after installing the wheel must be the one it had before.
install_keeping_numpy() {
  local venv=$1 wheel=$2 extra=$3 before after
  before=$("$venv/bin/python" -c "import numpy; print(numpy.__version__)")
  "$venv/bin/python" -m pip install -q --disable-pip-version-check "${wheel}${extra}"
  after=$("$venv/bin/python" -c "import numpy; print(numpy.__version__)")
  echo "NumPy before the install $before, after $after"
  [ "$before" = "$after" ] || { echo "installing $(basename "$wheel") replaced NumPy $before by $after"; exit 1; }
}

shopt -s nullglob
wheels=("$root"/wheelhouse/sarvo_functions-*.whl)
[ ${#wheels[@]} -gt 0 ] || { echo "no wheels in wheelhouse/: run tools/build_wheels.sh first"; exit 1; }
for wheel in "${wheels[@]}"; do
  name=$(basename "$wheel")
  case $name in
    *-cp3??-cp3??-manylinux*_x86_64.whl) ;;
    *) echo "$name is not tagged cpXY-cpXY-manylinux…_x86_64"; exit 1 ;;
  esac
  tag=$(echo "$name" | sed -E 's/.*-cp3([0-9]+)-cp3.*/\1/')
  version=3.$tag
  echo "== $name into CPython $version with NumPy 2"
  venv=$work/venv-cp3$tag
  make_venv "$(python_for "$version")" "$venv"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check "numpy>=2,<3"
  install_keeping_numpy "$venv" "$wheel" "[test]"
  # What a user reads of the installed package: its version and no empty field.
  "$venv/bin/python" -m pip show sarvo_functions | grep -E "^(Version|Summary|Home-page|Author|License)"
  "$venv/bin/python" - <<'PY'
import importlib.metadata as md
meta = md.metadata("sarvo_functions")
assert md.version("sarvo_functions") == meta["Version"], "version"
missing = [f for f in ("Summary", "Author-email", "License-Expression", "License-File", "Project-URL",
                       "Classifier", "Requires-Python", "Requires-Dist") if not meta.get_all(f)]
assert not missing, f"empty metadata fields: {missing}"
PY
  # From an empty folder with no PYTHONPATH: the only sarvo_functions in reach is the installed one.
  (
    cd "$(mktemp -d)"
    unset PYTHONPATH
    "$venv/bin/python" -W error -c "import sarvo_functions, numpy; print('module:', sarvo_functions.__file__, 'NumPy', numpy.__version__)" \
      | tee "$work/where"
    grep -q "$venv/" "$work/where" || { echo "the tests would not run against the installed module"; exit 1; }
    "$venv/bin/python" -m pytest "$root/tests/python" -q -p no:cacheprovider -n 2 --rootdir "$root/tests/python" "$@"
  )
done

wheel311=$(ls "$root"/wheelhouse/sarvo_functions-*-cp311-*.whl 2>/dev/null | head -n 1)
if [ -n "$wheel311" ]; then
  echo "== $(basename "$wheel311") into CPython 3.11 with NumPy 1.26"
  venv=$work/venv-cp311-numpy1
  make_venv "$(python_for 3.11)" "$venv"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check "numpy>=1.26,<1.27"
  install_keeping_numpy "$venv" "$wheel311" ""
  (cd "$(mktemp -d)" && unset PYTHONPATH && "$venv/bin/python" -W error -c "
import numpy as np, sarvo_functions as sf
masks = np.array([[1, 1, 0], [0, 0, 0], [2, 0, 2]], np.uint32)
boxes = np.array([[[0, 1], [0, 2]], [[2, 3], [0, 3]]], np.int32)
assert sf.compute_cell_size(masks, boxes).tolist() == [2, 2]
assert sf.fill_holes(masks) is masks and masks.all()
print('NumPy', np.__version__, 'runs the wheel')")
fi
