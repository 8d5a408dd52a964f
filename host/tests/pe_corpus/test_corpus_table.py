#!/usr/bin/python3
"""The module table of a simulated machine holding the real PE images of the
corpus (scripts/fetch-pe-corpus.sh), on the host build and on the .sys: each
image's row must say what its headers and `llvm-readobj` say.

    test_corpus_table.py --vekcrash BIN --cache DIR [--sys IMAGE]

The images are listed beside the kernel's own, mapped as the loader maps
them, a few to a machine; the driver loads, fills its map by the module
query and prints the table at a bug check.
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import unittest

PATHS = None

# Where the first image of a machine lies, within the region the scenario's
# offsets count from; later ones follow at whole 64 KB slots.
FIRST_OFFSET = 0x1000000
SLOT = 0x10000
# Images per machine: enough to keep the runs few, few enough that one bad
# image names itself quickly.
IMAGES_PER_MACHINE = 8
TABLE_HEADER = "Module\tPdbName\tGuid\tPdbAge"


def round_up(value, unit):
    return (value + unit - 1) // unit * unit


def corpus():
    with open(os.path.join(PATHS.cache, "expectations.json"), encoding="utf-8") as file:
        return json.load(file)["images"]


def scenario_for(images):
    listed = []
    offset = FIRST_OFFSET
    for image in images:
        listed.append({
            "path": "\\SystemRoot\\System32\\drivers\\" + image["module_name"],
            "offset": hex(offset),
            "file": os.path.join(PATHS.cache, image["file"]),
        })
        offset = round_up(offset + image["size_of_image"], SLOT)
    return {
        "description": "Real PE images listed beside the kernel's own.",
        "machine": {"images": listed},
        "events": [{"event": "load"}, {"event": "bugcheck", "code": "0xD1"}],
    }


def table_rows(console):
    lines = console.splitlines()
    start = lines.index(TABLE_HEADER)
    rows = {}
    for line in lines[start + 1:]:
        fields = line.split("\t")
        if len(fields) != 4:
            break
        rows[fields[0]] = fields[1:]
    return rows


def simulate(scenario, sys_image):
    with tempfile.NamedTemporaryFile("w", suffix=".json", delete=False) as file:
        json.dump(scenario, file)
        path = file.name
    try:
        command = [PATHS.vekcrash, "simulate"]
        if sys_image:
            command += ["--sys", sys_image]
        command.append(path)
        result = subprocess.run(command, capture_output=True, text=True, check=False, timeout=600)
    finally:
        os.unlink(path)
    return result


class CorpusTable(unittest.TestCase):
    def check(self, sys_image):
        images = []
        for image in corpus():
            if image.get("sections_aligned", True):
                images.append(image)
                continue
            # An image the model cannot map as the loader would (unaligned
            # sections with relocations it cannot apply) is refused in one
            # line, never half listed; one it maps is checked like the rest.
            result = simulate(scenario_for([image]), sys_image)
            if result.returncode == 0:
                images.append(image)
                continue
            with self.subTest(image=image["file"], build="sys" if sys_image else "host"):
                self.assertEqual(result.returncode, 2, result.stderr)
                self.assertEqual(len(result.stderr.splitlines()), 1, result.stderr)
                self.assertTrue(result.stderr.startswith("vekcrash: "), result.stderr)
        self.assertTrue(images, "the corpus is empty")
        for start in range(0, len(images), IMAGES_PER_MACHINE):
            batch = images[start:start + IMAGES_PER_MACHINE]
            result = simulate(scenario_for(batch), sys_image)
            names = [image["file"] for image in batch]
            self.assertEqual(result.returncode, 0, f"{names}: {result.stderr}")
            rows = table_rows(result.stdout)
            for image in batch:
                with self.subTest(image=image["file"], build="sys" if sys_image else "host"):
                    row = rows.get(image["module_name"])
                    self.assertIsNotNone(row, f"no row for {image['module_name']}")
                    self.assertEqual(row, [image["pdb_column"], image["guid_report"],
                                           image["age_report"]])

    def test_host_build(self):
        self.check(None)

    def test_shipped_image(self):
        if not PATHS.sys:
            self.skipTest("no .sys")
        self.check(PATHS.sys)


def main():
    global PATHS
    parser = argparse.ArgumentParser()
    parser.add_argument("--vekcrash", required=True)
    parser.add_argument("--cache", required=True)
    parser.add_argument("--sys")
    PATHS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest)


if __name__ == "__main__":
    main()
