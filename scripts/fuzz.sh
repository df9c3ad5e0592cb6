#!/usr/bin/env bash
# Runs a fuzz target with libFuzzer for a while.
#
#   scripts/fuzz.sh TARGET SECONDS    TARGET is a tests/fuzz/<TARGET>_fuzz.cpp (Ini, Manifest,
#                                     Multipart, ZipAnalysis, NormalizeZip, ChecksummedZip), or
#                                     "all" to run each of them SECONDS in turn
#   scripts/fuzz.sh --list            prints the targets
#
# Installs clang and its runtimes when missing (scripts/deps.sh --fuzz), builds the targets
# with clang, libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer into build-fuzz/, and
# starts from the seeds in tests/fuzz/corpus/TARGET and the past findings in
# tests/fuzz/crashes/TARGET. Inputs found to add coverage collect in build-fuzz/corpus/TARGET.
# A crash, sanitizer report, broken property, timeout or memory blow-up ends the run with
# status 1 and leaves the input in build-fuzz/crashes/TARGET/; after fixing the cause, copy it
# into tests/fuzz/crashes/TARGET/, where the test suite replays it from then on.
set -euo pipefail
cd "$(dirname "$0")/.."

targets=()
for src in tests/fuzz/*_fuzz.cpp; do
  name=$(basename "$src" _fuzz.cpp)
  targets+=("$name")
done

if [ "${1:-}" = "--list" ]; then
  printf '%s\n' "${targets[@]}"
  exit 0
fi
if [ $# -ne 2 ] || ! [[ "$2" =~ ^[0-9]+$ ]]; then
  echo "usage: scripts/fuzz.sh TARGET|all SECONDS   (targets: ${targets[*]})" >&2
  exit 2
fi
target=$1
seconds=$2
if [ "$target" = all ]; then
  run=("${targets[@]}")
else
  if [ ! -f "tests/fuzz/${target}_fuzz.cpp" ]; then
    echo "unknown fuzz target $target (targets: ${targets[*]})" >&2
    exit 2
  fi
  run=("$target")
fi

bash scripts/deps.sh --fuzz
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQMH_FUZZ=ON \
  -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 "${launcher[@]}" >/dev/null
cmake --build build-fuzz -j "$(nproc)" --target "${run[@]/#/fuzz_}"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
failed=()
for name in "${run[@]}"; do
  corpus=build-fuzz/corpus/$name
  artifacts=build-fuzz/crashes/$name
  mkdir -p "$corpus" "$artifacts" "tests/fuzz/crashes/$name"
  echo "== fuzz_$name for $seconds s"
  # New inputs go into the first corpus directory; the seeds and past findings stay as they are.
  if ! build-fuzz/fuzz/fuzz_"$name" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
       -max_len=65536 -print_final_stats=1 -artifact_prefix="$artifacts/" \
       "$corpus" "tests/fuzz/corpus/$name" "tests/fuzz/crashes/$name" 2>build-fuzz/fuzz_"$name".log; then
    tail -n 40 build-fuzz/fuzz_"$name".log
    echo "fuzz_$name found a failing input: see $artifacts/ and build-fuzz/fuzz_$name.log" >&2
    failed+=("$name")
  else
    grep -E '^stat::(number_of_executed_units|new_units_added)' build-fuzz/fuzz_"$name".log || true
  fi
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "Fuzzing failed: ${failed[*]}" >&2
  exit 1
fi
echo "Fuzzing passed: ${run[*]}"
