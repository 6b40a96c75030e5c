"""scripts/release.sh: the unsigned release, a release signed with a throw-away code-signing
certificate (checked with osslsigncode and run under Wine), and the inputs it must refuse."""

import hashlib
import os
import shutil
import subprocess
import tempfile
import unittest

from tests.support import e2e
from tests.support import packages
from tests.support import wine_harness as wh

RELEASE_SCRIPT = os.path.join(wh.SOURCE_DIR, "scripts", "release.sh")
PASSWORD = "pass word with spaces"


def openssl(*args):
    subprocess.run(["openssl", *args], check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)


def make_code_signing_pfx(folder):
    """A throw-away CA and a code-signing certificate it issued, exported with its key."""
    ca_key, ca_pem = os.path.join(folder, "ca.key"), os.path.join(folder, "ca.pem")
    key, csr, pem = (os.path.join(folder, name) for name in ("sign.key", "sign.csr", "sign.pem"))
    extensions = os.path.join(folder, "sign.ext")
    pfx = os.path.join(folder, "sign.pfx")
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", ca_key, "-out", ca_pem,
            "-days", "2", "-subj", "/CN=Quorvalent Throw-away Test CA",
            "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", csr,
            "-subj", "/CN=Quorvalent Test Publisher")
    with open(extensions, "w") as f:
        f.write("basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\n"
                "extendedKeyUsage=codeSigning\n")
    openssl("x509", "-req", "-in", csr, "-CA", ca_pem, "-CAkey", ca_key, "-CAcreateserial",
            "-out", pem, "-days", "2", "-extfile", extensions)
    openssl("pkcs12", "-export", "-inkey", key, "-in", pem, "-certfile", ca_pem, "-out", pfx,
            "-passout", "pass:" + PASSWORD)
    return pfx, ca_pem


def free_port():
    import socket
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class ReleaseScript(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="qv-release-test-")
        # One build folder for every run here: the first run builds, the rest only relink-check.
        cls.build = os.path.join(cls.work, "build")
        cls.pfx, cls.ca = make_code_signing_pfx(cls.work)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def release(self, out_dir, **signing):
        env = {k: v for k, v in os.environ.items() if not k.startswith("QUORVALENT_SIGN_")}
        env["QUORVALENT_RELEASE_BUILD_DIR"] = self.build
        env.update(signing)
        return subprocess.run(["bash", RELEASE_SCRIPT, out_dir], env=env, text=True,
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=900)

    def assert_checksum_file(self, out_dir):
        program = os.path.join(out_dir, "QuorvalentInstaller.exe")
        with open(program, "rb") as f:
            digest = hashlib.sha256(f.read()).hexdigest()
        with open(os.path.join(out_dir, "SHA256SUMS")) as f:
            self.assertEqual(f.read(), digest + "  QuorvalentInstaller.exe\n")
        return program

    def test_unsigned_release_says_so(self):
        out_dir = os.path.join(self.work, "unsigned")
        result = self.release(out_dir)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("Signature:    UNSIGNED", result.stdout)
        self.assertIn("Release base: https://github.com/quorvalent\n", result.stdout)
        program = self.assert_checksum_file(out_dir)
        verify = subprocess.run(["osslsigncode", "verify", "-in", program],
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        self.assertNotEqual(verify.returncode, 0, verify.stdout)

    def test_signed_release_verifies_and_runs(self):
        out_dir = os.path.join(self.work, "signed")
        result = self.release(out_dir, QUORVALENT_SIGN_PFX=self.pfx,
                              QUORVALENT_SIGN_PASSWORD=PASSWORD)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("Signature:    signed (Authenticode, SHA-256) by CN = Quorvalent Test "
                      "Publisher, not timestamped", result.stdout)
        program = self.assert_checksum_file(out_dir)

        verify = subprocess.run(["osslsigncode", "verify", "-in", program, "-CAfile", self.ca],
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        self.assertEqual(verify.returncode, 0, verify.stdout)
        self.assertIn("Message digest algorithm  : SHA256", verify.stdout)
        self.assertIn("Signature verification: ok", verify.stdout)

        # The signed program still starts and does its job: its own acceptance test. A host
        # whose kernel runs no 32-bit code tests a 64-bit build and cannot start the shipped one.
        if not wh.RUNS_SHIPPED_PROGRAM:
            self.skipTest("this host runs no 32-bit programs; the signature was checked")
        safe, unsafe = packages.make_self_test_archives(self.work)
        run = e2e.run_program(program, "--self-test", wh.windows_path(safe),
                              wh.windows_path(unsafe))
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertTrue(run.stdout.startswith(e2e.OPENING_BANNER), run.stdout[:200])
        self.assertTrue(run.stdout.endswith(e2e.SELF_TEST_OK), run.stdout[-200:])

    def test_refused_inputs(self):
        junk = os.path.join(self.work, "junk.pfx")
        with open(junk, "wb") as f:
            f.write(os.urandom(700))
        closed = "http://127.0.0.1:%d/" % free_port()
        missing = os.path.join(self.work, "missing.pfx")
        cases = [
            ("certificate file missing",
             dict(QUORVALENT_SIGN_PFX=missing, QUORVALENT_SIGN_PASSWORD=PASSWORD),
             "release: signing certificate not found: " + missing),
            ("certificate path is a folder",
             dict(QUORVALENT_SIGN_PFX=self.work, QUORVALENT_SIGN_PASSWORD=PASSWORD),
             "release: signing certificate cannot be read: " + self.work),
            ("certificate file is not PKCS#12",
             dict(QUORVALENT_SIGN_PFX=junk, QUORVALENT_SIGN_PASSWORD=PASSWORD),
             "release: signing certificate is not a readable PKCS#12 file: " + junk),
            ("wrong password",
             dict(QUORVALENT_SIGN_PFX=self.pfx, QUORVALENT_SIGN_PASSWORD="not it"),
             "release: wrong password for the signing certificate " + self.pfx),
            ("password missing",
             dict(QUORVALENT_SIGN_PFX=self.pfx),
             "release: QUORVALENT_SIGN_PFX is set but QUORVALENT_SIGN_PASSWORD is not"),
            ("password without a certificate",
             dict(QUORVALENT_SIGN_PASSWORD=PASSWORD),
             "release: QUORVALENT_SIGN_PASSWORD is set but QUORVALENT_SIGN_PFX is not"),
            ("timestamp server without a certificate",
             dict(QUORVALENT_SIGN_TIMESTAMP_URL=closed),
             "release: QUORVALENT_SIGN_TIMESTAMP_URL is set but QUORVALENT_SIGN_PFX is not"),
            ("signing fails: timestamp server does not answer",
             dict(QUORVALENT_SIGN_PFX=self.pfx, QUORVALENT_SIGN_PASSWORD=PASSWORD,
                  QUORVALENT_SIGN_TIMESTAMP_URL=closed),
             "release: signing failed (timestamp server %s)" % closed),
        ]
        for label, signing, message in cases:
            with self.subTest(label):
                out_dir = os.path.join(self.work, "refused")
                result = self.release(out_dir, **signing)
                self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
                self.assertIn(message, result.stderr)
                self.assertFalse(os.path.exists(out_dir), "nothing lands in OUT_DIR")


if __name__ == "__main__":
    unittest.main()
