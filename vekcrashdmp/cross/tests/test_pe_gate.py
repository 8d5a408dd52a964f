#!/usr/bin/python3
"""Tests of pe_gate.py against built images and against copies of the
fixture driver with one fault each put in."""

import argparse
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

import pefile

# Set by main() from the command line.
PATHS = None

# Functions of fixture_driver.cpp.
GUARDED_FUNCTION = "GuardedRead"
UNGUARDED_NON_LEAF = "DriverEntry"
NON_LEAF_WITHOUT_CALLS = "SumScratch"
LEAF_FUNCTIONS = ("AddOffset", "ReadValue")
# Data of fixture_driver.cpp, and the imports DriverEntry reaches (through
# the function named with each).
READ_ONLY_DATA = "ReadOnlyName"
WRITABLE_DATA = "WritableName"
REACHED_IMPORTS = (("memset", "ClearName"), ("KeQuerySystemTimePrecise", "StampTime"))

IMAGE_SCN_MEM_WRITE = 0x80000000
IMAGE_SUBSYSTEM_WINDOWS_CUI = 3
IMAGE_DIRECTORY_ENTRY_EXCEPTION = 3
# Same length as "ntoskrnl.exe", so the name can be overwritten in place.
FOREIGN_DLL_NAME = b"kernel32.dll"
# Scope table: ULONG count, then records of four ULONGs (begin, end, ...).
SCOPE_COUNT_SIZE = 4
SCOPE_END_OFFSET = 4
C_SPECIFIC_HANDLER = "__C_specific_handler"


def export_options():
    return ["--exports", f"ntoskrnl.exe={PATHS.kernel_library}",
            "--later-exports", PATHS.later_exports]


def run_gate(image, *options):
    command = [sys.executable, PATHS.gate, image, "--pdbutil", PATHS.pdbutil,
               "--objdump", PATHS.objdump, "--nm", PATHS.nm, *options]
    result = subprocess.run(command, capture_output=True, text=True, check=False)
    return result.returncode, result.stdout + result.stderr


def put_dword(data, offset, value):
    struct.pack_into("<I", data, offset, value)


def checksum_offset(info):
    return info.OPTIONAL_HEADER.get_field_absolute_offset("CheckSum")


def scope_table_offset(info):
    """File offset of the fixture's one scope table (its record count)."""
    guarded = [entry for entry in info.DIRECTORY_ENTRY_EXCEPTION
               if getattr(entry.unwindinfo, "ExceptionHandler", None)]
    assert len(guarded) == 1, "the fixture should have exactly one handled function"
    # pefile's UNWIND_INFO ends with the handler address; the handler's data,
    # here the scope table, follows it.
    unwind = guarded[0].unwindinfo
    return unwind.get_file_offset() + unwind.sizeof()


# Each mutation gets the parsed fixture (read only) and its bytes to change.

def zero_checksum(info, data):
    put_dword(data, checksum_offset(info), 0)


def wrong_checksum(info, data):
    put_dword(data, checksum_offset(info), info.generate_checksum() + 1)


def writable_code(info, data):
    text = next(section for section in info.sections if section.Name.startswith(b".text"))
    put_dword(data, text.get_field_absolute_offset("Characteristics"),
              text.Characteristics | IMAGE_SCN_MEM_WRITE)


def console_subsystem(info, data):
    struct.pack_into("<H", data, info.OPTIONAL_HEADER.get_field_absolute_offset("Subsystem"),
                     IMAGE_SUBSYSTEM_WINDOWS_CUI)


def versions(subsystem, system):
    """Writes the subsystem and operating system versions, (major, minor) each."""
    def mutation(info, data):
        header = info.OPTIONAL_HEADER
        for (major, minor), prefix in ((subsystem, "Subsystem"), (system, "OperatingSystem")):
            struct.pack_into("<HH", data, header.get_field_absolute_offset(f"Major{prefix}Version"),
                             major, minor)
    return mutation


def renamed_import(old, new):
    """Renames an imported routine in place; new is no longer than old."""
    def mutation(info, data):
        for entry in info.DIRECTORY_ENTRY_IMPORT:
            for imp in entry.imports:
                if imp.name == old:
                    data[imp.name_offset:imp.name_offset + len(old)] = new.ljust(len(old), b"\0")
                    return
        raise AssertionError(f"the fixture does not import {old}")
    return mutation


def foreign_import(info, data):
    entry = info.DIRECTORY_ENTRY_IMPORT[0]
    assert len(entry.dll) == len(FOREIGN_DLL_NAME)
    offset = info.get_offset_from_rva(entry.struct.Name)
    data[offset:offset + len(FOREIGN_DLL_NAME)] = FOREIGN_DLL_NAME


def exception_directory(info):
    return info.OPTIONAL_HEADER.DATA_DIRECTORY[IMAGE_DIRECTORY_ENTRY_EXCEPTION]


def drop_exception_directory(info, data):
    offset = exception_directory(info).get_file_offset()
    data[offset:offset + 8] = bytes(8)


def zero_pdata(info, data):
    directory = exception_directory(info)
    offset = info.get_offset_from_rva(directory.VirtualAddress)
    data[offset:offset + directory.Size] = bytes(directory.Size)


def empty_scope_table(info, data):
    put_dword(data, scope_table_offset(info), 0)


def collapse_scope(info, data):
    record = scope_table_offset(info) + SCOPE_COUNT_SIZE
    begin = struct.unpack_from("<I", data, record)[0]
    put_dword(data, record + SCOPE_END_OFFSET, begin)


def unchanged(info, data):
    pass


# The pdata rows also check that leaves, which need no unwind data, are not
# reported.
NON_LEAF_LINES = [f"{name}: non-leaf function"
                  for name in (UNGUARDED_NON_LEAF, GUARDED_FUNCTION, NON_LEAF_WITHOUT_CALLS)]

# The kernel's export list and the later exports, for the import checks.
EXPORT_OPTIONS = ["--exports", "ntoskrnl.exe=KERNEL_LIBRARY", "--later-exports", "LATER_EXPORTS"]

# (case, mutation, keep the stored checksum as mutated, gate options,
#  text the output must contain, text it must not contain)
FAULTS = [
    ("import no x64 kernel exports", renamed_import(b"KeQuerySystemTimePrecise",
                                                    b"KeQuerySystemTime"),
     False, EXPORT_OPTIONS,
     ["imports KeQuerySystemTime from ntoskrnl.exe, which no x64 kernel exports"],
     ["memset", C_SPECIFIC_HANDLER]),
    ("import a later version exports", unchanged, False, EXPORT_OPTIONS,
     ["imports KeQuerySystemTimePrecise from ntoskrnl.exe, first exported by Windows 6.2"],
     ["memset", C_SPECIFIC_HANDLER]),
    ("versions 10.0", versions((10, 0), (10, 0)), False, [],
     ["subsystem version is 10.0, not 6.1", "operating system version is 10.0, not 6.1"], []),
    ("operating system version alone older", versions((6, 1), (6, 0)), False, [],
     ["operating system version is 6.0, not 6.1"], ["subsystem version"]),
    ("checksum zeroed", zero_checksum, True, [], ["PE checksum is not set"], []),
    ("checksum wrong", wrong_checksum, True, [], ["is wrong"], []),
    ("writable code section", writable_code, False, [],
     ["section .text is both writable and executable"], []),
    ("console subsystem", console_subsystem, False, [], ["subsystem is 3, not native"], []),
    ("foreign import DLL", foreign_import, False, [], ["imports from kernel32.dll"], []),
    ("exception directory dropped", drop_exception_directory, False, [], NON_LEAF_LINES,
     list(LEAF_FUNCTIONS)),
    (".pdata zeroed", zero_pdata, False, [], NON_LEAF_LINES + ["malformed"],
     list(LEAF_FUNCTIONS)),
    ("scope table emptied", empty_scope_table, False, [],
     [f"{GUARDED_FUNCTION}: __try scope table is empty"], []),
    ("scope range collapsed", collapse_scope, False, [],
     [f"{GUARDED_FUNCTION}: __try scope 0 guards"], []),
    ("guard required where there is none", unchanged, False,
     ["--guarded", GUARDED_FUNCTION, "--guarded", UNGUARDED_NON_LEAF],
     [f"{UNGUARDED_NON_LEAF}: must be guarded"], [f"{GUARDED_FUNCTION}: must be guarded"]),
    ("guarded function misspelt", unchanged, False, ["--guarded", "GuardedReed"],
     ["guarded function GuardedReed is not in the PDB"], []),
    ("PDB of another image", unchanged, False, ["--pdb", "DRIVER_PDB"],
     ["does not match the image"], []),
    ("writable data required read-only", unchanged, False,
     ["--read-only", READ_ONLY_DATA, "--read-only", WRITABLE_DATA],
     [f"{WRITABLE_DATA}: must be read-only data but lies in writable .data"],
     [f"{READ_ONLY_DATA}: must be"]),
    ("read-only data misspelt", unchanged, False, ["--read-only", "ReadOnlyNmae"],
     ["read-only data ReadOnlyNmae is not in the PDB"], []),
    ("restricted code reaches imports", unchanged, False,
     ["--restricted", UNGUARDED_NON_LEAF, "--restricted", NON_LEAF_WITHOUT_CALLS],
     [f"{UNGUARDED_NON_LEAF}: calls kernel routine {name} (through {UNGUARDED_NON_LEAF} -> "
      f"{via}); allowed there: none" for name, via in REACHED_IMPORTS],
     [f"{NON_LEAF_WITHOUT_CALLS}: calls", C_SPECIFIC_HANDLER]),
    ("restricted code allowed one of two imports", unchanged, False,
     ["--restricted", UNGUARDED_NON_LEAF, "--restricted-import", REACHED_IMPORTS[1][0]],
     [f"calls kernel routine {REACHED_IMPORTS[0][0]}"],
     [f"calls kernel routine {REACHED_IMPORTS[1][0]}"]),
    ("restricted function misspelt", unchanged, False, ["--restricted", "DriverEntri"],
     ["restricted function DriverEntri is not in the PDB"], []),
]


def pdb_beside(image):
    return os.path.splitext(image)[0] + ".pdb"


class AcceptsBuiltImages(unittest.TestCase):
    def test_fixture_with_its_guard_required(self):
        status, output = run_gate(PATHS.fixture, "--guarded", GUARDED_FUNCTION)
        self.assertEqual(status, 0, output)

    def test_fixture_with_its_data_and_imports_allowed(self):
        options = ["--read-only", READ_ONLY_DATA, "--restricted", UNGUARDED_NON_LEAF]
        for name, _ in REACHED_IMPORTS:
            options += ["--restricted-import", name]
        status, output = run_gate(PATHS.fixture, *options)
        self.assertEqual(status, 0, output)

    def test_vekcrashdmp_with_pdb_beside_it(self):
        status, output = run_gate(PATHS.driver)
        self.assertEqual(status, 0, output)

    def test_vekcrashdmp_imports_only_what_a_real_x64_kernel_exports(self):
        # Every import, routine or data, is in mingw-w64's x64 libntoskrnl.a
        # and none is a later version's.
        status, output = run_gate(PATHS.driver, *export_options())
        self.assertEqual(status, 0, output)

    def test_vekcrashdmp_component_name_is_read_only(self):
        # The kernel keeps a pointer to the bug check callback's name.
        status, output = run_gate(PATHS.driver, "--read-only", "ReportComponent")
        self.assertEqual(status, 0, output)


class RejectsFaults(unittest.TestCase):
    def test_faults(self):
        info = pefile.PE(PATHS.fixture)
        with open(PATHS.fixture, "rb") as image:
            original = image.read()
        for case, mutation, keep_checksum, options, expected, unexpected in FAULTS:
            with self.subTest(case), tempfile.TemporaryDirectory() as directory:
                data = bytearray(original)
                mutation(info, data)
                if not keep_checksum:
                    # Only the fault under test may be wrong with the copy.
                    fixed = pefile.PE(data=bytes(data), fast_load=True).generate_checksum()
                    put_dword(data, checksum_offset(info), fixed)
                copy = os.path.join(directory, os.path.basename(PATHS.fixture))
                with open(copy, "wb") as image:
                    image.write(data)
                shutil.copy(pdb_beside(PATHS.fixture), pdb_beside(copy))

                arguments = [option.replace("DRIVER_PDB", pdb_beside(PATHS.driver))
                             .replace("KERNEL_LIBRARY", PATHS.kernel_library)
                             .replace("LATER_EXPORTS", PATHS.later_exports)
                             for option in options]
                status, output = run_gate(copy, *arguments)
                self.assertEqual(status, 1, output)
                for text in expected:
                    self.assertIn(text, output)
                for text in unexpected:
                    self.assertNotIn(text, output)


def main():
    global PATHS
    parser = argparse.ArgumentParser()
    parser.add_argument("--gate", required=True)
    parser.add_argument("--fixture", required=True)
    parser.add_argument("--driver", required=True)
    parser.add_argument("--pdbutil", required=True)
    parser.add_argument("--objdump", required=True)
    parser.add_argument("--nm", required=True)
    parser.add_argument("--kernel-library", required=True)
    parser.add_argument("--later-exports", required=True)
    PATHS, rest = parser.parse_known_args()
    for image in (PATHS.fixture, PATHS.driver):
        if not os.path.isfile(image):
            sys.exit(f"{image} is missing: build the project before running the tests")
    unittest.main(argv=[sys.argv[0], *rest])


if __name__ == "__main__":
    main()
