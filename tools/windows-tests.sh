#!/bin/sh
# Cross-builds the Windows programs (i686, the release build, and x86_64)
# with the Debian mingw-w64 compilers, checks their imports and header, and
# runs the shared scenarios against the i686 program under Wine (the x86_64
# one where the host cannot run 32-bit programs).
# Without the compilers or Wine the part is reported as skipped, unless
# BRINDLE_REQUIRE_WINE=1, which makes that a failure.
set -eu
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)

missing=""
for tool in i686-w64-mingw32-g++ x86_64-w64-mingw32-g++ i686-w64-mingw32-objdump x86_64-w64-mingw32-objdump wine wineboot wineserver; do
  command -v "$tool" >/dev/null 2>&1 || missing="$missing $tool"
done
if [ -n "$missing" ]; then
  echo "Windows builds and Wine tests: SKIPPED (missing:$missing)"
  [ "${BRINDLE_REQUIRE_WINE:-0}" = 1 ] && { echo "but BRINDLE_REQUIRE_WINE=1" >&2; exit 1; }
  exit 0
fi

for target in i686 x86_64; do
  cmake -S . -B "build-$target-w64-mingw32" -DBRINDLE_WERROR=ON \
    -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="cmake/toolchain-$target-w64-mingw32.cmake" >/dev/null
  cmake --build "build-$target-w64-mingw32" -j"$jobs" --target brindle
done

# The release program loads on Windows 95 as it shipped and runs on every
# CPU it runs on: its imports, its size, its instructions, and nothing in it
# that an entry point without a C runtime would skip.
tools/check-imports.sh i686-w64-mingw32-objdump build-i686-w64-mingw32/brindle.exe
tools/check-instructions.sh i686-w64-mingw32-objdump build-i686-w64-mingw32/brindle.exe
for object in build-i686-w64-mingw32/*.a build-i686-w64-mingw32/CMakeFiles/brindle.dir/platform/win32/*.obj; do
  if i686-w64-mingw32-objdump -h "$object" | grep -E '\.(ctors|init_array)' >/dev/null; then
    echo "static constructors in $object: nothing would run them" >&2
    exit 1
  fi
done

# The release zip a user puts on a driver disk.
cmake --build build-i686-w64-mingw32 --target package >/dev/null
zip=build-i686-w64-mingw32/brindle-1.1.zip
for member in BRINDLE.EXE README.TXT; do
  cmake -E tar tf "$zip" | grep -qx "$member" || { echo "$zip lacks $member" >&2; exit 1; }
done
echo "release: $zip ($(wc -c <"$zip") bytes) holds BRINDLE.EXE and README.TXT"

export BRINDLE_WINDOWS_EXE="$PWD/build-i686-w64-mingw32/brindle.exe"
export BRINDLE_WINDOWS64_EXE="$PWD/build-x86_64-w64-mingw32/brindle.exe"
export BRINDLE_OBJDUMP=i686-w64-mingw32-objdump
export BRINDLE_OBJDUMP64=x86_64-w64-mingw32-objdump
export BRINDLE_REQUIRE_WINE=1

# Some hosts run 64-bit programs only (IA-32 emulation off: a 32-bit
# program fails with "Exec format error"), and Wine's 32-bit side with
# them. There the runs under Wine are made with wine64 and the 64-bit
# build of the same source; the release build is still held to Windows 95
# by its import table and header above and in the Wine test binary.
if ! wine --version >/dev/null 2>&1 && [ -x /usr/lib/wine/wine64 ] &&
   /usr/lib/wine/wine64 --version >/dev/null 2>&1; then
  echo "Wine: this host cannot run 32-bit programs; the Wine runs use wine64 and the 64-bit build"
  export BRINDLE_WINE=/usr/lib/wine/wine64
  export BRINDLE_WINESERVER=wineserver
  export BRINDLE_WINEARCH=win64
  export BRINDLE_WINE_EXE="$BRINDLE_WINDOWS64_EXE"
fi

# Each scenario needs a Wine prefix of its own: two shards run side by side.
logs=$(mktemp -d)
status=0
GTEST_TOTAL_SHARDS=2 GTEST_SHARD_INDEX=0 build/tests/brindle_wine_tests >"$logs/0" 2>&1 &
first=$!
GTEST_TOTAL_SHARDS=2 GTEST_SHARD_INDEX=1 build/tests/brindle_wine_tests >"$logs/1" 2>&1 || status=1
wait "$first" || status=1
cat "$logs/0" "$logs/1"
rm -rf "$logs"
exit "$status"
