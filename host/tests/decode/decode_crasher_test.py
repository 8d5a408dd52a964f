#!/usr/bin/env python3
"""The crasher's bug check, decoded with nothing but its console and a
folder holding crasher.sys and crasher.pdb: the frames in the crasher name
its functions in call order, innermost (the faulting one) first, the
code is named, and the report opens with the culprit: CrasherTouch.

    decode_crasher_test.py VEKCRASH SYS CRASHER_SYS SCENARIO.json
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile

CHAIN = ["CrasherTouch", "CrasherMiddle", "CrasherOuter", "CrasherFault"]


def main():
    vekcrash, sys_image, crasher, scenario = sys.argv[1:5]
    console = subprocess.run([vekcrash, "simulate", "--sys", sys_image, scenario],
                             capture_output=True, check=True).stdout
    scratch = tempfile.mkdtemp()
    failures = []
    try:
        shutil.copy(crasher, scratch)
        shutil.copy(os.path.splitext(crasher)[0] + ".pdb", scratch)
        result = subprocess.run([vekcrash, "decode", "--json", "--symbols", scratch],
                                input=console, capture_output=True)
        reports = [r for r in map(json.loads, result.stdout.splitlines())
                   if r["kind"] == "report"]
        if result.returncode != 0 or len(reports) != 1:
            print("exit %d, %d reports: %s" % (result.returncode, len(reports), result.stderr))
            return 1
        report = reports[0]
        if report["bugcheck"]["code"] != "0x000000D1" or \
                report["bugcheck"].get("name") != "DRIVER_IRQL_NOT_LESS_OR_EQUAL":
            failures.append("bug check %r" % report["bugcheck"])
        named = []
        for frame in report["stack"]:
            if frame.get("module") != "crasher.sys":
                continue
            functions = [s["function"] for s in frame.get("symbols", [])]
            named.append(next((c for c in CHAIN if any(c in f for f in functions)), None))
        if named != CHAIN:
            failures.append("crasher frames name %r, expected %r" % (named, CHAIN))
        if "crasher.sys" in " ".join(report.get("unsymbolized", [])):
            failures.append("crasher.sys named as unsymbolized")
        text = subprocess.run([vekcrash, "decode", "--symbols", scratch], input=console,
                              capture_output=True).stdout.decode()
        if not text.startswith("0xD1 DRIVER_IRQL_NOT_LESS_OR_EQUAL in crasher.sys!CrasherTouch"):
            failures.append("the report opens with %r" % text.splitlines()[0])
        if (report.get("culprit") or {}).get("function") != "CrasherTouch":
            failures.append("culprit %r" % report.get("culprit"))
        for function in CHAIN:
            if function not in text:
                failures.append("text output lacks %s" % function)
    finally:
        shutil.rmtree(scratch)
    for failure in failures:
        print(failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
