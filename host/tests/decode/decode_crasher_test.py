#!/usr/bin/env python3
"""The crasher's bug check, decoded with nothing but its console and the
crasher's PDB (beside its image, alone, in a store): the frames in the
crasher name its functions in call order, innermost (the faulting one)
first, each at the line llvm-symbolizer gives for the call (the return
address - 1; the faulting frame at its own address), with the function's
offset; the report opens with the culprit, CrasherTouch. A damaged PDB whose identity still matches costs a bounded time and
a note; an interrupted decoder leaves no child and no scratch folder.

Each crasher action blames the crasher, never the reporting driver or the
kernel's bug check path; an execute blames the code that made the call.
With the kernel's public-only PDB (the same image linked from objects
without debug information), every kernel frame is named as
llvm-symbolizer names it, and marked as a public symbol.

    decode_crasher_test.py VEKCRASH SYS CRASHER_SYS SCENARIO.json LLVM_SYMBOLIZER KERNEL_EXE PUBLIC_KERNEL_DIR
"""
import json
import os
import random
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time

# Far above the decoder's own limits; a hang fails here instead.
DECODE_TIMEOUT_SECONDS = 60

CHAIN = ["CrasherTouch", "CrasherMiddle", "CrasherOuter", "CrasherFault"]

# The crasher's actions: access, address, wild frame pointer, and the
# culprit's function and rule. A jump to 0 ends the driver's trace at the
# zero address, so the caller is named by its bare return address.
ACTIONS = [
    ("read", 0x10, False, "CrasherTouch", "faulting_ip"),
    ("write", 0x7FF0, False, "CrasherTouch", "faulting_ip"),
    ("execute", 0xDEAD0000, False, "CrasherTouch", "caller_of_target"),
    ("execute", 0x0, False, None, "caller_of_target"),
    ("read", 0x18, True, "CrasherTouch", "faulting_ip"),
]




def damage(pdb, to):
    """Flips bytes in every block but the MSF header, the stream directory,
    the info stream and the DBI header: the GUID and age still match. This
    seed made llvm-symbolizer spin."""
    data = bytearray(open(pdb, "rb").read())
    size, _, blocks, directory_bytes, _, map_block = struct.unpack_from("<6I", data, 32)
    directory_blocks = struct.unpack_from("<%dI" % -(-directory_bytes // size), data,
                                          map_block * size)
    directory = b"".join(data[b * size:(b + 1) * size] for b in directory_blocks)
    count = struct.unpack_from("<I", directory, 0)[0]
    sizes = struct.unpack_from("<%dI" % count, directory, 4)
    at, streams = 4 + 4 * count, []
    for stream_size in sizes:
        n = 0 if stream_size == 0xFFFFFFFF else -(-stream_size // size)
        streams.append(struct.unpack_from("<%dI" % n, directory, at))
        at += 4 * n
    keep = {0, 1, 2, map_block} | set(directory_blocks) | set(streams[1]) | {streams[3][0]}
    rnd = random.Random(3)
    for block in range(blocks):
        if block not in keep:
            for i in range(block * size, (block + 1) * size):
                if rnd.random() < 0.05:
                    data[i] ^= 0xFF
    open(to, "wb").write(data)


def decode(vekcrash, console, folder, json_output=True):
    command = [vekcrash, "decode"] + (["--json"] if json_output else []) + ["--symbols", folder]
    env = dict(os.environ)
    env.pop("_NT_SYMBOL_PATH", None)
    return subprocess.run(command, input=console, capture_output=True, env=env,
                          timeout=DECODE_TIMEOUT_SECONDS)


def llvm_line(symbolizer, crasher, rva):
    """The containing function and line llvm-symbolizer gives (no inlines)."""
    out = subprocess.run([symbolizer, "--obj=" + crasher, "--relative-address", "--no-inlines",
                          hex(rva)], capture_output=True, check=True).stdout.decode().split("\n")
    return out[0], int(out[1].rsplit(":", 2)[1]) if ":" in out[1] else 0


def llvm_chain(symbolizer, crasher, rva):
    """Every function llvm-symbolizer names there, innermost inlined first."""
    out = subprocess.run([symbolizer, "--obj=" + crasher, "--relative-address", "--inlines",
                          hex(rva)], capture_output=True, check=True).stdout.decode()
    return out.strip().split("\n")[0::2]


def check_frames(report, crasher, symbolizer, failures, name):
    ip = int(report["bugcheck"]["parameters"][3], 16)
    frames = [f for f in report["stack"] if f.get("module") == "crasher.sys"]
    named = [next((c for c in CHAIN if c == f.get("function")), None) for f in frames]
    if named != CHAIN:
        failures.append("%s: crasher frames name %r, expected %r" % (name, named, CHAIN))
        return
    for frame in frames:
        offset = int(frame["offset"], 16)
        at_fault = (offset & 0xFFF) == (ip & 0xFFF)
        expected = llvm_line(symbolizer, crasher, offset if at_fault else offset - 1)
        start = offset - int(frame["function_offset"], 16)
        chain = [s["function"] for s in frame["symbols"]]
        if chain != llvm_chain(symbolizer, crasher, offset if at_fault else offset - 1):
            failures.append("%s: +%X names %r" % (name, offset, chain))
        if (frame["function"], frame["line"]) != expected or \
                llvm_line(symbolizer, crasher, start)[0] != frame["function"] or \
                llvm_line(symbolizer, crasher, start - 1)[0] == frame["function"]:
            failures.append("%s: +%X gives %s+%s line %d; llvm-symbolizer %r, start 0x%X" %
                            (name, offset, frame["function"], frame["function_offset"],
                             frame["line"], expected, start))


def codeview_guid(image):
    """The CodeView record's GUID as a module row spells it, and where it
    lies in the image."""
    data = open(image, "rb").read()
    at = data.index(b"RSDS") + 4
    d1, d2, d3 = struct.unpack_from("<IHH", data, at)
    return "%08X%04X%04X%s" % (d1, d2, d3, data[at + 8:at + 16].hex().upper()), at


def check_actions(vekcrash, sys_image, crasher, symbolizer, kernel, public, failures):
    """Every action's culprit, and every kernel frame named from public symbols."""
    exe = os.path.join(public, "ntoskrnl.exe")
    guid, at = codeview_guid(kernel)
    public_guid, public_at = codeview_guid(exe)
    a, b = open(kernel, "rb").read(), open(exe, "rb").read()
    differ = [i for i in range(min(len(a), len(b))) if a[i] != b[i]]
    if len(a) != len(b) or at != public_at or any(not at <= i < at + 16 for i in differ):
        failures.append("the public-only kernel differs beyond its GUID: %d bytes" % len(differ))
        return
    folder = tempfile.mkdtemp()
    try:
        shutil.copy(crasher, folder)
        shutil.copy(os.path.splitext(crasher)[0] + ".pdb", folder)
        shutil.copy(os.path.join(public, "ntoskrnl.pdb"), folder)
        for access, address, wild, function, rule in ACTIONS:
            name = "%s 0x%X%s" % (access, address, " wild" if wild else "")
            scenario = os.path.join(folder, "action.json")
            json.dump({"machine": {"processors": 2, "time": "2026-12-07T04:36:42.123Z",
                                   "test_drivers": ["crasher"]},
                       "events": [{"event": "load"},
                                  {"event": "crasher", "access": access, "address": hex(address),
                                   "wild_frame": wild}]}, open(scenario, "w"))
            console = subprocess.run([vekcrash, "simulate", "--sys", sys_image, scenario],
                                     capture_output=True, check=True).stdout
            # The report as the public-only link's kernel writes it.
            console = console.replace(guid.encode(), public_guid.encode())
            report = json.loads(decode(vekcrash, console, folder).stdout.splitlines()[0])
            culprit = report["culprit"] or {}
            if (culprit.get("module") if function else "address" in culprit) != \
                    ("crasher.sys" if function else True) or culprit.get("function") != function or \
                    culprit.get("rule") != rule:
                failures.append("%s: culprit %r, not %s (%s)" % (name, culprit, function, rule))
            for frame in report["stack"]:
                if frame.get("module") != "ntoskrnl.exe":
                    continue
                offset = int(frame["offset"], 16)
                expected = llvm_line(symbolizer, exe, offset - 1)[0]
                start = offset - int(frame.get("function_offset") or "0", 16)
                if frame.get("function") != expected or not frame.get("public_symbol") or \
                        llvm_line(symbolizer, exe, start)[0] != expected:
                    failures.append("%s: ntoskrnl.exe+%X names %r+%s, llvm-symbolizer %r" %
                                    (name, offset, frame.get("function"), frame.get("function_offset"),
                                     expected))
    finally:
        shutil.rmtree(folder)


def check_interrupt(vekcrash, console, folder, failures):
    """SIGTERM while the PDB reader runs: the reader goes, no scratch is left."""
    scratch = tempfile.mkdtemp()
    env = dict(os.environ, TMPDIR=scratch)
    env.pop("_NT_SYMBOL_PATH", None)
    other = console.replace(b"BUGCHECK CODE 000000D1", b"BUGCHECK CODE 000000D2")
    decoder = subprocess.Popen([vekcrash, "decode", "--symbols", folder], stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, env=env)
    # The second report sends the first one out, symbolized; stdin stays open.
    decoder.stdin.write(console + other)
    decoder.stdin.flush()
    children = []
    for _ in range(100):
        try:
            children = open("/proc/%d/task/%d/children" % (decoder.pid, decoder.pid)).read().split()
        except OSError:
            break
        if children:
            break
        time.sleep(0.1)
    decoder.send_signal(signal.SIGTERM)
    decoder.wait(timeout=DECODE_TIMEOUT_SECONDS)
    decoder.stdin.close()
    decoder.stdout.close()
    time.sleep(0.2)
    alive = [c for c in children if os.path.exists("/proc/%s" % c) and
             "Z" not in open("/proc/%s/stat" % c).read().split()[2]]
    if not children or alive or os.listdir(scratch):
        failures.append("SIGTERM: children %r, alive %r, left %r" %
                        (children, alive, os.listdir(scratch)))
    shutil.rmtree(scratch)


def main():
    vekcrash, sys_image, crasher, scenario, symbolizer, kernel, public = sys.argv[1:8]
    pdb = os.path.splitext(crasher)[0] + ".pdb"
    console = subprocess.run([vekcrash, "simulate", "--sys", sys_image, scenario],
                             capture_output=True, check=True).stdout
    scratch = tempfile.mkdtemp()
    failures = []
    try:
        folders = {name: os.path.join(scratch, name) for name in ["pair", "alone", "store", "damaged"]}
        for folder in folders.values():
            os.mkdir(folder)
        shutil.copy(crasher, folders["pair"])
        shutil.copy(pdb, folders["pair"])
        shutil.copy(pdb, folders["alone"])
        shutil.copy(crasher, folders["damaged"])
        damage(pdb, os.path.join(folders["damaged"], "crasher.pdb"))
        key = [m for m in map(json.loads, decode(vekcrash, console, scratch).stdout.splitlines())
               if m["kind"] == "report"][0]["modules"]
        key = [m["symbol_key"] for m in key if m["name"] == "crasher.sys"][0]
        os.makedirs(os.path.join(folders["store"], os.path.dirname(key)))
        shutil.copy(pdb, os.path.join(folders["store"], key))

        # The damaged PDB may give garbage or nothing; the report must print.
        for name, resolves in [("pair", True), ("alone", True), ("store", True),
                               ("damaged", None)]:
            result = decode(vekcrash, console, folders[name])
            reports = [r for r in map(json.loads, result.stdout.splitlines())
                       if r["kind"] == "report"]
            if result.returncode != 0 or len(reports) != 1:
                failures.append("%s: exit %d, %d reports: %s" %
                                (name, result.returncode, len(reports), result.stderr))
                continue
            report = reports[0]
            if report["bugcheck"]["code"] != "0x000000D1" or \
                    report["bugcheck"].get("name") != "DRIVER_IRQL_NOT_LESS_OR_EQUAL":
                failures.append("%s: bug check %r" % (name, report["bugcheck"]))
            noted = "crasher.sys" in " ".join(report.get("unsymbolized", []))
            if resolves:
                check_frames(report, crasher, symbolizer, failures, name)
            if resolves is not None and noted == resolves:
                failures.append("%s: crasher.sys noted as unsymbolized: %s" % (name, noted))
        text = decode(vekcrash, console, folders["alone"], json_output=False).stdout.decode()
        if "crasher.sys!CrasherTouch+0x" not in text or "(crasher.cpp:" not in text:
            failures.append("text output lacks crasher.sys!CrasherTouch+0x.. (crasher.cpp:..):\n" +
                            text)
        check_interrupt(vekcrash, console, folders["alone"], failures)
        check_actions(vekcrash, sys_image, crasher, symbolizer, kernel, public, failures)
        if not text.startswith("0xD1 DRIVER_IRQL_NOT_LESS_OR_EQUAL in crasher.sys!CrasherTouch+0x"):
            failures.append("the report opens with %r" % text.splitlines()[0])
    finally:
        shutil.rmtree(scratch)
    for failure in failures:
        print(failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
