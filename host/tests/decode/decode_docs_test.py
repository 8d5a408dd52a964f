#!/usr/bin/env python3
"""The examples of docs/decode.md are what the tool prints: the crasher's
report (its lines in order, "..." standing for lines left out), the
--modules rows, the fleet summary, and every crasher frame quoted in the
prose, each made again here from the shipped image's consoles.

Two things move with every build of the driver and are compared by shape
only: the reporting driver's own frame (its offset, function offset, line)
and the modules' GUIDs.

    decode_docs_test.py VEKCRASH SYS CRASHER_SYS KERNEL_EXE DOCS.md SCENARIO_DIR
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile

SHAPES = [
    (re.compile(r"#0  sp [0-9A-F]{16}  vekcrashdmp\.sys \+ 0x[0-9A-F]+  "
                r"vekcrashdmp\.sys!(\w+)\+0x[0-9A-F]+ \(([\w.]+):\d+\)"),
     r"#0  sp *  vekcrashdmp.sys + *  vekcrashdmp.sys!\1+* (\2:*)"),
    (re.compile(r"\{[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}\}"), "{GUID}"),
    (re.compile(r"/[0-9A-F]{32}[0-9A-F]+/"), "/KEY/"),
]

# The fleet of the summary's example: log name, scenario (a file of the
# scenario folder, or a crasher action).
FLEET = [("vm%d.log" % i, "crasher.json") for i in range(1, 7)] + [
    ("vm7.log", {"access": "execute", "address": "0x0"}),
    ("vm8.log", "default.json"),
]


def shape(line):
    for pattern, replacement in SHAPES:
        line = pattern.sub(replacement, line)
    return line


def text_blocks(docs):
    return re.findall(r"```text\n(.*?)```", open(docs).read(), re.S)


def quoted_frames(docs):
    """The crasher's symbolized frames quoted inline in the prose, each on
    one line as the tool prints it."""
    spans = re.findall(r"`(crasher\.sys \+ 0x[^`]*)`", open(docs).read())
    return [" ".join(span.split("\n")) for span in spans]


def in_order(expected, printed):
    """The example's lines among the printed ones, in order; "..." skips."""
    at = 0
    printed = [shape(line) for line in printed]
    for line in expected:
        if line.strip() == "...":
            continue
        try:
            at = printed.index(shape(line), at) + 1
        except ValueError:
            return line
    return None


def main():
    vekcrash, sys_image, crasher, kernel, docs, scenarios = sys.argv[1:7]
    scratch = tempfile.mkdtemp()
    failures = []
    try:
        symbols = os.path.join(scratch, "symbols")
        os.makedirs(os.path.join(scratch, "fleet"))
        os.mkdir(symbols)
        for image in (sys_image, crasher, kernel):
            shutil.copy(image, symbols)
            shutil.copy(os.path.splitext(image)[0] + ".pdb", symbols)
        consoles = {}
        for name, scenario in FLEET:
            if isinstance(scenario, dict):
                path = os.path.join(scratch, "action.json")
                open(path, "w").write(
                    '{"machine": {"processors": 2, "time": "2026-12-07T04:36:42.123Z", '
                    '"test_drivers": ["crasher"]}, "events": [{"event": "load"}, '
                    '{"event": "crasher", "access": "%s", "address": "%s"}]}'
                    % (scenario["access"], scenario["address"]))
            else:
                path = os.path.join(scenarios, scenario)
            if path not in consoles:
                consoles[path] = subprocess.run([vekcrash, "simulate", "--sys", sys_image, path],
                                                capture_output=True, check=True).stdout
            open(os.path.join(scratch, "fleet", name), "wb").write(consoles[path])
        shutil.copy(os.path.join(scratch, "fleet", "vm1.log"), os.path.join(scratch, "crasher.log"))

        def run(*args):
            env = dict(os.environ)
            env.pop("_NT_SYMBOL_PATH", None)
            return subprocess.run([vekcrash, "decode", "--symbols", "symbols"] + list(args), cwd=scratch,
                                  capture_output=True, env=env, timeout=60).stdout.decode().splitlines()

        report = run("--modules", "crasher.log")
        summary = run("--summary", *["fleet/" + name for name, _ in FLEET])
        blocks = text_blocks(docs)
        checked = 0
        for block in blocks:
            lines = block.rstrip("\n").split("\n")
            if lines[0].startswith("0x"):
                target = report
            elif lines[0].startswith(" COUNT"):
                target = summary
            elif "no identity" in block:
                target = report
            else:
                continue
            checked += 1
            missing = in_order(lines, target)
            if missing is not None:
                failures.append("docs line not printed: %r\nprinted:\n%s" % (missing, "\n".join(target)))
        if checked != 3:
            failures.append("%d of the 3 examples found in %s" % (checked, docs))
        quoted = quoted_frames(docs)
        if not quoted:
            failures.append("no crasher frame quoted in the prose of %s" % docs)
        for frame in quoted:
            if not any(frame in line for line in report):
                failures.append("frame quoted in the prose not printed: %r" % frame)
    finally:
        shutil.rmtree(scratch)
    for failure in failures:
        print(failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
