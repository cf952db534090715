#!/bin/sh
# Builds brindle with warnings as errors and runs every test:
#   1. the unit and end-to-end tests of the simulated build, with the runs on
#      disk images (label `image`: libguestfs, qemu-utils, dosfstools,
#      mtools, fdisk), and the Linux tool's manual page, install and Debian
#      package (tools/package-tests.sh: mandoc, dpkg-dev, lintian);
#   2. the same suite built with AddressSanitizer (leak checking on) and
#      UndefinedBehaviorSanitizer, with clang;
#   3. a short run of each libFuzzer target (BRINDLE_FUZZ_SECONDS each);
#   4. a tiny run of each benchmark and of the end-to-end benchmark script,
#      to keep them building and working;
#   5. the Windows builds and their runs under Wine (tools/windows-tests.sh).
# A part whose tools are missing is reported as skipped; BRINDLE_REQUIRE_ALL=1
# (set by CI) turns a skipped part into a failure.
set -eu
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)
fuzz_seconds=${BRINDLE_FUZZ_SECONDS:-45}
require=${BRINDLE_REQUIRE_ALL:-0}

skipped() {
  echo "$1: SKIPPED ($2)"
  if [ "$require" = 1 ]; then
    echo "but BRINDLE_REQUIRE_ALL=1" >&2
    exit 1
  fi
}

have_benchmark=OFF
[ -f /usr/lib/x86_64-linux-gnu/cmake/benchmark/benchmarkConfig.cmake ] ||
  [ -n "$(find /usr -name benchmarkConfig.cmake 2>/dev/null | head -n 1)" ] && have_benchmark=ON

echo "== simulated build"
cmake -S . -B build -DBRINDLE_WERROR=ON -DBRINDLE_TESTS=ON \
  -DBRINDLE_BENCHMARKS=$have_benchmark >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"
[ -x build/tests/brindle_image_tests ] ||
  skipped "disk images" "libguestfs-dev not installed"

echo "== brindle as a Linux tool: manual page, install, Debian package"
missing=""
for tool in mandoc cpack dpkg-deb dpkg-shlibdeps lintian; do
  command -v "$tool" >/dev/null 2>&1 || missing="$missing $tool"
done
if [ -z "$missing" ]; then
  tools/package-tests.sh build
else
  skipped "the manual page and the package" "missing:$missing"
fi

if command -v clang++ >/dev/null 2>&1; then
  echo "== sanitizers (address, leak, undefined)"
  cmake -S . -B build-sanitize -DCMAKE_CXX_COMPILER=clang++ -DBRINDLE_WERROR=ON \
    -DBRINDLE_SANITIZE=ON >/dev/null
  cmake --build build-sanitize -j"$jobs"
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build-sanitize --output-on-failure -j"$jobs" -LE image

  echo "== fuzzing, $fuzz_seconds s a target"
  # Without the runtime the build cannot link; with it, a build that fails
  # is a failure, not a skipped part.
  if [ -f "$(clang++ -print-file-name="libclang_rt.fuzzer-$(uname -m).a")" ]; then
    cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DBRINDLE_FUZZERS=ON \
      -DBRINDLE_TESTS=OFF >/dev/null
    cmake --build build-fuzz -j"$jobs"
    for target in regedit4 hive9x run; do
      corpus=$(mktemp -d)
      artifacts=$(mktemp -d)
      log=$(mktemp)
      # Absolute paths: the run target works in a directory of its own.
      if ! build-fuzz/tests/fuzz/${target}_fuzzer -max_total_time="$fuzz_seconds" \
          -artifact_prefix="$artifacts/" -print_final_stats=1 \
          "$corpus" "$PWD/tests/fuzz/corpus/$target" >"$log" 2>&1 ||
         [ -n "$(ls "$artifacts")" ]; then
        tail -n 40 "$log" >&2
        echo "fuzzing $target failed; found:" "$artifacts"/* >&2
        exit 1
      fi
      echo "$target: $(grep -E '^stat::number_of_executed_units' "$log" | tr -s ' ') in $fuzz_seconds s, nothing found"
      rm -rf "$corpus" "$artifacts" "$log"
    done
  else
    skipped "fuzzing" "libFuzzer runtime (libclang-rt-14-dev) not installed"
  fi
else
  skipped "sanitizers and fuzzing" "no clang++"
fi

if [ "$have_benchmark" = ON ]; then
  echo "== benchmarks, a tiny run"
  build/tools/bench/brindle_benchmarks --benchmark_min_time=0.001 \
    --benchmark_filter='/(1000|10000)(/|$)' >/dev/null
  SIZES=10000 tools/bench/e2e.sh 1
  echo "benchmarks ran"
else
  skipped "benchmarks" "Google Benchmark not installed"
fi

echo "== Windows"
BRINDLE_REQUIRE_WINE=$require tools/windows-tests.sh
