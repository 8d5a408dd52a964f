#!/usr/bin/python3
"""Tests of sign_driver.py: signing with a generated test certificate, with a
given certificate (PEM and PKCS#12), what osslsigncode and the image gate
then say, and one clear line for each bad input."""

import argparse
import hashlib
import os
import subprocess
import sys
import tempfile
import unittest

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
        user = self.user
        cases = (
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

    def test_the_image_itself_is_never_the_output(self):
        status, _, stderr = sign(PATHS.image, PATHS.image, "--test-cert", self.certs)
        self.assertEqual(status, 2, stderr)
        self.assertIn("copy", stderr)


def main():
    global PATHS
    parser = argparse.ArgumentParser()
    parser.add_argument("--signer", required=True)
    parser.add_argument("--image", required=True, help="the built vekcrashdmp.sys")
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
