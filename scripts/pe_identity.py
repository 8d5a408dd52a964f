#!/usr/bin/python3
"""Writes the identity of PE images as the module table should show them.

    scripts/pe_identity.py [--root DIR] [--readobj TOOL] [--output FILE] PATH...

Each PATH is a PE file or a folder searched for PE files (by their 'MZ' and
'PE' signatures, whatever their names). x64 images (PE32+, machine 0x8664)
get an entry in "images"; every other PE file is listed in "others" with the
reason, since the driver reads every image in the 64-bit layout. The JSON
format is described in scripts/fetch-pe-corpus.sh. The identity comes from
`llvm-readobj --file-headers --coff-debug-directory` (which does not print
the checksum: that is read from the optional header directly), cross-checked
against the raw headers. Paths in the output are relative to --root.
"""

import argparse
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import uuid

MZ = b"MZ"
PE_SIGNATURE = b"PE\0\0"
E_LFANEW_OFFSET = 0x3C
MACHINE_AMD64 = 0x8664
MAGIC_PE32_PLUS = 0x20B
# Offsets from the NT headers.
FILE_HEADER_MACHINE = 4
FILE_HEADER_SECTION_COUNT = 6
FILE_HEADER_TIME_DATE_STAMP = 8
FILE_HEADER_OPTIONAL_SIZE = 20
SECTION_HEADER_SIZE = 40
SECTION_VIRTUAL_ADDRESS = 12
OPTIONAL_HEADER = 24
OPTIONAL_MAGIC = OPTIONAL_HEADER + 0
OPTIONAL_SECTION_ALIGNMENT = OPTIONAL_HEADER + 32
OPTIONAL_SIZE_OF_IMAGE = OPTIONAL_HEADER + 56
OPTIONAL_DIRECTORY_COUNT = OPTIONAL_HEADER + 108
OPTIONAL_CHECK_SUM = OPTIONAL_HEADER + 64
NT_HEADERS_READ = OPTIONAL_CHECK_SUM + 4
# The driver keeps the first 255 bytes of a PDB path, and the name after
# its last backslash.
PDB_PATH_USED = 255
# Enough to tell the headers apart without reading whole images.
HEADER_BYTES = 4096

MACHINES = {0x14C: "i386", 0x8664: "x64", 0xAA64: "arm64", 0x1C4: "arm", 0xEBC: "ebc"}

HEADER_STAMP = re.compile(r"ImageFileHeader \{.*?TimeDateStamp: .*?\(0x([0-9A-F]+)\)", re.S)
SIZE_OF_IMAGE = re.compile(r"^\s*SizeOfImage: (\d+)$", re.M)
DEBUG_ENTRY = re.compile(r"DebugEntry \{(.*?)\n  \}", re.S)
ENTRY_TYPE = re.compile(r"Type: (\w+) \(0x([0-9A-F]+)\)")
ADDRESS_OF_RAW_DATA = re.compile(r"AddressOfRawData: 0x([0-9A-F]+)")
GUID_BYTES = re.compile(r"PDBGUID: \(([0-9A-F ]+)\)")
AGE = re.compile(r"PDBAge: (\d+)")
PDB_FILE_NAME = re.compile(r"PDBFileName: ?(.*)")
IMAGE_DEBUG_TYPE_CODEVIEW = 2


class IdentityError(Exception):
    pass


def pe_kind(path):
    """(machine, magic) of a PE file, or None for anything else."""
    try:
        with open(path, "rb") as file:
            head = file.read(HEADER_BYTES)
    except OSError:
        return None
    if len(head) < E_LFANEW_OFFSET + 4 or not head.startswith(MZ):
        return None
    nt = struct.unpack_from("<i", head, E_LFANEW_OFFSET)[0]
    if nt < 0 or nt + OPTIONAL_MAGIC + 2 > len(head) or head[nt:nt + 4] != PE_SIGNATURE:
        return None
    machine = struct.unpack_from("<H", head, nt + FILE_HEADER_MACHINE)[0]
    magic = struct.unpack_from("<H", head, nt + OPTIONAL_MAGIC)[0]
    return machine, magic


def raw_headers(path):
    with open(path, "rb") as file:
        head = file.read(HEADER_BYTES)
    nt = struct.unpack_from("<i", head, E_LFANEW_OFFSET)[0]
    if nt + NT_HEADERS_READ > len(head):
        raise IdentityError("NT headers run past the first page")
    alignment = struct.unpack_from("<I", head, nt + OPTIONAL_SECTION_ALIGNMENT)[0]
    count = struct.unpack_from("<H", head, nt + FILE_HEADER_SECTION_COUNT)[0]
    table = nt + OPTIONAL_HEADER + struct.unpack_from("<H", head, nt + FILE_HEADER_OPTIONAL_SIZE)[0]
    if table + count * SECTION_HEADER_SIZE > len(head):
        raise IdentityError("section table runs past the first page")
    addresses = [struct.unpack_from("<I", head, table + index * SECTION_HEADER_SIZE
                                    + SECTION_VIRTUAL_ADDRESS)[0] for index in range(count)]
    return {
        "time_date_stamp": struct.unpack_from("<I", head, nt + FILE_HEADER_TIME_DATE_STAMP)[0],
        "size_of_image": struct.unpack_from("<I", head, nt + OPTIONAL_SIZE_OF_IMAGE)[0],
        "check_sum": struct.unpack_from("<I", head, nt + OPTIONAL_CHECK_SUM)[0],
        "data_directory_count": struct.unpack_from("<I", head, nt + OPTIONAL_DIRECTORY_COUNT)[0],
        # A loader that maps sections at their addresses refuses the others.
        "sections_aligned": alignment != 0 and all(address % alignment == 0
                                                   for address in addresses),
    }


def pdb_name(path):
    """The PDB name the driver keeps: after the last backslash within the
    bytes it uses (empty when that backslash lies beyond them)."""
    used = path.encode("latin-1", "replace")[:PDB_PATH_USED]
    return used[used.rfind(b"\\") + 1:].decode("latin-1")


def pdb_name_matches_module(module, name):
    """The PDB name is the module's file name with its extension "pdb"."""
    m, p = module.rfind("."), name.rfind(".")
    if m < 0 or p < 0:
        return False
    return module[:m] == name[:p] and name[p + 1:] == "pdb"


def identity(path, readobj):
    # Byte for byte: a PDB path may hold any 8-bit character.
    run = subprocess.run([readobj, "--file-headers", "--coff-debug-directory", path],
                         capture_output=True, check=False)
    if run.returncode != 0:
        detail = (run.stderr.decode("latin-1").strip().splitlines() or ["no message"])[-1]
        raise IdentityError(f"llvm-readobj failed: {detail}")
    text = run.stdout.decode("latin-1")
    headers = raw_headers(path)
    stamp, size = HEADER_STAMP.search(text), SIZE_OF_IMAGE.search(text)
    if not stamp or not size:
        raise IdentityError("llvm-readobj printed no file or optional header")
    if (int(stamp.group(1), 16), int(size.group(1))) != (headers["time_date_stamp"],
                                                        headers["size_of_image"]):
        raise IdentityError("llvm-readobj and the raw headers disagree")

    debug_types = []
    codeview = None
    for entry in DEBUG_ENTRY.findall(text):
        kind = ENTRY_TYPE.search(entry)
        if not kind:
            raise IdentityError("debug entry without a type")
        debug_types.append(kind.group(1))
        if codeview is None and int(kind.group(2), 16) == IMAGE_DEBUG_TYPE_CODEVIEW:
            codeview = entry

    result = dict(headers)
    result["debug_types"] = debug_types
    result["has_codeview"] = codeview is not None
    guid_bytes = bytes(16)
    age = 0
    path_text = ""
    in_image = False
    if codeview is not None:
        guid, age_match = GUID_BYTES.search(codeview), AGE.search(codeview)
        name, raw = PDB_FILE_NAME.search(codeview), ADDRESS_OF_RAW_DATA.search(codeview)
        if not guid or not age_match:
            raise IdentityError("CodeView entry without a PDB 7.0 record")
        guid_bytes = bytes(int(byte, 16) for byte in guid.group(1).split())
        age = int(age_match.group(1))
        path_text = name.group(1) if name else ""
        in_image = bool(raw) and 0 < int(raw.group(1), 16) < headers["size_of_image"]
    result["codeview_in_image"] = in_image
    standard = uuid.UUID(bytes_le=guid_bytes)
    result["guid"] = str(standard).upper() if codeview is not None else ""
    result["guid_report"] = ("%08X%04X%04X" % (standard.time_low, standard.time_mid,
                                               standard.time_hi_version)
                             + guid_bytes[8:].hex().upper())
    result["age"] = age
    result["age_report"] = "%X" % age
    result["pdb_path"] = path_text
    result["pdb_name"] = pdb_name(path_text)
    return result


def find_pe_files(paths):
    for path in paths:
        if os.path.isfile(path) and not os.path.islink(path):
            yield path
            continue
        for directory, folders, files in os.walk(path):
            folders.sort()
            for name in sorted(files):
                full = os.path.join(directory, name)
                if not os.path.islink(full):
                    yield full


def main(argv):
    parser = argparse.ArgumentParser(description="Write the identities of PE images as JSON.")
    parser.add_argument("paths", nargs="+", metavar="PATH")
    parser.add_argument("--root", default=".", help="paths in the output are relative to it")
    parser.add_argument("--readobj", default=shutil.which("llvm-readobj-14")
                        or shutil.which("llvm-readobj") or "llvm-readobj")
    parser.add_argument("--output", help="the JSON file (default: standard output)")
    parser.add_argument("--source", action="append", default=[], metavar="PREFIX=NAME",
                        help="name the package of files below PREFIX (repeatable)")
    args = parser.parse_args(argv[1:])
    sources = [entry.split("=", 1) for entry in args.source]

    images, others = [], []
    for path in find_pe_files(args.paths):
        kind = pe_kind(path)
        if kind is None:
            continue
        relative = os.path.relpath(path, args.root)
        package = next((name for prefix, name in sources
                        if os.path.abspath(path).startswith(os.path.abspath(prefix) + os.sep)), "")
        machine, magic = kind
        if machine != MACHINE_AMD64 or magic != MAGIC_PE32_PLUS:
            others.append({"file": relative, "package": package,
                           "machine": MACHINES.get(machine, "0x%X" % machine),
                           "format": "PE32+" if magic == MAGIC_PE32_PLUS else "PE32"})
            continue
        module = os.path.basename(path).lower()
        try:
            entry = identity(path, args.readobj)
        except (IdentityError, OSError, struct.error) as error:
            print(f"pe_identity: {relative}: {error}", file=sys.stderr)
            return 1
        column = "" if pdb_name_matches_module(module, entry["pdb_name"]) else entry["pdb_name"]
        images.append({"file": relative, "package": package, "module_name": module,
                       **entry, "pdb_column": column})

    text = json.dumps({"images": images, "others": others}, indent=1) + "\n"
    if args.output:
        temporary = args.output + ".part"
        with open(temporary, "w", encoding="utf-8") as file:
            file.write(text)
        os.replace(temporary, args.output)
    else:
        sys.stdout.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
