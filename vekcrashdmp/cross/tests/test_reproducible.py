#!/usr/bin/python3
"""The .sys and its PDB do not depend on the folders they were built in.

Copies the sources to two scratch folders of different depth, builds only
the cross part in each (VEK_CROSS_ONLY), and compares: the images byte for
byte (also with the image of the build tree running the test), the PDBs
byte for byte, the GUID and age the image names, and that the image names
its PDB by file name only. A user finds the PDB of a crashed build by that
GUID, so a build that moved must still find it.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

# Set by main() from the command line.
PATHS = None

IMAGE = "vekcrashdmp.sys"
PDB = "vekcrashdmp.pdb"
# What the scratch builds need: the top-level list file stops after the
# cross part when VEK_CROSS_ONLY is on.
SOURCE_ITEMS = ("CMakeLists.txt", "vekcrashdmp")
# The second copy sits deeper, so no path length lines up by chance.
SCRATCH_SOURCES = ("a/src", "b/second/much/longer/src")

GUID_LINE = re.compile(r"PDBGUID: \(([0-9A-F ]+)\)")
AGE_LINE = re.compile(r"PDBAge: (\d+)")
NAME_LINE = re.compile(r"PDBFileName: (.*)")


def debug_identity(image):
    """(GUID bytes, age, PDB path) of the image's CodeView record."""
    text = subprocess.run([PATHS.readobj, "--coff-debug-directory", image], check=True,
                          capture_output=True, text=True).stdout
    guid, age, name = GUID_LINE.search(text), AGE_LINE.search(text), NAME_LINE.search(text)
    if not (guid and age and name):
        raise AssertionError(f"{image} has no CodeView record:\n{text}")
    return guid.group(1), int(age.group(1)), name.group(1).strip()


def build_scratch(root, relative_source):
    source = os.path.join(root, relative_source)
    os.makedirs(source)
    for item in SOURCE_ITEMS:
        origin = os.path.join(PATHS.source, item)
        if os.path.isdir(origin):
            shutil.copytree(origin, os.path.join(source, item),
                            ignore=shutil.ignore_patterns("__pycache__"))
        else:
            shutil.copy(origin, source)
    build = os.path.join(os.path.dirname(source), "build")
    steps = ([PATHS.cmake, "-S", source, "-B", build, "-G", PATHS.generator, "-DVEK_CROSS_ONLY=ON",
              f"-DVEK_CROSS_PYTHON={PATHS.python}"],
             [PATHS.cmake, "--build", build, "--target", "vekcrashdmp_sys"])
    # Compiled afresh: an object from the compiler cache would hide a folder
    # that a compile put into the bytes.
    environment = dict(os.environ, CCACHE_DISABLE="1")
    for step in steps:
        result = subprocess.run(step, capture_output=True, text=True, check=False,
                                env=environment)
        if result.returncode != 0:
            raise AssertionError(f"{' '.join(step)} failed:\n{result.stdout}{result.stderr}")
    return os.path.join(build, "cross")


def read(path):
    with open(path, "rb") as file:
        return file.read()


def first_difference(left, right):
    """Offset of the first byte that differs, or None."""
    for offset, (a, b) in enumerate(zip(left, right)):
        if a != b:
            return offset
    return None if len(left) == len(right) else min(len(left), len(right))


class Reproducible(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.mkdtemp(prefix="vekcrash-repro-")
        cls.outputs = [build_scratch(cls.scratch, source) for source in SCRATCH_SOURCES]

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.scratch, ignore_errors=True)

    def test_images_and_pdbs_are_identical(self):
        first, second = self.outputs
        cases = (("image", os.path.join(first, IMAGE), os.path.join(second, IMAGE)),
                 ("pdb", os.path.join(first, PDB), os.path.join(second, PDB)),
                 ("image of this tree", os.path.join(first, IMAGE), PATHS.reference))
        for case, left, right in cases:
            with self.subTest(case):
                self.assertIsNone(first_difference(read(left), read(right)),
                                  f"{left} and {right} differ")

    def test_identity_names_the_pdb_by_file_name(self):
        identities = [debug_identity(os.path.join(output, IMAGE)) for output in self.outputs]
        self.assertEqual(identities[0], identities[1])
        _, age, name = identities[0]
        self.assertEqual(name, PDB)
        self.assertEqual(age, 1)

    def test_no_build_folder_in_the_bytes(self):
        for output in self.outputs:
            for file in (IMAGE, PDB):
                with self.subTest(os.path.join(output, file)):
                    self.assertFalse(self.scratch.encode() in read(os.path.join(output, file)),
                                     f"{file} holds the path {self.scratch}")


def main():
    global PATHS
    parser = argparse.ArgumentParser()
    parser.add_argument("--source", required=True, help="the repository")
    parser.add_argument("--reference", required=True, help="the .sys of this build tree")
    parser.add_argument("--cmake", required=True)
    parser.add_argument("--readobj", required=True)
    parser.add_argument("--generator", default="Ninja")
    parser.add_argument("--python", default=sys.executable)
    PATHS, rest = parser.parse_known_args()
    if not os.path.isfile(PATHS.reference):
        sys.exit(f"{PATHS.reference} is missing: build the project before running the tests")
    unittest.main(argv=[sys.argv[0], *rest])


if __name__ == "__main__":
    main()
