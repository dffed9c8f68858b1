# Shell functions shared by the test, wheel and CI scripts (sourced, not run).

# An absolute path to an interpreter given by name or path. A virtual environment's link is
# kept as it is (resolving it would leave the environment), so CMake and pip see that venv.
absolute_interpreter() {
  local path
  path=$(command -v "$1") || { echo "no Python interpreter '$1'" >&2; return 1; }
  case $path in
    /*) ;;
    *) path="$(cd "$(dirname "$path")" && pwd)/$(basename "$path")" ;;
  esac
  echo "$path"
}

# The interpreter of CPython X.Y: pythonX.Y on PATH when it runs, else the newest pyenv build.
python_for() {
  local version=$1 found
  if "python$version" -c "" >/dev/null 2>&1; then
    absolute_interpreter "python$version"
    return
  fi
  found=$(ls -d "$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")"/versions/"$version".*/bin/"python$version" 2>/dev/null \
          | sort -V | tail -n 1)
  [ -n "$found" ] || { echo "CPython $version is not installed (pyenv install $version)" >&2; return 1; }
  echo "$found"
}

# A fresh virtual environment at $2 for interpreter $1, with the packages of requirement files $3….
make_venv() {
  local python=$1 venv=$2
  shift 2
  "$python" -m venv --clear "$venv"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check --upgrade pip
  local file
  for file in "$@"; do
    "$venv/bin/python" -m pip install -q --disable-pip-version-check -r "$file"
  done
}

# The Debian packages a chroot needs to build and test the module with CPython X.Y from the
# archive (Debian sid carries the interpreters this machine lacks).
sid_packages() {
  echo "python$1 python$1-dev python$1-venv g++ libgtest-dev"
}

# The pinned wheel tools (tools/requirements/wheels.txt) in the environment $2, made again only
# when the pins change, and the Zig toolchain's environment exported for zig-toolchain.cmake:
# SARVO_ZIG, and the cache where zig keeps its C++ runtime and C library stubs per architecture.
zig_tools() {
  local root=$1 venv=$2 requirements=$1/tools/requirements/wheels.txt
  if ! cmp -s "$requirements" "$venv/requirements.txt"; then
    mkdir -p "$(dirname "$venv")"
    make_venv "$(python_for 3.11)" "$venv" "$requirements"
    cp "$requirements" "$venv/requirements.txt"
  fi
  SARVO_ZIG=$("$venv/bin/python" -c "import ziglang, os; print(os.path.join(os.path.dirname(ziglang.__file__), 'zig'))")
  export SARVO_ZIG ZIG_GLOBAL_CACHE_DIR=${ZIG_GLOBAL_CACHE_DIR:-$root/build/zig-cache}
}
