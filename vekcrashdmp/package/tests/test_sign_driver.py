#!/usr/bin/python3
"""Tests of sign_driver.py: signing with a generated test certificate, with a
given certificate (PEM and PKCS#12), what osslsigncode and the image gate
then say, and one clear line for each bad input; and the signed package,
whose catalog osslsigncode checks the image against."""

import argparse
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

from asn1crypto import cms

PATHS = None  # set from the command line

PASSWORD = "correct horse"


def sign(*arguments):
    result = subprocess.run([PATHS.python, PATHS.signer, *arguments], capture_output=True,
                            text=True, check=False)
    return result.returncode, result.stdout, result.stderr


def verify(image, ca_file):
    result = subprocess.run([PATHS.osslsigncode, "verify", "-in", image, "-CAfile", ca_file],
                            capture_output=True, text=True, check=False)
    return result.returncode, result.stdout + result.stderr


def gate(image):
    command = [PATHS.python, PATHS.gate, image, "--pdb", os.path.splitext(PATHS.image)[0] + ".pdb",
               "--pdbutil", PATHS.pdbutil, "--objdump", PATHS.objdump, *PATHS.gate_option]
    result = subprocess.run(command, capture_output=True, text=True, check=False)
    return result.returncode, result.stdout + result.stderr


def digest(path):
    with open(path, "rb") as file:
        return hashlib.sha256(file.read()).hexdigest()


def openssl(*arguments):
    subprocess.run([PATHS.openssl, *arguments], capture_output=True, check=True)


def make_user_certificate(directory):
    """A self-signed code-signing certificate with a password on its key,
    as PEM files and as a .pfx."""
    paths = {name: os.path.join(directory, name)
             for name in ("cert.pem", "key.pem", "other.pem", "user.pfx", "password")}
    with open(paths["password"], "w", encoding="utf-8") as file:
        file.write(PASSWORD + "\n")
    openssl("req", "-x509", "-newkey", "rsa:2048", "-sha256", "-days", "30",
            "-subj", "/CN=vekcrash user", "-addext", "extendedKeyUsage=codeSigning",
            "-passout", "pass:" + PASSWORD, "-keyout", paths["key.pem"], "-out", paths["cert.pem"])
    openssl("genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048",
            "-out", paths["other.pem"])
    openssl("pkcs12", "-export", "-in", paths["cert.pem"], "-inkey", paths["key.pem"],
            "-passin", "pass:" + PASSWORD, "-passout", "pass:" + PASSWORD,
            "-out", paths["user.pfx"])
    return paths


class Signing(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.directory = tempfile.TemporaryDirectory(prefix="vekcrash-sign-test-")
        cls.root = cls.directory.name
        cls.user = make_user_certificate(cls.root)
        cls.certs = os.path.join(cls.root, "test-cert")

    @classmethod
    def tearDownClass(cls):
        cls.directory.cleanup()

    def path(self, name):
        return os.path.join(self.root, name)

    def test_signed_copies_verify_and_pass_the_gate(self):
        before = digest(PATHS.image)
        test_root = os.path.join(self.certs, "vekcrash-test-root.pem")
        cases = (
            ("generated test certificate", ["--test-cert", self.certs], test_root),
            ("test certificate made earlier", ["--test-cert", self.certs], test_root),
            ("given PEM certificate", ["--cert", self.user["cert.pem"], "--key",
                                       self.user["key.pem"], "--password-file",
                                       self.user["password"]], self.user["cert.pem"]),
            ("given PKCS#12 file", ["--pkcs12", self.user["user.pfx"], "--password-file",
                                    self.user["password"]], self.user["cert.pem"]),
        )
        first_root = None
        for case, options, ca_file in cases:
            with self.subTest(case):
                output = self.path(case.replace(" ", "_") + "/vekcrashdmp.sys")
                status, stdout, stderr = sign(PATHS.image, output, *options)
                self.assertEqual(status, 0, stderr)
                self.assertIn("signed", stdout)
                status, text = verify(output, ca_file)
                self.assertEqual(status, 0, text)
                self.assertIn("Signature verification: ok", text)
                # SHA-1 for Windows 7 without the SHA-2 update, SHA-256 nested in it.
                digests = [line.split(":")[1].strip() for line in text.splitlines()
                           if line.startswith("Message digest algorithm  :")]
                self.assertEqual(digests, ["SHA1", "SHA256"], text)
                self.assertIn("Number of verified signatures: 2", text)
                status, text = gate(output)
                self.assertEqual(status, 0, text)
                if ca_file == test_root:
                    # A test machine imports the root once: it stays.
                    first_root = first_root or digest(test_root)
                    self.assertEqual(digest(test_root), first_root)
        self.assertEqual(digest(PATHS.image), before, "the image itself was changed")
        for name in ("vekcrash-test-root.cer", "vekcrash-test-signing.cer"):
            self.assertTrue(os.path.isfile(os.path.join(self.certs, name)), name)

    def test_verify_refuses_what_it_should(self):
        output = self.path("by_user/vekcrashdmp.sys")
        status, _, stderr = sign(PATHS.image, output, "--pkcs12", self.user["user.pfx"],
                                 "--password-file", self.user["password"])
        self.assertEqual(status, 0, stderr)
        cases = (("unsigned image", PATHS.image, self.user["cert.pem"]),
                 ("signer not under the given root", output,
                  os.path.join(self.certs, "vekcrash-test-root.pem")))
        sign(PATHS.image, self.path("unused.sys"), "--test-cert", self.certs)
        for case, image, ca_file in cases:
            with self.subTest(case):
                status, text = verify(image, ca_file)
                self.assertNotEqual(status, 0, text)

    def test_bad_inputs_give_one_line_and_status_2(self):
        wrong_password = self.path("wrong-password")
        with open(wrong_password, "w", encoding="utf-8") as file:
            file.write("not it\n")
        not_pe = self.path("notes.txt")
        with open(not_pe, "w", encoding="utf-8") as file:
            file.write("MZ but nothing more\n")
        partial = self.path("partial-certs")
        os.makedirs(partial)
        with open(os.path.join(partial, "vekcrash-test-root.pem"), "w", encoding="ascii") as file:
            file.write("left over\n")
        undated = self.path("undated-package")
        shutil.copytree(PATHS.package, undated)
        with open(os.path.join(undated, "vekcrashdmp.inf"), "r+", encoding="ascii") as inf:
            text = inf.read().replace("DriverVer", "; DriverVer")
            inf.seek(0)
            inf.write(text)
        user = self.user
        cases = (
            ("folder that is not a package", [partial, "--test-cert", self.certs],
             "is not a driver package"),
            ("package INF without DriverVer", [undated, "--test-cert", self.certs], "no DriverVer"),
            ("missing key", [PATHS.image, "--cert", user["cert.pem"], "--key",
                             self.path("absent.pem")], "not found"),
            ("wrong password", [PATHS.image, "--cert", user["cert.pem"], "--key", user["key.pem"],
                                "--password-file", wrong_password], "wrong password"),
            ("no password", [PATHS.image, "--cert", user["cert.pem"], "--key", user["key.pem"]],
             "wrong password"),
            ("wrong PKCS#12 password", [PATHS.image, "--pkcs12", user["user.pfx"],
                                        "--password-file", wrong_password], "wrong password"),
            ("key of another certificate", [PATHS.image, "--cert", user["cert.pem"], "--key",
                                            user["other.pem"]], "is not the key of"),
            ("certificate that is not one", [PATHS.image, "--cert", not_pe, "--key",
                                             user["other.pem"]], "is not a certificate"),
            ("input that is not a PE image", [not_pe, "--test-cert", self.certs],
             "is not a PE image"),
            ("missing input", [self.path("absent.sys"), "--test-cert", self.certs], "not found"),
            ("part of a test certificate set", [PATHS.image, "--test-cert", partial],
             "only part of a test certificate set"),
            ("certificate without key", [PATHS.image, "--cert", user["cert.pem"]],
             "--cert needs --key"),
            ("no certificate at all", [PATHS.image], "is required"),
        )
        for case, arguments, expected in cases:
            with self.subTest(case):
                output = self.path("bad/vekcrashdmp.sys")
                status, stdout, stderr = sign(arguments[0], output, *arguments[1:])
                self.assertEqual(status, 2, stderr)
                self.assertEqual(stdout, "")
                lines = stderr.splitlines()
                self.assertEqual(len(lines), 1, stderr)
                self.assertTrue(lines[0].startswith("sign_driver: "), stderr)
                self.assertIn(expected, lines[0])
                self.assertFalse(os.path.exists(output))

    def test_signed_package_verifies_and_each_tampering_is_found(self):
        signed = self.path("package")
        status, _, stderr = sign(PATHS.package, signed, "--test-cert", self.certs)
        self.assertEqual(status, 0, stderr)
        catalog = lambda folder: os.path.join(folder, "vekcrashdmp.cat")  # noqa: E731

        def sign_catalog_as_user(folder):
            os.remove(catalog(folder))
            subprocess.run([PATHS.osslsigncode, "sign", "-certs", self.user["cert.pem"],
                            "-key", self.user["key.pem"], "-pass", PASSWORD, "-h", "sha1",
                            "-in", catalog(PATHS.package), "-out", catalog(folder)],
                           capture_output=True, check=True)

        cases = (
            ("as signed", lambda folder: None, []),
            ("a byte of the image changed", lambda folder: change_byte(folder, "vekcrashdmp.sys"),
             ["vekcrashdmp.sys"]),
            ("a byte of the INF changed", lambda folder: change_byte(folder, "vekcrashdmp.inf"),
             ["vekcrashdmp.inf"]),
            ("a byte of the legacy INF changed",
             lambda folder: change_byte(folder, "vekcrashdmp-legacy.inf"),
             ["vekcrashdmp-legacy.inf"]),
            ("catalog signed by another certificate", sign_catalog_as_user, ["vekcrashdmp.sys"]),
            ("catalog missing", lambda folder: os.remove(catalog(folder)),
             ["vekcrashdmp-legacy.inf", "vekcrashdmp.inf", "vekcrashdmp.sys"]),
        )
        root = os.path.join(self.certs, "vekcrash-test-root.pem")
        for case, tamper, refused in cases:
            with self.subTest(case):
                folder = self.path(case.replace(" ", "_"))
                shutil.copytree(signed, folder)
                tamper(folder)
                self.assertEqual(package_faults(folder, root), refused)

    def test_the_image_itself_is_never_the_output(self):
        status, _, stderr = sign(PATHS.image, PATHS.image, "--test-cert", self.certs)
        self.assertEqual(status, 2, stderr)
        self.assertIn("copy", stderr)


def catalog_members(path):
    """{file name: member tag} of a signed catalog."""
    sys.path.insert(0, os.path.dirname(PATHS.signer))
    import make_catalog  # the catalog's own types; the tags are checked by hashing here
    with open(path, "rb") as file:
        content = cms.ContentInfo.load(file.read())["content"]["encap_content_info"]
    members = {}
    for subject in content["content"].parse(make_catalog.CertificateTrustList)["trusted_subjects"]:
        for attribute in subject["attributes"]:
            if attribute["type"].dotted == make_catalog.CAT_NAMEVALUE_OBJID:
                value = attribute["values"][0].parse(make_catalog.NameValue)
                if value["tag"].native == "File":
                    name = value["value"].native.decode("utf-16-le").rstrip("\0")
                    members[name] = subject["identifier"].native.decode("utf-16-le")
    return members


def package_faults(folder, root):
    """The files of the package that Windows would not take: the image as
    osslsigncode checks it against the signed catalog, each INF by its flat
    hash in that catalog."""
    catalog = os.path.join(folder, "vekcrashdmp.cat")
    result = subprocess.run([PATHS.osslsigncode, "verify", "-CAfile", root, "-catalog", catalog,
                             "-in", os.path.join(folder, "vekcrashdmp.sys")],
                            capture_output=True, text=True, check=False)
    faults = [] if result.returncode == 0 else ["vekcrashdmp.sys"]
    members = catalog_members(catalog) if os.path.isfile(catalog) else {}
    for name in ("vekcrashdmp.inf", "vekcrashdmp-legacy.inf"):
        with open(os.path.join(folder, name), "rb") as file:
            if members.get(name) != hashlib.sha1(file.read()).hexdigest().upper():
                faults.append(name)
    return sorted(faults)


def change_byte(folder, name):
    with open(os.path.join(folder, name), "r+b") as file:
        file.seek(file.seek(0, os.SEEK_END) // 2)
        byte = file.read(1)[0]
        file.seek(-1, os.SEEK_CUR)
        file.write(bytes([byte ^ 0x01]))


def main():
    global PATHS
    parser = argparse.ArgumentParser()
    parser.add_argument("--signer", required=True)
    parser.add_argument("--image", required=True, help="the built vekcrashdmp.sys")
    parser.add_argument("--package", required=True, help="the built package folder")
    parser.add_argument("--gate", required=True)
    parser.add_argument("--pdbutil", required=True)
    parser.add_argument("--objdump", required=True)
    parser.add_argument("--gate-option", action="append", default=[],
                        help="an option the build gives the gate (repeatable, as --gate-option=X)")
    parser.add_argument("--osslsigncode", default="osslsigncode")
    parser.add_argument("--openssl", default="openssl")
    parser.add_argument("--python", default=sys.executable)
    PATHS, rest = parser.parse_known_args()
    if not os.path.isfile(PATHS.image):
        sys.exit(f"{PATHS.image} is missing: build the project before running the tests")
    unittest.main(argv=[sys.argv[0], *rest])


if __name__ == "__main__":
    main()
