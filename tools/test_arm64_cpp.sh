#!/usr/bin/env bash
# Cross-builds the C++ suite (tests/cpp) for aarch64 with the wheels' Zig toolchain and runs it
# under qemu in the bookworm arm64 chroot of tools/test_wheel_chroot.sh (made there when missing).
# Run by hand, outside CI, whose emulation time goes to the aarch64 wheel's Python subset: about
# a minute to build once zig's cache holds its aarch64 runtime, and a minute under qemu.
#
# Everything is built for aarch64 by tools/wheels/zig-toolchain.cmake: GoogleTest from the
# sources of the host's libgtest-dev (Debian's arm64 libgtest is built against libstdc++, zig
# links libc++), the module's objects and the test binary, which embeds the arm64 libpython3.11
# of Debian bookworm (libpython3.11-dev:arm64 to link, libpython3.11:arm64 beside the binary at
# run time). NumPy's headers are those of its aarch64 wheel (tools/wheels/target_headers.sh).
# Inside, the embedded interpreter imports NumPy 1.26 and SciPy 1.13 (the pins of
# tools/requirements/tests-numpy1.txt) from a virtual environment of bookworm's python3.11.
#
#   tools/test_arm64_cpp.sh [GoogleTest arguments…]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/tools/lib.sh"
work=$root/build/arm64-cpp
chroot_dir=${SARVO_CHROOTS:-$root/build/chroots}/bookworm-arm64
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}

zig_tools "$root" "$root/build/wheels/venv"
export PATH="$root/build/wheels/venv/bin:$PATH"
export SARVO_TARGET_ARCH=aarch64 SARVO_PYTHON_INCLUDE=$work/headers/python SARVO_NUMPY_INCLUDE=$work/headers/numpy
toolchain=$root/tools/wheels/zig-toolchain.cmake
start=$SECONDS

bash "$root/tools/wheels/target_headers.sh" 3.11 aarch64 "$work/headers" "$root/build/wheels/venv/bin/python"
# Debian's arm64 libpython3.11, kept beside the headers' own downloads.
cache=$root/build/wheels/headers-cache
rm -rf "$work/libpython" && mkdir -p "$work/libpython"
for package in libpython3.11-dev:arm64 libpython3.11:arm64; do
  (cd "$cache" && bash "$root/tools/wheels/debian_apt.sh" download "$package")
  dpkg -x "$(ls -t "$cache/${package%%:*}"_*_arm64.deb | head -n 1)" "$work/libpython"
done
libpython=$work/libpython/usr/lib/aarch64-linux-gnu/libpython3.11.so.1.0

if [ ! -e "$work/gtest/lib/cmake/GTest/GTestConfig.cmake" ]; then
  cmake -S /usr/src/googletest -B "$work/gtest-build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
        -DCMAKE_BUILD_TYPE=Release -DBUILD_GMOCK=OFF -DCMAKE_INSTALL_PREFIX="$work/gtest" >/dev/null
  cmake --build "$work/gtest-build" --target install >/dev/null
fi
cmake -S "$root" -B "$work/build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DSARVO_BUILD_TESTS=ON \
      -DSARVO_TEST_HOOKS=ON -DGTest_DIR="$work/gtest/lib/cmake/GTest" -DPython_LIBRARY="$libpython" >/dev/null
cmake --build "$work/build" --target sarvo_cpp_tests
echo "== aarch64 build: $(( SECONDS - start )) s"

[ -x "$chroot_dir/bin/bash" ] || bash "$root/tools/test_wheel_chroot.sh" make arm64
inside=/root/arm64-cpp
rm -rf "${chroot_dir:?}$inside" && mkdir -p "$chroot_dir$inside"
cp "$work/build/tests/cpp/sarvo_cpp_tests" "$libpython" "$chroot_dir$inside/"
pins=$(grep -E '^(numpy|scipy)[<>=]' "$root/tools/requirements/tests-numpy1.txt" | tr '\n' ' ')
start=$SECONDS
bash "$root/tools/chroot.sh" run "$chroot_dir" "set -e
  if [ ! -x /root/venv-cpp/bin/python ]; then
    python3.11 -m venv /root/venv-cpp
    /root/venv-cpp/bin/pip install -q --disable-pip-version-check --no-compile --only-binary=:all: $(printf '%q ' $pins)
  fi
  # The embedded interpreter sees the environment's packages, as ctest's run does on the host.
  export PYTHONPATH=\$(/root/venv-cpp/bin/python -c \"import sys; print(':'.join(p for p in sys.path if p))\")
  cd $inside && LD_LIBRARY_PATH=$inside ./sarvo_cpp_tests --gtest_brief=1 $(printf '%q ' "$@")"
echo "== aarch64 run under qemu: $(( SECONDS - start )) s"
