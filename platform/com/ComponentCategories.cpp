// The standard component categories manager, a class of the platform itself:
// CoCreateInstance(CLSID_StdComponentCategoriesMgr) needs no registry entry.
#include "com/ComInternal.h"

#include "comcat.h"

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

using namespace trumik::platform::com;

extern "C" {
const CLSID CLSID_StdComponentCategoriesMgr = {
    0x0002E005, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID IID_IEnumGUID = {0x0002E000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID IID_IEnumCATEGORYINFO = {
    0x0002E011, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID IID_ICatRegister = {0x0002E012, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID IID_ICatInformation = {
    0x0002E013, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
}

namespace {

const std::u16string kCategoriesKey = u"Component Categories";

std::u16string ClassKey(REFCLSID clsid)
{
    return u"CLSID\\" + GuidToString(clsid);
}

HRESULT CreateKey(const std::u16string& path)
{
    HKEY raw = nullptr;
    const LSTATUS rc =
        RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &raw, nullptr);
    KeyGuard key(raw);
    return rc == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(rc);
}

// An absent key is not an error: unregistering is idempotent.
HRESULT DeleteKey(const std::u16string& path)
{
    const LSTATUS rc = RegDeleteKeyW(HKEY_CLASSES_ROOT, path.c_str());
    return rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND ? S_OK : HRESULT_FROM_WIN32(rc);
}

std::vector<std::u16string> SubkeyNames(const std::u16string& path)
{
    std::vector<std::u16string> names;
    HKEY raw = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_ENUMERATE_SUB_KEYS, &raw) != ERROR_SUCCESS)
        return names;
    KeyGuard key(raw);
    for (DWORD index = 0;; ++index) {
        char16_t name[256];
        DWORD length = 256;
        const LSTATUS rc = RegEnumKeyExW(key.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_MORE_DATA)
            continue; // longer than any CLSID or category name
        if (rc != ERROR_SUCCESS)
            break;
        names.emplace_back(name, length);
    }
    return names;
}

std::vector<GUID> SubkeyGuids(const std::u16string& path)
{
    std::vector<GUID> guids;
    for (const std::u16string& name : SubkeyNames(path)) {
        GUID guid;
        if (ParseGuid(name.c_str(), &guid))
            guids.push_back(guid);
    }
    return guids;
}

std::u16string LocaleValueName(LCID lcid)
{
    static constexpr char16_t hex[] = u"0123456789ABCDEF";
    std::u16string out;
    for (int shift = 28; shift >= 0; shift -= 4) {
        const char16_t digit = hex[(lcid >> shift) & 0xF];
        if (!out.empty() || digit != u'0' || shift == 0)
            out.push_back(digit);
    }
    return out;
}

bool ParseLocaleName(const std::u16string& name, LCID* lcid)
{
    if (name.empty() || name.size() > 8)
        return false;
    LCID value = 0;
    for (char16_t c : name) {
        int digit;
        if (c >= u'0' && c <= u'9')
            digit = c - u'0';
        else if (c >= u'a' && c <= u'f')
            digit = c - u'a' + 10;
        else if (c >= u'A' && c <= u'F')
            digit = c - u'A' + 10;
        else
            return false;
        value = (value << 4) | static_cast<LCID>(digit);
    }
    *lcid = value;
    return true;
}

// The description of a category in a locale: the exact locale, else one of
// the same primary language; with anyLocale, else the first one there is.
HRESULT ReadDescription(REFCATID catid, LCID lcid, bool anyLocale, std::u16string* text, LCID* found)
{
    HKEY raw = nullptr;
    const std::u16string path = kCategoriesKey + u"\\" + GuidToString(catid);
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_QUERY_VALUE, &raw) != ERROR_SUCCESS)
        return CAT_E_CATIDNOEXIST;
    KeyGuard key(raw);
    struct Entry {
        LCID lcid;
        std::u16string text;
    };
    std::vector<Entry> entries;
    for (DWORD index = 0;; ++index) {
        char16_t name[64];
        DWORD nameLength = 64;
        DWORD type = 0;
        BYTE data[2 * 256];
        DWORD size = sizeof data;
        const LSTATUS rc = RegEnumValueW(key.get(), index, name, &nameLength, nullptr, &type, data, &size);
        if (rc == ERROR_MORE_DATA)
            continue;
        if (rc != ERROR_SUCCESS)
            break;
        LCID valueLcid = 0;
        if (type != REG_SZ || !ParseLocaleName(std::u16string(name, nameLength), &valueLcid))
            continue;
        std::u16string value(reinterpret_cast<const char16_t*>(data), size / sizeof(char16_t));
        while (!value.empty() && value.back() == u'\0')
            value.pop_back();
        entries.push_back({valueLcid, std::move(value)});
    }
    const Entry* chosen = nullptr;
    for (const Entry& e : entries)
        if (!chosen && e.lcid == lcid)
            chosen = &e;
    for (const Entry& e : entries)
        if (!chosen && (e.lcid & 0x3FF) == (lcid & 0x3FF))
            chosen = &e;
    if (!chosen && anyLocale && !entries.empty())
        chosen = &entries.front();
    if (!chosen)
        return CAT_E_NODESCRIPTION;
    *text = chosen->text;
    *found = chosen->lcid;
    return S_OK;
}

bool Contains(ULONG count, const CATID* list, const GUID& guid)
{
    for (ULONG i = 0; i < count; ++i)
        if (list[i] == guid)
            return true;
    return false;
}

HRESULT ClassMatches(REFCLSID clsid, ULONG cImplemented, const CATID* implemented, ULONG cRequired,
                     const CATID* required, bool* matches)
{
    constexpr ULONG any = static_cast<ULONG>(-1);
    if ((cImplemented != any && cImplemented && !implemented) || (cRequired != any && cRequired && !required))
        return E_POINTER;
    bool ok = true;
    if (cImplemented != any) {
        bool one = false;
        for (const GUID& catid : SubkeyGuids(ClassKey(clsid) + u"\\Implemented Categories"))
            one = one || Contains(cImplemented, implemented, catid);
        ok = one;
    }
    if (ok && cRequired != any) {
        for (const GUID& catid : SubkeyGuids(ClassKey(clsid) + u"\\Required Categories"))
            ok = ok && Contains(cRequired, required, catid);
    }
    *matches = ok;
    return S_OK;
}

// An enumerator over a snapshot.
template <class Interface, class Item, const IID& Iid> class Enumerator final : public Interface {
  public:
    explicit Enumerator(std::vector<Item> items, size_t position = 0)
        : items_(std::move(items)), position_(position)
    {
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        if (riid != IID_IUnknown && riid != Iid)
            return E_NOINTERFACE;
        *ppv = static_cast<Interface*>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override
    {
        const ULONG left = --refs_;
        if (left == 0)
            delete this;
        return left;
    }

    HRESULT STDMETHODCALLTYPE Next(ULONG celt, Item* rgelt, ULONG* pceltFetched) override
    {
        if (!rgelt || (celt > 1 && !pceltFetched))
            return E_POINTER;
        ULONG fetched = 0;
        while (fetched < celt && position_ < items_.size())
            rgelt[fetched++] = items_[position_++];
        if (pceltFetched)
            *pceltFetched = fetched;
        return fetched == celt ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Skip(ULONG celt) override
    {
        const size_t left = items_.size() - position_;
        position_ += celt < left ? celt : left;
        return celt <= left ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Reset() override
    {
        position_ = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Clone(Interface** ppenum) override
    {
        if (!ppenum)
            return E_POINTER;
        *ppenum = new Enumerator(items_, position_);
        return S_OK;
    }

  private:
    std::atomic<ULONG> refs_{1};
    std::vector<Item> items_;
    size_t position_;
};

using GuidEnumerator = Enumerator<IEnumGUID, GUID, IID_IEnumGUID>;
using CategoryEnumerator = Enumerator<IEnumCATEGORYINFO, CATEGORYINFO, IID_IEnumCATEGORYINFO>;

class CategoriesManager final : public ICatRegister, public ICatInformation {
  public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        if (riid == IID_IUnknown || riid == IID_ICatRegister)
            *ppv = static_cast<ICatRegister*>(this);
        else if (riid == IID_ICatInformation)
            *ppv = static_cast<ICatInformation*>(this);
        else
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override
    {
        const ULONG left = --refs_;
        if (left == 0)
            delete this;
        return left;
    }

    // ICatRegister
    HRESULT STDMETHODCALLTYPE RegisterCategories(ULONG cCategories, CATEGORYINFO rgCategoryInfo[]) override
    {
        if (cCategories && !rgCategoryInfo)
            return E_POINTER;
        for (ULONG i = 0; i < cCategories; ++i) {
            const CATEGORYINFO& info = rgCategoryInfo[i];
            const std::u16string path = kCategoriesKey + u"\\" + GuidToString(info.catid);
            HKEY raw = nullptr;
            LSTATUS rc = RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                                         &raw, nullptr);
            if (rc != ERROR_SUCCESS)
                return HRESULT_FROM_WIN32(rc);
            KeyGuard key(raw);
            size_t length = 0;
            while (length < 128 && info.szDescription[length])
                ++length;
            std::u16string text(info.szDescription, length);
            rc = RegSetValueExW(key.get(), LocaleValueName(info.lcid).c_str(), 0, REG_SZ,
                                reinterpret_cast<const BYTE*>(text.c_str()),
                                static_cast<DWORD>((text.size() + 1) * sizeof(char16_t)));
            if (rc != ERROR_SUCCESS)
                return HRESULT_FROM_WIN32(rc);
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE UnRegisterCategories(ULONG cCategories, CATID rgcatid[]) override
    {
        if (cCategories && !rgcatid)
            return E_POINTER;
        for (ULONG i = 0; i < cCategories; ++i)
            if (HRESULT hr = DeleteKey(kCategoriesKey + u"\\" + GuidToString(rgcatid[i])); FAILED(hr))
                return hr;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE RegisterClassImplCategories(REFCLSID rclsid, ULONG cCategories,
                                                          CATID rgcatid[]) override
    {
        return RegisterClassCategories(rclsid, u"\\Implemented Categories\\", cCategories, rgcatid);
    }
    HRESULT STDMETHODCALLTYPE UnRegisterClassImplCategories(REFCLSID rclsid, ULONG cCategories,
                                                            CATID rgcatid[]) override
    {
        return UnRegisterClassCategories(rclsid, u"\\Implemented Categories\\", cCategories, rgcatid);
    }
    HRESULT STDMETHODCALLTYPE RegisterClassReqCategories(REFCLSID rclsid, ULONG cCategories,
                                                         CATID rgcatid[]) override
    {
        return RegisterClassCategories(rclsid, u"\\Required Categories\\", cCategories, rgcatid);
    }
    HRESULT STDMETHODCALLTYPE UnRegisterClassReqCategories(REFCLSID rclsid, ULONG cCategories,
                                                           CATID rgcatid[]) override
    {
        return UnRegisterClassCategories(rclsid, u"\\Required Categories\\", cCategories, rgcatid);
    }

    // ICatInformation
    HRESULT STDMETHODCALLTYPE EnumCategories(LCID lcid, IEnumCATEGORYINFO** ppenumCategoryInfo) override
    {
        if (!ppenumCategoryInfo)
            return E_POINTER;
        *ppenumCategoryInfo = nullptr;
        std::vector<CATEGORYINFO> items;
        for (const GUID& catid : SubkeyGuids(kCategoriesKey)) {
            CATEGORYINFO info{};
            info.catid = catid;
            info.lcid = lcid;
            std::u16string text;
            LCID found = lcid;
            if (SUCCEEDED(ReadDescription(catid, lcid, true, &text, &found))) {
                info.lcid = found;
                const size_t n = text.size() < 127 ? text.size() : 127;
                std::memcpy(info.szDescription, text.data(), n * sizeof(OLECHAR));
            }
            items.push_back(info);
        }
        *ppenumCategoryInfo = new CategoryEnumerator(std::move(items));
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetCategoryDesc(REFCATID rcatid, LCID lcid, LPWSTR* pszDesc) override
    {
        if (!pszDesc)
            return E_POINTER;
        *pszDesc = nullptr;
        std::u16string text;
        LCID found = 0;
        if (HRESULT hr = ReadDescription(rcatid, lcid, false, &text, &found); FAILED(hr))
            return hr;
        auto* out = static_cast<LPWSTR>(CoTaskMemAlloc((text.size() + 1) * sizeof(WCHAR)));
        if (!out)
            return E_OUTOFMEMORY;
        std::memcpy(out, text.c_str(), (text.size() + 1) * sizeof(WCHAR));
        *pszDesc = out;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE EnumClassesOfCategories(ULONG cImplemented, const CATID rgcatidImpl[],
                                                      ULONG cRequired, const CATID rgcatidReq[],
                                                      IEnumGUID** ppenumClsid) override
    {
        if (!ppenumClsid)
            return E_POINTER;
        *ppenumClsid = nullptr;
        std::vector<GUID> classes;
        for (const GUID& clsid : SubkeyGuids(u"CLSID")) {
            bool matches = false;
            if (HRESULT hr = ClassMatches(clsid, cImplemented, rgcatidImpl, cRequired, rgcatidReq, &matches);
                FAILED(hr))
                return hr;
            if (matches)
                classes.push_back(clsid);
        }
        *ppenumClsid = new GuidEnumerator(std::move(classes));
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE IsClassOfCategories(REFCLSID rclsid, ULONG cImplemented,
                                                  const CATID rgcatidImpl[], ULONG cRequired,
                                                  const CATID rgcatidReq[]) override
    {
        bool matches = false;
        if (HRESULT hr = ClassMatches(rclsid, cImplemented, rgcatidImpl, cRequired, rgcatidReq, &matches);
            FAILED(hr))
            return hr;
        return matches ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE EnumImplCategoriesOfClass(REFCLSID rclsid, IEnumGUID** ppenumCatid) override
    {
        return EnumClassCategories(rclsid, u"\\Implemented Categories", ppenumCatid);
    }
    HRESULT STDMETHODCALLTYPE EnumReqCategoriesOfClass(REFCLSID rclsid, IEnumGUID** ppenumCatid) override
    {
        return EnumClassCategories(rclsid, u"\\Required Categories", ppenumCatid);
    }

  private:
    static HRESULT RegisterClassCategories(REFCLSID rclsid, const char16_t* subkey, ULONG count,
                                           const CATID* catids)
    {
        if (count && !catids)
            return E_POINTER;
        for (ULONG i = 0; i < count; ++i)
            if (HRESULT hr = CreateKey(ClassKey(rclsid) + subkey + GuidToString(catids[i])); FAILED(hr))
                return hr;
        return S_OK;
    }
    static HRESULT UnRegisterClassCategories(REFCLSID rclsid, const char16_t* subkey, ULONG count,
                                             const CATID* catids)
    {
        if (count && !catids)
            return E_POINTER;
        for (ULONG i = 0; i < count; ++i)
            if (HRESULT hr = DeleteKey(ClassKey(rclsid) + subkey + GuidToString(catids[i])); FAILED(hr))
                return hr;
        return S_OK;
    }
    static HRESULT EnumClassCategories(REFCLSID rclsid, const char16_t* subkey, IEnumGUID** ppenum)
    {
        if (!ppenum)
            return E_POINTER;
        *ppenum = nullptr;
        *ppenum = new GuidEnumerator(SubkeyGuids(ClassKey(rclsid) + subkey));
        return S_OK;
    }

    std::atomic<ULONG> refs_{1};
};

// The class object: it lives as long as the process, so its count is nominal.
class CategoriesManagerFactory final : public IClassFactory {
  public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        if (riid != IID_IUnknown && riid != IID_IClassFactory)
            return E_NOINTERFACE;
        *ppv = static_cast<IClassFactory*>(this);
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) override
    {
        if (!ppvObject)
            return E_POINTER;
        *ppvObject = nullptr;
        if (pUnkOuter)
            return CLASS_E_NOAGGREGATION;
        auto* manager = new CategoriesManager;
        const HRESULT hr = manager->QueryInterface(riid, ppvObject);
        manager->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

} // namespace

namespace trumik::platform::com {

bool GetBuiltinClassObject(REFCLSID rclsid, REFIID riid, void** ppv, HRESULT* result)
{
    if (rclsid != CLSID_StdComponentCategoriesMgr)
        return false;
    static CategoriesManagerFactory factory;
    *result = factory.QueryInterface(riid, ppv);
    return true;
}

} // namespace trumik::platform::com
