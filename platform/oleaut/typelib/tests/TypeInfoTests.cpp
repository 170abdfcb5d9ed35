// The contents that ITypeLib and ITypeInfo report for the component's type
// library and for a sample library, and the objects' lifetimes.
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <vector>

using namespace typelib_test;

namespace {

class ComponentLibrary : public ::testing::Test {
  protected:
    void SetUp() override
    {
        HRESULT hr = E_FAIL;
        lib = Load(TYPELIB_TEST_COMPONENT_TLB, &hr);
        ASSERT_EQ(hr, S_OK);
        ASSERT_TRUE(lib);
    }
    Ptr<ITypeLib> lib;
};

TEST_F(ComponentLibrary, LibraryAttributesAndDocumentation)
{
    TLIBATTR* attr = nullptr;
    ASSERT_EQ(lib->GetLibAttr(&attr), S_OK);
    EXPECT_EQ(attr->guid, kLibid);
    EXPECT_EQ(attr->lcid, 0x0409u);
    EXPECT_EQ(attr->syskind, SYS_WIN32);
    EXPECT_EQ(attr->wMajorVerNum, 1);
    EXPECT_EQ(attr->wMinorVerNum, 4);
    EXPECT_EQ(attr->wLibFlags, 0);
    lib->ReleaseTLibAttr(attr);

    BSTR name = nullptr, doc = nullptr, file = reinterpret_cast<BSTR>(1);
    DWORD context = 99;
    ASSERT_EQ(lib->GetDocumentation(-1, &name, &doc, &context, &file), S_OK);
    Bstr g1(name), g2(doc), g3(file);
    EXPECT_EQ(Text(name), u"ZelvaneTrumikXmlSigner");
    EXPECT_EQ(Text(doc), u"Zelvane.Trumik.XmlSigner 1.4 Type Library");
    EXPECT_EQ(context, 0u);
    EXPECT_EQ(file, nullptr);
    EXPECT_EQ(lib->GetDocumentation(8, &name, nullptr, nullptr, nullptr), TYPE_E_ELEMENTNOTFOUND);
}

TEST_F(ComponentLibrary, TypesInOrderWithKindsFlagsAndHelpStrings)
{
    const std::vector<std::pair<std::u16string, std::u16string>> expected = {
        {u"ICryptEncMessage", u"ICryptEncMessage Interface"}, {u"IMSXmlSigner", u"IMSXmlSigner Interface"},
        {u"IMSXmlVerifier", u"IMSXmlVerifier Interface"},     {u"IXmlSigner", u"IXmlSigner Interface"},
        {u"CCryptEncMessage", u"CryptEncMessage Class"},      {u"CMSXmlSigner", u"MSXmlSigner Class"},
        {u"CMSXmlVerifier", u"MSXmlVerifier Class"},          {u"CXmlSigner", u"XmlSigner Class"},
    };
    ASSERT_EQ(lib->GetTypeInfoCount(), expected.size());
    for (UINT i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(i);
        BSTR name = nullptr, doc = nullptr;
        ASSERT_EQ(lib->GetDocumentation(static_cast<INT>(i), &name, &doc, nullptr, nullptr), S_OK);
        Bstr g1(name), g2(doc);
        EXPECT_EQ(Text(name), expected[i].first);
        EXPECT_EQ(Text(doc), expected[i].second);

        TYPEKIND kind{};
        ASSERT_EQ(lib->GetTypeInfoType(i, &kind), S_OK);
        ITypeInfo* raw = nullptr;
        ASSERT_EQ(lib->GetTypeInfo(i, &raw), S_OK);
        Ptr<ITypeInfo> info(raw);
        TypeAttr attr(info.get());
        EXPECT_EQ(attr->typekind, kind);
        if (i < 4) {
            EXPECT_EQ(kind, TKIND_DISPATCH);
            EXPECT_EQ(attr->wTypeFlags, TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDISPATCHABLE);
            Ptr<ITypeInfo> vtable = VtableView(info.get());
            ASSERT_TRUE(vtable);
            TypeAttr vattr(vtable.get());
            EXPECT_EQ(vattr->typekind, TKIND_INTERFACE);
            EXPECT_EQ(vattr->wTypeFlags, TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDISPATCHABLE);
            EXPECT_EQ(vattr->guid, attr->guid);
        } else {
            EXPECT_EQ(kind, TKIND_COCLASS);
            EXPECT_EQ(attr->wTypeFlags, TYPEFLAG_FCANCREATE);
            EXPECT_EQ(attr->cImplTypes, 1);
            INT flags = 0;
            EXPECT_EQ(info->GetImplTypeFlags(0, &flags), S_OK);
            EXPECT_EQ(flags, IMPLTYPEFLAG_FDEFAULT);
            // Each class's default interface is the interface declared four places before it.
            Ptr<ITypeInfo> iface = RefInfo(info.get(), 0);
            ASSERT_TRUE(iface);
            EXPECT_EQ(NameOf(iface.get()), expected[i - 4].first);
        }
    }
    TYPEKIND kind{};
    EXPECT_EQ(lib->GetTypeInfoType(8, &kind), TYPE_E_ELEMENTNOTFOUND);
}

struct Method {
    const char16_t* name;
    MEMBERID memid;
};

// Every interface's methods in virtual-table order, with their DISPIDs and
// help strings, in both views.
TEST_F(ComponentLibrary, MethodTablesInSlotOrder)
{
    const std::vector<std::pair<GUID, std::vector<Method>>> tables = {
        {kIIDCryptEncMessage,
         {{u"CryptMessageByte", 30},
          {u"DecryptMessageByte", 31},
          {u"CryptMessage", 32},
          {u"DecryptMessage", 33},
          {u"GetContainerName", 34},
          {u"GetProviderInfo", 35},
          {u"CryptGetLastError", 40},
          {u"CryptGetLastErrorCode", 41},
          {u"CryptGetLastErrorStack", 42}}},
        {kIIDMSXmlSigner,
         {{u"SignWithCertStore", 8},
          {u"SignGetLastError", 9},
          {u"SignGetLastErrorCode", 10},
          {u"SignGetLastErrorStack", 11},
          {u"SignWithCertStorePass", 12}}},
        {kIIDMSXmlVerifier,
         {{u"VerifyUsingCertFile", 21},
          {u"VerifyUsingCertFileWoCert", 30},
          {u"VerifyUsingCertFileAndDate", 29},
          {u"VerifyCertTimeValidityUsingCertFile", 22},
          {u"VerifyCertIsGOSTUsingCertFile", 23},
          {u"VerifyCertUsageUsingCertFile", 24},
          {u"SignGetLastError", 25},
          {u"SignGetLastErrorCode", 26},
          {u"SignGetLastErrorStack", 27},
          {u"VerifyCertTimeValidityUsingCertFileAndDate", 28}}},
        {kIIDXmlSigner, {{u"SignWithKey", 6}, {u"SignFGetLastError", 7}}},
    };
    for (const auto& [iid, methods] : tables) {
        Ptr<ITypeInfo> dispatch = InfoOf(lib.get(), iid);
        ASSERT_TRUE(dispatch);
        Ptr<ITypeInfo> vtable = VtableView(dispatch.get());
        ASSERT_TRUE(vtable);
        SCOPED_TRACE(::testing::PrintToString(NameOf(dispatch.get())));
        TypeAttr dattr(dispatch.get()), vattr(vtable.get());
        EXPECT_EQ(dattr->cFuncs, 7 + methods.size());
        EXPECT_EQ(dattr->cbSizeVft, 7 * 8);
        EXPECT_EQ(vattr->cFuncs, methods.size());
        EXPECT_EQ(vattr->cbSizeVft, (7 + methods.size()) * 8);
        EXPECT_EQ(vattr->cImplTypes, 1);
        Ptr<ITypeInfo> base = RefInfo(vtable.get(), 0);
        ASSERT_TRUE(base);
        EXPECT_EQ(NameOf(base.get()), u"IDispatch");

        for (UINT i = 0; i < methods.size(); ++i) {
            const UINT slot = 7 + i;
            FuncDesc v(vtable.get(), i), d(dispatch.get(), slot);
            ASSERT_TRUE(v && d);
            EXPECT_EQ(v->memid, methods[i].memid);
            EXPECT_EQ(d->memid, methods[i].memid);
            EXPECT_EQ(v->oVft, static_cast<SHORT>(slot * 8));
            EXPECT_EQ(d->oVft, static_cast<SHORT>(slot * 8));
            EXPECT_EQ(v->funckind, FUNC_PUREVIRTUAL);
            EXPECT_EQ(d->funckind, FUNC_DISPATCH);
            EXPECT_EQ(v->invkind, INVOKE_FUNC);
            EXPECT_EQ(v->callconv, CC_STDCALL);
            EXPECT_EQ(v->elemdescFunc.tdesc.vt, VT_HRESULT);
            EXPECT_EQ(d->cParams, v->cParams - 1); // the retval is the dispatch result
            ASSERT_GE(v->cParams, 1);
            const ELEMDESC& last = v->lprgelemdescParam[v->cParams - 1];
            EXPECT_EQ(last.paramdesc.wParamFlags, PARAMFLAG_FOUT | PARAMFLAG_FRETVAL);
            ASSERT_EQ(last.tdesc.vt, VT_PTR);
            EXPECT_EQ(d->elemdescFunc.tdesc.vt, last.tdesc.lptdesc->vt);
            for (SHORT k = 0; k + 1 < v->cParams; ++k)
                EXPECT_EQ(v->lprgelemdescParam[k].paramdesc.wParamFlags, PARAMFLAG_FIN);

            BSTR name = nullptr, doc = nullptr;
            ASSERT_EQ(vtable->GetDocumentation(methods[i].memid, &name, &doc, nullptr, nullptr), S_OK);
            Bstr g1(name), g2(doc);
            EXPECT_EQ(Text(name), methods[i].name);
            EXPECT_EQ(Text(doc), u"method " + std::u16string(methods[i].name));
        }
    }
}

TEST_F(ComponentLibrary, VerifierSlotEightAndErrorCodeTypes)
{
    Ptr<ITypeInfo> verifier = InfoOf(lib.get(), kIIDMSXmlVerifier);
    ASSERT_TRUE(verifier);
    // Dispatch view: index = slot; the inherited methods come first.
    FuncDesc qi(verifier.get(), 0);
    EXPECT_EQ(qi->memid, 0x60000000);
    EXPECT_EQ(qi->wFuncFlags, FUNCFLAG_FRESTRICTED);
    EXPECT_EQ(NameOf(verifier.get(), 0x60010003), u"Invoke");
    FuncDesc woCert(verifier.get(), 8);
    EXPECT_EQ(woCert->memid, 30);
    EXPECT_EQ(woCert->oVft, 8 * 8);
    EXPECT_EQ(woCert->elemdescFunc.tdesc.vt, VT_BOOL);
    EXPECT_EQ(NameOf(verifier.get(), 30), u"VerifyUsingCertFileWoCert");

    Ptr<ITypeInfo> vtable = VtableView(verifier.get());
    FuncDesc andDate(vtable.get(), 2);
    ASSERT_EQ(andDate->cParams, 4);
    EXPECT_EQ(andDate->lprgelemdescParam[2].tdesc.vt, VT_DATE);

    Ptr<ITypeInfo> enc = VtableView(InfoOf(lib.get(), kIIDCryptEncMessage).get());
    FuncDesc lastError(enc.get(), 6);
    EXPECT_EQ(lastError->memid, 40);
    FuncDesc code(enc.get(), 7);
    ASSERT_EQ(code->cParams, 1);
    const TYPEDESC& t = code->lprgelemdescParam[0].tdesc;
    ASSERT_EQ(t.vt, VT_PTR);
    EXPECT_EQ(t.lptdesc->vt, VT_INT);
    FuncDesc byteMsg(enc.get(), 0);
    ASSERT_EQ(byteMsg->cParams, 5);
    EXPECT_EQ(byteMsg->lprgelemdescParam[2].tdesc.vt, VT_I4);
    ASSERT_EQ(byteMsg->lprgelemdescParam[3].tdesc.vt, VT_PTR);
    EXPECT_EQ(byteMsg->lprgelemdescParam[3].tdesc.lptdesc->vt, VT_VARIANT);
    EXPECT_EQ(byteMsg->lprgelemdescParam[4].tdesc.lptdesc->vt, VT_VARIANT);
    FuncDesc missing(enc.get(), 9);
    EXPECT_EQ(missing.hr(), TYPE_E_ELEMENTNOTFOUND);
}

TEST_F(ComponentLibrary, NamesAndIdsOfNames)
{
    Ptr<ITypeInfo> dispatch = InfoOf(lib.get(), kIIDXmlSigner);
    Ptr<ITypeInfo> vtable = VtableView(dispatch.get());
    BSTR names[5] = {};
    UINT count = 0;
    ASSERT_EQ(vtable->GetNames(6, names, 5, &count), S_OK);
    ASSERT_EQ(count, 4u);
    EXPECT_EQ(Text(names[0]), u"SignWithKey");
    EXPECT_EQ(Text(names[1]), u"xml");
    EXPECT_EQ(Text(names[2]), u"keyFile");
    EXPECT_EQ(Text(names[3]), u"retXml");
    for (UINT i = 0; i < count; ++i)
        SysFreeString(names[i]);
    // Fewer slots than names: only what fits.
    ASSERT_EQ(vtable->GetNames(7, names, 1, &count), S_OK);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(Text(names[0]), u"SignFGetLastError");
    SysFreeString(names[0]);
    // The dispatch view has no retval parameter.
    ASSERT_EQ(dispatch->GetNames(6, names, 5, &count), S_OK);
    EXPECT_EQ(count, 3u);
    for (UINT i = 0; i < count; ++i)
        SysFreeString(names[i]);
    EXPECT_EQ(dispatch->GetNames(99, names, 5, &count), TYPE_E_ELEMENTNOTFOUND);

    std::u16string a = u"signwithkey", b = u"KEYFILE", c = u"Xml";
    LPOLESTR request[] = {a.data(), b.data(), c.data()};
    MEMBERID ids[3] = {};
    ASSERT_EQ(vtable->GetIDsOfNames(request, 3, ids), S_OK);
    EXPECT_EQ(ids[0], 6);
    EXPECT_EQ(ids[1], 1);
    EXPECT_EQ(ids[2], 0);
    std::u16string unknown = u"nothing";
    request[1] = unknown.data();
    EXPECT_EQ(vtable->GetIDsOfNames(request, 3, ids), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(ids[0], 6);
    EXPECT_EQ(ids[1], MEMBERID_NIL);
    EXPECT_EQ(ids[2], 0);
    request[0] = unknown.data();
    EXPECT_EQ(vtable->GetIDsOfNames(request, 1, ids), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(ids[0], MEMBERID_NIL);
    // The dispatch view knows the inherited names too.
    std::u16string inherited = u"GetIDsOfNames";
    request[0] = inherited.data();
    ASSERT_EQ(dispatch->GetIDsOfNames(request, 1, ids), S_OK);
    EXPECT_EQ(ids[0], 0x60010002);
}

TEST_F(ComponentLibrary, GuidLookupIdentityAndContainingLibrary)
{
    ITypeInfo* byIndex = nullptr;
    ASSERT_EQ(lib->GetTypeInfo(7, &byIndex), S_OK);
    Ptr<ITypeInfo> g1(byIndex);
    Ptr<ITypeInfo> byGuid = InfoOf(lib.get(), kCLSIDXmlSigner);
    EXPECT_EQ(byGuid.get(), byIndex);

    ITypeInfo* none = reinterpret_cast<ITypeInfo*>(1);
    EXPECT_EQ(lib->GetTypeInfoOfGuid(IID_IDispatch, &none), TYPE_E_ELEMENTNOTFOUND);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(lib->GetTypeInfo(8, &none), TYPE_E_ELEMENTNOTFOUND);

    ITypeLib* container = nullptr;
    UINT index = 0;
    ASSERT_EQ(byIndex->GetContainingTypeLib(&container, &index), S_OK);
    Ptr<ITypeLib> g2(container);
    EXPECT_EQ(container, lib.get());
    EXPECT_EQ(index, 7u);

    BSTR doc = nullptr;
    ASSERT_EQ(byIndex->GetDocumentation(MEMBERID_NIL, nullptr, &doc, nullptr, nullptr), S_OK);
    Bstr g3(doc);
    EXPECT_EQ(Text(doc), u"XmlSigner Class");

    void* obj = reinterpret_cast<void*>(1);
    EXPECT_EQ(InfoOf(lib.get(), kIIDXmlSigner)->CreateInstance(nullptr, IID_IUnknown, &obj),
              TYPE_E_WRONGTYPEKIND);
    EXPECT_EQ(obj, nullptr);
    // A class is created through COM, which this thread has not started.
    obj = reinterpret_cast<void*>(1);
    EXPECT_EQ(byIndex->CreateInstance(nullptr, IID_IUnknown, &obj), CO_E_NOTINITIALIZED);
    EXPECT_EQ(obj, nullptr);
}

TEST_F(ComponentLibrary, StandardBaseInterfaces)
{
    Ptr<ITypeInfo> dispatch = RefInfo(InfoOf(lib.get(), kIIDMSXmlSigner).get(), 0);
    ASSERT_TRUE(dispatch);
    {
        TypeAttr attr(dispatch.get());
        EXPECT_EQ(attr->guid, IID_IDispatch);
        EXPECT_EQ(attr->typekind, TKIND_INTERFACE);
        EXPECT_EQ(attr->cFuncs, 4);
        EXPECT_EQ(attr->cbSizeVft, 7 * 8);
    }
    FuncDesc invoke(dispatch.get(), 3);
    EXPECT_EQ(invoke->oVft, 6 * 8);
    EXPECT_EQ(invoke->cParams, 8);
    Ptr<ITypeInfo> unknown = RefInfo(dispatch.get(), 0);
    ASSERT_TRUE(unknown);
    TypeAttr uattr(unknown.get());
    EXPECT_EQ(uattr->guid, IID_IUnknown);
    EXPECT_EQ(uattr->cFuncs, 3);
    EXPECT_EQ(NameOf(unknown.get(), 0x60000000), u"QueryInterface");

    ITypeLib* stdole = nullptr;
    ASSERT_EQ(unknown->GetContainingTypeLib(&stdole, nullptr), S_OK);
    Ptr<ITypeLib> g(stdole);
    BSTR name = nullptr;
    stdole->GetDocumentation(-1, &name, nullptr, nullptr, nullptr);
    Bstr g2(name);
    EXPECT_EQ(Text(name), u"stdole");
}

// Type infos share their library's reference count: a type info keeps the
// library alive, and descriptions not released go with the library.
TEST(TypeLibLifetime, TypeInfosKeepTheLibraryAndDescriptionsGoWithIt)
{
    ITypeLib* lib = nullptr;
    ASSERT_EQ(LoadTypeLib(Widen(TYPELIB_TEST_COMPONENT_TLB).c_str(), &lib), S_OK);
    ITypeInfo* info = nullptr;
    ASSERT_EQ(lib->GetTypeInfoOfGuid(kIIDXmlSigner, &info), S_OK);
    EXPECT_EQ(lib->AddRef(), 3u);
    EXPECT_EQ(lib->Release(), 2u);
    ITypeLib* asLib = nullptr;
    EXPECT_EQ(lib->QueryInterface(IID_ITypeLib, reinterpret_cast<void**>(&asLib)), S_OK);
    EXPECT_EQ(asLib, lib);
    asLib->Release();
    void* other = reinterpret_cast<void*>(1);
    EXPECT_EQ(info->QueryInterface(IID_ITypeLib, &other), E_NOINTERFACE);
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(lib->Release(), 1u); // the type info's reference remains

    TYPEATTR* attr = nullptr;
    ASSERT_EQ(info->GetTypeAttr(&attr), S_OK);
    EXPECT_EQ(attr->guid, kIIDXmlSigner);
    FUNCDESC* leftOver = nullptr;
    ASSERT_EQ(info->GetFuncDesc(7, &leftOver), S_OK);
    EXPECT_EQ(leftOver->memid, 6);
    info->ReleaseTypeAttr(attr);
    info->ReleaseTypeAttr(attr);    // a second release of the same description is ignored
    EXPECT_EQ(info->Release(), 0u); // leftOver is freed with the library (checked by the leak sanitizer)
}

// ---------------------------------------------------------------------------
// The sample library: plain OLE-automation interfaces, derived duals,
// properties, [lcid] parameters, interface pointers.

class SampleLibrary : public ::testing::Test {
  protected:
    void SetUp() override
    {
        HRESULT hr = E_FAIL;
        lib = Load(TYPELIB_TEST_SAMPLE_TLB, &hr);
        ASSERT_EQ(hr, S_OK);
    }
    Ptr<ITypeLib> lib;
};

TEST_F(SampleLibrary, PlainInterfaceWithProperties)
{
    Ptr<ITypeInfo> plain = InfoOf(lib.get(), SampleGuid(0x01));
    ASSERT_TRUE(plain);
    TypeAttr attr(plain.get());
    EXPECT_EQ(attr->typekind, TKIND_INTERFACE);
    EXPECT_EQ(attr->wTypeFlags, TYPEFLAG_FOLEAUTOMATION);
    EXPECT_EQ(attr->cFuncs, 3);
    EXPECT_EQ(attr->cbSizeVft, 6 * 8);
    HREFTYPE href = 0;
    EXPECT_EQ(plain->GetRefTypeOfImplType(static_cast<UINT>(-1), &href), TYPE_E_ELEMENTNOTFOUND);
    EXPECT_EQ(NameOf(RefInfo(plain.get(), 0).get()), u"IUnknown");

    FuncDesc first(plain.get(), 0), get(plain.get(), 1), put(plain.get(), 2);
    EXPECT_EQ(first->memid, 0x60010000);
    EXPECT_EQ(first->oVft, 3 * 8);
    EXPECT_EQ(first->lprgelemdescParam[1].paramdesc.wParamFlags, PARAMFLAG_FIN | PARAMFLAG_FOUT);
    EXPECT_EQ(first->lprgelemdescParam[1].tdesc.lptdesc->vt, VT_I2);
    EXPECT_EQ(get->invkind, INVOKE_PROPERTYGET);
    EXPECT_EQ(put->invkind, INVOKE_PROPERTYPUT);
    EXPECT_EQ(get->memid, 0x60010001);
    EXPECT_EQ(put->memid, 0x60010001); // one property, one id
    EXPECT_EQ(put->lprgelemdescParam[0].tdesc.vt, VT_R8);
}

TEST_F(SampleLibrary, DerivedDualInterface)
{
    Ptr<ITypeInfo> derived = InfoOf(lib.get(), SampleGuid(0x03));
    ASSERT_TRUE(derived);
    {
        // Dispatch view: IUnknown, IDispatch, IBase's One, then Two and Three.
        TypeAttr attr(derived.get());
        EXPECT_EQ(attr->typekind, TKIND_DISPATCH);
        EXPECT_EQ(attr->cFuncs, 7 + 1 + 2);
        EXPECT_EQ(NameOf(derived.get(), 1), u"One");
        FuncDesc two(derived.get(), 8);
        EXPECT_EQ(two->memid, 2);
        EXPECT_EQ(two->wFuncFlags, FUNCFLAG_FHIDDEN);
        ASSERT_EQ(two->cParams, 1); // the [lcid] and [retval] parameters are not dispatch arguments
        EXPECT_EQ(two->elemdescFunc.tdesc.vt, VT_BOOL);
        const TYPEDESC& b = two->lprgelemdescParam[0].tdesc;
        ASSERT_EQ(b.vt, VT_PTR);
        ASSERT_EQ(b.lptdesc->vt, VT_USERDEFINED);
        ITypeInfo* base = nullptr;
        ASSERT_EQ(derived->GetRefTypeInfo(b.lptdesc->hreftype, &base), S_OK);
        Ptr<ITypeInfo> g(base);
        EXPECT_EQ(NameOf(base), u"IBase");
        FuncDesc three(derived.get(), 9);
        EXPECT_EQ(three->elemdescFunc.tdesc.vt, VT_VOID);
        EXPECT_EQ(three->cParams, 0);
        EXPECT_EQ(three->lprgelemdescParam, nullptr);
    }
    Ptr<ITypeInfo> vtable = VtableView(derived.get());
    TypeAttr vattr(vtable.get());
    EXPECT_EQ(vattr->cFuncs, 2);
    EXPECT_EQ(vattr->cbSizeVft, 10 * 8);
    FuncDesc two(vtable.get(), 0);
    EXPECT_EQ(two->oVft, 8 * 8);
    ASSERT_EQ(two->cParams, 3);
    EXPECT_EQ(two->lprgelemdescParam[1].paramdesc.wParamFlags, PARAMFLAG_FIN | PARAMFLAG_FLCID);
    // The base of a virtual-table view is the base's virtual-table view.
    Ptr<ITypeInfo> base = RefInfo(vtable.get(), 0);
    TypeAttr battr(base.get());
    EXPECT_EQ(battr->typekind, TKIND_INTERFACE);
    EXPECT_EQ(battr->guid, SampleGuid(0x02));
    EXPECT_EQ(battr->wTypeFlags,
              TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FNONEXTENSIBLE | TYPEFLAG_FDISPATCHABLE);
    FuncDesc one(base.get(), 0);
    EXPECT_EQ(one->lprgelemdescParam[0].tdesc.vt, VT_DISPATCH);
    EXPECT_EQ(one->lprgelemdescParam[1].tdesc.lptdesc->vt, VT_UNKNOWN);
}

TEST_F(SampleLibrary, CoclassesLibraryDocumentationAndNameSearch)
{
    Ptr<ITypeInfo> two = InfoOf(lib.get(), SampleGuid(0x10));
    TypeAttr attr(two.get());
    EXPECT_EQ(attr->cImplTypes, 2);
    INT flags = -1;
    EXPECT_EQ(two->GetImplTypeFlags(1, &flags), S_OK);
    EXPECT_EQ(flags, 0);
    EXPECT_EQ(two->GetImplTypeFlags(2, &flags), TYPE_E_ELEMENTNOTFOUND);
    EXPECT_EQ(NameOf(RefInfo(two.get(), 1).get()), u"IPlain");
    Ptr<ITypeInfo> hidden = InfoOf(lib.get(), SampleGuid(0x11));
    EXPECT_EQ(TypeAttr(hidden.get())->wTypeFlags, 0);

    BSTR file = nullptr;
    DWORD context = 0;
    ASSERT_EQ(lib->GetDocumentation(-1, nullptr, nullptr, &context, &file), S_OK);
    Bstr g(file);
    EXPECT_EQ(Text(file), u"sample.hlp");
    EXPECT_EQ(context, 7u);
    TLIBATTR* la = nullptr;
    ASSERT_EQ(lib->GetLibAttr(&la), S_OK);
    EXPECT_EQ(la->wMajorVerNum, 2);
    EXPECT_EQ(la->wMinorVerNum, 10);
    EXPECT_EQ(la->lcid, 0u);
    lib->ReleaseTLibAttr(la);

    std::u16string name = u"VALUE";
    BOOL found = FALSE;
    ASSERT_EQ(lib->IsName(name.data(), 0, &found), S_OK);
    EXPECT_TRUE(found);
    EXPECT_EQ(name, u"Value");
    name = u"absent";
    ASSERT_EQ(lib->IsName(name.data(), 0, &found), S_OK);
    EXPECT_FALSE(found);

    name = u"one";
    ITypeInfo* infos[4] = {};
    MEMBERID ids[4] = {};
    USHORT count = 4;
    ASSERT_EQ(lib->FindName(name.data(), 0, infos, ids, &count), S_OK);
    ASSERT_EQ(count, 2); // IBase and IDerived
    EXPECT_EQ(NameOf(infos[0]), u"IBase");
    EXPECT_EQ(NameOf(infos[1]), u"IDerived");
    EXPECT_EQ(ids[0], 1);
    for (USHORT i = 0; i < count; ++i)
        infos[i]->Release();
    name = u"ctwo";
    count = 1;
    ASSERT_EQ(lib->FindName(name.data(), 0, infos, ids, &count), S_OK);
    ASSERT_EQ(count, 1);
    EXPECT_EQ(ids[0], MEMBERID_NIL);
    infos[0]->Release();
}

} // namespace
