#!/usr/bin/env python3
"""Damaged copies of the shipped image, run with `vekcrash simulate --sys`.

Seeded damage (byte flips, truncations, PE header and section table fields
set to edge values) must end in exit status 0, 1 or 2: never a signal,
never a hang. Usage: damaged_images_test.py VEKCRASH IMAGE [COUNT [SEED [KINDS]]].

KINDS "loader" (the default) damages what the loader reads: the headers,
the section table, the data directories, the file's length. KINDS "all" adds
byte flips anywhere, code included: damaged code hands wild pointers to
kernel routines, which only the model's checked routines turn into bug
checks.
"""
import concurrent.futures
import os
import platform
import random
import shutil
import struct
import subprocess
import sys
import tempfile

# Runaway damaged code stops early; a run past the timeout is a hang.
INSTRUCTION_LIMIT = "2000000"
TIMEOUT_SECONDS = 20
EDGE_VALUES = [0, 1, 0x7FFF, 0xFFFF, 0x1000, 0xFFF, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF,
               0xFFFFF000, 0x10000000]


def header_fields(image):
    """Offsets and sizes of the PE fields worth damaging."""
    fields = []
    if len(image) < 0x40:
        return fields
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    fields.append((0x3C, 4))
    if pe + 24 + 240 > len(image):
        return fields
    file_header = pe + 4
    optional = file_header + 20
    sections = struct.unpack_from("<H", image, file_header + 2)[0]
    optional_size = struct.unpack_from("<H", image, file_header + 16)[0]
    fields += [(file_header, 2), (file_header + 2, 2), (file_header + 16, 2)]
    # Entry, image base, alignments, SizeOfImage, SizeOfHeaders, number of
    # directories.
    fields += [(optional + 16, 4), (optional + 24, 8), (optional + 32, 4), (optional + 36, 4),
               (optional + 56, 4), (optional + 60, 4), (optional + 108, 4)]
    # The data directories: export, import, resource, exception, security,
    # base relocation, debug, ..., IAT.
    for index in range(16):
        entry = optional + 112 + 8 * index
        fields += [(entry, 4), (entry + 4, 4)]
    table = optional + optional_size
    for index in range(min(sections, 32)):
        header = table + 40 * index
        if header + 40 > len(image):
            break
        # VirtualSize, VirtualAddress, SizeOfRawData, PointerToRawData,
        # Characteristics.
        fields += [(header + 8, 4), (header + 12, 4), (header + 16, 4), (header + 20, 4),
                   (header + 36, 4)]
    return [(offset, size) for offset, size in fields if offset + size <= len(image)]


KINDS = {
    "loader": ["flip_header", "truncate", "field", "field", "field"],
    "all": ["flip", "flip_header", "truncate", "field", "field", "field"],
}


def damage(image, rng, kinds):
    data = bytearray(image)
    kind = rng.choice(KINDS[kinds])
    if kind == "truncate":
        return kind, bytes(data[: rng.randrange(0, len(data))])
    if kind in ("flip", "flip_header"):
        end = min(len(data), 0x400) if kind == "flip_header" else len(data)
        for _ in range(rng.randint(1, 8)):
            data[rng.randrange(end)] ^= 1 << rng.randrange(8)
        return kind, bytes(data)
    fields = header_fields(image)
    for _ in range(rng.randint(1, 3)):
        offset, size = rng.choice(fields)
        value = rng.choice(EDGE_VALUES + [rng.getrandbits(32)]) & ((1 << (8 * size)) - 1)
        data[offset:offset + size] = value.to_bytes(size, "little")
    return kind, bytes(data)


# Without address randomization a seed gives the same runs every time: a
# damaged pointer that lands on mapped memory in one run does in all.
FIXED_ADDRESSES = (["setarch", platform.machine(), "-R"] if shutil.which("setarch") else [])


def run(vekcrash, path):
    try:
        result = subprocess.run(FIXED_ADDRESSES + [vekcrash, "simulate", "--sys", path,
                                                   "--instruction-limit", INSTRUCTION_LIMIT],
                                stdout=subprocess.DEVNULL,
                                stderr=subprocess.PIPE, timeout=TIMEOUT_SECONDS)
    except subprocess.TimeoutExpired:
        return "hang", b""
    return result.returncode, result.stderr


def main():
    vekcrash, image_path = sys.argv[1], sys.argv[2]
    count = int(sys.argv[3]) if len(sys.argv) > 3 else 300
    seed = int(sys.argv[4]) if len(sys.argv) > 4 else 1
    kinds = sys.argv[5] if len(sys.argv) > 5 else "loader"
    with open(image_path, "rb") as file:
        image = file.read()
    rng = random.Random(seed)
    failures = []
    statuses = {}
    with tempfile.TemporaryDirectory() as directory:
        jobs = []
        for index in range(count):
            kind, damaged = damage(image, rng, kinds)
            path = os.path.join(directory, f"damaged_{index}.sys")
            with open(path, "wb") as file:
                file.write(damaged)
            jobs.append((index, kind, path))
        with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
            results = pool.map(lambda job: (job, run(vekcrash, job[2])), jobs)
            for (index, kind, path), (status, stderr) in results:
                statuses[status] = statuses.get(status, 0) + 1
                if status not in (0, 1, 2):
                    kept = os.path.join(tempfile.gettempdir(), f"vekcrash_damaged_{seed}_{index}.sys")
                    with open(path, "rb") as source, open(kept, "wb") as target:
                        target.write(source.read())
                    failures.append(f"copy {index} ({kind}): status {status}, kept as {kept}: "
                                    + stderr.decode(errors="replace").strip()[-300:])
    print(f"{count} damaged copies (seed {seed}, {kinds}): exit statuses {statuses}")
    for failure in failures:
        print(failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
