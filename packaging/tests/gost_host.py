"""A Python host run from an installed prefix: signs, verifies and encrypts with
GOST through trumik.client, then reports what it got and which files of the
project's libraries its process has mapped, as one JSON object.

    gost_host.py THUMBPRINT PIN CERT_FILE
"""
import json
import sys

from trumik import _native
from trumik.client import Dispatch

OUR_LIBRARIES = ("libtrumikplatform.so", "libtrumikcommon.so", "Zelvane.Trumik.XmlSigner.so", "libxmlsec1-mscrypto.so")


def mapped_files():
    """library name -> sorted list of the distinct files mapped under that name."""
    found = {name: set() for name in OUR_LIBRARIES}
    with open("/proc/self/maps") as maps:
        for line in maps:
            parts = line.split(None, 5)
            if len(parts) < 6:
                continue
            path = parts[5].strip()
            for name in OUR_LIBRARIES:
                if path.endswith("/" + name):
                    found[name].add(path)
    return {name: sorted(paths) for name, paths in found.items()}


def main():
    thumbprint, pin, cert_file = sys.argv[1:4]
    document = "<doc><p>Подпись из Python</p></doc>"
    signer = Dispatch("ZelvaneTrumikXmlSigner.MSXmlSigner")
    signed = signer.SignWithCertStorePass(document, "My", thumbprint, pin)
    report = {"sign_code": signer.SignGetLastErrorCode(), "sign_message": signer.SignGetLastError(),
              "signed": signed}
    verifier = Dispatch("ZelvaneTrumikXmlSigner.MSXmlVerifier")
    report["verified"] = verifier.VerifyUsingCertFile(signed, cert_file) if signed else None
    report["verify_code"] = verifier.SignGetLastErrorCode()
    messenger = Dispatch("ZelvaneTrumikXmlSigner.CryptEncMessage")
    plain = document.encode("utf-8")
    message = messenger.CryptMessageByte("My", thumbprint, len(plain), plain)
    report["encrypt_code"] = messenger.CryptGetLastErrorCode()
    opened = messenger.DecryptMessageByte("My", thumbprint, pin, len(message), message) if message else None
    report["decrypted_equal"] = opened == plain
    report["platform_library"] = _native.platform()._name
    report["maps"] = mapped_files()
    for obj in (signer, verifier, messenger):
        obj.close()
    print(json.dumps(report, ensure_ascii=False))


if __name__ == "__main__":
    main()
