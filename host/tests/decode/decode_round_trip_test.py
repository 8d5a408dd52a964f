#!/usr/bin/env python3
"""Round trip: run each scenario with `vekcrash simulate` (host build, and
the shipped .sys when given), decode the console with `vekcrash decode
--json`, and check the decoded values against the scenario's own.

    decode_round_trip_test.py VEKCRASH [--sys SYS] SCENARIO.json...
"""
import json
import subprocess
import sys

SUITES = ["SMALLBUSINESS", "ENTERPRISE", "BACKOFFICE", "COMMUNICATIONS", "TERMINAL",
          "SMALLBUSINESS_RESTRICTED", "EMBEDDEDNT", "DATACENTER", "SINGLEUSERTS", "PERSONAL",
          "BLADE", "EMBEDDED_RESTRICTED", "SECURITY_APPLIANCE", "STORAGE_SERVER",
          "COMPUTE_SERVER", "UNKNOWN"]
CRASHER_ACCESS = {"read": 0, "write": 1, "execute": 8}
PLATFORMS = {0: "WIN32s", 1: "WIN32_WINDOWS", 2: "WIN32_NT"}
TYPES = {1: "WORKSTATION", 2: "DOMAIN_CONTROLLER", 3: "SERVER"}


def number(value):
    if isinstance(value, int):
        return value
    return int(value, 16) if value.lower().startswith("0x") else int(value)


CLOCK_TICK_100NS = 156250  # the shared page's system time moves at the 15.625 ms tick


def scenario_time(text, coarse=False):
    # "YYYY-MM-DDTHH:MM:SS[.mmm]Z" -> the decoder's form, always with ms;
    # coarse: as a kernel before 6.2 (no KeQuerySystemTimePrecise) reads it.
    body = text.rstrip("Z")
    if "." not in body:
        body += ".000"
    if coarse:
        seconds, millis = body.split(".")
        ticks = int(millis) * 10000
        body = "%s.%03d" % (seconds, (ticks - ticks % CLOCK_TICK_100NS) // 10000)
    return body + "Z"


def expected_os(scenario):
    version = {"major": 10, "minor": 0, "build": 19045, "platform_id": 2,
               "service_pack_major": 0, "service_pack_minor": 0, "suite_mask": 0x100,
               "product_type": 1, "csd_version": ""}
    for key, value in scenario.get("machine", {}).get("os_version", {}).items():
        version[key] = value if key == "csd_version" else number(value)
    os = {"major": version["major"], "minor": version["minor"], "build": version["build"],
          "platform": PLATFORMS.get(version["platform_id"], "UNKNOWN"),
          "suites": [SUITES[bit] for bit in range(16) if version["suite_mask"] >> bit & 1],
          "type": TYPES.get(version["product_type"], "UNKNOWN")}
    if version["service_pack_major"] or version["service_pack_minor"]:
        os["service_pack"] = {"major": version["service_pack_major"],
                              "minor": version["service_pack_minor"],
                              "text": version["csd_version"]}
    return os


def expected_modules(scenario):
    """The rows the scenario's own images must give: name -> (guid, age)."""
    rows = {}
    images = list(scenario.get("machine", {}).get("images", []))
    for event in scenario.get("events", []):
        if event.get("event") == "image-load":
            images += [i for i in event["images"] if i.get("mode", "kernel") == "kernel"]
    def overlaps(a, b):
        start_a, start_b = number(a["offset"]), number(b["offset"])
        return start_a < start_b + number(b.get("size", 0)) and \
            start_b < start_a + number(a.get("size", 0))

    for image in images:
        # An image whose bytes a later one covered no longer holds its identity.
        if any(other is not image and overlaps(image, other) for other in images):
            continue
        # Identities the driver cannot read in full are the golden tests' business.
        if "file" in image or image.get("damage", "none") != "none" or \
                image.get("non_resident_pages"):
            continue
        name = image["path"].split("\\")[-1].lower()
        guid = image.get("guid", "00000000-0000-0000-0000-000000000000").upper()
        rows[name] = (guid, number(image.get("age", 1)))
    return rows


def check(scenario_path, vekcrash, sys_image, failures):
    scenario = json.load(open(scenario_path))
    bugchecks = [e for e in scenario["events"] if e["event"] == "bugcheck"]
    # The crasher's fault: the kernel's 0xD1 with the address, DISPATCH_LEVEL
    # and the access; the faulting instruction's address is the crasher's.
    bugchecks += [{"code": 0xD1, "crasher": True,
                   "parameters": [number(e.get("address", 0x10)), 2,
                                  CRASHER_ACCESS[e.get("access", "read")]]}
                  for e in scenario["events"] if e["event"] == "crasher"]
    command = [vekcrash, "simulate"] + (["--sys", sys_image] if sys_image else []) + [scenario_path]
    console = subprocess.run(command, capture_output=True).stdout
    decoded = subprocess.run([vekcrash, "decode", "--json"], input=console, capture_output=True)
    where = "%s (%s)" % (scenario_path, "sys" if sys_image else "host")
    has_report = b"BUGCHECK DUMP STARTS" in console
    if not has_report:
        # Only the restore outcomes the console holds, one object each.
        outcomes = [json.loads(line)["outcome"] for line in decoded.stdout.splitlines()
                    if json.loads(line)["kind"] == "restore"]
        printed = [line.split(b" is ", 1)[1].strip().decode()
                   for line in console.splitlines()
                   if line.startswith(b"Viridian State Restoration is ")]
        if decoded.returncode != 1 or len(decoded.stdout.splitlines()) != len(outcomes) or \
                outcomes != printed:
            failures.append("%s: no report on the console, but decode exited %d with %r" %
                            (where, decoded.returncode, decoded.stdout[:200]))
        return
    if decoded.returncode != 0:
        failures.append("%s: decode exited %d" % (where, decoded.returncode))
        return
    reports = [json.loads(line) for line in decoded.stdout.splitlines()
               if json.loads(line)["kind"] == "report"]
    if len(reports) != 1 or not bugchecks:
        failures.append("%s: expected one report, got %d" % (where, len(reports)))
        return
    report, event = reports[0], bugchecks[0]

    def expect(what, got, want):
        if got != want:
            failures.append("%s: %s is %r, expected %r" % (where, what, got, want))

    expect("complete", report["complete"], True)
    expect("warnings", report["warnings"], [])
    passes = event.get("secondary_dump_passes", 1)
    expect("repeats", report.get("repeated_at_lines", []).__len__(), passes - 1)
    time = event.get("time", scenario.get("machine", {}).get("time", "1601-01-01T00:00:00Z"))
    version = scenario.get("machine", {}).get("os_version", {})
    coarse = (number(version.get("major", 10)), number(version.get("minor", 0))) < (6, 2)
    expect("time", report["time"], scenario_time(time, coarse))
    expect("os", report["os"], expected_os(scenario))
    code = number(event["code"]) & 0xFFFFFFFF
    expect("code", report["bugcheck"]["code"], "0x%08X" % code)
    parameters = [number(p) for p in event.get("parameters", [0, 0, 0, 0])]
    got = report["bugcheck"]["parameters"]
    expect("parameters", got[:len(parameters)], ["0x%016X" % p for p in parameters])
    rows = {m["name"]: m for m in report["modules"]}
    for name in ("ntoskrnl.exe", "hal.dll", "vekcrashdmp.sys"):
        if name not in rows:
            failures.append("%s: module %s missing" % (where, name))
    for name, (guid, age) in expected_modules(scenario).items():
        row = rows.get(name[:256])
        if row is None:
            continue  # evicted by a later image, or cut
        expect(name + " guid", row["guid"], guid)
        expect(name + " age", row["age"], age)
        if age or guid.strip("0-"):
            stem = row["pdb_name"]
            expect(name + " symbol key", row["symbol_key"],
                   "%s/%s%X/%s" % (stem, guid.replace("-", ""), age, stem))
    expect("register count", len(report["context"]["registers"]), 24)
    if not report["stack"]:
        failures.append("%s: no stack frames" % where)


def main():
    vekcrash = sys.argv[1]
    sys_image = None
    args = sys.argv[2:]
    if args[:1] == ["--sys"]:
        sys_image, args = args[1], args[2:]
    failures = []
    for scenario in args:
        check(scenario, vekcrash, None, failures)
        if sys_image:
            check(scenario, vekcrash, sys_image, failures)
    for failure in failures:
        print(failure)
    print("%d scenarios, %d failures" % (len(args), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
