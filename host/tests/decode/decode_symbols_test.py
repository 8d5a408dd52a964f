#!/usr/bin/env python3
"""Symbolization: a report of the shipped image decodes, with --symbols, to
the driver's function names; the same from a symbol-store layout; and with
a GUID or age that does not match, the frames stay module + offset and the
module is named as having no matching symbols.

    decode_symbols_test.py VEKCRASH SYS SCENARIO.json
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile


def decode(vekcrash, console, *symbol_folders):
    command = [vekcrash, "decode", "--json"]
    for folder in symbol_folders:
        command += ["--symbols", folder]
    result = subprocess.run(command, input=console, capture_output=True)
    lines = [json.loads(line) for line in result.stdout.splitlines()]
    return result.returncode, [line for line in lines if line["kind"] == "report"]


def other_guid(guid):
    """The same GUID with its first digit changed: it differs whatever the
    build's GUID is."""
    return "%X" % ((int(guid[0], 16) + 1) % 16) + guid[1:]


def main():
    vekcrash, sys_image, scenario = sys.argv[1:4]
    pdb = os.path.splitext(sys_image)[0] + ".pdb"
    console = subprocess.run([vekcrash, "simulate", "--sys", sys_image, scenario],
                             capture_output=True, check=True).stdout
    failures = []
    scratch = tempfile.mkdtemp()
    try:
        pair = os.path.join(scratch, "pair")
        os.mkdir(pair)
        shutil.copy(sys_image, pair)
        shutil.copy(pdb, pair)
        # The store keeps name.pdb/<GUID><age>/name.pdb and the image under its own name.
        status, reports = decode(vekcrash, console)
        row = [m for m in reports[0]["modules"] if m["name"] == "vekcrashdmp.sys"][0]
        store = os.path.join(scratch, "store")
        os.makedirs(os.path.join(store, os.path.dirname(row["symbol_key"])))
        shutil.copy(pdb, os.path.join(store, row["symbol_key"]))
        os.makedirs(os.path.join(store, "vekcrashdmp.sys", "0000000012000"))
        shutil.copy(sys_image, os.path.join(store, "vekcrashdmp.sys", "0000000012000"))

        cases = [
            ("side by side", console, [pair], True),
            ("symbol store", console, [store], True),
            ("GUID differs", console.replace(row["guid_store"].encode(),
                                             other_guid(row["guid_store"]).encode()), [pair], False),
            ("age differs", console.replace(
                ("%s\t%X\n" % (row["guid_store"], row["age"])).encode(),
                ("%s\t%X\n" % (row["guid_store"], row["age"] + 1)).encode()), [pair], False),
        ]
        for name, log, folders, resolves in cases:
            status, reports = decode(vekcrash, log, *folders)
            if status != 0 or len(reports) != 1:
                failures.append("%s: exit %d, %d reports" % (name, status, len(reports)))
                continue
            frames = [f for f in reports[0]["stack"] if f.get("module") == "vekcrashdmp.sys"]
            if not frames:
                failures.append("%s: no frame in vekcrashdmp.sys" % name)
                continue
            functions = [s["function"] for s in frames[0].get("symbols", [])]
            named = any("BugCheckReportCallback" in f for f in functions)
            unsymbolized = " ".join(reports[0].get("unsymbolized", []))
            if resolves and not named:
                failures.append("%s: frame not resolved: %r %r" % (name, functions, unsymbolized))
            if not resolves and (functions or "vekcrashdmp.sys" not in unsymbolized):
                failures.append("%s: resolved against symbols that do not match: %r, %r" %
                                (name, functions, unsymbolized))
            if "hal.dll" in [f.get("module") for f in reports[0]["stack"]] and \
                    "hal.dll" not in unsymbolized:
                failures.append("%s: hal.dll frames not named as unsymbolized" % name)
        # Reports that take over the stack and table of the one before (a
        # fleet's, a thousand years apart): each is resolved alike, and
        # symbols given to one report never show in another's frames.
        fleet = b"".join(console.replace(b"CRASHED ON: 2", b"CRASHED ON: %d" % (2 + n)) for n in range(3))
        status, reports = decode(vekcrash, fleet, pair)
        stacks = [json.dumps(r["stack"], sort_keys=True) for r in reports]
        if status != 0 or len(reports) != 3 or len(set(stacks)) != 1 or \
                "BugCheckReportCallback" not in stacks[0]:
            failures.append("fleet: exit %d, %d reports, %d different stacks" %
                            (status, len(reports), len(set(stacks))))
        # The text form names the function too.
        text = subprocess.run([vekcrash, "decode", "--symbols", pair], input=console,
                              capture_output=True).stdout.decode()
        if "BugCheckReportCallback" not in text:
            failures.append("text output: no function name:\n" + text)
    finally:
        shutil.rmtree(scratch)
    for failure in failures:
        print(failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
