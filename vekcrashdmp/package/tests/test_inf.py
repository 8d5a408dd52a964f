#!/usr/bin/python3
"""Consistency checks of the package's INFs of the kind InfVerif makes, run
on the shipped INFs and on copies with one fault each; and the built package.

vekcrashdmp.inf is a primitive package run from the driver store (Windows 10
1903 and later); vekcrashdmp-legacy.inf a setup script that copies the
driver into System32\drivers (older versions). Both install one service,
which must not differ between them."""

import argparse
import datetime
import filecmp
import os
import re
import subprocess
import sys
import tempfile
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


# What differs between the two kinds of INF: the install section's name, the
# sections the kind must not have, and the DIRID the driver is copied to.
STORE = {"install": "defaultinstall.ntamd64", "uninstall": "defaultuninstall.ntamd64",
         "forbidden": ("manufacturer", "defaultinstall", "defaultuninstall"), "dirid": "13"}
LEGACY = {"install": "defaultinstall", "uninstall": "defaultuninstall",
          "forbidden": ("manufacturer", "defaultinstall.ntamd64", "defaultuninstall.ntamd64"),
          "dirid": "12"}


def problems(text, kind=STORE):
    found = []
    if not text.isascii() or re.search(r"(?<!\r)\n", text):
        found.append("not ASCII with CRLF line ends")
    inf = parse(text)
    version = {key: fields + [""] for key, fields in inf.get("version", [])}
    for key in ("signature", "class", "classguid", "provider", "catalogfile", "driverver"):
        if not version.get(key, [""])[0]:
            found.append(f"[Version] lacks {key}")
    if not version.get("catalogfile", [""])[0].endswith(".cat"):
        found.append("[Version] needs a .cat CatalogFile")
    if kind is STORE and version.get("pnplockdown", [""])[0] != "1":
        found.append("[Version] needs PnpLockdown=1")
    date, number = version.get("driverver", ["", ""])[:2]
    try:
        datetime.datetime.strptime(date.replace("-", "/"), "%m/%d/%Y")
        parts = [int(part) for part in number.split(".")]
        assert len(date) == 10 and len(parts) == 4 and any(parts) and max(parts) < 65535
    except (ValueError, AssertionError):
        found.append(f"DriverVer {date},{number} is not mm/dd/yyyy,w.x.y.z")
    # A primitive driver: architecture-decorated DefaultInstall, no device
    # sections. A script: undecorated, or 1903 and later would take it for a
    # primitive driver and put it in the driver store.
    for name in kind["forbidden"]:
        if name in inf:
            found.append(f"[{name}] is not allowed in this kind of INF")
    if kind["install"] not in inf:
        found.append(f"no [{kind['install']}]")
    if kind is STORE and "defaultuninstall.ntamd64" in inf and (
            ("legacyuninstall", ["1"]) not in inf["defaultuninstall.ntamd64"]):
        found.append("[DefaultUninstall.NTamd64] without LegacyUninstall=1")

    def section(name, user):
        if name not in inf:
            found.append(f"{user} names missing section [{name}]")
        return inf.get(name, [])

    dirs = dict(inf.get("destinationdirs", []))
    destination = lambda name: tuple((dirs.get(name) or dirs.get("defaultdestdir", [""])) + [""])[:2]
    disks = {key for key, _ in inf.get("sourcedisksnames", [])}
    sources = {key: fields + [""] for key, fields in inf.get("sourcedisksfiles", [])}
    copied, added, deleted, removed = set(), {}, set(), set()
    for name in [name for name in inf if re.match(r"default(un)?install(\.|$)", name)]:
        for key, fields in inf[name]:
            for target in fields if key in ("copyfiles", "delfiles") else []:
                files = [[target[1:]]] if target.startswith("@") else [
                    f for k, f in section(target, key) if k is None]
                if key == "delfiles" and destination(target)[0] == "13":
                    found.append("DelFiles on the driver store")
                removed |= {f[0] for f in files} if key == "delfiles" else set()
                for file, *rename in files if key == "copyfiles" else []:
                    copied.add(file)
                    if sources.get(file, [""])[0] not in disks:
                        found.append(f"{file} is not on a disk of [SourceDisksNames]")
                    if destination(target) != (kind["dirid"], sources.get(file, ["", ""])[1]):
                        found.append(f"{file} is not copied to DIRID {kind['dirid']} itself")
                    if rename and rename[0] not in ("", file):
                        found.append(f"{file} is renamed on the copy")
            service, _, install = (fields + ["", ""])[:3]  # a short line is still checked
            if key == "addservice":
                added[service] = {k: f[0] for k, f in section(install, key)}
            deleted |= {service} if key == "delservice" else set()
    if deleted and deleted != set(added):
        found.append(f"DelService {sorted(deleted)} does not match AddService {sorted(added)}")
    # Nothing removes a script's files but its own uninstall section.
    if kind is LEGACY and (deleted != set(added) or removed != copied):
        found.append("[DefaultUninstall] does not remove every service and file it installed")
    for service, entry in added.items():
        value = lambda key: integer(entry.get(key, ""))
        if (value("servicetype"), value("starttype")) != (1, 1) or value("errorcontrol") not in range(4):
            found.append(f"{service} is not a system-start kernel driver with a valid ErrorControl")
        if entry.get("servicebinary") not in {f"%{kind['dirid']}%\\" + file for file in copied}:
            found.append(f"ServiceBinary of {service} is not a file the INF copies")
    strings = {key for key, _ in inf.get("strings", [])}
    for name, entries in inf.items():
        for key, fields in entries if name != "strings" else []:
            for token in re.findall(r"%([^%]+)%", " ".join([key or "", *fields]).replace("%%", "")):
                if not token.isdigit() and token not in strings:
                    found.append(f"%{token}% is not defined in [Strings]")
    return found


def disagreements(store_text, legacy_text):
    """Where the script INF would install something other than the store INF:
    the catalog, version, provider, and every service setting but the path."""
    store, legacy = parse(store_text), parse(legacy_text)
    found = []
    for key in ("catalogfile", "driverver", "provider", "class", "classguid"):
        if dict(store.get("version", [])).get(key) != dict(legacy.get("version", [])).get(key):
            found.append(f"[Version] {key} differs")

    def services(inf, install):
        entries = {}
        for key, fields in inf.get(install + ".services", []):
            if key == "addservice" and len(fields) > 2:
                settings = {k: f for k, f in inf.get(fields[2], []) if k != "servicebinary"}
                entries[fields[0]] = (fields[1], settings)
        return entries

    strings = lambda inf: dict(inf.get("strings", []))  # noqa: E731
    if services(store, STORE["install"]) != services(legacy, LEGACY["install"]):
        found.append("the two INFs install different services")
    if strings(store) != strings(legacy):
        found.append("[Strings] differ")
    return found


# One fault each, as (pattern, replacement); each pattern matches exactly once.
# The store INF's, then the script INF's.
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
LEGACY_FAULTS = [
    (r"DefaultDestDir = 12", "DefaultDestDir = 13"),
    (r"%12%\\vekcrashdmp\.sys", "%13%\\vekcrashdmp.sys"),
    (r"\[DefaultInstall\]", "[DefaultInstall.NTamd64]"),
    (r"\[DefaultInstall\.Services\]", "[DefaultInstall.NTamd64.Services]"),
    (r"DelFiles = VekCrashDmp\.CopyFiles\r\n", ""),
    (r"DelService = vekcrashdmp, 0x00000200", "DelService = vekcrashdump, 0x00000200"),
    (r"ErrorControl  = 1", "ErrorControl  = 3"),
    (r"0x00000800, VekCrashDmp", "0x00000000, VekCrashDmp"),
    (r"CatalogFile = vekcrashdmp\.cat", "CatalogFile = vekcrashdmp-legacy.cat"),
    (r"DriverVer   = 12/07/2026,1\.0\.0\.0", "DriverVer   = 12/07/2026,1.0.0.1"),
    (r"ServiceDisplayName = \"vekcrash", "ServiceDisplayName = \"vekcrash legacy"),
    (r"\nvekcrashdmp\.sys\r", "\nvekcrashdmp.sys,crash.sys\r"),
]


def read(path):
    with open(path, encoding="ascii", errors="replace", newline="") as inf:
        return inf.read()


class InfConsistency(unittest.TestCase):
    def test_shipped_infs_are_consistent_and_each_fault_is_found(self):
        store, legacy = read(PATHS.inf), read(PATHS.legacy_inf)
        check_store = lambda text: problems(text) + disagreements(text, legacy)  # noqa: E731
        check_legacy = lambda text: problems(text, LEGACY) + disagreements(store, text)  # noqa: E731
        for name, text, check, faults in (("store", store, check_store, FAULTS),
                                          ("legacy", legacy, check_legacy, LEGACY_FAULTS)):
            self.assertEqual(check(text), [], name)
            for pattern, replacement in faults:
                with self.subTest(inf=name, fault=replacement.strip() or pattern):
                    faulty, count = re.subn(pattern, lambda _: replacement, text)
                    self.assertEqual(count, 1, "the fault no longer applies to the INF")
                    self.assertTrue(check(faulty), "the fault went unnoticed")


class BuiltPackage(unittest.TestCase):
    def test_package_holds_the_gated_image_its_pdb_the_infs_and_the_catalog(self):
        self.assertEqual(sorted(os.listdir(PATHS.package)),
                         ["vekcrashdmp-legacy.inf", "vekcrashdmp.cat", "vekcrashdmp.inf",
                          "vekcrashdmp.pdb", "vekcrashdmp.sys"])
        for copy, original in (("vekcrashdmp.sys", PATHS.image), ("vekcrashdmp.inf", PATHS.inf),
                               ("vekcrashdmp-legacy.inf", PATHS.legacy_inf)):
            self.assertTrue(filecmp.cmp(os.path.join(PATHS.package, copy), original, shallow=False),
                            f"{copy} differs from {original}")

    def test_submission_cabinet_lists_and_extracts_to_the_package(self):
        members = ["vekcrashdmp/vekcrashdmp.cat", "vekcrashdmp/vekcrashdmp.inf",
                   "vekcrashdmp/vekcrashdmp.pdb", "vekcrashdmp/vekcrashdmp.sys"]
        listing = subprocess.run([PATHS.gcab, "--list", "--verbose", PATHS.cab], capture_output=True,
                                 text=True, check=True).stdout
        self.assertEqual(sorted(line.split()[0].replace("\\", "/") for line in listing.splitlines()
                                if line.strip()), members)
        with tempfile.TemporaryDirectory(prefix="vekcrash-cab-") as folder:
            subprocess.run([PATHS.gcab, "--extract", "--directory", folder, PATHS.cab],
                           capture_output=True, check=True)
            for member in members:
                with self.subTest(member):
                    self.assertTrue(filecmp.cmp(os.path.join(folder, member),
                                                os.path.join(PATHS.package, os.path.basename(member)),
                                                shallow=False))
        with open(PATHS.cab, "rb") as cab:
            # The first CFFOLDER follows the 36-byte CFHEADER (no reserve);
            # its typeCompress, at +6, is 1 for MSZIP.
            self.assertEqual(cab.read(44)[42], 1, "the cabinet is not MSZIP-compressed")

    def test_every_file_the_install_commands_name_is_built(self):
        # Names in the fenced command blocks of docs/install.md: each is a file
        # of the package, of the test-signed package (the certificates) or of
        # the build (the cabinet), or a name Windows gives (oemNN.inf).
        with open(PATHS.docs, encoding="utf-8") as docs:
            blocks = re.findall(r"```(?:bat|powershell|sh)\n(.*?)```", docs.read(), re.DOTALL)
        named = set(re.findall(r"[\w.-]+\.(?:inf|sys|cat|cer|cab|pdb)\b", "\n".join(blocks)))
        built = set(os.listdir(PATHS.package)) | {os.path.basename(PATHS.cab),
                                                  "vekcrash-test-root.cer",
                                                  "vekcrash-test-signing.cer"}
        self.assertTrue(named, "no command names a file")
        self.assertEqual(sorted(named - built - {"oemNN.inf"}), [])


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    for option in ("--inf", "--legacy-inf", "--package", "--image", "--cab", "--gcab", "--docs"):
        parser.add_argument(option)
    PATHS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0], *rest])
