# Cross-compiles for 64-bit Windows with the mingw-w64 toolchain. Only the compilers,
# the resource compiler and the sysroot are chosen here; the flags that make the
# driver kernel code belong to the driver target (windows/CMakeLists.txt), so that
# CMake's own compiler probes still link ordinary user-mode programs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(QUORVEX_MINGW_TRIPLET x86_64-w64-mingw32 CACHE STRING "Target triplet of the mingw-w64 toolchain")
set(QUORVEX_MINGW_SYSROOT /usr/${QUORVEX_MINGW_TRIPLET} CACHE PATH "Root of the mingw-w64 headers and libraries")

set(CMAKE_C_COMPILER ${QUORVEX_MINGW_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${QUORVEX_MINGW_TRIPLET}-g++)
set(CMAKE_RC_COMPILER ${QUORVEX_MINGW_TRIPLET}-windres)

# Headers and libraries come from the target's sysroot only; programs run during
# the build (Python, objdump) are the build machine's.
set(CMAKE_FIND_ROOT_PATH ${QUORVEX_MINGW_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
