"""CCmsSigner of the exchange module reached by ProgID from Python: bytes in
and out, the signer results, and what it signs checked by openssl cms."""
import datetime
import os
import subprocess
import tempfile
import unittest

BUILD = os.environ["TRUMIK_BUILD_DIR"]
HOME = tempfile.mkdtemp(prefix="trumik-python-cms-")
os.environ["TRUMIK_HOME"] = HOME  # before the platform library is loaded

from trumik.client import Dispatch  # noqa: E402

TRUMIK = os.path.join(BUILD, "bin", "trumik")
PROGID = "ZelvaneTrumikExchange.CmsSigner"


def trumik(*args):
    return subprocess.run([TRUMIK, *args], check=True, capture_output=True, text=True).stdout


def setUpModule():
    global THUMBPRINT
    trumik("register", os.path.join(BUILD, "lib", "Zelvane.Trumik.Exchange.so"))
    THUMBPRINT = trumik("cert", "new", "--subject", "CN=Python CMS", "--algorithm", "gost2012-256", "--pin",
                        "1234").strip()


class CmsSignerTest(unittest.TestCase):

    def test_detached_signature_verifies_here_and_with_openssl(self):
        data = "Документ для подписи".encode("utf-8")
        with Dispatch(PROGID) as signer:
            signed = signer.Sign(data, "My", THUMBPRINT, "1234", True)
            self.assertIsInstance(signed, bytes)
            self.assertTrue(signer.Verify(signed, data))
            self.assertEqual(signer.SignerCount(), 1)
            self.assertTrue(signer.SignerValid(0))
            self.assertIn("CN=Python CMS", signer.SignerSubject(0))
            when = signer.SigningTime(0)
            self.assertIsInstance(when, datetime.datetime)
            self.assertLess(abs((datetime.datetime.utcnow() - when).total_seconds()), 3600)
            self.assertFalse(signer.Verify(signed, data + b"!"))
            self.assertEqual(signer.GetLastErrorCode(), 0)
            self.assertFalse(signer.Verify(signed, b""))
            self.assertEqual(signer.GetLastErrorCode(), 33007)
        with tempfile.TemporaryDirectory() as work:
            paths = [os.path.join(work, n) for n in ("sig.p7s", "data.bin")]
            for path, content in zip(paths, (signed, data)):
                with open(path, "wb") as f:
                    f.write(content)
            subprocess.run(["openssl", "cms", "-verify", "-engine", "gost", "-binary", "-inform", "DER", "-noverify",
                            "-in", paths[0], "-content", paths[1], "-out", os.devnull],
                           check=True, capture_output=True)

    def test_attached_content_and_a_second_signer(self):
        with Dispatch(PROGID) as signer:
            signed = signer.Sign(b"attached", "My", THUMBPRINT, "1234", False)
            both = signer.CoSign(signed, None, "My", THUMBPRINT, "1234")
            self.assertTrue(signer.Verify(both, None))
            self.assertEqual(signer.SignerCount(), 2)
            self.assertEqual(bytes(signer.Content()), b"attached")
            self.assertIsNone(signer.Sign(b"x", "My", THUMBPRINT, "9999", True))
            self.assertEqual(signer.GetLastErrorCode(), 32019)


if __name__ == "__main__":
    unittest.main()
