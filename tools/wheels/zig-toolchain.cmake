# Builds the module with the Zig toolchain for a C library no newer than glibc 2.28 (the manylinux_2_28
# floor), for x86_64 or aarch64, from this x86_64 machine. tools/build_wheels.sh sets the environment:
#   SARVO_ZIG             the zig executable
#   SARVO_TARGET_ARCH     x86_64 or aarch64
#   SARVO_PYTHON_INCLUDE  the target interpreter's headers (Python.h, pyconfig.h)
#   SARVO_NUMPY_INCLUDE   NumPy's headers for that architecture
# The environment, not cache variables, carries them, since CMake re-reads this file in its
# compiler checks. A toolchain file makes CMake treat the build as a cross build even on x86_64:
# then nothing of the host interpreter (its headers, its extension suffix) leaks into the module.
foreach(_var SARVO_ZIG SARVO_TARGET_ARCH SARVO_PYTHON_INCLUDE SARVO_NUMPY_INCLUDE)
  if(NOT DEFINED ENV{${_var}})
    message(FATAL_ERROR "zig-toolchain.cmake needs the environment variable ${_var}")
  endif()
endforeach()

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR $ENV{SARVO_TARGET_ARCH})
# The baseline processor of the architecture (zig would otherwise tune for the build machine):
# the vector builds are chosen at run time.
set(_target -target $ENV{SARVO_TARGET_ARCH}-linux-gnu.2.28 -mcpu=baseline)
set(CMAKE_C_COMPILER "$ENV{SARVO_ZIG}" cc ${_target})
set(CMAKE_CXX_COMPILER "$ENV{SARVO_ZIG}" c++ ${_target})
set(CMAKE_C_FLAGS_INIT "-include ${CMAKE_CURRENT_LIST_DIR}/glibc_libm.h")
set(CMAKE_CXX_FLAGS_INIT "-include ${CMAKE_CURRENT_LIST_DIR}/glibc_libm.h")
set(CMAKE_AR "${CMAKE_CURRENT_LIST_DIR}/zig-ar" CACHE FILEPATH "")
set(CMAKE_RANLIB "${CMAKE_CURRENT_LIST_DIR}/zig-ranlib" CACHE FILEPATH "")

set(Python_INCLUDE_DIR "$ENV{SARVO_PYTHON_INCLUDE}" CACHE PATH "")
set(NUMPY_INCLUDE_DIR "$ENV{SARVO_NUMPY_INCLUDE}" CACHE PATH "")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
