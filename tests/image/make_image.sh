#!/bin/sh
# Makes a disk image of a drive directory with tools that are not brindle's
# and need no root:
#   make_image.sh DRIVE IMAGE [LAYOUT]
# LAYOUT: mbr (the default: one primary FAT32 partition at 1 MiB), logical
# (FAT16 in a logical partition at 19 MiB, after an empty primary one), bare
# (FAT12 of 16 MB, no partition table, as a superfloppy), or twice (two
# primary FAT16 partitions, each a copy of DRIVE). The format is IMAGE's
# extension, converted from raw by qemu-img.
set -eu
drive=$1 image=$2 layout=${3:-mbr}
raw=$image.raw.tmp
rm -f "$raw"
case $layout in
  bare) size=$((16 * 1024)) ;;  # KiB
  *) size=$((64 * 1024)) ;;
esac
truncate -s "${size}K" "$raw"
# Sectors of 512 bytes; the first partition starts at 1 MiB.
fill() {  # fill OFFSET_SECTORS
  mcopy -s -Q -i "$raw@@$(($1 * 512))" "$drive"/* ::/
}
case $layout in
  mbr)
    echo 'start=2048, type=c' | sfdisk -q "$raw"
    mkfs.fat -F 32 -s 1 --offset 2048 "$raw" $((size - 1024)) >/dev/null 2>&1
    fill 2048 ;;
  logical)
    printf 'start=2048, size=16M, type=6\nstart=36864, type=5\nstart=38912, type=6\n' |
      sfdisk -q "$raw"
    mkfs.fat -F 16 --offset 2048 "$raw" $((16 * 1024)) >/dev/null 2>&1
    mkfs.fat -F 16 --offset 38912 "$raw" $((size - 19 * 1024)) >/dev/null 2>&1
    fill 38912 ;;
  twice)
    printf 'start=2048, size=30M, type=6\nstart=63488, type=6\n' | sfdisk -q "$raw"
    mkfs.fat -F 16 --offset 2048 "$raw" $((30 * 1024)) >/dev/null 2>&1
    mkfs.fat -F 16 --offset 63488 "$raw" $((size - 31 * 1024 - 1024)) >/dev/null 2>&1
    fill 2048
    fill 63488 ;;
  bare)
    mkfs.fat -F 12 -s 16 "$raw" >/dev/null 2>&1
    fill 0 ;;
esac
case $image in
  *.vhd) format=vpc ;;
  *.vhdx) format=vhdx ;;
  *.vdi) format=vdi ;;
  *.vmdk) format=vmdk ;;
  *.qcow2) format=qcow2 ;;
  *) format=raw ;;
esac
if [ $format = raw ]; then
  mv "$raw" "$image"
else
  qemu-img convert -f raw -O $format "$raw" "$image"
  rm -f "$raw"
fi
