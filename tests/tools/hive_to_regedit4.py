#!/usr/bin/python3
"""Exports a Windows 9x registry file (SYSTEM.DAT, USER.DAT) as REGEDIT4 text
in the form regedit of Windows 95/98/Me writes it: keys depth first in the
file's own order, values in stored order, strings as they stand with only
backslash and double quote escaped, hex data wrapped where regedit wraps it.

    hive_to_regedit4.py HIVE OUTPUT [ROOT]

Reads the hive with libcreg (Debian's python3-libcreg); exits 77 when that
is not installed, so a test can say it was skipped.
"""
import sys

try:
    import pycreg
except ImportError:
    sys.exit(77)

CODEPAGE = "cp1252"
LINE_END = b"\r\n"


def name_bytes(name):
    return name.encode(CODEPAGE, errors="surrogateescape")


def quoted(data):
    return b'"' + data.replace(b"\\", b"\\\\").replace(b'"', b'\\"') + b'"'


def value_lines(value):
    name = name_bytes(value.name or "")
    line = (b"@" if not name else quoted(name)) + b"="
    data = value.data or b""
    kind = value.type
    if kind == 1 and b"\0" not in data:
        return line + quoted(data) + LINE_END
    if kind == 4 and len(data) == 4:
        return line + b"dword:%08x" % int.from_bytes(data, "little") + LINE_END
    line += b"hex:" if kind == 3 else b"hex(%x):" % kind
    # regedit's count: the prefix, then three a byte; the comma that reaches
    # column 77 ends the line with a continuation indented by two spaces.
    out = bytearray(line)
    column = len(line)
    for at, byte in enumerate(data):
        out += b"%02x" % byte
        if at + 1 == len(data):
            break
        out += b","
        column += 3
        if column >= 77:
            out += b"\\" + LINE_END + b"  "
            column = 2
    return bytes(out) + LINE_END


def export(key, path, out):
    out.write(LINE_END + b"[" + path + b"]" + LINE_END)
    for value in key.values:
        out.write(value_lines(value))
    for subkey in key.sub_keys:
        export(subkey, path + b"\\" + name_bytes(subkey.name), out)


def main():
    hive, output = sys.argv[1], sys.argv[2]
    root = (sys.argv[3] if len(sys.argv) > 3 else "HKEY_LOCAL_MACHINE").encode()
    registry = pycreg.file()
    registry.open(hive)
    with open(output, "wb") as out:
        out.write(b"REGEDIT4" + LINE_END)
        export(registry.get_root_key(), root, out)
        out.write(LINE_END)
    registry.close()


if __name__ == "__main__":
    main()
