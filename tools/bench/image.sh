#!/bin/sh
# Times `brindle remove` on a disk image beside a bare start of the
# libguestfs appliance on the same image (`guestfish -a IMAGE run`: start
# and stop, nothing mounted), taking turns, each on a fresh copy of the
# image; prints the medians of RUNS runs and their ratio as a Markdown table.
# The image is the real hive (tests/data/SYSTEM.DAT) with the drivers'
# keys planted, on a FAT32 partition of a 64 MB raw disk.
#   tools/bench/image.sh [RUNS]        (default 5)
# Where the bare start fails (qemu cannot use this host's KVM), both sides
# are measured emulated (LIBGUESTFS_BACKEND_SETTINGS=force_tcg), and the
# table says so.
set -eu
cd "$(dirname "$0")/../.."
runs=${1:-5}
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DBRINDLE_TESTS=OFF >/dev/null
cmake --build build-bench -j"$(nproc)" --target brindle brindle-genmachine >/dev/null
bin=$PWD/build-bench
drivers=$PWD/examples/drivers
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$bin/brindle-genmachine" --keys 60 --match 100 \
  --base tests/data/SYSTEM.DAT "$work/drive"
tests/image/make_image.sh "$work/drive" "$work/win98.img"

median() { sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }
seconds() {  # seconds COMMAND...: the wall time of one run
  start=$(date +%s.%N)
  "$@" >/dev/null 2>&1
  end=$(date +%s.%N)
  awk -v a="$start" -v b="$end" 'BEGIN { print b - a }'
}

how="KVM or as libguestfs chooses"
if [ -z "${LIBGUESTFS_BACKEND_SETTINGS:-}" ] &&
  ! guestfish --format=raw -a "$work/win98.img" run >/dev/null 2>&1; then
  export LIBGUESTFS_BACKEND_SETTINGS=force_tcg
  how="emulated (force_tcg)"
fi
i=0
while [ $i -lt "$runs" ]; do
  cp "$work/win98.img" "$work/run.img"
  seconds guestfish --format=raw -a "$work/run.img" run >>"$work/bare"
  cp "$work/win98.img" "$work/run.img"
  (cd "$drivers" && export BRINDLE_MACHINE="$work/run.img" &&
    seconds "$bin/brindle" remove) >>"$work/remove"
  i=$((i + 1))
done
bare=$(median <"$work/bare")
remove=$(median <"$work/remove")
echo "| image | bare appliance start, s | brindle remove, s | ratio |"
echo "|---|---:|---:|---:|"
awk -v r="$runs" -v b="$bare" -v m="$remove" 'BEGIN {
  printf "| real hive, FAT32, raw, %d runs | %.1f | %.1f | %.2f |\n", r, b, m, m / b }'
echo "(appliance: $how)"
