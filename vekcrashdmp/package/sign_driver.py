#!/usr/bin/python3
"""Signs a copy of the driver image, or of the whole driver package, with
Authenticode, on Linux, with no Windows kit: openssl checks the certificate
and key, osslsigncode signs.

    sign_driver.py SOURCE OUTPUT --cert CERT.pem --key KEY.pem [--password-file FILE]
    sign_driver.py SOURCE OUTPUT --pkcs12 FILE.pfx [--password-file FILE]
    sign_driver.py SOURCE OUTPUT --test-cert DIR
    (any of them with --timestamp URL)

SOURCE is an image (OUTPUT: its signed copy) or a package folder (OUTPUT: a
new folder holding the package with its images signed and its catalog made
again from the signed files and signed). SOURCE is never changed.

An image gets a SHA-1 signature with a SHA-256 one nested in it: Windows 7
and Server 2008 R2 check only SHA-1 unless the SHA-2 code signing update is
installed, later versions use the SHA-256 one. The catalog, which cannot
hold a nested signature, is signed with SHA-1, which every version reads.

--test-cert uses the test
certificates in DIR, making them first if DIR holds none: a test root
(vekcrash-test-root.cer, to import on the test machine, .pem and .key) and
a code-signing certificate it issued (vekcrash-test-signing.cer, .pem and
.key).
They are for machines in test mode only; Windows with Secure Boot loads a
kernel driver only with Microsoft's signature.

Exit status: 0 signed; 2 a bad input (a missing or unreadable file, a wrong
password, a key that is not the certificate's, an image that is not a PE32+
x64 image, a folder that is not a driver package), with one line saying
which; 1 a tool that failed on good input.
"""

import argparse
import os
import shutil
import struct
import subprocess
import sys
import tempfile

MZ = b"MZ"
PE_SIGNATURE = b"PE\0\0"
E_LFANEW_OFFSET = 0x3C
MACHINE_AMD64 = 0x8664
MAGIC_PE32_PLUS = 0x20B
OPTIONAL_MAGIC = 24
HEADER_BYTES = 4096

TEST_ROOT = "vekcrash-test-root"
TEST_SIGNING = "vekcrash-test-signing"
TEST_FILES = (TEST_ROOT + ".pem", TEST_ROOT + ".cer", TEST_ROOT + ".key",
              TEST_SIGNING + ".pem", TEST_SIGNING + ".cer", TEST_SIGNING + ".key")
TEST_DAYS = "3650"
# The first signature, then the one nested in it (see above).
IMAGE_DIGESTS = ("sha1", "sha256")
CATALOG_DIGEST = "sha1"
MAKE_CATALOG = os.path.join(os.path.dirname(os.path.abspath(__file__)), "make_catalog.py")
DESCRIPTION = "vekcrashdmp"
PASSWORD_VARIABLE = "VEK_SIGN_PASSWORD"


class BadInput(Exception):
    """Input the user can fix: exit status 2."""


class ToolFailed(Exception):
    """A tool failed on input that passed the checks: exit status 1."""


def run(command, what, bad_input=False, env=None):
    result = subprocess.run(command, capture_output=True, text=True, check=False,
                            stdin=subprocess.DEVNULL, env=env)
    if result.returncode != 0:
        detail = (result.stderr.strip().splitlines() or result.stdout.strip().splitlines()
                  or ["no message"])[-1]
        raise (BadInput if bad_input else ToolFailed)(f"{what}: {detail}")
    return result.stdout


def require_file(path, what):
    if not os.path.isfile(path):
        raise BadInput(f"{what} {path} not found")
    if not os.access(path, os.R_OK):
        raise BadInput(f"{what} {path} cannot be read")


def check_image(path):
    require_file(path, "image")
    with open(path, "rb") as file:
        head = file.read(HEADER_BYTES)
    nt = struct.unpack_from("<i", head, E_LFANEW_OFFSET)[0] if len(head) >= 64 else -1
    if (not head.startswith(MZ) or nt < 0 or nt + OPTIONAL_MAGIC + 2 > len(head)
            or head[nt:nt + 4] != PE_SIGNATURE):
        raise BadInput(f"{path} is not a PE image")
    machine = struct.unpack_from("<H", head, nt + 4)[0]
    magic = struct.unpack_from("<H", head, nt + OPTIONAL_MAGIC)[0]
    if (machine, magic) != (MACHINE_AMD64, MAGIC_PE32_PLUS):
        raise BadInput(f"{path} is not a PE32+ x64 image")


def check_package(path):
    """The package's catalog (exactly one .cat) and its images (.sys)."""
    names = sorted(os.listdir(path))
    catalogs = [name for name in names if name.lower().endswith(".cat")]
    images = [name for name in names if name.lower().endswith(".sys")]
    infs = [name for name in names if name.lower().endswith(".inf")]
    if len(catalogs) != 1 or not images or not infs:
        raise BadInput(f"{path} is not a driver package: it needs one .cat, an INF and a .sys")
    for name in images:
        check_image(os.path.join(path, name))
    return names, catalogs[0], images, infs


def make_test_certificates(openssl, directory):
    """A root that issues one code-signing certificate, as a test machine
    trusts them: the root in its Root store, the signer in TrustedPublisher."""
    present = [name for name in TEST_FILES if os.path.exists(os.path.join(directory, name))]
    if len(present) == len(TEST_FILES):
        return
    if present:
        raise BadInput(f"{directory} holds only part of a test certificate set "
                       f"({', '.join(present)}); remove them or give another folder")
    os.makedirs(directory, exist_ok=True)
    # Made in a folder of its own and moved in only when complete, so a
    # failed run leaves no part of a set behind.
    making = tempfile.mkdtemp(prefix=".making-", dir=directory)
    path = lambda name: os.path.join(making, name)  # noqa: E731
    root_config = path("root.cnf")
    signing_config = path("signing.cnf")
    with open(root_config, "w", encoding="ascii") as file:
        file.write("[req]\ndistinguished_name = dn\nprompt = no\nx509_extensions = ext\n"
                   "[dn]\nCN = vekcrash test root\n"
                   "[ext]\nbasicConstraints = critical, CA:true\n"
                   "keyUsage = critical, keyCertSign, cRLSign\n"
                   "subjectKeyIdentifier = hash\n")
    with open(signing_config, "w", encoding="ascii") as file:
        file.write("[ext]\nbasicConstraints = critical, CA:false\n"
                   "keyUsage = critical, digitalSignature\n"
                   "extendedKeyUsage = codeSigning\n"
                   "subjectKeyIdentifier = hash\nauthorityKeyIdentifier = keyid\n")
    old_mask = os.umask(0o077)
    try:
        run([openssl, "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-sha256",
             "-days", TEST_DAYS, "-config", root_config,
             "-keyout", path(TEST_ROOT + ".key"), "-out", path(TEST_ROOT + ".pem")],
            "openssl cannot make the test root")
        run([openssl, "req", "-new", "-newkey", "rsa:2048", "-nodes", "-sha256",
             "-subj", "/CN=vekcrash test signing", "-keyout", path(TEST_SIGNING + ".key"),
             "-out", path("signing.csr")], "openssl cannot make the signing request")
        run([openssl, "x509", "-req", "-sha256", "-days", TEST_DAYS, "-in", path("signing.csr"),
             "-CA", path(TEST_ROOT + ".pem"), "-CAkey", path(TEST_ROOT + ".key"),
             "-CAcreateserial", "-extfile", signing_config, "-extensions", "ext",
             "-out", path(TEST_SIGNING + ".pem")], "openssl cannot issue the signing certificate")
        for name in (TEST_ROOT, TEST_SIGNING):
            run([openssl, "x509", "-in", path(name + ".pem"), "-outform", "DER",
                 "-out", path(name + ".cer")], f"openssl cannot write {name}.cer")
        for name in TEST_FILES:
            if not name.endswith(".key"):
                os.chmod(path(name), 0o644)  # certificates are public
            os.replace(path(name), os.path.join(directory, name))
    finally:
        os.umask(old_mask)
        shutil.rmtree(making, ignore_errors=True)


def read_password(path):
    if path is None:
        return ""
    require_file(path, "password file")
    with open(path, encoding="utf-8") as file:
        return file.readline().rstrip("\r\n")


def certificate_pem(openssl, path, work):
    """The certificate (chain) as PEM, whether it was given as PEM or DER."""
    require_file(path, "certificate")
    with open(path, "rb") as file:
        if b"-----BEGIN CERTIFICATE-----" in file.read():
            run([openssl, "x509", "-in", path, "-noout"], f"{path} is not a certificate",
                bad_input=True)
            return path
    converted = os.path.join(work, "certificate.pem")
    run([openssl, "x509", "-inform", "DER", "-in", path, "-out", converted],
        f"{path} is not a certificate", bad_input=True)
    return converted


def unpack_pkcs12(openssl, path, environment, work):
    """Certificate chain and key from a .pfx, into the private work folder."""
    require_file(path, "PKCS#12 file")
    certificate = os.path.join(work, "certificate.pem")
    key = os.path.join(work, "key.pem")
    for extra in ([], ["-legacy"]):
        try:
            run([openssl, "pkcs12", *extra, "-in", path, "-passin", "env:" + PASSWORD_VARIABLE,
                 "-nokeys", "-out", certificate], "", bad_input=True, env=environment)
            run([openssl, "pkcs12", *extra, "-in", path, "-passin", "env:" + PASSWORD_VARIABLE,
                 "-nocerts", "-nodes", "-out", key], "", bad_input=True, env=environment)
            return certificate, key
        except BadInput:
            continue
    raise BadInput(f"cannot read {path}: wrong password, or not a PKCS#12 file")


def check_key(openssl, certificate, key, environment):
    require_file(key, "key")
    try:
        key_public = run([openssl, "pkey", "-in", key, "-passin", "env:" + PASSWORD_VARIABLE,
                          "-pubout"], "", bad_input=True, env=environment)
    except BadInput:
        raise BadInput(f"cannot read the key {key}: wrong password, or not a private key") \
            from None
    certificate_public = run([openssl, "x509", "-in", certificate, "-noout", "-pubkey"],
                             f"cannot read the certificate {certificate}", bad_input=True)
    if key_public.strip() != certificate_public.strip():
        raise BadInput(f"{key} is not the key of the certificate {certificate}")


def sign(args):
    openssl, osslsigncode = args.openssl, args.osslsigncode
    for tool in (openssl, osslsigncode):
        if shutil.which(tool) is None:
            raise BadInput(f"{tool} not found (Debian: openssl, osslsigncode)")
    package = os.path.isdir(args.image)
    if package:
        names, catalog, images, infs = check_package(args.image)
        if os.path.exists(args.output):
            raise BadInput(f"{args.output} exists: the signed package goes to a new folder")
    else:
        check_image(args.image)
    if os.path.realpath(args.output) == os.path.realpath(args.image):
        raise BadInput("OUTPUT must not be the image itself: the signed image is a copy")
    password = read_password(args.password_file)
    environment = dict(os.environ, **{PASSWORD_VARIABLE: password})

    with tempfile.TemporaryDirectory(prefix="vekcrash-sign-") as work:
        os.chmod(work, 0o700)
        if args.test_cert:
            make_test_certificates(openssl, args.test_cert)
            certificate = os.path.join(work, "chain.pem")
            with open(certificate, "w", encoding="ascii") as chain:
                for name in (TEST_SIGNING + ".pem", TEST_ROOT + ".pem"):
                    with open(os.path.join(args.test_cert, name), encoding="ascii") as part:
                        chain.write(part.read())
            key = os.path.join(args.test_cert, TEST_SIGNING + ".key")
        elif args.pkcs12:
            certificate, key = unpack_pkcs12(openssl, args.pkcs12, environment, work)
        else:
            certificate = certificate_pem(openssl, args.cert, work)
            key = args.key
        check_key(openssl, certificate, key, environment)

        password_options = []
        if password:
            password_file = os.path.join(work, "password")
            with open(password_file, "w", encoding="utf-8") as file:
                file.write(password)
            password_options = ["-readpass", password_file]
        signing = [osslsigncode, "sign", "-certs", certificate, "-key", key, *password_options,
                   "-n", DESCRIPTION]
        if args.timestamp:
            signing += ["-ts", args.timestamp]

        def sign_image(source, output):
            first = os.path.join(work, "sha1.sys")
            run([*signing, "-h", IMAGE_DIGESTS[0], "-in", source, "-out", first],
                "osslsigncode cannot sign")
            run([*signing, "-nest", "-h", IMAGE_DIGESTS[1], "-in", first, "-out", output],
                "osslsigncode cannot add the nested signature")
            os.remove(first)

        directory = os.path.dirname(os.path.abspath(args.output))
        os.makedirs(directory, exist_ok=True)
        unfinished = os.path.join(work, "signed")
        if not package:
            sign_image(args.image, unfinished)
            shutil.move(unfinished, args.output)
            return
        os.makedirs(unfinished)
        for name in names:
            source, copy = os.path.join(args.image, name), os.path.join(unfinished, name)
            if name in images:
                sign_image(source, copy)
            elif name != catalog:
                shutil.copyfile(source, copy)
        # Made again from the signed images, so that what the catalog holds is
        # the hash of the files it ships with.
        unsigned_catalog = os.path.join(work, "unsigned.cat")
        run([sys.executable, MAKE_CATALOG, unsigned_catalog,
             *[os.path.join(unfinished, name) for name in infs + images],
             "--osslsigncode", osslsigncode], "cannot make the catalog", bad_input=True)
        run([*signing, "-h", CATALOG_DIGEST, "-in", unsigned_catalog,
             "-out", os.path.join(unfinished, catalog)], "osslsigncode cannot sign the catalog")
        shutil.move(unfinished, args.output)


class OneLineParser(argparse.ArgumentParser):
    def error(self, message):
        print(f"sign_driver: {message} (see --help)", file=sys.stderr)
        sys.exit(2)


def main(argv):
    parser = OneLineParser(description="Sign a copy of the driver image.")
    parser.add_argument("image", metavar="source",
                        help="the .sys or the package folder to sign (left unchanged)")
    parser.add_argument("output", help="where the signed copy goes")
    source = parser.add_mutually_exclusive_group(required=True)
    source.add_argument("--cert", help="signing certificate (PEM or DER; a PEM may hold "
                                       "the chain after it)")
    source.add_argument("--pkcs12", help="certificate and key in one .pfx/.p12 file")
    source.add_argument("--test-cert", metavar="DIR",
                        help="sign with the test certificate in DIR, made there if absent")
    parser.add_argument("--key", help="private key of --cert (PEM)")
    parser.add_argument("--password-file", help="first line: the password of the key or .pfx")
    parser.add_argument("--timestamp", metavar="URL",
                        help="an RFC 3161 time-stamp server, so that the signatures outlive "
                             "the certificate")
    parser.add_argument("--openssl", default="openssl")
    parser.add_argument("--osslsigncode", default="osslsigncode")
    try:
        args = parser.parse_args(argv[1:])
    except SystemExit as error:
        return 2 if error.code else 0
    try:
        if args.cert and not args.key:
            raise BadInput("--cert needs --key")
        if args.key and not args.cert:
            raise BadInput("--key goes with --cert")
        sign(args)
    except BadInput as error:
        print(f"sign_driver: {error}", file=sys.stderr)
        return 2
    except (ToolFailed, OSError) as error:
        print(f"sign_driver: {error}", file=sys.stderr)
        return 1
    print(f"sign_driver: signed {args.output}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
