#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test. Exits non-zero when anything fails.
#
#   scripts/test.sh               everything, as CI runs it: the suite in build/, each fuzz
#                                 target explored for 10 seconds, the whole suite again under
#                                 AddressSanitizer and UndefinedBehaviorSanitizer, then the Windows
#                                 stage
#   scripts/test.sh --quick       the suite in build/ only
#   scripts/test.sh --sanitize    the sanitizer stage only: build into build-sanitize/ and run the
#                                 suite there; the first report ends the program that made it, so
#                                 its test fails. Leaks inside third-party libraries are
#                                 suppressed by scripts/lsan.supp.
#   scripts/test.sh --fuzz [SECONDS]
#                                 the suite in build/, then every fuzz target for SECONDS
#                                 (default 5) with libFuzzer (scripts/fuzz.sh)
#   scripts/test.sh --windows     the Windows stage only: scripts/windows.sh builds the Windows
#                                 programs into build-win64/ and build-win32/, then the tests of
#                                 build-win64/ run under Wine (the installer's end to end on a
#                                 virtual display)
# Further arguments after "--" go to ctest (e.g. --quick -- -R Downloader).
set -euo pipefail
cd "$(dirname "$0")/.."

plain=1
sanitize=1
windows=1
fuzzSeconds=10
if [ $# -gt 0 ] && [ "$1" != "--" ]; then
  plain=0 sanitize=0 windows=0 fuzzSeconds=0
fi
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) plain=1 ;;
    --sanitize) sanitize=1 ;;
    --windows) windows=1 ;;
    --fuzz)
      plain=1
      fuzzSeconds=5
      if [[ "${2:-}" =~ ^[0-9]+$ ]]; then fuzzSeconds=$2; shift; fi ;;
    --) shift; break ;;
    *) echo "usage: scripts/test.sh [--quick] [--sanitize] [--windows] [--fuzz [SECONDS]] [-- CTEST-ARGS...]" >&2; exit 2 ;;
  esac
  shift
done

if [ $plain = 1 ]; then
  bash scripts/build.sh
  ctest --test-dir build --output-on-failure -j "$(nproc)" "$@"
fi

if [ "$fuzzSeconds" -gt 0 ]; then
  bash scripts/fuzz.sh all "$fuzzSeconds"
fi

if [ $sanitize = 1 ]; then
  bash scripts/deps.sh
  launcher=()
  command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
  cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQMH_SANITIZE=ON "${launcher[@]}"
  cmake --build build-sanitize -j "$(nproc)"
  # The installer runs as "nobody" in some tests: the options travel through the environment.
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:strict_string_checks=1
  export LSAN_OPTIONS="suppressions=$PWD/scripts/lsan.supp:print_suppressions=0"
  export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
  ctest --test-dir build-sanitize --output-on-failure -j "$(nproc)" "$@"
fi

if [ $windows = 1 ]; then
  bash scripts/windows.sh
  ctest --test-dir build-win64 --output-on-failure -j "$(nproc)" "$@"
fi
