#!/usr/bin/env bash
# Runs the Python suite against a wheel of wheelhouse/ on a foreign Debian, in a chroot made by
# tools/chroot.sh (kept in build/chroots/, made on the first run):
#
#   glibc-floor  bullseye amd64 (glibc 2.31, the oldest Debian the archive serves), the cp311
#                x86_64 wheel. Bullseye has no CPython >= 3.11, so CPython 3.11 is compiled
#                there once, by bullseye's own compiler, from Debian's source package of
#                bookworm's python3.11 (upstream's release tarball).
#   newest       sid amd64, the cp315 x86_64 wheel with sid's python3.15.
#   arm64        bookworm arm64 under qemu, the cp311 aarch64 wheel with bookworm's python3.11:
#                the kernel tests, the module-boundary tests and the real-data road, or the
#                whole suite with SARVO_ARM_TESTS=all.
#
# Each run makes a fresh virtual environment inside, installs NumPy 2, then the wheel with its
# test extra as a user would, and runs pytest from an empty folder against the installed module.
# SARVO_BITS_REFERENCE (results of another build, see test_baseline_builds.py) is handed in.
#
#   tools/test_wheel_chroot.sh glibc-floor|newest|arm64 [pytest arguments…]
#   tools/test_wheel_chroot.sh make glibc-floor|newest|arm64     (only makes the chroot)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
make_only=
[ "${1:-}" = make ] && { make_only=1; shift; }
target=${1:?glibc-floor, newest or arm64}
shift
chroots=${SARVO_CHROOTS:-$root/build/chroots}
case $target in
  glibc-floor) suite=bullseye arch=amd64 wheel_arch=x86_64 tag=cp311 python=/opt/python3.11/bin/python3.11
               packages="build-essential libssl-dev zlib1g-dev libffi-dev libbz2-dev liblzma-dev libsqlite3-dev ca-certificates" ;;
  # scikit-image publishes wheels for CPython 3.15 only as a release candidate so far.
  newest)      suite=sid arch=amd64 wheel_arch=x86_64 tag=cp315 python=python3.15 packages="python3.15 python3.15-venv binutils"
               before="pip install -q --disable-pip-version-check --pre --only-binary=:all: 'scikit-image>=0.27.0rc1'" ;;
  arm64)       suite=bookworm arch=arm64 wheel_arch=aarch64 tag=cp311 python=python3.11 packages="python3 python3-venv binutils" ;;
  *) echo "unknown target $target: glibc-floor, newest or arm64" >&2; exit 2 ;;
esac
tests=(tests/python)
if [ "$target" = arm64 ] && [ "${SARVO_ARM_TESTS:-subset}" != all ]; then
  tests=(tests/python/test_{diffusion_flows,flow_following,seeds_and_growth,mask_cleanup,cell_scores,baseline_builds}.py
         tests/python/test_module_boundary.py tests/python/test_{flows_roundtrip,masks_roundtrip,demo}.py)
fi
dir=$chroots/$suite-$arch

# The chroot, made once for its package list.
if [ "$(cat "$dir/root/.sarvo-packages" 2>/dev/null)" != "$packages" ]; then
  rm -rf "$dir"
  bash "$root/tools/chroot.sh" make "$dir" "$suite" "$arch" $packages
  echo "$packages" > "$dir/root/.sarvo-packages"
fi
[ -z "$make_only" ] || exit 0
if [ "$target" = glibc-floor ] && [ ! -x "$dir$python" ]; then
  echo "== CPython 3.11 compiled inside bullseye"
  src=$root/build/debian-source
  mkdir -p "$src"
  (cd "$src" && ls python3.11_*.orig.tar.gz >/dev/null 2>&1 || bash "$root/tools/wheels/debian_apt.sh" source --download-only python3.11)
  cp "$(ls "$src"/python3.11_*.orig.tar.gz | tail -n 1)" "$dir/root/python3.11.tar.gz"
  bash "$root/tools/chroot.sh" run "$dir" "set -e; cd /root && rm -rf cpython && mkdir cpython && tar xzf python3.11.tar.gz -C cpython --strip-components=1
    cd cpython && ./configure -q --prefix=/opt/python3.11 && make -s -j2 >/dev/null && make -s altinstall >/dev/null && rm -rf /root/cpython"
fi

wheel=$(ls "$root"/wheelhouse/sarvo_functions-*-$tag-$tag-manylinux_2_28_$wheel_arch.whl)
# The files the tests read (tests/, examples/, the README…), as tracked in the work tree.
rm -rf "$dir/root/sarvo_functions" && mkdir -p "$dir/root/sarvo_functions"
(cd "$root" && git ls-files -z | tar --null -T - -c) | tar -x -C "$dir/root/sarvo_functions"
cp "$wheel" "$dir/root/"
# Another build's results, which test_baseline_builds compares bit for bit, go in too.
reference=
if [ -n "${SARVO_BITS_REFERENCE:-}" ]; then
  cp "$SARVO_BITS_REFERENCE" "$dir/root/bits-reference.pickle"
  reference="export SARVO_BITS_REFERENCE=/root/bits-reference.pickle"
fi
quoted=$(printf ' /root/sarvo_functions/%q' "${tests[@]}")$(printf ' %q' "$@")
start=$SECONDS
bash "$root/tools/chroot.sh" run "$dir" "set -e
  $reference
  $python -m venv --clear /root/venv && . /root/venv/bin/activate
  pip install -q --disable-pip-version-check 'numpy>=2,<3'
  ${before:-}
  # No byte-compiling of every installed file, which is most of an install under emulation.
  pip install -q --disable-pip-version-check --no-compile '/root/$(basename "$wheel")[test]'
  python -c 'import sys, platform, numpy; print(\"stack:\", sys.version.split()[0], platform.machine(), platform.libc_ver(), \"NumPy\", numpy.__version__)'
  # From an empty folder: the only sarvo_functions in reach is the installed one.
  cd \$(mktemp -d) && python -W error -c 'import sarvo_functions; print(\"module:\", sarvo_functions.__file__)'
  python -m pytest$quoted -q -p no:cacheprovider -n 2 --rootdir /root/sarvo_functions/tests/python"
echo "== $target: $(( SECONDS - start )) s for the install and the tests"
