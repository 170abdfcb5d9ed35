#include "Automation.h"

#include "common/Bstr.h"
#include "common/TextSizes.h"
#include "internal/Base64.h"

#include <objbase.h>
#include <winnls.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>

namespace trumik::host {

namespace {

std::string SlowToUtf8(const OLECHAR* text, size_t length)
{
    if (!text || length == 0)
        return {};
    int size = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size > 0 ? size : 0), '\0');
    if (size > 0)
        WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), out.data(), size, nullptr, nullptr);
    return out;
}

std::u16string SlowFromUtf8(const std::string& text)
{
    if (text.empty())
        return {};
    int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::u16string out(static_cast<size_t>(size > 0 ? size : 0), u'\0');
    if (size > 0)
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size);
    return out;
}

} // namespace

// Both conversions run once, into a buffer of the largest size the result can
// have (three UTF-8 bytes a UTF-16 unit, one unit a UTF-8 byte), instead of
// counting first; pages of that buffer never written are never touched.
Utf8Buffer ToUtf8Buffer(const OLECHAR* text, size_t length)
{
    Utf8Buffer out;
    if (!text || length == 0)
        return out;
    if (length > INT_MAX / 3) {
        const std::string slow = SlowToUtf8(text, length);
        out.bytes = std::make_unique_for_overwrite<char[]>(slow.size());
        std::memcpy(out.bytes.get(), slow.data(), slow.size());
        out.size = slow.size();
        return out;
    }
    const int room = static_cast<int>(length * 3);
    out.bytes = std::make_unique_for_overwrite<char[]>(static_cast<size_t>(room));
    int size = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), out.bytes.get(), room, nullptr,
                                   nullptr);
    out.size = static_cast<size_t>(size > 0 ? size : 0);
    return out;
}

std::string ToUtf8(const OLECHAR* text, size_t length)
{
    if (!text || length == 0 || length > INT_MAX / 3)
        return SlowToUtf8(text, length);
    const Utf8Buffer buffer = ToUtf8Buffer(text, length);
    return std::string(buffer.View());
}

std::u16string FromUtf8(const std::string& text)
{
    if (text.empty() || text.size() > INT_MAX)
        return SlowFromUtf8(text);
    const int room = static_cast<int>(text.size());
    auto buffer = std::make_unique_for_overwrite<char16_t[]>(static_cast<size_t>(room));
    int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), room, buffer.get(), room);
    return std::u16string(buffer.get(), static_cast<size_t>(size > 0 ? size : 0));
}

BSTR BstrFromUtf8(std::string_view text)
{
    if (text.size() > INT_MAX)
        return nullptr;
    const int length = static_cast<int>(text.size());
    // Counted without converting; converted again with a count of its own
    // only when the text is not well-formed UTF-8.
    const size_t counted = common::Utf16UnitsOfUtf8(text);
    if (common::UniqueBstr out{SysAllocStringLen(nullptr, static_cast<UINT>(counted))}) {
        if (length == 0 || MultiByteToWideChar(CP_UTF8, 0, text.data(), length, out.get(),
                                               static_cast<int>(counted)) == static_cast<int>(counted))
            return out.release();
    }
    const int units = length ? MultiByteToWideChar(CP_UTF8, 0, text.data(), length, nullptr, 0) : 0;
    BSTR out = SysAllocStringLen(nullptr, static_cast<UINT>(units > 0 ? units : 0));
    if (out && units > 0)
        MultiByteToWideChar(CP_UTF8, 0, text.data(), length, out, units);
    return out;
}

std::string HResultText(HRESULT hr)
{
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "0x%08X", static_cast<uint32_t>(hr));
    return buffer;
}

HRESULT CreateObject(const std::string& progId, IDispatch** object)
{
    *object = nullptr;
    std::u16string name = FromUtf8(progId);
    CLSID clsid;
    HRESULT hr = name.size() > 0 && name[0] == u'{' ? CLSIDFromString(name.c_str(), &clsid)
                                                    : CLSIDFromProgID(name.c_str(), &clsid);
    if (FAILED(hr))
        return hr;
    void* out = nullptr;
    hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, &out);
    *object = static_cast<IDispatch*>(out);
    return hr;
}

std::optional<DATE> ParseDate(const std::string& text, std::string* error)
{
    SYSTEMTIME st{};
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    char rest = 0;
    int n = std::sscanf(text.c_str(), "%d-%d-%dT%d:%d:%d%c", &y, &mo, &d, &h, &mi, &s, &rest);
    if (n != 6 && !(n == 3 && std::sscanf(text.c_str(), "%*d-%*d-%*d%c", &rest) != 1)) {
        *error = "not a date YYYY-MM-DD[THH:MM:SS]";
        return std::nullopt;
    }
    st.wYear = static_cast<WORD>(y);
    st.wMonth = static_cast<WORD>(mo);
    st.wDay = static_cast<WORD>(d);
    st.wHour = static_cast<WORD>(h);
    st.wMinute = static_cast<WORD>(mi);
    st.wSecond = static_cast<WORD>(s);
    // SystemTimeToVariantTime rolls fields over (30 February is 2 March); a
    // date written by hand must name a real day.
    DOUBLE date = 0;
    SYSTEMTIME back{};
    if (y < 100 || y > 9999 || mo < 1 || mo > 12 || d < 1 || h < 0 || h > 23 || mi < 0 || mi > 59 || s < 0 ||
        s > 59 || !SystemTimeToVariantTime(&st, &date) || !VariantTimeToSystemTime(date, &back) ||
        back.wYear != st.wYear || back.wMonth != st.wMonth || back.wDay != st.wDay) {
        *error = "not a valid date";
        return std::nullopt;
    }
    return date;
}

bool ReadFileBytes(const std::string& path, std::string& bytes)
{
    if (path == "-") {
        bytes.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
        return true;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::error_code error;
    const bool regular = std::filesystem::is_regular_file(path, error);
    const std::uintmax_t size = regular ? std::filesystem::file_size(path, error) : 0;
    if (regular && !error) {
        // A file in one read of its whole size, into a block with a little room
        // past it: a call argument puts its form in front without a new block.
        bytes.reserve(static_cast<size_t>(size) + 8);
        bytes.resize(static_cast<size_t>(size));
        return size == 0 || bool(in.read(bytes.data(), static_cast<std::streamsize>(size)));
    }
    // A pipe or a device has no size to read at once: read it through.
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

namespace {

const IID kNullIid = {};

struct SafeArrayDeleter {
    void operator()(SAFEARRAY* array) const { SafeArrayDestroy(array); }
};

// The arguments of one call: each form becomes a variant; a byte array is
// passed by reference to a variant holding it, as a script passes a variable.
class Arguments {
  public:
    Arguments() = default;
    ~Arguments()
    {
        for (VARIANT& v : values_)
            VariantClear(&v);
        for (VARIANT& v : referenced_)
            VariantClear(&v);
    }
    Arguments(const Arguments&) = delete;
    Arguments& operator=(const Arguments&) = delete;

    bool Parse(const std::vector<std::string>& forms, std::string* error)
    {
        values_.resize(forms.size());
        referenced_.resize(forms.size());
        for (size_t i = 0; i < forms.size(); ++i) {
            VariantInit(&values_[i]);
            VariantInit(&referenced_[i]);
        }
        // DISPPARAMS wants the last argument first. The callee may convert the
        // arguments in place, so these variants are the ones cleared at the end.
        for (size_t i = 0; i < forms.size(); ++i) {
            size_t slot = forms.size() - 1 - i;
            if (!ParseOne(forms[i], values_[slot], referenced_[slot], error))
                return false;
        }
        return true;
    }

    VARIANTARG* Data() { return values_.empty() ? nullptr : values_.data(); }
    UINT Count() const { return static_cast<UINT>(values_.size()); }

  private:
    static bool ParseOne(const std::string& form, VARIANT& value, VARIANT& referenced, std::string* error)
    {
        // Straight into the BSTR: a document argument is the largest thing the
        // host holds, so no copy of it is made on the way.
        auto text = [&](std::string_view utf8) {
            value.vt = VT_BSTR;
            value.bstrVal = BstrFromUtf8(utf8);
            return true;
        };
        if (form == "null") {
            value.vt = VT_BSTR;
            value.bstrVal = nullptr;
            return true;
        }
        if (form == "empty")
            return true;
        if (form.rfind("str:", 0) == 0)
            return text(std::string_view(form).substr(4));
        if (form.rfind("int:", 0) == 0) {
            char* end = nullptr;
            long long n = std::strtoll(form.c_str() + 4, &end, 10);
            if (form.size() == 4 || *end || n < INT32_MIN || n > INT32_MAX) {
                *error = "not a 32-bit integer: " + form;
                return false;
            }
            value.vt = VT_I4;
            value.lVal = static_cast<LONG>(n);
            return true;
        }
        if (form.rfind("bool:", 0) == 0) {
            std::string b = form.substr(5);
            if (b != "true" && b != "false") {
                *error = "not true or false: " + form;
                return false;
            }
            value.vt = VT_BOOL;
            value.boolVal = b == "true" ? VARIANT_TRUE : VARIANT_FALSE;
            return true;
        }
        if (form.rfind("date:", 0) == 0) {
            std::optional<DATE> date = ParseDate(form.substr(5), error);
            if (!date) {
                *error += ": " + form;
                return false;
            }
            value.vt = VT_DATE;
            value.date = *date;
            return true;
        }
        if (form.rfind("bytes:@", 0) == 0) {
            std::string bytes;
            if (!ReadFileBytes(form.substr(7), bytes)) {
                *error = "cannot read " + form.substr(7);
                return false;
            }
            std::unique_ptr<SAFEARRAY, SafeArrayDeleter> array(
                SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes.size())));
            if (!array) {
                *error = "out of memory";
                return false;
            }
            if (!bytes.empty())
                std::memcpy(array->pvData, bytes.data(), bytes.size());
            referenced.vt = VT_ARRAY | VT_UI1;
            referenced.parray = array.release();
            value.vt = VT_BYREF | VT_VARIANT;
            value.pvarVal = &referenced;
            return true;
        }
        if (form.rfind("@", 0) == 0) {
            std::string bytes;
            if (!ReadFileBytes(form.substr(1), bytes)) {
                *error = "cannot read " + form.substr(1);
                return false;
            }
            return text(bytes);
        }
        return text(form);
    }

    std::vector<VARIANT> values_;
    std::vector<VARIANT> referenced_;
};

Json ValueToJson(const VARIANT& v)
{
    const VARIANT* value = &v;
    if (value->vt == (VT_BYREF | VT_VARIANT) && value->pvarVal)
        value = value->pvarVal;
    switch (value->vt) {
    case VT_EMPTY:
    case VT_NULL:
        return Json();
    case VT_BSTR:
        return value->bstrVal ? Json(ToUtf8(value->bstrVal, SysStringLen(value->bstrVal))) : Json();
    case VT_BOOL:
        return Json(value->boolVal != VARIANT_FALSE);
    case VT_I1:
        return Json(value->cVal);
    case VT_I2:
        return Json(value->iVal);
    case VT_I4:
    case VT_INT:
        return Json(value->lVal);
    case VT_UI1:
        return Json(value->bVal);
    case VT_UI2:
        return Json(value->uiVal);
    case VT_UI4:
    case VT_UINT:
        return Json(value->ulVal);
    case VT_R4:
        return Json(value->fltVal);
    case VT_R8:
    case VT_DATE:
        return Json(value->dblVal);
    default:
        break;
    }
    if (value->vt == (VT_ARRAY | VT_UI1) && value->parray) {
        SAFEARRAY* array = value->parray;
        void* data = nullptr;
        LONG lower = 0, upper = -1;
        SafeArrayGetLBound(array, 1, &lower);
        SafeArrayGetUBound(array, 1, &upper);
        size_t size = upper >= lower ? static_cast<size_t>(upper - lower + 1) : 0;
        std::string encoded;
        if (SUCCEEDED(SafeArrayAccessData(array, &data))) {
            encoded = trumik::platform::Base64Encode(static_cast<const uint8_t*>(data), size);
            SafeArrayUnaccessData(array);
        }
        return Json::object({{"base64", encoded}});
    }
    return Json::object({{"vt", value->vt}});
}

// Calls a method without arguments by name; a null Json when the object has none.
Json ReadByName(IDispatch* object, std::initializer_list<const char16_t*> names)
{
    for (const char16_t* name : names) {
        DISPID id = DISPID_UNKNOWN;
        LPOLESTR n = const_cast<LPOLESTR>(name);
        if (FAILED(object->GetIDsOfNames(kNullIid, &n, 1, LOCALE_USER_DEFAULT, &id)))
            continue;
        DISPPARAMS none = {nullptr, nullptr, 0, 0};
        VARIANT value;
        VariantInit(&value);
        object->Invoke(id, kNullIid, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &none, &value, nullptr, nullptr);
        Json json = ValueToJson(value);
        VariantClear(&value);
        return json;
    }
    return Json();
}

} // namespace

bool CallByName(IDispatch* object, const std::string& method, std::vector<std::string> args,
                CallResult& result, std::string* argError, bool resultInJson)
{
    Arguments arguments;
    if (!arguments.Parse(args, argError))
        return false;
    args = {}; // the arguments live on as VARIANTs only
    std::u16string name = FromUtf8(method);
    LPOLESTR names[1] = {name.data()};
    DISPID id = DISPID_UNKNOWN;
    HRESULT hr = object->GetIDsOfNames(kNullIid, names, 1, LOCALE_USER_DEFAULT, &id);
    result.json = Json::object();
    if (FAILED(hr)) {
        result.json["hresult"] = HResultText(hr);
        return true;
    }
    DISPPARAMS params = {arguments.Data(), nullptr, arguments.Count(), 0};
    UINT argErr = 0;
    hr = object->Invoke(id, kNullIid, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, &result.value, nullptr,
                        &argErr);
    result.invoked = true;
    result.json["hresult"] = HResultText(hr);
    result.json["result"] = resultInJson ? ValueToJson(result.value) : Json();
    Json error = Json::object();
    error["message"] = ReadByName(
        object, {u"CryptGetLastError", u"SignGetLastError", u"SignFGetLastError", u"GetLastErrorMessage"});
    error["code"] =
        ReadByName(object, {u"CryptGetLastErrorCode", u"SignGetLastErrorCode", u"GetLastErrorCode"});
    error["stack"] =
        ReadByName(object, {u"CryptGetLastErrorStack", u"SignGetLastErrorStack", u"GetLastErrorStack"});
    result.json["error"] = std::move(error);
    return true;
}

bool WriteResult(const VARIANT& v, const std::string& path)
{
    const VARIANT* value = &v;
    if (value->vt == (VT_BYREF | VT_VARIANT) && value->pvarVal)
        value = value->pvarVal;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out)
        return false;
    if (value->vt == VT_BSTR) {
        out << ToUtf8(value->bstrVal, SysStringLen(value->bstrVal));
    } else if (value->vt == (VT_ARRAY | VT_UI1) && value->parray) {
        LONG lower = 0, upper = -1;
        SafeArrayGetLBound(value->parray, 1, &lower);
        SafeArrayGetUBound(value->parray, 1, &upper);
        void* data = nullptr;
        if (upper >= lower && SUCCEEDED(SafeArrayAccessData(value->parray, &data))) {
            out.write(static_cast<const char*>(data), upper - lower + 1);
            SafeArrayUnaccessData(value->parray);
        }
    }
    return bool(out.flush());
}

} // namespace trumik::host
