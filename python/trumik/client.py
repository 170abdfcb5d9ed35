"""Late binding by name, in the manner of win32com.client.

    from trumik.client import Dispatch
    signer = Dispatch("ZelvaneTrumikXmlSigner.MSXmlSigner")
    signed = signer.SignWithCertStorePass(xml, "My", thumbprint, "1234")
    print(signer.SignGetLastErrorCode(), signer.SignGetLastError())

Objects are created with CoCreateInstance by ProgID or CLSID and called
through IDispatch: names from GetIDsOfNames (any letter case), arguments from
Python values, the [out, retval] value as the return value. The object's type
information (IDispatch::GetTypeInfo) says which type each parameter is
declared with, so that a None given for a string is a null string and a byte
string given for a VARIANT* is passed by reference. A failing HRESULT raises
com_error. Every string, array and variant handed over or back is freed; an
object is released when it is collected, or at once with close() or at the
end of a `with` block.
"""
import ctypes
import datetime
import threading

from . import _native
from ._native import (BSTR, DISPPARAMS, EXCEPINFO, FUNCDESC, GUID, HRESULT, IID_IDispatch, IID_NULL, TYPEATTR,
                      VARIANT, VT_ARRAY, VT_BOOL, VT_BSTR, VT_BYREF, VT_DATE, VT_DISPATCH, VT_EMPTY, VT_ERROR,
                      VT_I1, VT_I2, VT_I4, VT_I8, VT_INT, VT_NULL, VT_PTR, VT_R4, VT_R8, VT_UI1, VT_UI2, VT_UI4,
                      VT_UI8, VT_UINT, VT_VARIANT)

__all__ = ["Dispatch", "CDispatch", "com_error"]

_OLE_EPOCH = datetime.datetime(1899, 12, 30)


class com_error(Exception):
    """A failing HRESULT: (hresult, strerror, excepinfo, argerror), as pywin32 has it.

    excepinfo is None or (wCode, source, description, helpfile, helpcontext,
    scode); argerror is None or the position of the offending argument as
    IDispatch::Invoke reports it (counted from the last argument, which is 0).
    """

    def __init__(self, hresult, strerror=None, excepinfo=None, argerror=None):
        if strerror is None:
            strerror = _system_text(hresult)
        super().__init__(hresult, strerror, excepinfo, argerror)
        self.hresult = hresult
        self.strerror = strerror
        self.excepinfo = excepinfo
        self.argerror = argerror

    def __str__(self):
        return f"(0x{self.hresult & 0xFFFFFFFF:08X}, {self.strerror!r}, {self.excepinfo!r}, {self.argerror!r})"


def _system_text(hresult):
    buffer = ctypes.create_string_buffer(2048)
    flags = _native.FORMAT_MESSAGE_FROM_SYSTEM | _native.FORMAT_MESSAGE_IGNORE_INSERTS
    units = _native.platform().FormatMessageW(flags, None, hresult & 0xFFFFFFFF, 0, buffer, 1024, None)
    if units == 0:
        return None
    return buffer.raw[:units * 2].decode("utf-16-le", "replace").strip()


def _check(hresult):
    if hresult < 0:
        raise com_error(hresult)
    return hresult


# -- COM per thread -------------------------------------------------------

_apartment = threading.local()


def _enter_apartment():
    """Joins the calling thread to an apartment once, as pythoncom does on import."""
    if getattr(_apartment, "joined", False):
        return
    hr = _native.platform().CoInitializeEx(None, _native.COINIT_APARTMENTTHREADED)
    if hr < 0 and hr != _native.RPC_E_CHANGED_MODE:
        raise com_error(hr)
    _apartment.joined = True


# -- strings, arrays, dates ------------------------------------------------


def _bstr(text):
    lib = _native.platform()
    data = text.encode("utf-16-le", "surrogatepass")
    units = len(data) // 2
    result = lib.SysAllocStringLen(data, units)
    if not result:
        raise MemoryError("SysAllocStringLen")
    return result


def _text(bstr):
    if not bstr:
        return None
    units = _native.platform().SysStringLen(bstr)
    return ctypes.string_at(bstr, units * 2).decode("utf-16-le", "surrogatepass")


def _byte_array(data):
    lib = _native.platform()
    data = bytes(data)
    psa = lib.SafeArrayCreateVector(VT_UI1, 0, len(data))
    if not psa:
        raise MemoryError("SafeArrayCreateVector")
    if data:
        pointer = ctypes.c_void_p()
        hr = lib.SafeArrayAccessData(psa, ctypes.byref(pointer))
        if hr < 0:
            lib.SafeArrayDestroy(psa)
            raise com_error(hr)
        ctypes.memmove(pointer, data, len(data))
        lib.SafeArrayUnaccessData(psa)
    return psa


def _array_items(psa, element_vt):
    """A one-dimensional array as bytes (VT_UI1) or a tuple of Python values."""
    lib = _native.platform()
    if not psa:
        return None
    if lib.SafeArrayGetDim(psa) != 1:
        raise TypeError("only one-dimensional arrays are converted")
    lower, upper = ctypes.c_int32(), ctypes.c_int32()
    _check(lib.SafeArrayGetLBound(psa, 1, ctypes.byref(lower)))
    _check(lib.SafeArrayGetUBound(psa, 1, ctypes.byref(upper)))
    count = max(upper.value - lower.value + 1, 0)
    pointer = ctypes.c_void_p()
    _check(lib.SafeArrayAccessData(psa, ctypes.byref(pointer)))
    try:
        if element_vt == VT_UI1:
            return ctypes.string_at(pointer, count) if count else b""
        if element_vt == VT_VARIANT:
            items = ctypes.cast(pointer, ctypes.POINTER(VARIANT))
            return tuple(_from_variant(items[i]) for i in range(count))
        if element_vt == VT_BSTR:
            items = ctypes.cast(pointer, ctypes.POINTER(BSTR))
            return tuple(_text(items[i]) for i in range(count))
        scalar = {VT_I4: ctypes.c_int32, VT_INT: ctypes.c_int32, VT_I2: ctypes.c_int16, VT_R8: ctypes.c_double}
        if element_vt in scalar:
            items = ctypes.cast(pointer, ctypes.POINTER(scalar[element_vt]))
            return tuple(items[i] for i in range(count))
        raise TypeError(f"arrays of variant type {element_vt} are not converted")
    finally:
        lib.SafeArrayUnaccessData(psa)


def _ole_date(value):
    if isinstance(value, datetime.datetime):
        if value.tzinfo is not None:
            value = value.astimezone(datetime.timezone.utc).replace(tzinfo=None)
    else:
        value = datetime.datetime(value.year, value.month, value.day)
    delta = value - _OLE_EPOCH
    days = delta.days + (delta.seconds + delta.microseconds / 1e6) / 86400.0
    # Before the epoch the day counts down and the time of day still counts up.
    whole = int(days // 1)
    fraction = days - whole
    return whole + fraction if whole >= 0 else whole - fraction


def _from_ole_date(value):
    whole = int(value)
    fraction = abs(value - whole)
    delta = datetime.timedelta(days=whole + fraction)
    # Dates hold whole milliseconds at best; round away the float noise.
    milliseconds = round(delta / datetime.timedelta(milliseconds=1))
    return _OLE_EPOCH + datetime.timedelta(milliseconds=milliseconds)


# -- variants ----------------------------------------------------------------


def _set_natural(v, value):
    """Fills the empty variant v from a Python value by its own type."""
    if value is None:
        v.vt = VT_NULL
    elif isinstance(value, bool):
        v.vt = VT_BOOL
        v.v.boolVal = -1 if value else 0
    elif isinstance(value, int):
        if -(1 << 31) <= value < (1 << 31):
            v.vt = VT_I4
            v.v.lVal = value
        else:
            v.vt = VT_I8
            v.v.llVal = value
    elif isinstance(value, float):
        v.vt = VT_R8
        v.v.dblVal = value
    elif isinstance(value, str):
        v.v.bstrVal = _bstr(value)
        v.vt = VT_BSTR
    elif isinstance(value, (bytes, bytearray, memoryview)):
        v.v.parray = _byte_array(value)
        v.vt = VT_ARRAY | VT_UI1
    elif isinstance(value, (datetime.datetime, datetime.date)):
        v.vt = VT_DATE
        v.v.date = _ole_date(value)
    elif isinstance(value, CDispatch):
        pointer = value._pointer()
        _native.add_ref(pointer)
        v.v.pdispVal = pointer
        v.vt = VT_DISPATCH
    else:
        raise TypeError(f"a {type(value).__name__} cannot be passed to an automation method")


def _from_variant(v):
    """The Python value of a variant; the variant stays owned by the caller."""
    vt = v.vt
    if vt & VT_BYREF:
        base = vt & ~VT_BYREF
        if base == VT_VARIANT:
            return _from_variant(ctypes.cast(v.v.byref, ctypes.POINTER(VARIANT))[0])
        if base & VT_ARRAY:
            return _array_items(ctypes.cast(v.v.byref, ctypes.POINTER(ctypes.c_void_p))[0], base & 0xFFF)
        inner = VARIANT()
        size = {VT_BSTR: 8, VT_DISPATCH: 8, VT_I8: 8, VT_UI8: 8, VT_R8: 8, VT_DATE: 8, VT_I4: 4, VT_INT: 4,
                VT_UI4: 4, VT_UINT: 4, VT_R4: 4, VT_ERROR: 4, VT_BOOL: 2, VT_I2: 2, VT_UI2: 2, VT_I1: 1,
                VT_UI1: 1}.get(base)
        if size is None:
            raise TypeError(f"variant type 0x{vt:04X} is not converted")
        ctypes.memmove(ctypes.addressof(inner.v), v.v.byref, size)
        inner.vt = base
        return _from_variant(inner)
    if vt & VT_ARRAY:
        return _array_items(v.v.parray, vt & 0xFFF)
    if vt in (VT_EMPTY, VT_NULL):
        return None
    if vt == VT_BSTR:
        return _text(v.v.bstrVal)
    if vt == VT_BOOL:
        return v.v.boolVal != 0
    if vt in (VT_I4, VT_INT, VT_ERROR):
        return v.v.lVal
    if vt in (VT_UI4, VT_UINT):
        return v.v.lVal & 0xFFFFFFFF
    if vt == VT_I2:
        return v.v.iVal
    if vt == VT_UI2:
        return v.v.iVal & 0xFFFF
    if vt == VT_I1:
        return ctypes.c_int8(v.v.bVal).value
    if vt == VT_UI1:
        return v.v.bVal
    if vt == VT_I8:
        return v.v.llVal
    if vt == VT_UI8:
        return v.v.llVal & 0xFFFFFFFFFFFFFFFF
    if vt == VT_R8:
        return v.v.dblVal
    if vt == VT_R4:
        return v.v.fltVal
    if vt == VT_DATE:
        return _from_ole_date(v.v.date)
    if vt == VT_DISPATCH:
        pointer = v.v.pdispVal
        if not pointer:
            return None
        _native.add_ref(pointer)
        return CDispatch(pointer, None)
    raise TypeError(f"variant type 0x{vt:04X} is not converted")


class _Arguments:
    """The argument block of one Invoke, in the reversed order Invoke takes,
    with the variants the by-reference arguments point at; frees them all."""

    def __init__(self, values, declared):
        count = len(values)
        self.array = (VARIANT * max(count, 1))()
        self.referenced = (VARIANT * max(count, 1))()
        try:
            for position, value in enumerate(values):
                index = count - 1 - position
                kind = declared[position] if position < len(declared) else None
                self._fill(index, value, kind)
        except BaseException:
            self.free()
            raise
        self.params = DISPPARAMS(self.array, None, count, 0)

    def _fill(self, index, value, kind):
        v = self.array[index]
        if kind == (VT_PTR, VT_VARIANT):
            # [in] VARIANT*: only a by-reference variant is accepted there.
            _set_natural(self.referenced[index], value)
            v.vt = VT_BYREF | VT_VARIANT
            v.v.byref = ctypes.addressof(self.referenced[index])
        elif kind == (VT_BSTR, None) and value is None:
            v.vt = VT_BSTR  # a null string: the argument is absent
        elif kind == (VT_DATE, None) and isinstance(value, (int, float)) and not isinstance(value, bool):
            v.vt = VT_DATE
            v.v.date = float(value)
        else:
            _set_natural(v, value)

    def free(self):
        lib = _native.platform()
        for variants in (self.array, self.referenced):
            for v in variants:
                if not v.vt & VT_BYREF:
                    lib.VariantClear(ctypes.byref(v))


class _Signature:
    """What the type information says about one method."""

    def __init__(self, in_types, has_retval):
        self.in_types = in_types  # (vt, pointed-to vt or None) per [in] parameter
        self.has_retval = has_retval


def _read_signatures(dispatch):
    """memid -> _Signature from IDispatch::GetTypeInfo; {} when there is none."""
    info = ctypes.c_void_p()
    get_type_info = _native.method(dispatch, 4, HRESULT, ctypes.c_uint32, ctypes.c_uint32,
                                   ctypes.POINTER(ctypes.c_void_p))
    if get_type_info(0, _native.LOCALE_USER_DEFAULT, ctypes.byref(info)) < 0 or not info.value:
        return {}
    signatures = {}
    try:
        attr = ctypes.POINTER(TYPEATTR)()
        if _native.method(info, 3, HRESULT, ctypes.POINTER(ctypes.POINTER(TYPEATTR)))(ctypes.byref(attr)) < 0:
            return {}
        functions = attr.contents.cFuncs
        _native.method(info, 19, None, ctypes.POINTER(TYPEATTR))(attr)
        get_func_desc = _native.method(info, 5, HRESULT, ctypes.c_uint32, ctypes.POINTER(ctypes.POINTER(FUNCDESC)))
        release_func_desc = _native.method(info, 20, None, ctypes.POINTER(FUNCDESC))
        for index in range(functions):
            desc = ctypes.POINTER(FUNCDESC)()
            if get_func_desc(index, ctypes.byref(desc)) < 0:
                continue
            try:
                d = desc.contents
                in_types, has_retval = [], False
                for p in range(d.cParams):
                    element = d.lprgelemdescParam[p]
                    flags = element.paramdesc.wParamFlags
                    if flags & _native.PARAMFLAG_FRETVAL:
                        has_retval = True
                        continue
                    if flags & _native.PARAMFLAG_FOUT and not flags & _native.PARAMFLAG_FIN:
                        continue
                    vt = element.tdesc.vt
                    pointed = element.tdesc.lptdesc.contents.vt if vt == VT_PTR and element.tdesc.lptdesc else None
                    in_types.append((vt, pointed))
                # A dispinterface's description carries the value as the function's own type.
                if d.elemdescFunc.tdesc.vt not in (_native.VT_HRESULT, _native.VT_VOID):
                    has_retval = True
                signatures[d.memid] = _Signature(in_types, has_retval)
            finally:
                release_func_desc(desc)
    finally:
        _native.release(info)
    return signatures


class _BoundMethod:
    def __init__(self, owner, name, dispid):
        self._owner = owner
        self._name = name
        self._dispid = dispid

    def __call__(self, *args):
        return self._owner._invoke(self._dispid, self._name, args)

    def __repr__(self):
        return f"<method {self._name} (DISPID {self._dispid}) of {self._owner!r}>"


class CDispatch:
    """An automation object reached by name through IDispatch."""

    def __init__(self, pointer, name):
        self.__dict__["_dispatch"] = pointer
        self.__dict__["_name"] = name
        self.__dict__["_dispids"] = {}
        self.__dict__["_signatures"] = None

    def _pointer(self):
        pointer = self.__dict__.get("_dispatch")
        if not pointer:
            raise ValueError("the object has been released")
        return pointer

    def __getattr__(self, name):
        if name.startswith("_"):
            raise AttributeError(name)
        return _BoundMethod(self, name, self._dispid(name))

    def __setattr__(self, name, value):
        raise AttributeError(f"{name}: properties are not set through this client")

    def _dispid(self, name):
        key = name.lower()
        dispid = self._dispids.get(key)
        if dispid is not None:
            return dispid
        buffer = _native.wide(name)
        names = (ctypes.c_void_p * 1)(ctypes.addressof(buffer))
        ids = (ctypes.c_int32 * 1)()
        get_ids = _native.method(self._pointer(), 5, HRESULT, ctypes.POINTER(GUID), ctypes.c_void_p, ctypes.c_uint32,
                                 ctypes.c_uint32, ctypes.c_void_p)
        hr = get_ids(ctypes.byref(IID_NULL), names, 1, _native.LOCALE_USER_DEFAULT, ids)
        if hr < 0:
            error = com_error(hr)
            if hr == _native.DISP_E_UNKNOWNNAME:
                raise AttributeError(f"{self._label()}.{name}") from error
            raise error
        self._dispids[key] = ids[0]
        return ids[0]

    def _signature(self, dispid):
        if self._signatures is None:
            self.__dict__["_signatures"] = _read_signatures(self._pointer())
        return self._signatures.get(dispid)

    def _invoke(self, dispid, name, args):
        signature = self._signature(dispid)
        declared = signature.in_types if signature else []
        arguments = _Arguments(args, declared)
        result = VARIANT()
        excepinfo = EXCEPINFO()
        arg_err = ctypes.c_uint32(0xFFFFFFFF)
        invoke = _native.method(self._pointer(), 6, HRESULT, ctypes.c_int32, ctypes.POINTER(GUID), ctypes.c_uint32,
                                ctypes.c_uint16, ctypes.POINTER(DISPPARAMS), ctypes.POINTER(VARIANT),
                                ctypes.POINTER(EXCEPINFO), ctypes.POINTER(ctypes.c_uint32))
        lib = _native.platform()
        try:
            hr = invoke(dispid, ctypes.byref(IID_NULL), _native.LOCALE_USER_DEFAULT,
                        _native.DISPATCH_METHOD | _native.DISPATCH_PROPERTYGET, ctypes.byref(arguments.params),
                        ctypes.byref(result), ctypes.byref(excepinfo), ctypes.byref(arg_err))
            if hr < 0:
                raise com_error(hr, None, _take_excepinfo(excepinfo), None if arg_err.value == 0xFFFFFFFF
                                else arg_err.value)
            return _from_variant(result)
        finally:
            lib.VariantClear(ctypes.byref(result))
            arguments.free()

    def _label(self):
        return self._name or "<unknown>"

    def close(self):
        """Releases the object now; later calls raise ValueError."""
        pointer = self.__dict__.get("_dispatch")
        if pointer:
            self.__dict__["_dispatch"] = None
            _native.release(pointer)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def __del__(self):
        try:
            self.close()
        except Exception:  # the interpreter is shutting down and the library's wrappers are gone
            pass

    def __repr__(self):
        state = "released" if not self.__dict__.get("_dispatch") else "live"
        return f"<trumik.client.CDispatch {self._label()} ({state})>"


def _take_excepinfo(info):
    """EXCEPINFO as pywin32's tuple, or None when the object filled nothing; frees its strings."""
    lib = _native.platform()
    if info.pfnDeferredFillIn:
        ctypes.CFUNCTYPE(HRESULT, ctypes.POINTER(EXCEPINFO))(info.pfnDeferredFillIn)(ctypes.byref(info))
    texts = []
    for field in ("bstrSource", "bstrDescription", "bstrHelpFile"):
        b = getattr(info, field)
        texts.append(_text(b))
        if b:
            lib.SysFreeString(b)
    if not any(texts) and info.wCode == 0 and info.scode == 0:
        return None
    return (info.wCode, texts[0], texts[1], texts[2], info.dwHelpContext, info.scode)


def Dispatch(name):
    """Creates the object `name` (a ProgID, or a CLSID in braces) and returns it."""
    _enter_apartment()
    lib = _native.platform()
    clsid = GUID()
    buffer = _native.wide(name)
    if name.startswith("{"):
        _check(lib.CLSIDFromString(buffer, ctypes.byref(clsid)))
    else:
        _check(lib.CLSIDFromProgID(buffer, ctypes.byref(clsid)))
    pointer = ctypes.c_void_p()
    _check(lib.CoCreateInstance(ctypes.byref(clsid), None, _native.CLSCTX_INPROC_SERVER, ctypes.byref(IID_IDispatch),
                                ctypes.byref(pointer)))
    return CDispatch(pointer.value, name)
