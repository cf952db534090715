#!/usr/bin/python3
"""Checks that a Windows 9x registry file (CREG) is left as Windows would
leave it: nothing allocated that no key reaches, nothing reached that is
free, and each data block's free total what its free entries add up to.

Read straight from the bytes, independent of the program's own reader:
  - every key reached from the root, through first-subkey and next-sibling
    links, has a hierarchy entry that is not marked free and is not on the
    free list, and exactly one allocated name entry with its number and
    block;
  - every allocated name entry belongs to a key reached from the root;
  - each data block's "unused" field is the sum of its free entries' sizes,
    and its entries fill it exactly.

  hive_allocation.py HIVE   prints each fault found, exits 1 if any
"""
import struct
import sys

NAVIGATION = 32          # the key navigation record (RGKN) starts here
NO_LINK = 0xFFFFFFFF
FREE = 0x80000000        # a hierarchy entry's flag
NO_NUMBER = 0xFFFF       # a free name entry's number


def check(data):
    def u32(at):
        return struct.unpack_from('<I', data, at)[0]

    def u16(at):
        return struct.unpack_from('<H', data, at)[0]

    faults = []
    if data[0:4] != b'CREG' or data[NAVIGATION:NAVIGATION + 4] != b'RGKN':
        return ['not a Windows 9x registry file']
    free_list = set()
    entry = u32(NAVIGATION + 12)
    while entry != NO_LINK and entry not in free_list:
        free_list.add(entry)
        entry = u32(NAVIGATION + entry + 8)

    # The keys reached from the root, and the name entry each names.
    named = {}
    reached = set()
    pending = [u32(NAVIGATION + 8)]
    while pending:
        entry = pending.pop()
        if entry in reached:
            faults.append('hierarchy entry 0x%x reached twice' % entry)
            continue
        reached.add(entry)
        at = NAVIGATION + entry
        if u32(at) & FREE or entry in free_list:
            faults.append('hierarchy entry 0x%x is reached but free' % entry)
        name = (u16(at + 26), u16(at + 24))  # block, number
        if name in named:
            faults.append('name entry %s is named by two keys' % (name,))
        if name[1] != NO_NUMBER:  # the root, as Windows writes it, has none
            named[name] = entry
        child = u32(at + 16)
        while child != NO_LINK:
            pending.append(child)
            child = u32(NAVIGATION + child + 20)

    # The data blocks: each allocated name entry must be one a key names.
    found = set()
    at = u32(8)
    for index in range(u16(16)):
        if data[at:at + 4] != b'RGDB':
            faults.append('block %d has no RGDB signature' % index)
            break
        size, unused, number = u32(at + 4), u32(at + 8), u16(at + 14)
        offset, free_total = 32, 0
        while offset < size:
            entry_size = u32(at + offset)
            if entry_size == 0 or offset + entry_size > size:
                faults.append('block %d: entry at 0x%x runs past the block'
                              % (number, offset))
                break
            entry_number = u16(at + offset + 4)
            if entry_number == NO_NUMBER:
                free_total += entry_size
            else:
                name = (u16(at + offset + 6), entry_number)
                if name not in named:
                    faults.append('block %d: name entry %d at 0x%x is '
                                  'allocated but no key reaches it'
                                  % (number, entry_number, offset))
                elif name in found:
                    faults.append('block %d: name entry %d is allocated twice'
                                  % (number, entry_number))
                found.add(name)
            offset += entry_size
        if free_total != unused:
            faults.append('block %d: its free entries add up to %d, its '
                          'header says %d' % (number, free_total, unused))
        at += size
    for name in sorted(set(named) - found):
        faults.append('the key at 0x%x names name entry %s, which is not '
                      'allocated' % (named[name], name))
    return faults


def main():
    with open(sys.argv[1], 'rb') as hive:
        faults = check(hive.read())
    for fault in faults[:20]:
        print(fault)
    return 1 if faults else 0


if __name__ == '__main__':
    sys.exit(main())
