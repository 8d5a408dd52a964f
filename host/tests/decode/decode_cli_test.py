#!/usr/bin/env python3
"""The decode command line: exit status and where its words go, for each
kind of input and each bad command line.

    decode_cli_test.py VEKCRASH
"""
import os
import subprocess
import sys
import tempfile
import threading

REPORT = (b"\nBUGCHECK DUMP STARTS\nOUTPUT FORMAT: 2\nCRASHED ON: 2026-12-07 04:36:42:123\n"
          b"KERNEL: 10.0 (BUILD 19045) PLATFORM WIN32_NT (x64)\nSUITES:\nTYPE: SERVER\n"
          b"Module\tPdbName\tGuid\tPdbAge\n"
          b"BUGCHECK CODE 000000E2: 0000000000000000 0000000000000000 0000000000000000 0000000000000000\n"
          b"CONTEXT (0000000000001000):\n" +
          b"".join(b"- %s = %s\n" % (name, b"0" * digits) for name, digits in
                   [(b"GS", 4), (b"FS", 4), (b"ES", 4), (b"DS", 4), (b"SS", 4), (b"CS", 4),
                    (b"EFLAGS", 8)] + [(r, 16) for r in b"RDI RSI RBX RDX RCX RAX RBP RIP RSP R8 R9 "
                                                    b"R10 R11 R12 R13 R14 R15".split()]) +
          b"STACK:\nBUGCHECK DUMP ENDS\n")


def stops_when_the_reader_goes(vekcrash):
    """decode | head -1 on endless input: the tool ends once the pipe closes."""
    child = subprocess.Popen([vekcrash, "decode"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL)

    def feed():
        try:
            while True:
                child.stdin.write(REPORT.replace(b"04:36", b"05:36") + REPORT)
        except (BrokenPipeError, ValueError):
            pass

    writer = threading.Thread(target=feed, daemon=True)
    writer.start()
    child.stdout.readline()
    child.stdout.close()
    try:
        child.wait(timeout=20)
    except subprocess.TimeoutExpired:
        child.kill()
        return ["decode | head -1: still running after its reader went away"]
    return []


# More NUL bytes in a row than a console ever sends.
NUL_RUN = 17 << 20


def main():
    vekcrash = sys.argv[1]
    scratch = tempfile.mkdtemp()
    log = os.path.join(scratch, "console.log")
    with open(log, "wb") as f:
        f.write(REPORT)
    cut = os.path.join(scratch, "cut.log")
    with open(cut, "wb") as f:
        f.write(REPORT[:120])
    # A file that ends is read to its end, however many NULs it holds (a
    # log truncated under its writer starts with a hole).
    holed = os.path.join(scratch, "holed.log")
    with open(holed, "wb") as f:
        f.truncate(NUL_RUN)
        f.seek(NUL_RUN)
        f.write(REPORT)
    cases = [
        # name, arguments, stdin, exit status, text on stdout, text on stderr
        ("a complete report from stdin", [], REPORT, 0, b"MANUALLY_INITIATED_CRASH", b""),
        ("a complete report from a file", [log], b"", 0, b"Report 1", b""),
        ("a partial report only", [cut], b"", 1, b"PARTIAL", b"only partial"),
        ("partial then complete", [cut, log], b"", 0, b"Report 2", b""),
        ("no report at all", [], b"just boot output\n", 1, b"", b"no crash report"),
        ("empty input", [], b"", 1, b"", b"no crash report"),
        ("JSON lines", ["--json", log], b"", 0, b'"kind":"report"', b""),
        ("JSON lines, each table once", ["--json", "--modules-once", log], b"", 0,
         b'{"kind":"modules","id":1,"modules":[]}\n{"kind":"report"', b""),
        ("each table once, in text", ["--modules-once", log], b"", 2, b"", b"--modules-once goes with --json"),
        ("each table once, in a summary", ["--summary", "--json", "--modules-once", log], b"", 2, b"",
         b"--modules-once goes with --json"),
        ("a log that does not exist", [os.path.join(scratch, "none.log")], b"", 2, b"", b"cannot read"),
        ("a folder", [scratch], b"", 2, b"", b"cannot read"),
        ("a good log, then a missing one", [log, os.path.join(scratch, "none.log")], b"", 2, b"Report 1",
         b"none.log"),
        ("start and end lines only", [], b"BUGCHECK DUMP STARTS\nBUGCHECK DUMP ENDS\n", 1, b"PARTIAL",
         b"only partial"),
        ("a start marker in a shell line, named with --verbose", ["--verbose"],
         b'$ grep -c "BUGCHECK DUMP STARTS" console.log\n3\n', 1, b"", b"no report after it; passed over"),
        ("an unknown option", ["--jsn"], b"", 2, b"", b"unknown option --jsn"),
        ("symbols without a folder", ["--symbols"], b"", 2, b"", b"needs a folder"),
        ("symbols naming a file", ["--symbols", log], b"", 2, b"", b"not a folder"),
        ("follow with two logs", ["--follow", log, cut], b"", 2, b"", b"--follow reads one log"),
        ("an idle time that is no number", ["--follow", "--idle", "soon", log], b"", 2, b"", b"--idle needs"),
        ("an endless idle time", ["--follow", "--idle", "inf", log], b"", 2, b"", b"--idle needs"),
        ("a download bound of nothing", ["--symbol-max-bytes", "0", log], b"", 2, b"", b"--symbol-max-bytes needs"),
        ("a negative download bound", ["--symbol-max-bytes", "-5", log], b"", 2, b"", b"--symbol-max-bytes needs"),
        ("no wait for symbols", ["--symbol-wait", "0", log], b"", 2, b"", b"--symbol-wait needs"),
        ("a wait past a day", ["--symbol-wait", "86401", log], b"", 2, b"", b"--symbol-wait needs"),
        ("a server pause with no number", ["--symbol-server-pause"], b"", 2, b"", b"--symbol-server-pause needs"),
        ("help", ["--help"], b"", 0, b"usage: vekcrash decode", b""),
        ("an endless device of NULs", ["/dev/zero"], b"", 2, b"", b"/dev/zero: not a console log"),
        ("a report, then NULs down a pipe", [], REPORT + bytes(NUL_RUN), 2, b"Report 1",
         b"not a console log"),
        ("a file with a hole before its report", [holed], b"", 0, b"Report 1", b""),
    ]
    failures = []
    for name, args, stdin, status, out, err in cases:
        result = subprocess.run([vekcrash, "decode"] + args, input=stdin, capture_output=True,
                                timeout=60)
        one_line = status != 2 or args == ["--jsn"] or args[:1] == ["--symbols"] or \
            result.stderr.count(b"\n") == 1
        if (result.returncode != status or out not in result.stdout or err not in result.stderr or
                not one_line):
            failures.append("%s: exit %d (want %d)\nstdout: %r\nstderr: %r" %
                            (name, result.returncode, status, result.stdout[:300], result.stderr[:300]))
    failures += stops_when_the_reader_goes(vekcrash)
    for path in (log, cut, holed):
        os.remove(path)
    os.rmdir(scratch)
    for failure in failures:
        print(failure)
    print("%d cases, %d failures" % (len(cases), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
