#!/usr/bin/python3
"""Writes the driver package's catalog, the file its INFs name in
CatalogFile, on Linux and without the Windows kit's Inf2Cat.

    make_catalog.py OUTPUT.cat INF|SYS... [--osslsigncode PATH]

A catalog is a PKCS#7 SignedData whose content is a certificate trust list
(szOID_CTL) of the package's files, each member tagged by its hash. This one
is catalog version 1: SHA-1 member hashes and CAT_MEMBERINFO, the only form
Windows 7 reads (version 2, SHA-256, came with Windows 8). A PE member
carries its Authenticode image hash, which osslsigncode computes
(`extract-data`), so that the hash Windows checks a loaded image against is
made by a tool we did not write; every other member carries the hash of the
whole file (a flat hash). Each member also names its file (`File`) and the
Windows versions the signature holds for (`OSAttr`: 6.1, 6.2, 6.3 and 10.0,
every version the driver targets). The output is unsigned: sign_driver.py or
`osslsigncode sign` signs it.

The catalog is dated by the INFs' DriverVer and names itself by a digest
of its members, so the same files always give the same bytes.

Exit status: 0 written; 2 a bad input (a missing file, an INF without a
DriverVer, a PE that osslsigncode cannot hash), with one line saying which.
"""

import argparse
import datetime
import hashlib
import os
import re
import subprocess
import sys
import tempfile

from asn1crypto import cms, core

# Object identifiers of the catalog format (wintrust.h, mscat.h).
SZOID_CTL = "1.3.6.1.4.1.311.10.1"
SZOID_CATALOG_LIST = "1.3.6.1.4.1.311.12.1.1"
SZOID_CATALOG_LIST_MEMBER = "1.3.6.1.4.1.311.12.1.2"  # version 1: SHA-1 tags
CAT_NAMEVALUE_OBJID = "1.3.6.1.4.1.311.12.2.1"
CAT_MEMBERINFO_OBJID = "1.3.6.1.4.1.311.12.2.2"
SPC_INDIRECT_DATA_OBJID = "1.3.6.1.4.1.311.2.1.4"
SPC_CAB_DATA_OBJID = "1.3.6.1.4.1.311.2.1.25"  # what a flat-hashed member's data is
SHA1_OID = "1.3.14.3.2.26"
# Subject interface packages that hash a member: the PE one, and the flat one
# for every other file (INFs).
SIP_PE = "{C689AAB8-8E78-11D0-8C47-00C04FC295EE}"
SIP_FLAT = "{DE351A42-8E59-11D0-8C47-00C04FC295EE}"
MEMBER_CERT_VERSION = 0x200
# CRYPTCAT_ATTR_AUTHENTICATED | CRYPTCAT_ATTR_DATAASCII | CRYPTCAT_ATTR_NAMEASCII:
# the attribute is signed with the catalog and holds plain text.
NAME_VALUE_FLAGS = 0x10010001
# Windows 7 / 2008 R2, 8 / 2012, 8.1 / 2012 R2, 10 / 11 / 2016 and later.
OS_ATTRIBUTE = "2:6.1,2:6.2,2:6.3,2:10.0"


class BadInput(Exception):
    """Input the user can fix: exit status 2."""


class AnySet(core.SetOf):
    _child_spec = core.Any


class Attribute(core.Sequence):
    _fields = [("type", core.ObjectIdentifier), ("values", AnySet)]


class Attributes(core.SetOf):
    _child_spec = Attribute


class NameValue(core.Sequence):
    _fields = [("tag", core.BMPString), ("flags", core.Integer), ("value", core.OctetString)]


class MemberInfo(core.Sequence):
    _fields = [("guid", core.BMPString), ("cert_version", core.Integer)]


class SpcString(core.Choice):
    _alternatives = [("unicode", core.BMPString, {"implicit": 0}),
                     ("ascii", core.IA5String, {"implicit": 1})]


class SpcLink(core.Choice):
    _alternatives = [("url", core.IA5String, {"implicit": 0}),
                     ("file", SpcString, {"explicit": 2})]


class TypeAndValue(core.Sequence):
    _fields = [("type", core.ObjectIdentifier), ("value", core.Any, {"optional": True})]


class DigestInfo(core.Sequence):
    _fields = [("algorithm", cms.DigestAlgorithm), ("digest", core.OctetString)]


class IndirectData(core.Sequence):
    """SpcIndirectDataContent: what a member's hash is of, and the hash."""
    _fields = [("data", TypeAndValue), ("message_digest", DigestInfo)]


class AlgorithmIdentifier(core.Sequence):
    _fields = [("algorithm", core.ObjectIdentifier), ("parameters", core.Any, {"optional": True})]


class TrustedSubject(core.Sequence):
    _fields = [("identifier", core.OctetString), ("attributes", Attributes, {"optional": True})]


class TrustedSubjects(core.SequenceOf):
    _child_spec = TrustedSubject


class SubjectUsage(core.SequenceOf):
    _child_spec = core.ObjectIdentifier


class CertificateTrustList(core.Sequence):
    # The version field defaults to v1 and is left out, as DER requires.
    _fields = [("subject_usage", SubjectUsage),
               ("list_identifier", core.OctetString, {"optional": True}),
               ("this_update", core.UTCTime),
               ("subject_algorithm", AlgorithmIdentifier),
               ("trusted_subjects", TrustedSubjects, {"optional": True})]


# PKCS#7 v1.5 carries the content itself under [0], where CMS (and so
# asn1crypto's cms module) would wrap it in an OCTET STRING: the catalog's
# envelope is spelled out here.
class CatalogContentInfo(core.Sequence):
    _fields = [("content_type", core.ObjectIdentifier),
               ("content", CertificateTrustList, {"explicit": 0})]


class CatalogSignedData(core.Sequence):
    _fields = [("version", core.Integer), ("digest_algorithms", cms.DigestAlgorithms),
               ("content_info", CatalogContentInfo), ("signer_infos", cms.SignerInfos)]


class Catalog(core.Sequence):
    _fields = [("content_type", core.ObjectIdentifier),
               ("content", CatalogSignedData, {"explicit": 0})]


def attribute(oid, value):
    return Attribute({"type": oid, "values": [core.Any.load(value.dump())]})


def name_value(name, text):
    return attribute(CAT_NAMEVALUE_OBJID, NameValue({
        "tag": name, "flags": NAME_VALUE_FLAGS,
        "value": (text + "\0").encode("utf-16-le")}))


def pe_indirect_data(osslsigncode, path):
    """The SpcIndirectDataContent osslsigncode would sign for the image: its
    SHA-1 Authenticode hash, which leaves out the checksum, the certificate
    table entry and any signature already there."""
    with tempfile.TemporaryDirectory(prefix="vekcrash-catalog-") as work:
        data = os.path.join(work, "data.der")
        result = subprocess.run([osslsigncode, "extract-data", "-h", "sha1", "-in", path,
                                 "-out", data], capture_output=True, text=True, check=False,
                                stdin=subprocess.DEVNULL)
        if result.returncode != 0 or not os.path.isfile(data):
            detail = (result.stderr + result.stdout).strip().splitlines() or ["no message"]
            raise BadInput(f"osslsigncode cannot hash {path}: {detail[-1]}")
        with open(data, "rb") as file:
            content = cms.ContentInfo.load(file.read())["content"]["encap_content_info"]
    if content["content_type"].dotted != SPC_INDIRECT_DATA_OBJID:
        raise BadInput(f"osslsigncode gave no image hash for {path}")
    indirect = content["content"].parse(IndirectData).untag()
    if indirect["message_digest"]["algorithm"]["algorithm"].dotted != SHA1_OID:
        raise BadInput(f"osslsigncode gave no SHA-1 hash for {path}")
    return indirect


def flat_indirect_data(path):
    with open(path, "rb") as file:
        digest = hashlib.sha1(file.read()).digest()
    link = SpcLink(name="file", value=SpcString(name="unicode", value=""))
    return IndirectData({
        "data": {"type": SPC_CAB_DATA_OBJID, "value": core.Any.load(link.dump())},
        "message_digest": {"algorithm": {"algorithm": "sha1", "parameters": core.Null()},
                           "digest": digest}})


def is_pe(path):
    with open(path, "rb") as file:
        return file.read(2) == b"MZ"


def member(osslsigncode, path):
    pe = is_pe(path)
    indirect = pe_indirect_data(osslsigncode, path) if pe else flat_indirect_data(path)
    digest = indirect["message_digest"]["digest"].native
    # The tag Windows looks a file up by: its hash in upper-case hexadecimal,
    # as UTF-16LE without a terminator.
    tag = digest.hex().upper().encode("utf-16-le")
    return TrustedSubject({"identifier": tag, "attributes": [
        name_value("File", os.path.basename(path)),
        name_value("OSAttr", OS_ATTRIBUTE),
        attribute(CAT_MEMBERINFO_OBJID, MemberInfo({
            "guid": SIP_PE if pe else SIP_FLAT, "cert_version": MEMBER_CERT_VERSION})),
        attribute(SPC_INDIRECT_DATA_OBJID, indirect)]})


def driver_date(paths):
    """The INFs' DriverVer date, as the catalog's date; every INF must have
    it, and the same one, since the catalog signs them as one package."""
    dates = set()
    for path in paths:
        if path.lower().endswith(".inf"):
            with open(path, encoding="ascii", errors="replace") as file:
                match = re.search(r"^\s*DriverVer\s*=\s*(\d\d)/(\d\d)/(\d{4})", file.read(),
                                  re.IGNORECASE | re.MULTILINE)
            if not match:
                raise BadInput(f"{path} has no DriverVer mm/dd/yyyy")
            dates.add(tuple(int(part) for part in match.groups()))
    if not dates:
        raise BadInput("the package holds no INF")
    if len(dates) > 1:
        raise BadInput("the INFs' DriverVer dates differ")
    month, day, year = dates.pop()
    try:
        return datetime.datetime(year, month, day, tzinfo=datetime.timezone.utc)
    except ValueError:
        raise BadInput("the INFs' DriverVer is not a valid date") from None


def catalog(osslsigncode, paths):
    for path in paths:
        if not os.path.isfile(path):
            raise BadInput(f"{path} not found")
    names = [os.path.basename(path).lower() for path in paths]
    if len(set(names)) != len(names):
        raise BadInput("two members of the catalog have the same file name")
    members = sorted((member(osslsigncode, path) for path in paths),
                     key=lambda subject: subject["identifier"].native)
    identifier = hashlib.sha1(b"".join(subject.dump() for subject in members)).digest()[:16]
    trust_list = CertificateTrustList({
        "subject_usage": [SZOID_CATALOG_LIST],
        "list_identifier": identifier,
        "this_update": driver_date(paths),
        "subject_algorithm": {"algorithm": SZOID_CATALOG_LIST_MEMBER,
                              "parameters": core.Any.load(core.Null().dump())},
        "trusted_subjects": members})
    return Catalog({"content_type": "1.2.840.113549.1.7.2", "content": {
        "version": 1, "digest_algorithms": [],
        "content_info": {"content_type": SZOID_CTL, "content": trust_list},
        "signer_infos": []}}).dump()


class OneLineParser(argparse.ArgumentParser):
    def error(self, message):
        print(f"make_catalog: {message} (see --help)", file=sys.stderr)
        sys.exit(2)


def main(argv):
    parser = OneLineParser(description="Write the unsigned catalog of the driver package.")
    parser.add_argument("output", help="the .cat to write")
    parser.add_argument("files", nargs="+", help="the package's INFs and images")
    parser.add_argument("--osslsigncode", default="osslsigncode")
    args = parser.parse_args(argv[1:])
    try:
        data = catalog(args.osslsigncode, args.files)
        unfinished = args.output + ".unfinished"
        with open(unfinished, "wb") as file:
            file.write(data)
        os.replace(unfinished, args.output)
    except BadInput as error:
        print(f"make_catalog: {error}", file=sys.stderr)
        return 2
    except OSError as error:
        print(f"make_catalog: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
