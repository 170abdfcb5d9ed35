"""A host in another language: the module through its binary interface.

Loads the platform library and the module with ctypes, creates CXmlSigner
through DllGetClassObject and IClassFactory, calls SignWithKey through the
virtual table (early binding) and through IDispatch::Invoke (late binding),
and frees what it receives with SysFreeString and VariantClear.
"""
import ctypes
import os
import subprocess
import sys
import tempfile
import uuid

HRESULT = ctypes.c_int32
BSTR = ctypes.c_void_p


class GUID(ctypes.Structure):
    _fields_ = [("Data1", ctypes.c_uint32), ("Data2", ctypes.c_uint16), ("Data3", ctypes.c_uint16),
                ("Data4", ctypes.c_uint8 * 8)]

    @classmethod
    def parse(cls, text):
        u = uuid.UUID(text)
        g = cls()
        ctypes.memmove(ctypes.byref(g), u.bytes_le, 16)
        return g


class VARIANT(ctypes.Structure):
    _fields_ = [("vt", ctypes.c_uint16), ("r1", ctypes.c_uint16), ("r2", ctypes.c_uint16), ("r3", ctypes.c_uint16),
                ("value", ctypes.c_void_p), ("extra", ctypes.c_void_p)]


class DISPPARAMS(ctypes.Structure):
    _fields_ = [("rgvarg", ctypes.POINTER(VARIANT)), ("rgdispidNamedArgs", ctypes.c_void_p),
                ("cArgs", ctypes.c_uint32), ("cNamedArgs", ctypes.c_uint32)]


VT_BSTR = 8
CLSID_CXmlSigner = GUID.parse("3C6084B9-D9AD-4B67-8D80-5B7969A86364")
IID_IClassFactory = GUID.parse("00000001-0000-0000-C000-000000000046")
IID_IXmlSigner = GUID.parse("63ECEA47-D5A2-4470-B0E6-B869A4D33B21")
IID_NULL = GUID()

failures = []
passed = []


def check(condition, what):
    print(("ok: " if condition else "FAILED: ") + what)
    (passed if condition else failures).append(what)


def method(obj, slot, *argtypes):
    vtable = ctypes.cast(obj, ctypes.POINTER(ctypes.POINTER(ctypes.c_void_p)))[0]
    prototype = ctypes.CFUNCTYPE(HRESULT, ctypes.c_void_p, *argtypes)
    function = prototype(vtable[slot])
    return lambda *args: function(obj, *args)


def main():
    build = os.environ["TRUMIK_BUILD_DIR"]
    work = tempfile.mkdtemp(prefix="trumik-ctypes-")
    os.environ["TRUMIK_HOME"] = work
    platform = ctypes.CDLL(os.path.join(build, "lib", "libtrumikplatform.so"))
    module = ctypes.CDLL(os.path.join(build, "lib", "Zelvane.Trumik.XmlSigner.so"))

    platform.SysAllocStringLen.restype = BSTR
    platform.SysAllocStringLen.argtypes = [ctypes.c_char_p, ctypes.c_uint32]
    platform.SysStringLen.restype = ctypes.c_uint32
    platform.SysStringLen.argtypes = [BSTR]
    platform.SysFreeString.argtypes = [BSTR]
    platform.VariantClear.argtypes = [ctypes.POINTER(VARIANT)]
    platform.VariantClear.restype = HRESULT

    def bstr(text):
        data = text.encode("utf-16-le")
        return platform.SysAllocStringLen(data, len(data) // 2)

    def text(b):
        return ctypes.string_at(b, platform.SysStringLen(b) * 2).decode("utf-16-le") if b else None

    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=ctypes", "-days", "3",
                    "-keyout", os.path.join(work, "k.pem"), "-out", os.path.join(work, "c.pem")],
                   check=True, capture_output=True)
    key_file = os.path.join(work, "signer.pem")
    with open(key_file, "wb") as out:
        for part in ("k.pem", "c.pem"):
            with open(os.path.join(work, part), "rb") as f:
                out.write(f.read())

    factory = ctypes.c_void_p()
    module.DllGetClassObject.restype = HRESULT
    hr = module.DllGetClassObject(ctypes.byref(CLSID_CXmlSigner), ctypes.byref(IID_IClassFactory),
                                  ctypes.byref(factory))
    check(hr == 0 and factory.value, "DllGetClassObject gives the class factory")
    create = method(factory, 3, ctypes.c_void_p, ctypes.POINTER(GUID), ctypes.POINTER(ctypes.c_void_p))
    signer = ctypes.c_void_p()
    check(create(None, ctypes.byref(IID_IXmlSigner), ctypes.byref(signer)) == 0, "CreateInstance gives IXmlSigner")
    method(factory, 2)()

    xml = bstr("<doc><p>Привет из Python</p></doc>")
    key = bstr(key_file)
    result = BSTR()
    sign_with_key = method(signer, 7, BSTR, BSTR, ctypes.POINTER(BSTR))
    check(sign_with_key(xml, key, ctypes.byref(result)) == 0, "SignWithKey through the virtual table returns 0")
    signed_early = text(result)
    platform.SysFreeString(result)
    check(signed_early is not None and "<p>Привет из Python</p><Signature" in signed_early,
          "the early-bound result is the signed document")
    signed_path = os.path.join(work, "signed.xml")
    with open(signed_path, "w", encoding="utf-8") as f:
        f.write(signed_early)
    verified = subprocess.run(["xmlsec1", "--verify", "--pubkey-cert-pem", os.path.join(work, "c.pem"), signed_path],
                              capture_output=True)
    check(verified.returncode == 0, "xmlsec1 verifies the early-bound result")

    args = (VARIANT * 2)()
    args[1].vt = VT_BSTR
    args[1].value = xml
    args[0].vt = VT_BSTR
    args[0].value = key
    params = DISPPARAMS(args, None, 2, 0)
    late = VARIANT()
    arg_err = ctypes.c_uint32()
    invoke = method(signer, 6, ctypes.c_int32, ctypes.POINTER(GUID), ctypes.c_uint32, ctypes.c_uint16,
                    ctypes.POINTER(DISPPARAMS), ctypes.POINTER(VARIANT), ctypes.c_void_p, ctypes.POINTER(ctypes.c_uint32))
    check(invoke(6, ctypes.byref(IID_NULL), 0, 1, ctypes.byref(params), ctypes.byref(late), None,
                 ctypes.byref(arg_err)) == 0, "SignWithKey through IDispatch::Invoke returns 0")
    check(late.vt == VT_BSTR and text(late.value) == signed_early, "the late-bound result equals the early-bound one")
    platform.VariantClear(ctypes.byref(late))

    message = BSTR()
    args[0].value = bstr(os.path.join(work, "missing.pem"))
    check(invoke(6, ctypes.byref(IID_NULL), 0, 1, ctypes.byref(params), ctypes.byref(late), None,
                 ctypes.byref(arg_err)) == 1, "a missing key file gives status 1 through Invoke")
    platform.VariantClear(ctypes.byref(late))
    platform.SysFreeString(args[0].value)
    method(signer, 8, ctypes.POINTER(BSTR))(ctypes.byref(message))
    check(text(message) == "10001 - Путь к PEM-файлу пуст или PEM-файл с ключём не найден.",
          "SignFGetLastError gives the exact message")
    platform.SysFreeString(message)

    platform.SysFreeString(xml)
    platform.SysFreeString(key)
    check(method(signer, 2)() == 0, "the last Release destroys the object")
    module.DllCanUnloadNow.restype = HRESULT
    check(module.DllCanUnloadNow() == 0, "DllCanUnloadNow is S_OK once everything is released")

    print(f"{len(passed)} passed, {len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
