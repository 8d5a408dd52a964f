#!/usr/bin/python3
"""vekcrashdmp.sys's report of a crash in another driver, read as a user
reads it: the crasher scenario runs on the shipped image through the
vekcrash command, and every frame of the report's stack trace that lies in
crasher.sys is named by llvm-symbolizer from the crasher's PDB.

For each way the crasher touches its bad address (read, write, execute):
  - the run is clean (exit 0, nothing on stderr);
  - BUGCHECK CODE is 0xD1 with the kernel's parameters: the address, the
    IRQL (DISPATCH_LEVEL), 0 read / 1 write / 8 execute, and the faulting
    instruction's address;
  - the module table lists crasher.sys with the GUID and age of its
    CodeView record;
  - the trace goes through the kernel's page fault path (KeBugCheckEx,
    KiPageFault) and then into the crasher: CrasherTouch, CrasherMiddle,
    CrasherOuter, CrasherFault in that order, the first of them the frame
    that faulted, then back into the kernel's KxCallDriver.
From a frame that cannot be unwound whole, the unwinding step would read
where nothing is resident, which at HIGH_LEVEL is a nested bug check: the
report tests what the step will read first, and the trace ends at that
frame, with no frame after it (none at return address 0) and the run clean.
The damaged frames: a wild frame pointer in CrasherTouch; a saved register
slot on a page that is out, the return address resident
(CrasherSlotOnPageOut); the return address on a page that is out
(CrasherReturnOnPageOut); CrasherTouch's unwind data on a page that is out.
With the stack pointer in a hole (CrasherStackInHole) the processor cannot
push the page fault's frame: the double fault, bug check 0x7F with trap 8,
taken on a stack of its own, whose trace ends at the kernel's double fault
entry, since the faulting frame's stack cannot be read.
"""

import argparse
import json
import os
import re
import runpy
import subprocess
import sys
import tempfile

DRIVER_IRQL_NOT_LESS_OR_EQUAL = 0xD1
UNEXPECTED_KERNEL_MODE_TRAP = 0x7F
EXCEPTION_DOUBLE_FAULT = 8
DISPATCH_LEVEL = 2
# The crasher's chain, innermost first, as its PDB names it.
CHAIN = ["CrasherTouch", "CrasherMiddle", "CrasherOuter", "CrasherFault"]
CRASHER = "crasher.sys"
KERNEL = "ntoskrnl.exe"

# access, the address it touches, the bug check's third parameter, how the
# faulting frame is damaged (the scenario's wild_frame or damaged_frame),
# and the crasher frames the trace shows, innermost first.
CASES = [
    ("read", 0x10, 0, None, CHAIN),
    ("write", 0x7FF0, 1, None, CHAIN),
    ("execute", 0xDEAD0000, 8, None, CHAIN),
    ("read", 0x18, 0, "wild_frame", CHAIN[:1]),
    ("write", 0x20, 1, "wild_frame", CHAIN[:1]),
    ("read", 0x28, 0, "saved_register_out", ["CrasherSlotOnPageOut"]),
    ("execute", 0xDEAD0000, 8, "saved_register_out", ["CrasherSlotOnPageOut"]),
    ("write", 0x30, 1, "return_address_out", ["CrasherReturnOnPageOut"]),
    ("read", 0x38, 0, "unwind_data_out", CHAIN[:1]),
    ("read", 0x40, 0, "stack_pointer_in_hole", []),
    ("execute", 0xDEAD0000, 8, "stack_pointer_in_hole", []),
]

CODE_LINE = re.compile(r"^BUGCHECK CODE ([0-9A-F]{8}): ([0-9A-F]{16}) ([0-9A-F]{16}) "
                       r"([0-9A-F]{16}) ([0-9A-F]{16})$", re.M)
FRAME_LINE = re.compile(r"^([0-9A-F]{16}): \((?:[0-9A-F]{16} ?){4}\) "
                        r"(?:(\S+) \+ ([0-9A-F]{16})|([0-9A-F]{16}))$")


def load_identity_reader(path):
    """scripts/pe_identity.py's identity(image, readobj)."""
    return runpy.run_path(path)["identity"]


def symbolize(symbolizer, image, offset):
    """The function holding an offset of the image, by the PDB beside it."""
    run = subprocess.run([symbolizer, f"--obj={image}", "--relative-address",
                          "--inlining=false", hex(offset)],
                         capture_output=True, text=True, check=False)
    lines = run.stdout.splitlines()
    return lines[0].strip() if run.returncode == 0 and lines else "(%s)" % run.stderr.strip()


def stack_frames(console):
    """The trace's frames: (module or None, offset or bare address)."""
    frames = []
    trace = console.split("STACK:\n", 1)[1] if "STACK:\n" in console else ""
    for line in trace.splitlines():
        match = FRAME_LINE.match(line)
        if not match:
            break
        if match.group(2):
            frames.append((match.group(2), int(match.group(3), 16)))
        else:
            frames.append((None, int(match.group(4), 16)))
    return frames


def check_case(args, identity, scenario, access, address, third, damage, chain):
    failures = []
    name = access + (f" with {damage}" if damage else "")
    double_fault = damage == "stack_pointer_in_hole"

    def expect(condition, what):
        if not condition:
            failures.append(f"{name}: {what}")
        return condition

    scenario = json.loads(json.dumps(scenario))
    event = next(e for e in scenario["events"] if e["event"] == "crasher")
    event["access"] = access
    event["address"] = hex(address)
    if damage == "wild_frame":
        event["wild_frame"] = True
    elif damage:
        event["damaged_frame"] = damage
    with tempfile.NamedTemporaryFile("w", suffix=".json", delete=False) as file:
        json.dump(scenario, file)
    try:
        run = subprocess.run([args.vekcrash, "simulate", "--sys", args.sys, file.name],
                             capture_output=True, text=True, check=False)
    finally:
        os.unlink(file.name)
    expect(run.returncode == 0, f"exit status {run.returncode}, stderr: {run.stderr!r}")
    expect(run.stderr == "", f"diagnostics: {run.stderr!r}")
    console = run.stdout
    if not expect(console.endswith("BUGCHECK DUMP ENDS\n"), "no complete report:\n" + console):
        return failures

    # The module table names the crasher with its debug identity.
    row = f"{CRASHER}\t\t{identity['guid_report']}\t{identity['age_report']}"
    expect(row in console.splitlines(), f"no module row {row!r}:\n{console}")

    code = CODE_LINE.search(console)
    if not expect(code, "no BUGCHECK CODE line"):
        return failures
    values = [int(value, 16) for value in code.groups()]
    frames = stack_frames(console)
    if double_fault:
        # The trap number; the other parameters are reserved. The faulting
        # frame's stack cannot be read: the trace ends at the double fault's
        # entry, the last line, with no frame in the crasher.
        expect(values == [UNEXPECTED_KERNEL_MODE_TRAP, EXCEPTION_DOUBLE_FAULT, 0, 0, 0],
               f"bug check {values}, not the double fault")
        kernel = [symbolize(args.symbolizer, args.kernel, offset - 1)
                  for module, offset in frames if module == KERNEL]
        expect(frames and frames[-1][0] == KERNEL and kernel[-2:] == ["KeBugCheckEx", "KiDoubleFaultAbort"],
               f"the trace does not end at the double fault's entry: {kernel}:\n{console}")
        return failures
    expect(values[0] == DRIVER_IRQL_NOT_LESS_OR_EQUAL, f"code {values[0]:X}")
    expect(values[1] == address, f"first parameter {values[1]:X}, not the address")
    expect(values[2] == DISPATCH_LEVEL, f"second parameter {values[2]:X}, not the IRQL")
    expect(values[3] == third, f"third parameter {values[3]:X}, not {third:X}")
    faulting = values[4]

    first = next((i for i, (module, _) in enumerate(frames) if module == CRASHER), None)
    if not expect(first is not None, "no frame in the crasher:\n" + console):
        return failures
    # The byte before a return address lies in the call; the faulting
    # frame's address is the faulting instruction itself.
    names = []
    for i, (module, offset) in enumerate(frames[first:]):
        if module != CRASHER:
            break
        faulted = i == 0 and access != "execute"
        names.append(symbolize(args.symbolizer, args.crasher, offset if faulted else offset - 1))
    expect(names == chain, f"crasher frames {names}, not {chain}:\n{console}")

    kernel = [symbolize(args.symbolizer, args.kernel, offset - 1)
              for module, offset in frames[:first] if module == KERNEL]
    expect(kernel[-2:] == ["KeBugCheckEx", "KiPageFault"],
           f"kernel frames before the crasher's {kernel}, not ending in the page fault path")
    after = frames[first + len(chain):first + len(chain) + 1]
    if damage:
        # The unwinding of the damaged frame would read where nothing is
        # resident: nothing follows it.
        expect(after == [], f"frames after the damaged one: {after}:\n{console}")
    else:
        expect(after and after[0][0] == KERNEL and
               symbolize(args.symbolizer, args.kernel, after[0][1] - 1) == "KxCallDriver",
               f"the frame after the crasher's is {after}, not the kernel's KxCallDriver")

    if access == "execute":
        # The processor faulted fetching at the address: the frame before
        # the crasher's is that bare address, and so is the fourth parameter.
        expect(faulting == address, f"fourth parameter {faulting:X}, not the address")
        expect(frames[first - 1] == (None, address),
               f"the frame before the crasher's is {frames[first - 1]}, not the bad address")
    else:
        # The fourth parameter is the faulting instruction: where the first
        # crasher frame is, in an image mapped at an aligned base.
        base = faulting - frames[first][1]
        expect(base % 0x1000 == 0, f"fourth parameter {faulting:X} is not the faulting frame's "
                                   f"address (the image would start at {base:X})")
    return failures


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--vekcrash", required=True)
    parser.add_argument("--sys", required=True, help="vekcrashdmp.sys")
    parser.add_argument("--crasher", required=True, help="crasher.sys, its PDB beside it")
    parser.add_argument("--kernel", required=True, help="the model's ntoskrnl.exe")
    parser.add_argument("--scenario", required=True)
    parser.add_argument("--symbolizer", required=True)
    parser.add_argument("--readobj", required=True)
    parser.add_argument("--pe-identity", required=True, help="scripts/pe_identity.py")
    args = parser.parse_args()

    identity = load_identity_reader(args.pe_identity)(args.crasher, args.readobj)
    with open(args.scenario, encoding="utf-8") as file:
        scenario = json.load(file)
    failures = []
    for case in CASES:
        failures += check_case(args, identity, scenario, *case)
    for failure in failures:
        print("FAIL: " + failure)
    if not failures:
        print(f"crasher report checked for {len(CASES)} accesses")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
