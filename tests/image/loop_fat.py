#!/usr/bin/python3
"""Makes WINDOWS/SYSTEM.DAT's cluster chain loop in a FAT32 image laid out
by make_image.sh (mbr: the file system at 1 MiB): its second cluster's FAT
entry, in every FAT, points back to its first.

    loop_fat.py IMAGE
"""
import re
import struct
import subprocess
import sys

image = sys.argv[1]
offset = 1 << 20
chain = subprocess.run(['mshowfat', '-i', '%s@@%d' % (image, offset),
                        '::/windows/SYSTEM.DAT'], check=True,
                       capture_output=True, text=True).stdout
first = int(re.search(r'<(\d+)', chain).group(1))
with open(image, 'r+b') as f:
    f.seek(offset)
    boot = f.read(512)
    sector, = struct.unpack_from('<H', boot, 0x0B)
    reserved, = struct.unpack_from('<H', boot, 0x0E)
    fats = boot[0x10]
    fat_sectors, = struct.unpack_from('<I', boot, 0x24)
    for fat in range(fats):
        f.seek(offset + (reserved + fat * fat_sectors) * sector +
               (first + 1) * 4)
        f.write(struct.pack('<I', first))
