#!/usr/bin/env bash
# Builds the wheel as a user would get it, installs it into a fresh virtual environment with
# NumPy 1.26 and the test extra, and runs the Python tests there against the installed module
# (not the build tree). PYTHON selects the interpreter (3.11); extra arguments go to pytest.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
python=$(command -v "${PYTHON:-python3.11}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}

echo "== building the wheel"
# A build folder of its own, so that no earlier build in the tree is reused.
"$python" -m pip wheel "$root" -w "$work/wheels" --no-deps -qq -C build-dir="$work/build"
wheel=$(ls "$work"/wheels/sarvo_functions-*.whl)
echo "$(basename "$wheel")"
"$python" - "$wheel" <<'EOF'
import sys, zipfile
names = zipfile.ZipFile(sys.argv[1]).namelist()
for wanted in ("sarvo_functions.abi3.so", "sarvo_functions.pyi"):
    if not any(n.startswith("sarvo_functions") and n.endswith(wanted.rsplit(".", 1)[1]) for n in names):
        sys.exit(f"the wheel lacks {wanted}: {names}")
EOF

echo "== installing it with the test extra into a fresh environment"
"$python" -m venv "$work/venv"
venv_python="$work/venv/bin/python"
"$venv_python" -m pip install -qq --upgrade pip
"$venv_python" -m pip install -qq "numpy>=1.26,<1.27" "${wheel}[test]"

# From an empty folder with no PYTHONPATH: the only sarvo_functions in reach is the installed one.
cd "$work"
unset PYTHONPATH
installed=$("$venv_python" -c "import sarvo_functions, numpy; print(sarvo_functions.__file__, numpy.__version__)")
echo "module: $installed"
case "$installed" in
  "$work/venv/"*" 1.26."*) ;;
  *) echo "the tests would not run against the installed module with NumPy 1.26"; exit 1 ;;
esac

echo "== running the Python tests against it"
"$venv_python" -m pytest "$root/tests/python" -q -p no:cacheprovider --rootdir "$root/tests/python" "$@"
