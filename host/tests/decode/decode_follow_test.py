#!/usr/bin/env python3
"""`decode --follow` on a growing file (not there at first, then rotated
and truncated), a FIFO, a UNIX socket and stdin: the test writes reports
in pieces and checks that each one is printed before the next is written,
that a report cut off is printed as partial after the idle time, and that
SIGTERM, SIGINT and the end of stdin end the run with exit 0.

    decode_follow_test.py VEKCRASH
"""
import json
import os
import queue
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

IDLE = "0.4"
WAIT = 5.0  # seconds a report may take to come out; far above what it needs


REGISTERS = "".join("- %s = %s\n" % (name, "0" * digits) for name, digits in
                    [("GS", 4), ("FS", 4), ("ES", 4), ("DS", 4), ("SS", 4), ("CS", 4), ("EFLAGS", 8)] +
                    [(r, 16) for r in "RDI RSI RBX RDX RCX RAX RBP RIP RSP R8 R9 "
                                      "R10 R11 R12 R13 R14 R15".split()])


def report(minute):
    return ("BUGCHECK DUMP STARTS\nOUTPUT FORMAT: 2\nCRASHED ON: 2026-12-07 04:%02d:42:123\n"
            "KERNEL: 10.0 (BUILD 19045) PLATFORM WIN32_NT (x64)\nSUITES:\nTYPE: SERVER\n"
            "Module\tPdbName\tGuid\tPdbAge\n"
            "BUGCHECK CODE 000000E2: 0000000000000000 0000000000000000 0000000000000000 "
            "0000000000000000\nCONTEXT (0000000000001000):\n" % minute + REGISTERS + "STACK:\n"
            "FFFFF80312345670: (0000000000000000 0000000000000000 0000000000000000 0000000000000000) "
            "kbd.sys + 0000000000000100\n"
            "BUGCHECK DUMP ENDS\n").encode()


class Decoder:
    """vekcrash decode --follow --json as a child, its lines read as they come."""

    def __init__(self, vekcrash, target, options=()):
        self.process = subprocess.Popen([vekcrash, "decode", "--follow", "--idle", IDLE, "--json"] +
                                        list(options) + [target],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE)
        self.once = "--modules-once" in options
        self.tables = {}  # with --modules-once: the table lines read, by id
        self.untabled = []  # and the reports whose table line had not come before them
        self.lines = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.process.stdout:
            self.lines.put(json.loads(line))

    def next_report(self):
        """The next report object, or None when none comes in time."""
        deadline = time.monotonic() + WAIT
        while time.monotonic() < deadline:
            try:
                line = self.lines.get(timeout=deadline - time.monotonic())
            except queue.Empty:
                return None
            if line.get("kind") == "modules":
                self.tables[line["id"]] = line["modules"]
            if line.get("kind") == "report":
                # A table written once comes out before its report, not
                # held back for a later one.
                if self.once and line.get("modules_id") not in self.tables:
                    self.untabled.append(line["time"])
                return line
        return None

    def stop(self, sig=signal.SIGTERM):
        self.process.send_signal(sig)
        try:
            return self.process.wait(timeout=WAIT)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            return None


def expect(failures, name, decoder, minute, complete=True):
    got = decoder.next_report()
    if got is None:
        failures.append("%s: no report for 04:%02d" % (name, minute))
    elif not got["time"].startswith("2026-12-07T04:%02d" % minute) or got["complete"] != complete:
        failures.append("%s: got %s complete=%s" % (name, got["time"], got["complete"]))


def append(path, data):
    with open(path, "ab") as f:
        f.write(data)


def in_pieces(write, data):
    half = len(data) // 2
    write(data[:half])
    time.sleep(0.1)
    write(data[half:])


def growing_file(vekcrash, scratch, failures):
    log = os.path.join(scratch, "console.log")
    # Not there yet: waited for, as tail -F does.
    decoder = Decoder(vekcrash, log)
    time.sleep(0.3)
    append(log, b"boot noise\n" * 50)
    in_pieces(lambda d: append(log, d), report(1))
    expect(failures, "file", decoder, 1)
    in_pieces(lambda d: append(log, d), report(2))
    expect(failures, "file", decoder, 2)
    # Rotation: the name now points at a new file.
    os.rename(log, log + ".1")
    append(log, report(3))
    expect(failures, "rotated file", decoder, 3)
    # Truncation: the file is emptied and written again from its start.
    with open(log, "wb") as f:
        f.write(report(4)[:40])
    time.sleep(0.2)
    append(log, report(4)[40:])
    expect(failures, "truncated file", decoder, 4)
    # Cut off: shown as partial once the file stays quiet.
    append(log, report(5)[:120])
    expect(failures, "cut-off report", decoder, 5, complete=False)
    status = decoder.stop(signal.SIGINT)
    if status != 0:
        failures.append("file: exit %r after SIGINT" % status)


def mixed_line_ends(data):
    """The report with CR line ends from its context to its stack."""
    head, rest = data.split(b"CONTEXT", 1)
    middle, tail = rest.split(b"STACK:", 1)
    return head + b"CONTEXT" + middle.replace(b"\n", b"\r") + b"STACK:" + tail


def fifo(vekcrash, scratch, failures):
    path = os.path.join(scratch, "console.fifo")
    os.mkfifo(path)
    decoder = Decoder(vekcrash, path)
    for minute in (1, 2):
        # A writer per report: the FIFO outlives each one.
        with open(path, "wb", buffering=0) as writer:
            in_pieces(writer.write, report(minute) if minute == 1 else mixed_line_ends(report(minute)))
            expect(failures, "fifo", decoder, minute)
    status = decoder.stop()
    if status != 0:
        failures.append("fifo: exit %r after SIGTERM" % status)


def unix_socket(vekcrash, scratch, failures):
    path = os.path.join(scratch, "serial.sock")
    server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    server.bind(path)
    server.listen(1)
    server.settimeout(WAIT)
    decoder = Decoder(vekcrash, "unix:" + path)
    for minute in (1, 2):
        # The VMM's port closes and opens again between guests' boots.
        try:
            connection, _ = server.accept()
        except socket.timeout:
            failures.append("socket: decoder never connected")
            break
        with connection:
            in_pieces(connection.sendall, report(minute))
            expect(failures, "socket", decoder, minute)
    server.close()
    status = decoder.stop()
    if status != 0:
        failures.append("socket: exit %r after SIGTERM" % status)


def standard_input(vekcrash, scratch, failures):
    decoder = Decoder(vekcrash, "-", ["--modules-once"])
    in_pieces(lambda d: (decoder.process.stdin.write(d), decoder.process.stdin.flush()), report(1))
    expect(failures, "stdin", decoder, 1)
    if decoder.untabled:
        failures.append("stdin: no module table line before the reports of %s" % decoder.untabled)
    # Its end ends the run.
    decoder.process.stdin.close()
    try:
        status = decoder.process.wait(timeout=WAIT)
    except subprocess.TimeoutExpired:
        status = decoder.stop(signal.SIGKILL)
    if status != 0:
        failures.append("stdin: exit %r at its end" % status)


def main():
    vekcrash = sys.argv[1]
    failures = []
    with tempfile.TemporaryDirectory() as scratch:
        for case in (growing_file, fifo, unix_socket, standard_input):
            case(vekcrash, scratch, failures)
    for failure in failures:
        print(failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
