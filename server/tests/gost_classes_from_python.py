"""A host in another language: the three GOST classes through their binary interface.

Makes a GOST certificate with a PIN-protected container in the user's My store
with `trumik cert new`, then, with ctypes only, signs through CMSXmlSigner,
verifies through CMSXmlVerifier and encrypts and decrypts through
CCryptEncMessage, each once through the virtual table (early binding) and once
through IDispatch (late binding), and frees what it receives with
SysFreeString, VariantClear and SafeArrayDestroy.
"""
import ctypes
import os
import subprocess
import sys
import tempfile

from binary_interface_test import BSTR, DISPPARAMS, GUID, HRESULT, VARIANT, method

VT_I4, VT_BSTR, VT_BOOL, VT_VARIANT, VT_UI1 = 3, 8, 11, 12, 17
VT_ARRAY, VT_BYREF = 0x2000, 0x4000
IID_IClassFactory = GUID.parse("00000001-0000-0000-C000-000000000046")
IID_NULL = GUID()
CLASSES = {
    "CCryptEncMessage": ("5B0F2D1F-C363-4B0B-A2A6-1BDE915B7E59", "0FB9D19C-5E40-4503-A381-8B0CE579F233"),
    "CMSXmlSigner": ("A4B9FF35-03A9-41C6-8881-3A59F572B446", "A5CA66FE-A165-4683-8BA7-148730152FED"),
    "CMSXmlVerifier": ("A07E2B70-AF5E-4BFA-8D45-C71B98BB6805", "44CDB0A0-3E52-4B66-9640-F3D111087350"),
}
PIN = "1234"

failures = []
passed = []


def check(condition, what):
    print(("ok: " if condition else "FAILED: ") + what)
    (passed if condition else failures).append(what)


class Host:
    def __init__(self, build):
        self.platform = ctypes.CDLL(os.path.join(build, "lib", "libtrumikplatform.so"))
        self.module = ctypes.CDLL(os.path.join(build, "lib", "Zelvane.Trumik.XmlSigner.so"))
        p = self.platform
        p.SysAllocStringLen.restype = BSTR
        p.SysAllocStringLen.argtypes = [ctypes.c_char_p, ctypes.c_uint32]
        p.SysStringLen.restype = ctypes.c_uint32
        p.SysStringLen.argtypes = [BSTR]
        p.SysFreeString.argtypes = [BSTR]
        p.VariantClear.argtypes = [ctypes.POINTER(VARIANT)]
        p.VariantClear.restype = HRESULT
        p.SafeArrayCreateVector.restype = ctypes.c_void_p
        p.SafeArrayCreateVector.argtypes = [ctypes.c_uint16, ctypes.c_int32, ctypes.c_uint32]
        p.SafeArrayAccessData.argtypes = [ctypes.c_void_p, ctypes.POINTER(ctypes.c_void_p)]
        p.SafeArrayAccessData.restype = HRESULT
        p.SafeArrayUnaccessData.argtypes = [ctypes.c_void_p]
        p.SafeArrayGetUBound.argtypes = [ctypes.c_void_p, ctypes.c_uint32, ctypes.POINTER(ctypes.c_int32)]
        p.SafeArrayGetUBound.restype = HRESULT
        self.module.DllGetClassObject.restype = HRESULT
        self.module.DllCanUnloadNow.restype = HRESULT

    def bstr(self, text):
        data = text.encode("utf-16-le")
        return self.platform.SysAllocStringLen(data, len(data) // 2)

    def text(self, b):
        return ctypes.string_at(b, self.platform.SysStringLen(b) * 2).decode("utf-16-le") if b else None

    def take_text(self, b):
        value = self.text(b)
        self.platform.SysFreeString(b)
        return value

    def byte_array(self, data):
        psa = self.platform.SafeArrayCreateVector(VT_UI1, 0, len(data))
        pointer = ctypes.c_void_p()
        self.platform.SafeArrayAccessData(psa, ctypes.byref(pointer))
        ctypes.memmove(pointer, data, len(data))
        self.platform.SafeArrayUnaccessData(psa)
        return psa

    def array_bytes(self, psa):
        upper = ctypes.c_int32()
        self.platform.SafeArrayGetUBound(psa, 1, ctypes.byref(upper))
        pointer = ctypes.c_void_p()
        self.platform.SafeArrayAccessData(psa, ctypes.byref(pointer))
        data = ctypes.string_at(pointer, upper.value + 1)
        self.platform.SafeArrayUnaccessData(psa)
        return data

    def create(self, name):
        clsid, iid = (GUID.parse(text) for text in CLASSES[name])
        factory = ctypes.c_void_p()
        hr = self.module.DllGetClassObject(ctypes.byref(clsid), ctypes.byref(IID_IClassFactory), ctypes.byref(factory))
        obj = ctypes.c_void_p()
        create = method(factory, 3, ctypes.c_void_p, ctypes.POINTER(GUID), ctypes.POINTER(ctypes.c_void_p))
        check(hr == 0 and create(None, ctypes.byref(iid), ctypes.byref(obj)) == 0, f"{name} is created")
        method(factory, 2)()
        return obj

    @staticmethod
    def dispid(obj, name):
        buffer = ctypes.create_string_buffer((name + "\0").encode("utf-16-le"))
        names = (ctypes.c_void_p * 1)(ctypes.cast(buffer, ctypes.c_void_p))
        ids = (ctypes.c_int32 * 1)()
        get_ids = method(obj, 5, ctypes.POINTER(GUID), ctypes.c_void_p, ctypes.c_uint32, ctypes.c_uint32,
                         ctypes.c_void_p)
        hr = get_ids(ctypes.byref(IID_NULL), names, 1, 0, ids)
        return ids[0] if hr == 0 else None

    @staticmethod
    def invoke(obj, dispid, args):
        """args in parameter order, as VARIANTs; returns (status, result VARIANT)."""
        reversed_args = (VARIANT * max(len(args), 1))()
        for i, arg in enumerate(reversed(args)):
            reversed_args[i] = arg
        params = DISPPARAMS(reversed_args, None, len(args), 0)
        result = VARIANT()
        arg_err = ctypes.c_uint32()
        call = method(obj, 6, ctypes.c_int32, ctypes.POINTER(GUID), ctypes.c_uint32, ctypes.c_uint16,
                      ctypes.POINTER(DISPPARAMS), ctypes.POINTER(VARIANT), ctypes.c_void_p,
                      ctypes.POINTER(ctypes.c_uint32))
        status = call(dispid, ctypes.byref(IID_NULL), 0, 1, ctypes.byref(params), ctypes.byref(result), None,
                      ctypes.byref(arg_err))
        return status, result


def low32(v):
    """The 32-bit value of a VT_I4 variant; the rest of the union is not its."""
    return ctypes.c_int32((v.value or 0) & 0xFFFFFFFF).value


def variant(vt, value):
    v = VARIANT()
    v.vt = vt
    v.value = value
    return v


def main():
    build = os.environ["TRUMIK_BUILD_DIR"]
    work = tempfile.mkdtemp(prefix="trumik-ctypes-gost-")
    os.environ["TRUMIK_HOME"] = work
    trumik = os.path.join(build, "bin", "trumik")
    made = subprocess.run([trumik, "cert", "new", "--subject", "CN=ctypes GOST", "--container", "ctypes-gost",
                           "--pin", PIN], check=True, capture_output=True, text=True)
    thumbprint = made.stdout.strip()
    cert_file = os.path.join(work, "gost.der")
    subprocess.run([trumik, "cert", "export", thumbprint, "--out", cert_file], check=True, capture_output=True)
    host = Host(build)
    store, thumb, pin = host.bstr("My"), host.bstr(thumbprint), host.bstr(PIN)

    # CMSXmlSigner: SignWithCertStorePass in slot 11; SignGetLastErrorCode in slot 9.
    signer = host.create("CMSXmlSigner")
    xml = host.bstr("<doc><p>Привет из Python</p></doc>")
    out = BSTR()
    status = method(signer, 11, BSTR, BSTR, BSTR, BSTR, ctypes.POINTER(BSTR))(xml, store, thumb, pin,
                                                                             ctypes.byref(out))
    signed = host.take_text(out)
    code = ctypes.c_int32(-1)
    method(signer, 9, ctypes.POINTER(ctypes.c_int32))(ctypes.byref(code))
    check(status == 0 and code.value == 0 and signed and "<p>Привет из Python</p><Signature" in signed,
          "SignWithCertStorePass through the virtual table signs")
    check(host.dispid(signer, "SignGetLastError") == 9 and host.dispid(signer, "SignWithCertStorePass") == 12,
          "IMSXmlSigner's names have their DISPIDs")
    status, late = host.invoke(signer, 12, [variant(VT_BSTR, xml), variant(VT_BSTR, store), variant(VT_BSTR, thumb),
                                            variant(VT_BSTR, pin)])
    check(status == 0 and late.vt == VT_BSTR and "<SignatureValue>" in host.text(late.value),
          "SignWithCertStorePass through IDispatch signs")
    late_signed = host.text(late.value)
    host.platform.VariantClear(ctypes.byref(late))
    status, late = host.invoke(signer, 8, [variant(VT_BSTR, xml), variant(VT_BSTR, store), variant(VT_BSTR, thumb)])
    host.platform.VariantClear(ctypes.byref(late))
    status, late = host.invoke(signer, 10, [])
    check(late.vt == VT_I4 and low32(late) == 33, "without the PIN the key refuses to sign: code 33, as VT_I4")

    # CMSXmlVerifier: VerifyUsingCertFile in slot 7, DISPID 21; SignGetLastError is DISPID 25 here.
    verifier = host.create("CMSXmlVerifier")
    path = host.bstr(cert_file)
    verify = method(verifier, 7, BSTR, BSTR, ctypes.POINTER(ctypes.c_int16))
    for label, document in (("early", signed), ("late", late_signed)):
        doc = host.bstr(document)
        result = ctypes.c_int16(0)
        check(verify(doc, path, ctypes.byref(result)) == 0 and result.value == -1,
              f"the {label}-bound signature verifies through the virtual table")
        host.platform.SysFreeString(doc)
    tampered = host.bstr(signed.replace("Привет", "Пока"))
    status, late = host.invoke(verifier, 21, [variant(VT_BSTR, tampered), variant(VT_BSTR, path)])
    check(status == 0 and late.vt == VT_BOOL and (late.value or 0) & 0xFFFF == 0,
          "a changed document is false through IDispatch")
    host.platform.SysFreeString(tampered)
    check(host.dispid(verifier, "SignGetLastError") == 25, "IMSXmlVerifier's SignGetLastError is DISPID 25")

    # CCryptEncMessage: CryptMessageByte in slot 7; DecryptMessageByte by name; the code as VT_I4.
    messenger = host.create("CCryptEncMessage")
    plain = "Сообщение из Python".encode("utf-8") + bytes(range(256))
    psa = host.byte_array(plain)
    array = variant(VT_ARRAY | VT_UI1, psa)
    encrypted = VARIANT()
    status = method(messenger, 7, BSTR, BSTR, ctypes.c_int32, ctypes.POINTER(VARIANT), ctypes.POINTER(VARIANT))(
        store, thumb, len(plain), ctypes.byref(array), ctypes.byref(encrypted))
    check(status == 0 and encrypted.vt == VT_ARRAY | VT_UI1, "CryptMessageByte through the virtual table gives bytes")
    host.platform.VariantClear(ctypes.byref(array))
    message = host.array_bytes(encrypted.value)
    message_file = os.path.join(work, "message.p7m")
    with open(message_file, "wb") as f:
        f.write(message)
    key_file = os.path.join(work, "gost.key")
    subprocess.run([trumik, "container", "export", "ctypes-gost", "--pin", PIN, "--out", key_file], check=True,
                   capture_output=True)
    opened = subprocess.run(["openssl", "cms", "-decrypt", "-engine", "gost", "-inform", "DER", "-in", message_file,
                             "-inkey", key_file], capture_output=True)
    check(opened.returncode == 0 and opened.stdout == plain, "openssl cms opens the message")

    decrypt_id = host.dispid(messenger, "DecryptMessageByte")
    byref = variant(VT_BYREF | VT_VARIANT, ctypes.addressof(encrypted))
    status, decrypted = host.invoke(messenger, decrypt_id, [variant(VT_BSTR, store), variant(VT_BSTR, thumb),
                                                            variant(VT_BSTR, pin), variant(VT_I4, len(message)), byref])
    check(decrypt_id == 31 and status == 0 and decrypted.vt == VT_ARRAY | VT_UI1 and
          host.array_bytes(decrypted.value) == plain, "DecryptMessageByte through IDispatch gives the bytes back")
    host.platform.VariantClear(ctypes.byref(decrypted))
    status, code = host.invoke(messenger, host.dispid(messenger, "CryptGetLastErrorCode"), [])
    check(code.vt == VT_I4 and low32(code) == 0, "CryptGetLastErrorCode comes back as VT_I4")
    host.platform.VariantClear(ctypes.byref(encrypted))

    for b in (store, thumb, pin, xml, path):
        host.platform.SysFreeString(b)
    for obj in (signer, verifier, messenger):
        check(method(obj, 2)() == 0, "the last Release destroys the object")
    check(host.module.DllCanUnloadNow() == 0, "DllCanUnloadNow is S_OK once everything is released")
    print(f"{len(passed)} passed, {len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
