# CMake toolchain file for 64-bit Windows programs (mingw-w64, x86_64); see WindowsToolchain.cmake.
set(QMH_MINGW_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/WindowsToolchain.cmake)
