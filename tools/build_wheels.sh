#!/usr/bin/env bash
# Builds one wheel per supported CPython and architecture into wheelhouse/: CPython 3.11 to 3.15
# (never abi3: the module uses the version-specific C API), x86_64 and aarch64, each tagged
# manylinux_2_28 (glibc 2.28: RHEL, Rocky and Alma 8).
#
# Every wheel is compiled by the Zig toolchain (pinned in tools/requirements/wheels.txt), which
# targets glibc 2.28 of either architecture from this machine and links its C++ runtime in, so
# the module needs only the C and math libraries. scikit-build-core builds the wheel from
# pyproject.toml as `pip wheel .` does; tools/wheels/zig-toolchain.cmake points CMake at the
# target's headers (tools/wheels/target_headers.sh), and scikit-build-core's cross-build settings
# name the extension suffix. The build runs on the host's CPython 3.11, so the wheel's tags are
# set afterwards (wheel tags) to the target's interpreter and manylinux_2_28.
#
#   tools/build_wheels.sh [3.11 … 3.15]     (SARVO_WHEEL_ARCHS="x86_64 aarch64" by default)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/tools/lib.sh"
versions=${*:-3.11 3.12 3.13 3.14 3.15}
archs=${SARVO_WHEEL_ARCHS:-x86_64 aarch64}
work=$root/build/wheels
venv=$work/venv
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}

zig_tools "$root" "$venv"

mkdir -p "$root/wheelhouse"
for arch in $archs; do
  for version in $versions; do
    tag=cp${version/./}
    echo "== wheel for CPython $version on $arch"
    headers=$work/headers-$tag-$arch
    bash "$root/tools/wheels/target_headers.sh" "$version" "$arch" "$headers" "$venv/bin/python"
    rm -rf "$work/raw"
    (
      export SARVO_TARGET_ARCH=$arch SARVO_PYTHON_INCLUDE=$headers/python SARVO_NUMPY_INCLUDE=$headers/numpy
      export SETUPTOOLS_EXT_SUFFIX=.cpython-${version/./}-$arch-linux-gnu.so
      # A build folder per target, apart from the test builds: a rebuild compiles what changed.
      PATH="$venv/bin:$PATH" "$venv/bin/python" -m pip wheel "$root" --no-deps --no-build-isolation -q \
        --disable-pip-version-check -w "$work/raw" -C build-dir="$work/build-$tag-$arch" \
        -C cmake.python-hints=false -C cmake.define.CMAKE_TOOLCHAIN_FILE="$root/tools/wheels/zig-toolchain.cmake"
    )
    # The interpreter and platform tags of the target. auditwheel would find nothing to graft
    # (the module needs only glibc), and its repair names only platforms of the build machine's
    # architecture; tools/check_wheels.sh has it confirm each tag (auditwheel show).
    "$venv/bin/python" -m wheel tags --remove --python-tag "$tag" --abi-tag "$tag" \
      --platform-tag "manylinux_2_28_$arch" "$work"/raw/*.whl >/dev/null
    rm -f "$root"/wheelhouse/sarvo_functions-*-$tag-$tag-*_$arch.whl
    mv "$work"/raw/*.whl "$root/wheelhouse/"
  done
done
ls "$root/wheelhouse"
