#!/usr/bin/env bash
# Lays out the headers one wheel is compiled against, for CPython X.Y on x86_64 or aarch64:
#   DEST/python  Python.h and the target's own pyconfig.h
#   DEST/numpy   NumPy's headers, from NumPy's wheel for that architecture
# Interpreter headers: pyenv's build on x86_64 where it has the version; otherwise Debian's
# libpython3.X-dev of that architecture (bookworm for 3.11, sid for newer ones). Debian has no
# 3.12 for arm64: that one takes pyenv's 3.12 headers with pyconfig.h's architecture lines set as Debian's arm64 build
# of 3.13 sets them (the only lines in which its amd64 and arm64 pyconfig.h differ).
#
#   tools/wheels/target_headers.sh X.Y ARCH DEST PYTHON_WITH_PIP
set -euo pipefail
version=$1 arch=$2 dest=$3 python=$4
root=$(cd "$(dirname "$0")/../.." && pwd)
source "$root/tools/lib.sh"
cache=$root/build/wheels/headers-cache
deb_arch=$([ "$arch" = aarch64 ] && echo arm64 || echo amd64)
numpy_version=$("$python" -c "import numpy; print(numpy.__version__)")
rm -rf "$dest" && mkdir -p "$dest" "$cache"

# NumPy's headers, from its cp311 wheel: they are the same for every interpreter version.
numpy_wheel=$(ls "$cache"/numpy-"$numpy_version"-cp311-*"$arch".whl 2>/dev/null | head -n 1 || true)
if [ -z "$numpy_wheel" ]; then
  "$python" -m pip download -q --disable-pip-version-check --no-deps --only-binary=:all: \
    --platform "manylinux_2_28_$arch" --python-version 3.11 -d "$cache" "numpy==$numpy_version"
  numpy_wheel=$(ls "$cache"/numpy-"$numpy_version"-cp311-*"$arch".whl | head -n 1)
fi
"$python" -m zipfile -e "$numpy_wheel" "$dest/numpy-wheel" >/dev/null
mv "$dest/numpy-wheel/numpy/_core/include" "$dest/numpy"
rm -rf "$dest/numpy-wheel"

# Debian's package $1 extracted to $2.
debian_package() {
  (cd "$cache" && bash "$root/tools/wheels/debian_apt.sh" download "$1")
  dpkg -x "$(ls -t "$cache/${1%%:*}"_*_"${1##*:}".deb | head -n 1)" "$2"
}

triplet=$arch-linux-gnu
if [ "$arch" = x86_64 ] && pyenv_python=$(python_for "$version" 2>/dev/null) && [[ $pyenv_python == */.pyenv/* ]]; then
  cp -r "$("$pyenv_python" -c "import sysconfig; print(sysconfig.get_paths()['include'])")" "$dest/python"
elif [ "$version" = 3.12 ] && [ "$arch" = aarch64 ]; then
  cp -r "$("$(python_for 3.12)" -c "import sysconfig; print(sysconfig.get_paths()['include'])")" "$dest/python"
  sed -i -E 's@^#define (HAVE_GCC_ASM_FOR_X64|HAVE_GCC_ASM_FOR_X87) 1$@/* #undef \1 */@;
             s@^/\* #undef HAVE_USABLE_WCHAR_T \*/$@#define HAVE_USABLE_WCHAR_T 1@;
             s@^#define PY_SUPPORT_TIER 1$@#define PY_SUPPORT_TIER 2@' "$dest/python/pyconfig.h"
else
  debian_package "libpython$version-dev:$deb_arch" "$dest/deb"
  mv "$dest/deb/usr/include/python$version" "$dest/python"
  cp "$dest/deb/usr/include/$triplet/python$version/pyconfig.h" "$dest/python/pyconfig.h"
  rm -rf "$dest/deb"
fi
grep -q "PY_MINOR_VERSION.*${version#3.}\$" "$dest/python/patchlevel.h" \
  || { echo "the headers in $dest/python are not CPython $version's" >&2; exit 1; }
