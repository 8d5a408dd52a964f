#!/usr/bin/python3
"""The expectations of the PE corpus against a second reader (pefile).

scripts/fetch-pe-corpus.sh fetches Debian packages that ship PE images and
writes, from llvm-readobj, what the module table must show for each image.
Those expectations are what the simulated module table is held to, so they
are checked here against pefile's reading of the same files; and the rules
that turn a PDB path into the PdbName column are checked against their
documented examples.
"""

import argparse
import json
import os
import struct
import subprocess
import sys
import unittest
import uuid

import pefile

# Set by main() from the command line.
PATHS = None

IMAGE_DEBUG_TYPE_CODEVIEW = 2
IMAGE_DIRECTORY_ENTRY_DEBUG = 6
DEBUG_ENTRY_SIZE = 28
# Type, SizeOfData, AddressOfRawData, PointerToRawData.
DEBUG_ENTRY_TYPE = 12
MACHINE_AMD64 = 0x8664
MAGIC_PE32_PLUS = 0x20B
RSDS_HEADER = 24


def load_identity_module():
    sys.path.insert(0, os.path.join(PATHS.repository, "scripts"))
    import pe_identity  # pylint: disable=import-outside-toplevel
    return pe_identity


def file_offset(info, rva):
    """File offset of an RVA, by the section table alone: pefile refuses
    images whose sections are not aligned, which the corpus has."""
    for section in info.sections:
        # The section's own size: the Xen image's .buildid sits inside the
        # file alignment padding of the section before it.
        size = section.Misc_VirtualSize or section.SizeOfRawData
        if section.VirtualAddress <= rva < section.VirtualAddress + size:
            return section.PointerToRawData + rva - section.VirtualAddress
    return None


def codeview_of(info):
    """(GUID bytes, age, path) of the first CodeView record, or None."""
    if len(info.OPTIONAL_HEADER.DATA_DIRECTORY) <= IMAGE_DIRECTORY_ENTRY_DEBUG:
        return None
    directory = info.OPTIONAL_HEADER.DATA_DIRECTORY[IMAGE_DIRECTORY_ENTRY_DEBUG]
    start = file_offset(info, directory.VirtualAddress) if directory.Size else None
    if start is None:
        return None
    data = info.__data__
    for entry in range(start, start + directory.Size - DEBUG_ENTRY_SIZE + 1, DEBUG_ENTRY_SIZE):
        kind, size, _, pointer = struct.unpack_from("<IIII", data, entry + DEBUG_ENTRY_TYPE)
        if kind != IMAGE_DEBUG_TYPE_CODEVIEW:
            continue
        record = bytes(data[pointer:pointer + size])
        guid, age = record[4:20], struct.unpack_from("<I", record, 20)[0]
        path = record[RSDS_HEADER:].split(b"\0", 1)[0].decode("latin-1")
        return guid, age, path
    return None


class PdbNameRules(unittest.TestCase):
    def test_pdb_name_is_the_last_component_within_255_bytes(self):
        identity = load_identity_module()
        cases = (
            ("d:\\build\\out\\tcpip.pdb", "tcpip.pdb"),
            ("tcpip.pdb", "tcpip.pdb"),
            ("/build/out/tcpip.pdb", "/build/out/tcpip.pdb"),
            ("", ""),
            # The last '\' at byte 240 of a 300-byte path: bytes 241 to 254.
            ("x" * 240 + "\\" + "y" * 59, "y" * 14),
            ("x" * 254 + "\\" + "y" * 10, ""),
            ("y" * 300, "y" * 255),
        )
        for path, expected in cases:
            with self.subTest(path=path[:40]):
                self.assertEqual(identity.pdb_name(path), expected)

    def test_pdb_column_is_empty_only_for_the_module_stem(self):
        identity = load_identity_module()
        cases = (
            ("tcpip.sys", "tcpip.pdb", True),
            ("ntoskrnl.exe", "ntkrnlmp.pdb", False),
            ("foo.sys", "Foo.pdb", False),
            ("foo.sys", "foo.PDB", False),
            ("a.b.sys", "a.b.pdb", True),
            ("foo", "foo.pdb", False),
            ("foo.sys", "", False),
            ("ipxe.efi", "ipxe.efi", False),
        )
        for module, name, matches in cases:
            with self.subTest(module=module, name=name):
                self.assertEqual(identity.pdb_name_matches_module(module, name), matches)


class Corpus(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # The corpus is fetched once, by the test named pe_corpus_fetch.
        with open(os.path.join(PATHS.cache, "expectations.json"), encoding="utf-8") as file:
            cls.corpus = json.load(file)

    def test_images_with_and_without_codeview(self):
        images = self.corpus["images"]
        self.assertTrue(any(image["has_codeview"] for image in images))
        self.assertTrue(any(not image["has_codeview"] for image in images))

    def test_expectations_agree_with_pefile(self):
        for image in self.corpus["images"]:
            with self.subTest(image["file"]):
                info = pefile.PE(os.path.join(PATHS.cache, image["file"]), fast_load=True)
                self.assertEqual((info.FILE_HEADER.Machine, info.OPTIONAL_HEADER.Magic),
                                 (MACHINE_AMD64, MAGIC_PE32_PLUS))
                self.assertEqual(image["time_date_stamp"], info.FILE_HEADER.TimeDateStamp)
                self.assertEqual(image["check_sum"], info.OPTIONAL_HEADER.CheckSum)
                self.assertEqual(image["size_of_image"], info.OPTIONAL_HEADER.SizeOfImage)
                self.assertEqual(image["data_directory_count"],
                                 info.OPTIONAL_HEADER.NumberOfRvaAndSizes)
                alignment = info.OPTIONAL_HEADER.SectionAlignment
                self.assertEqual(image["sections_aligned"],
                                 all(section.VirtualAddress % alignment == 0
                                     for section in info.sections))
                record = codeview_of(info)
                self.assertEqual(image["has_codeview"], record is not None)
                guid, age, path = record or (bytes(16), 0, "")
                self.assertEqual(image["guid_report"],
                                 "%08X%04X%04X%s" % (*struct.unpack_from("<IHH", guid),
                                                     guid[8:].hex().upper()))
                if record:
                    self.assertEqual(image["guid"], str(uuid.UUID(bytes_le=guid)).upper())
                self.assertEqual((image["age"], image["age_report"]), (age, "%X" % age))
                self.assertEqual(image["pdb_path"], path)

    def test_others_are_not_x64_images(self):
        self.assertTrue(self.corpus["others"])
        for other in self.corpus["others"]:
            with self.subTest(other["file"]):
                info = pefile.PE(os.path.join(PATHS.cache, other["file"]), fast_load=True)
                self.assertNotEqual((info.FILE_HEADER.Machine, info.OPTIONAL_HEADER.Magic),
                                    (MACHINE_AMD64, MAGIC_PE32_PLUS))


class OwnImage(unittest.TestCase):
    def test_driver_row_has_an_empty_pdb_column(self):
        result = subprocess.run([sys.executable, os.path.join(PATHS.repository, "scripts",
                                                              "pe_identity.py"), PATHS.driver],
                                capture_output=True, text=True, check=True)
        (image,) = json.loads(result.stdout)["images"]
        self.assertEqual(image["pdb_path"], "vekcrashdmp.pdb")
        self.assertEqual(image["pdb_column"], "")
        self.assertEqual(image["age"], 1)


def main():
    global PATHS
    parser = argparse.ArgumentParser()
    parser.add_argument("--repository", required=True)
    parser.add_argument("--cache", required=True, help="the corpus cache folder")
    parser.add_argument("--driver", required=True, help="the built vekcrashdmp.sys")
    PATHS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0], *rest])


if __name__ == "__main__":
    main()
