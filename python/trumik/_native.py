"""The platform library through ctypes: where it is, the Win32 layouts, the calls.

The layouts are those of 64-bit Windows: WCHAR is a UTF-16 unit, LONG and
HRESULT are 32-bit, VARIANT is 24 bytes, interfaces are tables of function
pointers whose first three slots are IUnknown's.
"""
import ctypes
import os
import uuid

PLATFORM_LIBRARY = "libtrumikplatform.so"

HRESULT = ctypes.c_int32
BSTR = ctypes.c_void_p
VARTYPE = ctypes.c_uint16

VT_EMPTY, VT_NULL, VT_I2, VT_I4, VT_R4, VT_R8, VT_CY, VT_DATE, VT_BSTR = 0, 1, 2, 3, 4, 5, 6, 7, 8
VT_DISPATCH, VT_ERROR, VT_BOOL, VT_VARIANT, VT_UNKNOWN = 9, 10, 11, 12, 13
VT_I1, VT_UI1, VT_UI2, VT_UI4, VT_I8, VT_UI8, VT_INT, VT_UINT = 16, 17, 18, 19, 20, 21, 22, 23
VT_VOID, VT_HRESULT, VT_PTR, VT_SAFEARRAY = 24, 25, 26, 27
VT_ARRAY, VT_BYREF = 0x2000, 0x4000

PARAMFLAG_FIN, PARAMFLAG_FOUT, PARAMFLAG_FRETVAL = 0x01, 0x02, 0x08
DISPATCH_METHOD, DISPATCH_PROPERTYGET = 0x1, 0x2
CLSCTX_INPROC_SERVER = 0x1
COINIT_APARTMENTTHREADED = 0x2
LOCALE_USER_DEFAULT = 0x0400
FORMAT_MESSAGE_IGNORE_INSERTS, FORMAT_MESSAGE_FROM_SYSTEM = 0x200, 0x1000

DISP_E_UNKNOWNNAME = ctypes.c_int32(0x80020006).value
RPC_E_CHANGED_MODE = ctypes.c_int32(0x80010106).value


class GUID(ctypes.Structure):
    _fields_ = [("Data1", ctypes.c_uint32), ("Data2", ctypes.c_uint16), ("Data3", ctypes.c_uint16),
                ("Data4", ctypes.c_uint8 * 8)]

    @classmethod
    def parse(cls, text):
        guid = cls()
        ctypes.memmove(ctypes.byref(guid), uuid.UUID(text).bytes_le, 16)
        return guid

    def __str__(self):
        return "{" + str(uuid.UUID(bytes_le=bytes(self))).upper() + "}"


IID_NULL = GUID()
IID_IDispatch = GUID.parse("00020400-0000-0000-C000-000000000046")


class _VariantValue(ctypes.Union):
    _fields_ = [("llVal", ctypes.c_int64), ("lVal", ctypes.c_int32), ("iVal", ctypes.c_int16),
                ("bVal", ctypes.c_uint8), ("boolVal", ctypes.c_int16), ("dblVal", ctypes.c_double),
                ("fltVal", ctypes.c_float), ("date", ctypes.c_double), ("bstrVal", BSTR),
                ("parray", ctypes.c_void_p), ("pdispVal", ctypes.c_void_p), ("byref", ctypes.c_void_p),
                ("record", ctypes.c_void_p * 2)]


class VARIANT(ctypes.Structure):
    _fields_ = [("vt", VARTYPE), ("wReserved1", ctypes.c_uint16), ("wReserved2", ctypes.c_uint16),
                ("wReserved3", ctypes.c_uint16), ("v", _VariantValue)]


class DISPPARAMS(ctypes.Structure):
    _fields_ = [("rgvarg", ctypes.POINTER(VARIANT)), ("rgdispidNamedArgs", ctypes.POINTER(ctypes.c_int32)),
                ("cArgs", ctypes.c_uint32), ("cNamedArgs", ctypes.c_uint32)]


class EXCEPINFO(ctypes.Structure):
    _fields_ = [("wCode", ctypes.c_uint16), ("wReserved", ctypes.c_uint16), ("bstrSource", BSTR),
                ("bstrDescription", BSTR), ("bstrHelpFile", BSTR), ("dwHelpContext", ctypes.c_uint32),
                ("pvReserved", ctypes.c_void_p), ("pfnDeferredFillIn", ctypes.c_void_p), ("scode", ctypes.c_int32)]


class TYPEDESC(ctypes.Structure):
    pass


TYPEDESC._fields_ = [("lptdesc", ctypes.POINTER(TYPEDESC)), ("vt", VARTYPE)]


class PARAMDESC(ctypes.Structure):
    _fields_ = [("pparamdescex", ctypes.c_void_p), ("wParamFlags", ctypes.c_uint16)]


class ELEMDESC(ctypes.Structure):
    _fields_ = [("tdesc", TYPEDESC), ("paramdesc", PARAMDESC)]


class TYPEATTR(ctypes.Structure):
    _fields_ = [("guid", GUID), ("lcid", ctypes.c_uint32), ("dwReserved", ctypes.c_uint32),
                ("memidConstructor", ctypes.c_int32), ("memidDestructor", ctypes.c_int32),
                ("lpstrSchema", ctypes.c_void_p), ("cbSizeInstance", ctypes.c_uint32),
                ("typekind", ctypes.c_int32), ("cFuncs", ctypes.c_uint16), ("cVars", ctypes.c_uint16),
                ("cImplTypes", ctypes.c_uint16), ("cbSizeVft", ctypes.c_uint16), ("cbAlignment", ctypes.c_uint16),
                ("wTypeFlags", ctypes.c_uint16), ("wMajorVerNum", ctypes.c_uint16),
                ("wMinorVerNum", ctypes.c_uint16), ("tdescAlias", TYPEDESC), ("idldescType", PARAMDESC)]


class FUNCDESC(ctypes.Structure):
    _fields_ = [("memid", ctypes.c_int32), ("lprgscode", ctypes.c_void_p),
                ("lprgelemdescParam", ctypes.POINTER(ELEMDESC)), ("funckind", ctypes.c_int32),
                ("invkind", ctypes.c_int32), ("callconv", ctypes.c_int32), ("cParams", ctypes.c_int16),
                ("cParamsOpt", ctypes.c_int16), ("oVft", ctypes.c_int16), ("cScodes", ctypes.c_int16),
                ("elemdescFunc", ELEMDESC), ("wFuncFlags", ctypes.c_uint16)]


assert ctypes.sizeof(VARIANT) == 24 and ctypes.sizeof(EXCEPINFO) == 64
assert ctypes.sizeof(TYPEATTR) == 96 and ctypes.sizeof(FUNCDESC) == 88 and ctypes.sizeof(ELEMDESC) == 32


def _package_folder():
    return os.path.dirname(os.path.abspath(__file__))


def _installed_folder():
    """The library folder recorded when the package was installed with the
    component, relative to the package so that a moved install still finds it."""
    try:
        from . import _location  # written by the installation, absent in a source tree
    except ImportError:
        return None
    return os.path.normpath(os.path.join(_package_folder(), _location.LIBRARY_FOLDER))


def candidate_paths():
    """Where the platform library is looked for, in order."""
    paths = []
    folder = os.environ.get("TRUMIK_LIB_DIR")
    if folder:
        paths.append(os.path.join(folder, PLATFORM_LIBRARY))
    installed = _installed_folder()
    if installed:
        paths.append(os.path.join(installed, PLATFORM_LIBRARY))
    # Beside an installed prefix: PREFIX/lib/python3/dist-packages/trumik, or
    # any folder above the package that holds lib/ or the library itself.
    folder = _package_folder()
    for _ in range(5):
        folder = os.path.dirname(folder)
        paths.append(os.path.join(folder, PLATFORM_LIBRARY))
        paths.append(os.path.join(folder, "lib", PLATFORM_LIBRARY))
    return paths


def _load():
    for path in candidate_paths():
        if os.path.isfile(path):
            return ctypes.CDLL(path)
    # The system's search (an install under /usr, or LD_LIBRARY_PATH).
    return ctypes.CDLL(PLATFORM_LIBRARY)


_platform = None


def platform():
    """The platform library, loaded once, with the prototypes this package uses."""
    global _platform
    if _platform is not None:
        return _platform
    lib = _load()
    lib.SysAllocStringLen.restype = BSTR
    lib.SysAllocStringLen.argtypes = [ctypes.c_void_p, ctypes.c_uint32]
    lib.SysStringLen.restype = ctypes.c_uint32
    lib.SysStringLen.argtypes = [BSTR]
    lib.SysFreeString.restype = None
    lib.SysFreeString.argtypes = [BSTR]
    lib.VariantInit.restype = None
    lib.VariantInit.argtypes = [ctypes.POINTER(VARIANT)]
    lib.VariantClear.restype = HRESULT
    lib.VariantClear.argtypes = [ctypes.POINTER(VARIANT)]
    lib.SafeArrayCreateVector.restype = ctypes.c_void_p
    lib.SafeArrayCreateVector.argtypes = [VARTYPE, ctypes.c_int32, ctypes.c_uint32]
    lib.SafeArrayDestroy.restype = HRESULT
    lib.SafeArrayDestroy.argtypes = [ctypes.c_void_p]
    lib.SafeArrayAccessData.restype = HRESULT
    lib.SafeArrayAccessData.argtypes = [ctypes.c_void_p, ctypes.POINTER(ctypes.c_void_p)]
    lib.SafeArrayUnaccessData.restype = HRESULT
    lib.SafeArrayUnaccessData.argtypes = [ctypes.c_void_p]
    lib.SafeArrayGetDim.restype = ctypes.c_uint32
    lib.SafeArrayGetDim.argtypes = [ctypes.c_void_p]
    lib.SafeArrayGetLBound.restype = HRESULT
    lib.SafeArrayGetLBound.argtypes = [ctypes.c_void_p, ctypes.c_uint32, ctypes.POINTER(ctypes.c_int32)]
    lib.SafeArrayGetUBound.restype = HRESULT
    lib.SafeArrayGetUBound.argtypes = [ctypes.c_void_p, ctypes.c_uint32, ctypes.POINTER(ctypes.c_int32)]
    lib.SafeArrayGetElemsize.restype = ctypes.c_uint32
    lib.SafeArrayGetElemsize.argtypes = [ctypes.c_void_p]
    lib.CoInitializeEx.restype = HRESULT
    lib.CoInitializeEx.argtypes = [ctypes.c_void_p, ctypes.c_uint32]
    lib.CLSIDFromProgID.restype = HRESULT
    lib.CLSIDFromProgID.argtypes = [ctypes.c_void_p, ctypes.POINTER(GUID)]
    lib.CLSIDFromString.restype = HRESULT
    lib.CLSIDFromString.argtypes = [ctypes.c_void_p, ctypes.POINTER(GUID)]
    lib.CoCreateInstance.restype = HRESULT
    lib.CoCreateInstance.argtypes = [ctypes.POINTER(GUID), ctypes.c_void_p, ctypes.c_uint32, ctypes.POINTER(GUID),
                                     ctypes.POINTER(ctypes.c_void_p)]
    lib.FormatMessageW.restype = ctypes.c_uint32
    lib.FormatMessageW.argtypes = [ctypes.c_uint32, ctypes.c_void_p, ctypes.c_uint32, ctypes.c_uint32,
                                   ctypes.c_void_p, ctypes.c_uint32, ctypes.c_void_p]
    _platform = lib
    return lib


def wide(text):
    """A NUL-terminated UTF-16 buffer (LPCOLESTR) for the text."""
    return ctypes.create_string_buffer((text + "\0").encode("utf-16-le"))


def method(pointer, slot, restype, *argtypes):
    """The function in `slot` of the interface `pointer`, bound to it."""
    vtable = ctypes.cast(pointer, ctypes.POINTER(ctypes.POINTER(ctypes.c_void_p)))[0]
    function = ctypes.CFUNCTYPE(restype, ctypes.c_void_p, *argtypes)(vtable[slot])
    return lambda *args: function(pointer, *args)


def release(pointer):
    """IUnknown::Release."""
    return method(pointer, 2, ctypes.c_uint32)()


def add_ref(pointer):
    """IUnknown::AddRef."""
    return method(pointer, 1, ctypes.c_uint32)()
