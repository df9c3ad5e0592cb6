# Cross-compiles for Windows with Debian's mingw-w64 compilers, included by Windows-x86_64.cmake
# and Windows-i686.cmake, which set QMH_MINGW_ARCH. The "-posix" compilers are used because
# std::thread needs their thread model. Programs are linked statically (nothing beside the
# executable to ship).
#
# Libraries are searched under the compiler's own root (/usr/<triple>, zlib) and under the
# install prefixes listed in QMH_WINDOWS_PREFIXES (scripts/windows-deps.sh builds them), never
# on the build machine itself. pkg-config reads only those prefixes' .pc files.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${QMH_MINGW_ARCH})
set(QMH_MINGW_TRIPLE ${QMH_MINGW_ARCH}-w64-mingw32)

set(CMAKE_C_COMPILER ${QMH_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QMH_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${QMH_MINGW_TRIPLE}-windres)

set(QMH_WINDOWS_PREFIXES "" CACHE STRING "Install prefixes of the cross-built libraries")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QMH_WINDOWS_PREFIXES QMH_MINGW_ARCH)
set(CMAKE_FIND_ROOT_PATH /usr/${QMH_MINGW_TRIPLE} ${QMH_WINDOWS_PREFIXES})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(pkgConfigDirs "")
foreach(prefix ${QMH_WINDOWS_PREFIXES})
  list(APPEND pkgConfigDirs ${prefix}/lib/pkgconfig)
endforeach()
string(REPLACE ";" ":" pkgConfigDirs "${pkgConfigDirs}")
set(ENV{PKG_CONFIG_LIBDIR} "${pkgConfigDirs}")
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")

# A static link; zlib's package also has an import library, which must not be taken.
set(ZLIB_USE_STATIC_LIBS ON)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
