#!/usr/bin/python3
"""Consistency checks of vekcrashdmp.inf of the kind InfVerif makes, run on
the shipped INF and on copies with one fault each; and the built package."""

import argparse
import datetime
import filecmp
import os
import re
import sys
import unittest

PATHS = None  # set from the command line


def parse(text):
    """{section: [(key or None, [fields])]}, all lowercased (INF names ignore case)."""
    sections, current = {}, None
    for raw in text.lower().splitlines():
        line = re.sub(r';(?=(?:[^"]*"[^"]*")*[^"]*$).*', "", raw).strip()  # ';' outside quotes
        if line.startswith("[") and line.endswith("]"):
            current = sections.setdefault(line[1:-1].strip(), [])
        elif line and current is not None:
            key, sep, value = line.partition("=")
            fields = [field.strip().strip('"') for field in (value if sep else key).split(",")]
            current.append((key.strip() if sep else None, fields))
    return sections


def integer(text):
    """An INF number, decimal or 0x hexadecimal; None if it is neither."""
    match = re.fullmatch(r"0x([0-9a-f]+)|(\d+)", text)
    return None if not match else int(match[1], 16) if match[1] else int(match[2])


def problems(text):
    found = []
    if not text.isascii() or re.search(r"(?<!\r)\n", text):
        found.append("not ASCII with CRLF line ends")
    inf = parse(text)
    version = {key: fields + [""] for key, fields in inf.get("version", [])}
    for key in ("signature", "class", "classguid", "provider", "catalogfile", "driverver"):
        if not version.get(key, [""])[0]:
            found.append(f"[Version] lacks {key}")
    if version.get("pnplockdown", [""])[0] != "1" or not version.get("catalogfile", [""])[0].endswith(".cat"):
        found.append("[Version] needs PnpLockdown=1 and a .cat CatalogFile")
    date, number = version.get("driverver", ["", ""])[:2]
    try:
        datetime.datetime.strptime(date.replace("-", "/"), "%m/%d/%Y")
        parts = [int(part) for part in number.split(".")]
        assert len(date) == 10 and len(parts) == 4 and any(parts) and max(parts) < 65535
    except (ValueError, AssertionError):
        found.append(f"DriverVer {date},{number} is not mm/dd/yyyy,w.x.y.z")
    # A primitive driver: architecture-decorated DefaultInstall, no device sections.
    for name in ("manufacturer", "defaultinstall", "defaultuninstall"):
        if name in inf:
            found.append(f"[{name}] is not allowed in a primitive driver INF")
    if "defaultinstall.ntamd64" not in inf:
        found.append("no [DefaultInstall.NTamd64]")
    if "defaultuninstall.ntamd64" in inf and ("legacyuninstall", ["1"]) not in inf["defaultuninstall.ntamd64"]:
        found.append("[DefaultUninstall.NTamd64] without LegacyUninstall=1")

    def section(name, user):
        if name not in inf:
            found.append(f"{user} names missing section [{name}]")
        return inf.get(name, [])

    dirs = dict(inf.get("destinationdirs", []))
    destination = lambda name: tuple((dirs.get(name) or dirs.get("defaultdestdir", [""])) + [""])[:2]
    disks = {key for key, _ in inf.get("sourcedisksnames", [])}
    sources = {key: fields + [""] for key, fields in inf.get("sourcedisksfiles", [])}
    copied, added, deleted = set(), {}, set()
    for name in [name for name in inf if re.match(r"default(un)?install\.", name)]:
        for key, fields in inf[name]:
            for target in fields if key in ("copyfiles", "delfiles") else []:
                files = [[target[1:]]] if target.startswith("@") else [
                    f for k, f in section(target, key) if k is None]
                if key == "delfiles" and destination(target)[0] == "13":
                    found.append("DelFiles on the driver store")
                for file, *rename in files if key == "copyfiles" else []:
                    copied.add(file)
                    if sources.get(file, [""])[0] not in disks:
                        found.append(f"{file} is not on a disk of [SourceDisksNames]")
                    if destination(target) != ("13", sources.get(file, ["", ""])[1]):
                        found.append(f"{file} is not copied to its own place in the driver store")
                    if rename and rename[0] not in ("", file):
                        found.append(f"{file} is renamed on the copy")
            service, _, install = (fields + ["", ""])[:3]  # a short line is still checked
            if key == "addservice":
                added[service] = {k: f[0] for k, f in section(install, key)}
            deleted |= {service} if key == "delservice" else set()
    if deleted and deleted != set(added):
        found.append(f"DelService {sorted(deleted)} does not match AddService {sorted(added)}")
    for service, entry in added.items():
        value = lambda key: integer(entry.get(key, ""))
        if (value("servicetype"), value("starttype")) != (1, 1) or value("errorcontrol") not in range(4):
            found.append(f"{service} is not a system-start kernel driver with a valid ErrorControl")
        if entry.get("servicebinary") not in {"%13%\\" + file for file in copied}:
            found.append(f"ServiceBinary of {service} is not a file copied to the driver store")
    strings = {key for key, _ in inf.get("strings", [])}
    for name, entries in inf.items():
        for key, fields in entries if name != "strings" else []:
            for token in re.findall(r"%([^%]+)%", " ".join([key or "", *fields]).replace("%%", "")):
                if not token.isdigit() and token not in strings:
                    found.append(f"%{token}% is not defined in [Strings]")
    return found


# One fault each, as (pattern, replacement); each pattern matches exactly once.
FAULTS = [
    (r"CopyFiles = VekCrashDmp\.CopyFiles", "CopyFiles = VekCrashDmp.Files"),
    (r"0x00000800, VekCrashDmp\.Service", "0x00000800, VekCrashDmp.Svc"),
    (r"vekcrashdmp\.sys = 1", "vekcrashdmp.sys = 2"),
    (r"vekcrashdmp\.sys = 1", "vekcrashdmp.sys = 1,amd64"),
    (r"\nvekcrashdmp\.sys\r", "\nvekcrashdmp.sys,crash.sys\r"),
    (r"DefaultDestDir = 13", "DefaultDestDir = 12"),
    (r"%13%\\vekcrashdmp\.sys", "%12%\\vekcrashdmp.sys"),
    (r"StartType     = 1", "StartType     = 3"),
    (r"ErrorControl  = 1", "ErrorControl  = 4"),
    (r"DelService = vekcrashdmp", "DelService = vekcrashdump"),
    (r"DriverVer   = 12/07/2026", "DriverVer   = 12/32/2026"),
    (r"PnpLockdown = 1", "PnpLockdown = 0"),
    (r"%ServiceDisplayName%", "%ServiceName%"),
    (r"\[DefaultInstall\.NTamd64\]", "[DefaultInstall]"),
    (r"LegacyUninstall = 1", "LegacyUninstall = 0"),
    (r"LegacyUninstall = 1", "LegacyUninstall = 1\r\nDelFiles = VekCrashDmp.CopyFiles"),
    (r"\[Strings\]", "[Manufacturer]\r\n%ProviderName% = Models,NTamd64\r\n\r\n[Strings]"),
    (r"Writes a plain-text", "Writes a plain\u2011text"),
    (r"\r\n\[Strings\]", "\n[Strings]"),
]


class InfConsistency(unittest.TestCase):
    def test_shipped_inf_is_consistent_and_each_fault_is_found(self):
        with open(PATHS.inf, encoding="ascii", errors="replace", newline="") as inf:
            text = inf.read()
        self.assertEqual(problems(text), [])
        for pattern, replacement in FAULTS:
            with self.subTest(fault=replacement.strip()):
                faulty, count = re.subn(pattern, lambda _: replacement, text)
                self.assertEqual(count, 1, "the fault no longer applies to the INF")
                self.assertTrue(problems(faulty), "the fault went unnoticed")


class BuiltPackage(unittest.TestCase):
    def test_package_holds_the_gated_image_its_pdb_and_the_inf(self):
        self.assertEqual(sorted(os.listdir(PATHS.package)),
                         ["vekcrashdmp.inf", "vekcrashdmp.pdb", "vekcrashdmp.sys"])
        for copy, original in (("vekcrashdmp.sys", PATHS.image), ("vekcrashdmp.inf", PATHS.inf)):
            self.assertTrue(filecmp.cmp(os.path.join(PATHS.package, copy), original, shallow=False),
                            f"{copy} differs from {original}")


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    for option in ("--inf", "--package", "--image"):
        parser.add_argument(option)
    PATHS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0], *rest])
