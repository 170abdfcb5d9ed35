"""trumik.client against the module of the build: every class by ProgID, the
conversions both ways, failing HRESULTs as com_error, and release."""
import base64
import ctypes
import datetime
import gc
import os
import subprocess
import tempfile
import unittest

BUILD = os.environ["TRUMIK_BUILD_DIR"]
HOME = tempfile.mkdtemp(prefix="trumik-python-client-")
os.environ["TRUMIK_HOME"] = HOME  # before the platform library is loaded

from trumik import _native  # noqa: E402
from trumik.client import CDispatch, Dispatch, com_error  # noqa: E402

PIN = "1234"
TRUMIK = os.path.join(BUILD, "bin", "trumik")
S_OK, S_FALSE = 0, 1
DISP_E_BADPARAMCOUNT = ctypes.c_int32(0x8002000E).value
DISP_E_TYPEMISMATCH = ctypes.c_int32(0x80020005).value


def trumik(*args):
    return subprocess.run([TRUMIK, *args], check=True, capture_output=True, text=True).stdout


def setUpModule():
    global THUMBPRINT, CERT
    trumik("register")
    THUMBPRINT = trumik("cert", "new", "--subject", "CN=Python client", "--container", "python-client", "--pin",
                        PIN).strip()
    CERT = os.path.join(HOME, "signer.der")
    trumik("cert", "export", THUMBPRINT, "--out", CERT)


def module_can_unload():
    """DllCanUnloadNow of the module the objects come from (already loaded)."""
    module = ctypes.CDLL(os.path.join(BUILD, "lib", "Zelvane.Trumik.XmlSigner.so"))
    module.DllCanUnloadNow.restype = ctypes.c_int32
    return module.DllCanUnloadNow()


class ClassesByNameTest(unittest.TestCase):

    def test_every_class_by_progid_and_clsid(self):
        fresh = {
            "ZelvaneTrumikXmlSigner.CryptEncMessage": ("CryptGetLastError", "CryptGetLastErrorCode"),
            "ZelvaneTrumikXmlSigner.MSXmlSigner.1": ("SignGetLastError", "SignGetLastErrorCode"),
            "ZelvaneTrumikXmlSigner.MSXmlVerifier": ("SignGetLastError", "SignGetLastErrorCode"),
        }
        for progid, (message, code) in fresh.items():
            with Dispatch(progid) as obj:
                self.assertEqual(getattr(obj, message)(), "", progid)
                self.assertEqual(getattr(obj, code)(), 0, progid)
        with Dispatch("ZelvaneTrumik.XmlSigner") as pem_signer:
            self.assertEqual(pem_signer.SignFGetLastError(), "")
        with Dispatch("{3C6084B9-D9AD-4B67-8D80-5B7969A86364}") as by_clsid:
            self.assertEqual(by_clsid.SignWithKey("<a/>", os.path.join(HOME, "missing.pem")), None)
            self.assertEqual(by_clsid.SignFGetLastError(),
                             "10001 - Путь к PEM-файлу пуст или PEM-файл с ключём не найден.")

    def test_names_in_any_letter_case(self):
        with Dispatch("ZelvaneTrumikXmlSigner.MSXmlSigner") as signer:
            self.assertEqual(signer.signgetlasterrorcode(), 0)
            self.assertEqual(signer.SIGNGETLASTERROR(), "")
            with self.assertRaises(AttributeError):
                signer.SignWithCertStoreAndMore


class SignAndVerifyTest(unittest.TestCase):

    def test_gost_signature_made_and_verified_by_name(self):
        signer = Dispatch("ZelvaneTrumikXmlSigner.MSXmlSigner")
        signed = signer.SignWithCertStorePass("<doc><p>Привет</p></doc>", "My", THUMBPRINT, PIN)
        self.assertEqual((signer.SignGetLastErrorCode(), signer.SignGetLastError()), (0, ""))
        self.assertTrue(signed.startswith("<doc><p>Привет</p><Signature"))
        verifier = Dispatch("ZelvaneTrumikXmlSigner.MSXmlVerifier")
        self.assertIs(verifier.VerifyUsingCertFile(signed, CERT), True)
        self.assertIs(verifier.VerifyUsingCertFile(signed.replace("Привет", "Пока"), CERT), False)
        # DATE arguments from datetime, naive (as UTC) or aware.
        now = datetime.datetime.now(datetime.timezone.utc)
        self.assertIs(verifier.VerifyUsingCertFileAndDate(signed, CERT, now), True)
        self.assertIs(verifier.VerifyUsingCertFileAndDate(signed, CERT, datetime.datetime(2001, 1, 1)), False)
        self.assertNotEqual(verifier.SignGetLastErrorCode(), 0)
        self.assertIs(verifier.VerifyCertTimeValidityUsingCertFileAndDate(CERT, now.replace(tzinfo=None)), True)

    def test_error_code_and_null_string(self):
        with Dispatch("ZelvaneTrumikXmlSigner.MSXmlSigner") as signer:
            self.assertIsNone(signer.SignWithCertStore("<doc/>", "My", "E" * 40))
            self.assertEqual(signer.SignGetLastErrorCode(), 7)
            self.assertEqual(signer.SignGetLastError(),
                             "Не удалось обнаружить указанный сертификат в хранилище сертификатов.(Код ошибки - 00007)")
            # None is an absent (null) string, refused before anything is opened.
            self.assertIsNone(signer.SignWithCertStore(None, "My", THUMBPRINT))
            absent = signer.SignGetLastErrorCode()
            self.assertIsNone(signer.SignWithCertStore("", "My", THUMBPRINT))
            self.assertNotEqual(signer.SignGetLastErrorCode(), absent)


class ByteArraysTest(unittest.TestCase):

    def test_byte_arrays_both_ways(self):
        messenger = Dispatch("ZelvaneTrumikXmlSigner.CryptEncMessage")
        plain = bytes(range(256)) + "Сообщение".encode("utf-8")
        message = messenger.CryptMessageByte("My", THUMBPRINT, len(plain), plain)
        self.assertEqual(messenger.CryptGetLastErrorCode(), 0, messenger.CryptGetLastError())
        self.assertIsInstance(message, bytes)
        self.assertEqual(message[0], 0x30)  # a DER SEQUENCE
        # A bytearray is a byte array too; a count beyond the array is refused.
        self.assertEqual(messenger.DecryptMessageByte("My", THUMBPRINT, PIN, len(message), bytearray(message)), plain)
        self.assertIsNone(messenger.DecryptMessageByte("My", THUMBPRINT, PIN, len(message) + 1, message))
        self.assertNotEqual(messenger.CryptGetLastErrorCode(), 0)
        # The Base64 text forms: a None container name is a null string (the
        # certificate's own container), not an empty name.
        encoded = base64.b64encode(plain).decode("ascii")
        text = messenger.CryptMessage("My", THUMBPRINT, encoded)
        self.assertEqual(messenger.CryptGetLastErrorCode(), 0, messenger.CryptGetLastError())
        self.assertEqual(base64.b64decode(text)[0], 0x30)
        self.assertEqual(messenger.DecryptMessage("My", THUMBPRINT, None, PIN, text), encoded)


class ComErrorTest(unittest.TestCase):

    def test_failing_hresult_raises_com_error(self):
        with Dispatch("ZelvaneTrumikXmlSigner.MSXmlVerifier") as verifier:
            with self.assertRaises(com_error) as raised:
                verifier.VerifyUsingCertFile("<doc/>")
            error = raised.exception
            self.assertEqual(error.hresult, DISP_E_BADPARAMCOUNT)
            self.assertEqual(error.args[0], DISP_E_BADPARAMCOUNT)
            self.assertTrue(error.strerror)
            with self.assertRaises(com_error) as raised:
                verifier.VerifyUsingCertFileAndDate("<doc/>", CERT, "not a date")
            self.assertEqual(raised.exception.hresult, DISP_E_TYPEMISMATCH)
            self.assertEqual(raised.exception.argerror, 0)  # the last argument
        with self.assertRaises(com_error) as raised:
            Dispatch("ZelvaneTrumikXmlSigner.NoSuchClass")
        self.assertLess(raised.exception.hresult, 0)


class ReleaseTest(unittest.TestCase):

    def test_objects_are_released_explicitly_and_when_collected(self):
        self.assertEqual(module_can_unload(), S_OK)
        signer = Dispatch("ZelvaneTrumikXmlSigner.MSXmlSigner")
        self.assertEqual(module_can_unload(), S_FALSE)
        signer.close()
        self.assertEqual(module_can_unload(), S_OK)
        with self.assertRaises(ValueError):
            signer.SignGetLastError()
        signer.close()  # a second close does nothing

        with Dispatch("ZelvaneTrumikXmlSigner.CryptEncMessage") as messenger:
            self.assertEqual(messenger.GetProviderInfo().count("Crypto-Pro"), 1)
            self.assertEqual(module_can_unload(), S_FALSE)
        self.assertEqual(module_can_unload(), S_OK)

        verifier = Dispatch("ZelvaneTrumikXmlSigner.MSXmlVerifier")
        self.assertIsInstance(verifier, CDispatch)
        del verifier
        gc.collect()
        self.assertEqual(module_can_unload(), S_OK)


class DateConversionTest(unittest.TestCase):

    def test_automation_dates_before_and_after_the_epoch(self):
        from trumik.client import _from_ole_date, _ole_date
        cases = {datetime.datetime(1899, 12, 30): 0.0, datetime.datetime(2024, 1, 1, 12): 45292.5,
                 datetime.datetime(1899, 12, 29, 6): -1.25, datetime.datetime(1899, 12, 28, 18): -2.75}
        for moment, value in cases.items():
            self.assertAlmostEqual(_ole_date(moment), value, places=9, msg=str(moment))
            self.assertEqual(_from_ole_date(value), moment, value)


class ExchangeClassesTest(unittest.TestCase):
    """The second module's classes by ProgID in the same process as the first's."""

    def test_element_signed_and_verified_by_name(self):
        message = ('<m:Msg xmlns:m="urn:m"><m:Data Id="D">Данные</m:Data><m:Sig Id="S"/></m:Msg>')
        signer = Dispatch("ZelvaneTrumikExchange.XmlElementSigner")
        signed = signer.SignElement(message, "D", "S", "My", THUMBPRINT, PIN, "")
        self.assertEqual((signer.GetLastErrorCode(), signer.GetLastErrorMessage()), (0, ""))
        self.assertTrue(signed.startswith('<m:Msg xmlns:m="urn:m"><m:Data Id="D">Данные</m:Data>'
                                          '<m:Sig Id="S"><ds:Signature'))
        verifier = Dispatch("ZelvaneTrumikExchange.XmlElementVerifier.1")
        self.assertTrue(verifier.VerifyDocument(signed))
        self.assertEqual(verifier.SignatureCount(), 1)
        self.assertTrue(verifier.SignatureValid(0))
        self.assertEqual(verifier.SignatureReference(0), "#D")
        self.assertEqual(verifier.SignerSubject(0), "CN=Python client")
        with open(CERT, "rb") as der:
            self.assertEqual(base64.b64decode(verifier.SignerCertificate(0)), der.read())
        self.assertFalse(verifier.VerifyDocument(signed.replace("Данные", "данные")))
        # The first module's classes still refuse the normalisation transform.
        with Dispatch("ZelvaneTrumikXmlSigner.MSXmlVerifier") as first_verifier:
            self.assertFalse(first_verifier.VerifyUsingCertFileWoCert(signed, CERT))
        self.assertIsNone(signer.SignElement(message, "NONE", "S", "My", THUMBPRINT, PIN, ""))
        self.assertEqual(signer.GetLastErrorCode(), 30025)


if __name__ == "__main__":
    unittest.main()
