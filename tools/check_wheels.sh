#!/usr/bin/env bash
# Checks the wheels of wheelhouse/. First every wheel as a file: its tags (cpXY-cpXY, never abi3,
# manylinux_2_28 for x86_64 or aarch64), the architecture and extension suffix of its module,
# auditwheel's verdict, and that no symbol of the module needs a glibc above 2.28 (objdump -T);
# exp and sqrt must come from libm; an aarch64 module must also hold no AVX2 routine nor a fused
# multiply-add instruction. Then the x86_64 wheels of the interpreters named in
# SARVO_WHEEL_SUITES (default: every one this machine has; empty for none) are installed as a
# user would, into a fresh virtual environment of that Python that already holds NumPy 2, which
# the install must keep, and the Python suite runs there against the installed module (not the
# build tree). Last, a CPython 3.11 environment holding NumPy 1.26 keeps it too and imports it.
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
# The x86_64 wheel of CPython 3.X ($1 = X), or nothing. (Under nullglob a bare ls of a glob that
# matches nothing would list the current folder.)
x86_64_wheel() {
  local found=("$root"/wheelhouse/sarvo_functions-*-cp3$1-*_x86_64.whl)
  [ ${#found[@]} -eq 0 ] || echo "${found[0]}"
}
[ ${#wheels[@]} -gt 0 ] || { echo "no wheels in wheelhouse/: run tools/build_wheels.sh first"; exit 1; }
tools_venv=$root/build/wheels/venv
[ -x "$tools_venv/bin/auditwheel" ] || make_venv "$(python_for 3.11)" "$tools_venv" "$root/tools/requirements/wheels.txt"
for wheel in "${wheels[@]}"; do
  name=$(basename "$wheel")
  [[ $name =~ -cp3([0-9]+)-cp3([0-9]+)-manylinux_2_28_(x86_64|aarch64)\.whl$ ]] && [ "${BASH_REMATCH[1]}" = "${BASH_REMATCH[2]}" ] \
    || { echo "$name is not tagged cpXY-cpXY-manylinux_2_28_(x86_64|aarch64)"; exit 1; }
  minor=${BASH_REMATCH[1]} arch=${BASH_REMATCH[3]}
  unpacked=$work/unpacked/$name
  rm -rf "$unpacked" && "$tools_venv/bin/python" -m zipfile -e "$wheel" "$unpacked"
  module=$unpacked/sarvo_functions.cpython-3$minor-$arch-linux-gnu.so
  [ -f "$module" ] || { echo "$name holds no $(basename "$module")"; ls "$unpacked"; exit 1; }
  # The host's objdump reads x86_64 only; aarch64 modules go through Debian's
  # binutils-aarch64-linux-gnu.
  objdump=objdump
  [ "$arch" = x86_64 ] || objdump=$arch-linux-gnu-objdump
  command -v "$objdump" >/dev/null || { echo "no $objdump: apt-get install binutils-$arch-linux-gnu"; exit 1; }
  format=$($objdump -f "$module" | sed -n 's/.*file format //p')
  case $arch:$format in
    x86_64:elf64-x86-64 | aarch64:elf64-littleaarch64) ;;
    *) echo "$name: the module is $format, not $arch"; exit 1 ;;
  esac
  symbols=$($objdump -T "$module")
  glibc=$(echo "$symbols" | grep -o 'GLIBC_[0-9.]*' | sort -u -V | tail -n 1)
  [ "$(printf '%s\nGLIBC_2.28\n' "$glibc" | sort -V | tail -n 1)" = GLIBC_2.28 ] \
    || { echo "$name: a symbol needs $glibc, above glibc 2.28:"; echo "$symbols" | grep -E 'GLIBC_2\.(29|[3-9][0-9])'; exit 1; }
  # The kernels' exp and sqrt come from the system's libm, as in a GCC build (tools/wheels/glibc_libm.h):
  # the same last bits, and EDOM from sqrt of a negative number.
  for function in exp sqrt; do
    grep -qE "\*UND\*.*[[:space:]]$function\$" <<< "$symbols" || { echo "$name: the module does not take $function from libm"; exit 1; }
  done
  verdict=$("$tools_venv/bin/auditwheel" show "$wheel" 2>/dev/null | tr '\n' ' ' | sed 's/  */ /g')
  [[ $verdict =~ platform\ tag:\ \"manylinux_2_([0-9]+)_$arch\" ]] && [ "${BASH_REMATCH[1]}" -le 28 ] \
    && [[ $verdict != *"libraries are required by the wheel"* ]] \
    || { echo "$name: auditwheel finds it not manylinux_2_28: $verdict"; exit 1; }
  if [ "$arch" = aarch64 ]; then
    ! grep -i avx2 <<< "$symbols" || { echo "$name: the aarch64 module names an AVX2 routine"; exit 1; }
    fused=$($objdump -d "$module" | grep -cE $'\t(fmadd|fmsub|fnmadd|fnmsub|fmla|fmls)\b' || true)
    [ "$fused" = 0 ] || { echo "$name: $fused fused multiply-add instructions in the module"; exit 1; }
  fi
  echo "$name: $format, highest symbol $glibc, auditwheel: consistent with manylinux_2_${BASH_REMATCH[1]}, nothing to graft"
done

suites=${SARVO_WHEEL_SUITES-3.11 3.12 3.13}
for version in $suites; do
  wheel=$(x86_64_wheel "${version#3.}")
  [ -n "$wheel" ] || { echo "no x86_64 wheel for CPython $version in wheelhouse/"; exit 1; }
  name=$(basename "$wheel")
  tag=${version#3.}
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

wheel311=$(x86_64_wheel 11)
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
