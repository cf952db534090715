#!/bin/sh
# Cross-builds the Windows programs (i686, the release build, and x86_64)
# with the Debian mingw-w64 compilers, checks the release program's imports,
# header and instructions, and runs the shared scenarios against it under
# 32-bit Wine: this host's, or one in a libguestfs appliance where this host
# runs no 32-bit programs (and then the x86_64 program under wine64 too).
# Without the compilers or Wine the part is reported as skipped, unless
# BRINDLE_REQUIRE_WINE=1, which makes that a failure.
set -eu
cd "$(dirname "$0")/.."
require=${BRINDLE_REQUIRE_WINE:-0}
jobs=$(nproc 2>/dev/null || echo 2)

missing=""
for tool in i686-w64-mingw32-g++ x86_64-w64-mingw32-g++ i686-w64-mingw32-objdump i686-w64-mingw32-objcopy x86_64-w64-mingw32-objdump wineserver; do
  command -v "$tool" >/dev/null 2>&1 || missing="$missing $tool"
done
if [ -n "$missing" ]; then
  echo "Windows builds and Wine tests: SKIPPED (missing:$missing)"
  [ "$require" = 1 ] && { echo "but BRINDLE_REQUIRE_WINE=1" >&2; exit 1; }
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
# The check reads every code section: a CMOVA in a section of its own,
# added to a copy of the program, must fail it.
planted=$(mktemp -d)
printf '\017\107\321\220' >"$planted/cmova"
i686-w64-mingw32-objcopy --add-section .planted="$planted/cmova" \
  --set-section-flags .planted=code,readonly,alloc,load,contents \
  build-i686-w64-mingw32/brindle.exe "$planted/brindle.exe" 2>/dev/null
if tools/check-instructions.sh i686-w64-mingw32-objdump "$planted/brindle.exe" >/dev/null; then
  echo "the instruction check missed a CMOVA in a code section of its own" >&2
  exit 1
fi
rm -rf "$planted"
echo "instruction check: a CMOVA planted in a second code section is found"
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

# The shared scenarios and command lines under Wine, compared with the
# simulated build. A host that runs 32-bit programs runs the release
# program under its own Wine; others (IA-32 emulation off: a 32-bit program
# fails with "Exec format error") the 64-bit build of the same source under
# wine64. Wherever libguestfs and qemu are, the release program also runs
# under 32-bit Wine in an appliance, whose kernel runs 32-bit programs on
# any host: its root is made once from Debian's i386 packages and kept
# under the build folder.
wine_tests() {
  echo "Wine: $1"
  shift
  env "$@" build/tests/brindle_wine_tests --gtest_brief=1
}
# 32-bit Wine is here when it has run the release program, not when `wine`
# answers: with wine64 alone (wine32 not installed, or the host's IA-32
# emulation off), `wine` starts and then says wine32 is missing.
runs32() {
  prefix=$(mktemp -d)
  banner=$(WINEPREFIX="$prefix" WINEARCH=win32 WINEDEBUG=-all \
    wine "$BRINDLE_WINDOWS_EXE" 2>/dev/null | tr -d '\r') || true
  WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true
  rm -rf "$prefix"
  case $banner in *"Brindle Pre-Install Program Version 1.1"*) return 0 ;; esac
  return 1
}
ran32=0
if command -v wine >/dev/null 2>&1 && runs32; then
  wine_tests "the release program under this host's 32-bit Wine"
  ran32=1
elif /usr/lib/wine/wine64 --version >/dev/null 2>&1; then
  wine_tests "the 64-bit build under wine64 (this host runs no 32-bit programs)" \
    BRINDLE_WINE=/usr/lib/wine/wine64 BRINDLE_WINESERVER=wineserver \
    BRINDLE_WINEARCH=win64 BRINDLE_WINE_EXE="$BRINDLE_WINDOWS64_EXE"
fi
missing=""
pkg-config --exists libguestfs || missing="$missing libguestfs-dev"
for tool in qemu-system-x86_64 mkfs.ext4 dpkg-deb apt-get; do
  command -v "$tool" >/dev/null 2>&1 || missing="$missing $tool"
done
if [ -n "$missing" ]; then
  echo "32-bit Wine in an appliance: SKIPPED (missing:$missing)"
  if [ "$ran32" = 0 ] && [ "$require" = 1 ]; then
    echo "and no 32-bit Wine here, but BRINDLE_REQUIRE_WINE=1" >&2
    exit 1
  fi
  exit 0
fi
start=$(date +%s)
root=$(tests/windows/make-wine-root.sh build-i686-w64-mingw32/wine-root)
echo "32-bit Wine root: $root ($(($(date +%s) - start)) s)"
start=$(date +%s)
# Where the appliance would start under KVM, it plays a KVM that never runs
# it: the start is found silent and made again emulated, as the program's.
wine_tests "the release program under 32-bit Wine in a libguestfs appliance" \
  BRINDLE_WINE_ROOT="$root" BRINDLE_QEMU_KVM_STALLS=1
echo "32-bit Wine in the appliance: $(($(date +%s) - start)) s"
