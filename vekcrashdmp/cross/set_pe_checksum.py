#!/usr/bin/python3
"""Writes the PE optional-header CheckSum of a linked image in place.

lld-link leaves the field 0 and has no option to fill it, while the kernel
checks it on drivers. Only the four bytes of the field change.
"""

import struct
import sys

import pefile

# Offset of CheckSum inside the optional header (same for PE32 and PE32+).
CHECKSUM_FIELD_OFFSET = 64


def checksum_offset(pe):
    return pe.OPTIONAL_HEADER.get_file_offset() + CHECKSUM_FIELD_OFFSET


def set_checksum(path):
    with open(path, "rb") as image:
        data = bytearray(image.read())
    pe = pefile.PE(data=bytes(data), fast_load=True)
    # generate_checksum skips the field itself, so the old value does not
    # matter.
    checksum = pe.generate_checksum()
    struct.pack_into("<I", data, checksum_offset(pe), checksum)
    pe.close()
    with open(path, "r+b") as image:
        image.write(data)
    return checksum


def main(argv):
    if len(argv) != 2:
        print("usage: set_pe_checksum.py IMAGE", file=sys.stderr)
        return 2
    try:
        set_checksum(argv[1])
    except (OSError, pefile.PEFormatError) as error:
        print(f"set_pe_checksum: {argv[1]}: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
