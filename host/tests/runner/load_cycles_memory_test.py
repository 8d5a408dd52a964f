#!/usr/bin/env python3
"""Load/unload cycles of the shipped image keep nothing per cycle.

Runs `vekcrash simulate --sys` over SHORT and LONG cycles of load then
unload, each in a process of its own, and compares their peak resident
sizes: what the longer run adds per extra cycle must stay under a bound
far below what an image's mappings, its translated code or its copy would
cost (each of those is hundreds of kilobytes). Counts cycles, never time.
Usage: load_cycles_memory_test.py VEKCRASH SYS
"""
import json
import os
import resource
import subprocess
import sys
import tempfile

SHORT = 100
LONG = 400
# Bytes a cycle may add to the peak: the scenario's own two events (about
# 1.5 KB parsed) and room for the allocator's rounding. Code translated
# anew at each kernel call, a kept call log or pool that is never reused
# each cost more.
MAX_BYTES_PER_CYCLE = 8 * 1024


def peak_rss(vekcrash, sys_image, cycles, folder):
    """The peak resident size, in bytes, of one run of the given cycles."""
    events = [{"event": kind} for _ in range(cycles) for kind in ("load", "unload")]
    path = os.path.join(folder, "cycles_%d.json" % cycles)
    with open(path, "w") as scenario:
        json.dump({"events": events}, scenario)
    pid = os.fork()
    if pid == 0:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, 1)
        # AddressSanitizer keeps freed blocks in a quarantine of up to 256 MB
        # before it reuses them: the peak would measure how far that has
        # filled, not what a cycle keeps. Without it the peak is live memory.
        env = dict(os.environ)
        env["ASAN_OPTIONS"] = ":".join(filter(None, [
            env.get("ASAN_OPTIONS", ""), "quarantine_size_mb=0", "thread_local_quarantine_size_kb=0"]))
        os.execve(vekcrash, [vekcrash, "simulate", "--sys", sys_image, path], env)
    _, status, usage = os.wait4(pid, 0)
    if not os.WIFEXITED(status) or os.WEXITSTATUS(status) != 0:
        sys.exit("FAIL: %d cycles ended with status %d" % (cycles, status))
    return usage.ru_maxrss * 1024


def main():
    vekcrash, sys_image = sys.argv[1], sys.argv[2]
    with tempfile.TemporaryDirectory() as folder:
        short = peak_rss(vekcrash, sys_image, SHORT, folder)
        long = peak_rss(vekcrash, sys_image, LONG, folder)
    per_cycle = (long - short) / (LONG - SHORT)
    print("peak %d KB after %d cycles, %d KB after %d: %d bytes per cycle"
          % (short // 1024, SHORT, long // 1024, LONG, per_cycle))
    if per_cycle > MAX_BYTES_PER_CYCLE:
        sys.exit("FAIL: each load/unload cycle keeps %d bytes (at most %d)"
                 % (per_cycle, MAX_BYTES_PER_CYCLE))


if __name__ == "__main__":
    main()
