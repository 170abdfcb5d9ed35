// LoadTypeLib from files and module resources, and its failures on missing,
// foreign, truncated and corrupted input.
#include "TestSupport.h"
#include "TypeLibFormat.h"

#include "TestHome.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>

using namespace typelib_test;
namespace fs = std::filesystem;
namespace tl = trumik::typelib;

namespace {

HRESULT TryLoad(const std::u16string& path, Ptr<ITypeLib>* out = nullptr)
{
    ITypeLib* lib = reinterpret_cast<ITypeLib*>(1);
    HRESULT hr = LoadTypeLib(path.c_str(), &lib);
    if (FAILED(hr)) {
        EXPECT_EQ(lib, nullptr);
    }
    if (out)
        out->reset(lib);
    else if (SUCCEEDED(hr))
        lib->Release();
    return hr;
}

std::u16string LibraryName(ITypeLib* lib)
{
    BSTR name = nullptr;
    lib->GetDocumentation(-1, &name, nullptr, nullptr, nullptr);
    Bstr g(name);
    return Text(name);
}

// Touches everything a loaded library reports, so that a sanitizer sees any
// read out of bounds.
void Walk(ITypeLib* lib)
{
    for (UINT i = 0; i < lib->GetTypeInfoCount(); ++i) {
        ITypeInfo* raw = nullptr;
        ASSERT_EQ(lib->GetTypeInfo(i, &raw), S_OK);
        Ptr<ITypeInfo> info(raw);
        std::vector<Ptr<ITypeInfo>> views;
        views.push_back(std::move(info));
        if (Ptr<ITypeInfo> v = VtableView(views[0].get()))
            views.push_back(std::move(v));
        for (auto& view : views) {
            TypeAttr attr(view.get());
            ASSERT_TRUE(attr);
            for (UINT f = 0; f < attr->cFuncs; ++f) {
                FuncDesc d(view.get(), f);
                ASSERT_TRUE(d);
                BSTR names[16];
                UINT n = 0;
                if (SUCCEEDED(view->GetNames(d->memid, names, 16, &n)))
                    for (UINT k = 0; k < n; ++k)
                        SysFreeString(names[k]);
                for (SHORT p = 0; p < d->cParams; ++p)
                    for (const TYPEDESC* t = &d->lprgelemdescParam[p].tdesc; t;
                         t = t->vt == VT_PTR ? t->lptdesc : nullptr)
                        if (t->vt == VT_USERDEFINED) {
                            ITypeInfo* ref = nullptr;
                            if (SUCCEEDED(view->GetRefTypeInfo(t->hreftype, &ref)))
                                ref->Release();
                        }
            }
            for (UINT v = 0; v < attr->cVars; ++v) {
                VARDESC* vd = nullptr;
                ASSERT_EQ(view->GetVarDesc(v, &vd), S_OK);
                view->ReleaseVarDesc(vd);
            }
            for (UINT k = 0; k < attr->cImplTypes; ++k)
                RefInfo(view.get(), k);
            NameOf(view.get());
        }
    }
}

class LoadFailures : public ::testing::Test {
  protected:
    void SetUp() override
    {
        dir = trumik::testing::MakeTempDir("typelib-load");
        good = trumik::testing::ReadFile(TYPELIB_TEST_COMPONENT_TLB);
        ASSERT_GT(good.size(), 100u);
    }
    std::u16string Write(const std::string& name, const std::string& bytes)
    {
        trumik::testing::WriteFile(dir / name, bytes);
        return Widen((dir / name).string());
    }
    fs::path dir;
    std::string good;
};

TEST_F(LoadFailures, ArgumentsMissingFilesAndForeignFiles)
{
    ITypeLib* lib = nullptr;
    EXPECT_EQ(LoadTypeLib(nullptr, &lib), E_INVALIDARG);
    EXPECT_EQ(LoadTypeLib(u"x.tlb", nullptr), E_INVALIDARG);
    EXPECT_EQ(LoadTypeLibEx(u"x.tlb", static_cast<REGKIND>(7), &lib), E_INVALIDARG);
    EXPECT_EQ(TryLoad(u""), TYPE_E_CANTLOADLIBRARY);
    EXPECT_EQ(TryLoad(Widen((dir / "absent.tlb").string())), TYPE_E_CANTLOADLIBRARY);
    EXPECT_EQ(TryLoad(Widen(dir.string())), TYPE_E_CANTLOADLIBRARY); // a folder
    EXPECT_EQ(TryLoad(Write("text.tlb", "not a type library at all")), TYPE_E_CANTLOADLIBRARY);
    EXPECT_EQ(TryLoad(Write("empty.tlb", "")), TYPE_E_CANTLOADLIBRARY);
    EXPECT_EQ(TryLoad(Write("short.tlb", "TR")), TYPE_E_CANTLOADLIBRARY);
    // A file that looks like a module but does not load as one.
    EXPECT_EQ(TryLoad(Write("fake.so", std::string("\x7f"
                                                   "ELF",
                                                   4) +
                                           std::string(60, '\0'))),
              TYPE_E_CANTLOADLIBRARY);
    // A resource index on a type library file.
    const std::u16string file = Write("good.tlb", good);
    EXPECT_EQ(TryLoad(file), S_OK);
    EXPECT_EQ(TryLoad(file + u"\\1"), S_OK);
    EXPECT_EQ(TryLoad(file + u"\\2"), TYPE_E_CANTLOADLIBRARY);
    EXPECT_EQ(TryLoad(file + u"\\x"), TYPE_E_CANTLOADLIBRARY);
}

TEST_F(LoadFailures, VersionAndSizeMismatch)
{
    std::string bytes = good;
    bytes[4] = 2; // format version 2
    EXPECT_EQ(TryLoad(Write("v2.tlb", bytes)), TYPE_E_UNSUPFORMAT);
    bytes = good + "x"; // total size no longer the file size
    EXPECT_EQ(TryLoad(Write("long.tlb", bytes)), TYPE_E_INVDATAREAD);
    bytes = good.substr(0, 11);
    EXPECT_EQ(TryLoad(Write("header.tlb", bytes)), TYPE_E_UNSUPFORMAT);
}

// Every truncation, with the size field made to match so that the parser's
// own bounds checks are what catches it.
TEST_F(LoadFailures, EveryTruncationIsRefused)
{
    const std::u16string path = Widen((dir / "cut.tlb").string());
    for (size_t len = tl::kHeaderSize; len < good.size(); ++len) {
        std::string bytes = good.substr(0, len);
        for (int i = 0; i < 4; ++i)
            bytes[8 + i] = static_cast<char>((len >> (8 * i)) & 0xFF);
        trumik::testing::WriteFile(dir / "cut.tlb", bytes);
        ASSERT_EQ(TryLoad(path), TYPE_E_INVDATAREAD) << "length " << len;
    }
}

// Random corruption either is refused or gives a library that can be walked
// end to end; never a crash or an out-of-bounds read.
TEST_F(LoadFailures, MutatedFilesNeverCrash)
{
    std::mt19937 rng(20240611);
    const std::u16string path = Widen((dir / "fuzz.tlb").string());
    int loaded = 0, refused = 0;
    for (int round = 0; round < 1500; ++round) {
        std::string bytes = good;
        const int edits = 1 + static_cast<int>(rng() % 4);
        for (int e = 0; e < edits; ++e) {
            const size_t at = tl::kHeaderSize + rng() % (bytes.size() - tl::kHeaderSize);
            switch (rng() % 3) {
            case 0:
                bytes[at] = static_cast<char>(rng());
                break;
            case 1:
                bytes[at] ^= static_cast<char>(1u << (rng() % 8));
                break;
            default: // a plausible small count or length
                bytes[at] = static_cast<char>(rng() % 12);
                break;
            }
        }
        trumik::testing::WriteFile(dir / "fuzz.tlb", bytes);
        Ptr<ITypeLib> lib;
        const HRESULT hr = TryLoad(path, &lib);
        if (SUCCEEDED(hr)) {
            ++loaded;
            Walk(lib.get());
        } else {
            ++refused;
            ASSERT_TRUE(hr == TYPE_E_INVDATAREAD || hr == TYPE_E_UNSUPFORMAT) << std::hex << hr;
        }
    }
    EXPECT_GT(refused, 0);
    EXPECT_GT(loaded, 0); // edits in strings and GUIDs still load
}

TEST(LoadFromModule, ResourceOneByDefaultAndOthersByIndex)
{
    const std::u16string module = Widen(TYPELIB_TEST_MODULE);
    Ptr<ITypeLib> lib;
    ASSERT_EQ(TryLoad(module, &lib), S_OK);
    EXPECT_EQ(LibraryName(lib.get()), u"SampleLib");
    ASSERT_EQ(TryLoad(module + u"\\1", &lib), S_OK);
    EXPECT_EQ(LibraryName(lib.get()), u"SampleLib");
    ASSERT_EQ(TryLoad(module + u"\\2", &lib), S_OK);
    EXPECT_EQ(LibraryName(lib.get()), u"ZelvaneTrumikXmlSigner");
    Walk(lib.get());
    EXPECT_EQ(TryLoad(module + u"\\3"), TYPE_E_CANTLOADLIBRARY);
    EXPECT_EQ(TryLoad(module + u"\\0"), TYPE_E_CANTLOADLIBRARY);
    EXPECT_EQ(TryLoad(module + u"\\65536"), TYPE_E_CANTLOADLIBRARY);
    // The library outlives the module mapping it came from.
    Ptr<ITypeInfo> info = InfoOf(lib.get(), kIIDXmlSigner);
    ASSERT_TRUE(info);
    EXPECT_EQ(NameOf(info.get(), 6), u"SignWithKey");
}

TEST(LoadFromModule, ModuleWithoutTypeLibrary)
{
    // The platform library itself has no TYPELIB resource.
    const fs::path platform = TYPELIB_TEST_PLATFORM;
    ASSERT_TRUE(fs::exists(platform));
    EXPECT_EQ(TryLoad(Widen(platform.string())), TYPE_E_CANTLOADLIBRARY);
}

TEST(LoadTypeLibEx, RegistersOnlyWhenAsked)
{
    const std::u16string path = Widen(TYPELIB_TEST_SAMPLE_TLB);
    const std::u16string key = u"TypeLib\\{11111111-2222-3333-4444-5555555555AA}\\2.a";
    ITypeLib* lib = nullptr;
    ASSERT_EQ(LoadTypeLibEx(path.c_str(), REGKIND_DEFAULT, &lib), S_OK);
    lib->Release();
    ASSERT_EQ(LoadTypeLib(path.c_str(), &lib), S_OK);
    lib->Release();
    EXPECT_FALSE(RegKeyExists(key));
    ASSERT_EQ(LoadTypeLibEx(path.c_str(), REGKIND_REGISTER, &lib), S_OK);
    lib->Release();
    EXPECT_EQ(RegString(key + u"\\0\\win32"), path);
    EXPECT_EQ(UnRegisterTypeLib(kSampleLibid, 2, 10, 0, SYS_WIN32), S_OK);
    EXPECT_FALSE(RegKeyExists(u"TypeLib\\{11111111-2222-3333-4444-5555555555AA}"));
}

} // namespace
