#!/usr/bin/env bash
# Builds the Windows programs: zipsync.exe and qmh_installer.exe, statically linked,
# cross-compiled with mingw-w64 into build-win64/ (x86-64, with the test binaries) and
# build-win32/ (i686, the programs only).
#
#   scripts/windows.sh            both
#   scripts/windows.sh 64         build-win64/ only (what the tests under Wine need)
#   scripts/windows.sh 32         build-win32/ only
#
# Installs the cross compilers and Wine when missing (scripts/deps.sh --windows), builds the
# libraries from Debian's source packages into the cache outside the tree (scripts/windows-deps.sh;
# QMH_WINDOWS_DEPS moves it), then configures with cmake/Windows-<arch>.cmake and builds.
# CTest in build-win64/ runs the tests under Wine (scripts/wine.sh); they publish the test game
# with the Linux zipsync tool and verify installations with it, which is built into build/ first.
# 32-bit Wine is not packaged for this machine, so build-win32/ is built, not tested.
set -euo pipefail
cd "$(dirname "$0")/.."

case "${1:-both}" in
  64) arches=(x86_64) ;;
  32) arches=(i686) ;;
  both) arches=(x86_64 i686) ;;
  *) echo "usage: scripts/windows.sh [64|32]" >&2; exit 2 ;;
esac

bash scripts/deps.sh --windows
if [[ " ${arches[*]} " == *" x86_64 "* ]]; then
  bash scripts/deps.sh
  cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build build --target zipsync_cli -j "${QMH_JOBS:-$(nproc)}"
fi
for arch in "${arches[@]}"; do
  if [ $arch = x86_64 ]; then
    dir=build-win64 tests=ON emulator=$PWD/scripts/wine.sh
  else
    dir=build-win32 tests=OFF emulator=""
  fi
  mapfile -t prefixes < <(bash scripts/windows-deps.sh "$arch" $([ $tests = OFF ] && echo --no-tests))
  cmake -S . -B $dir -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/Windows-$arch.cmake" -DCMAKE_BUILD_TYPE=Release \
    -DQMH_WINDOWS_PREFIXES="$(IFS=';' && echo "${prefixes[*]}")" -DCMAKE_CROSSCOMPILING_EMULATOR="$emulator" \
    -DQMH_BUILD_TESTS=$tests
  cmake --build $dir -j "${QMH_JOBS:-$(nproc)}"
done
