# CMake toolchain file for 32-bit Windows programs (mingw-w64, i686); see WindowsToolchain.cmake.
set(QMH_MINGW_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/WindowsToolchain.cmake)
