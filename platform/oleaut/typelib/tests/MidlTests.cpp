// The IDL compiler's diagnostics, and what it writes for the forms the
// component's IDL does not use.
#include "TestSupport.h"

#include "TestHome.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace typelib_test;
namespace fs = std::filesystem;

namespace {

class Midl : public ::testing::Test {
  protected:
    void SetUp() override { dir = trumik::testing::MakeTempDir("midl"); }

    // Compiles text; returns the exit status, the diagnostics in output.
    int Compile(const std::string& idl, std::string& output)
    {
        trumik::testing::WriteFile(dir / "in.idl", idl);
        return trumik::testing::RunCommand(std::string(TYPELIB_TEST_MIDL) + " -o '" +
                                               (dir / "out.tlb").string() + "' '" +
                                               (dir / "in.idl").string() + "'",
                                           &output);
    }

    std::string Error(const std::string& idl)
    {
        std::string output;
        EXPECT_EQ(Compile(idl, output), 1) << output;
        EXPECT_FALSE(fs::exists(dir / "out.tlb"));
        const size_t at = output.find(": error: ");
        EXPECT_NE(at, std::string::npos) << output;
        // "in.idl:<line>: error: <message>"
        const size_t colon = output.rfind(':', at - 1);
        return output.substr(colon + 1, at - colon - 1) + ": " +
               output.substr(at + 9, output.find('\n') - at - 9);
    }

    fs::path dir;
};

const std::string kHead = "[object, uuid(33333333-0000-0000-0000-000000000001), dual]\n"
                          "interface IOne : IDispatch\n{\n";
const std::string kTail =
    "};\n[uuid(33333333-0000-0000-0000-0000000000FF)]\n"
    "library L { [uuid(33333333-0000-0000-0000-0000000000EE)] coclass C { [default] interface IOne; }; };\n";

TEST_F(Midl, DiagnosticsNameTheLineAndTheFault)
{
    EXPECT_EQ(Error(kHead + "  [id(1), bogus] HRESULT A();\n" + kTail),
              "4: attribute 'bogus' not supported on a method");
    EXPECT_EQ(Error(kHead + "  [id(1)] HRESULT A([out, retval] long* r, [in] long x);\n" + kTail),
              "4: retval must be the last parameter, [out], by pointer");
    EXPECT_EQ(Error(kHead + "  [id(1)] HRESULT A([in] widget x);\n" + kTail), "4: unsupported type widget");
    EXPECT_EQ(Error(kHead + "  [id(1)] HRESULT A();\n  [id(1)] HRESULT B();\n" + kTail),
              "5: method B repeats the id of A");
    EXPECT_EQ(Error(kHead + "  [id(1)] long A();\n" + kTail),
              "4: method A of an automation interface must return HRESULT");
    EXPECT_EQ(Error(kHead + "  [id(1)] HRESULT A([out] long x);\n" + kTail),
              "4: [out] parameter x is not a pointer");
    EXPECT_EQ(Error(kHead + "  [id(1)] HRESULT A(\n" + kTail), "5: expected a type, found '}'");
    EXPECT_EQ(Error("[object, uuid(nope), dual] interface IOne : IDispatch {\n" + kTail),
              "1: bad uuid: nope");
    EXPECT_EQ(Error(kHead + "};\n[uuid(33333333-0000-0000-0000-0000000000FF)] library L { coclass C "
                            "{ interface IOne; }; };\n"),
              "5: coclass C has no uuid");
    EXPECT_EQ(Error(kHead + "};\nlibrary L { coclass C { interface IOne; }; };\n"),
              "5: library L has no uuid");
    EXPECT_EQ(Error(kHead + "};\n[uuid(33333333-0000-0000-0000-0000000000FF)] library L { coclass C "
                            "{ interface ITwo; }; };\n"),
              "5: unknown interface ITwo");
    EXPECT_EQ(Error(kHead + "  /* unterminated\n"), "4: unterminated comment");
}

TEST_F(Midl, WritesOnlyTheInterfacesTheLibraryUses)
{
    std::string output;
    const std::string idl =
        kHead +
        "  [id(1), propget] HRESULT P([out, retval] BSTR* v);\n"
        "  [id(1), propput] HRESULT P([in] BSTR v);\n" +
        "};\n[object, uuid(33333333-0000-0000-0000-000000000002)] interface IUnused : IUnknown "
        "{ HRESULT X(); };\n"
        "[uuid(33333333-0000-0000-0000-0000000000FF), version(7)]\n"
        "library L { [uuid(33333333-0000-0000-0000-0000000000EE)] coclass C { [default] interface IOne; }; "
        "};\n";
    ASSERT_EQ(Compile(idl, output), 0) << output;
    Ptr<ITypeLib> lib = Load((dir / "out.tlb").string());
    ASSERT_TRUE(lib);
    EXPECT_EQ(lib->GetTypeInfoCount(), 2u);
    TLIBATTR* attr = nullptr;
    lib->GetLibAttr(&attr);
    EXPECT_EQ(attr->wMajorVerNum, 7);
    EXPECT_EQ(attr->wMinorVerNum, 0);
    lib->ReleaseTLibAttr(attr);
    Ptr<ITypeInfo> one = VtableView(InfoOf(lib.get(), {0x33333333, 0, 0, {0, 0, 0, 0, 0, 0, 0, 1}}).get());
    ASSERT_TRUE(one);
    FuncDesc get(one.get(), 0), put(one.get(), 1);
    EXPECT_EQ(get->invkind, INVOKE_PROPERTYGET);
    EXPECT_EQ(put->invkind, INVOKE_PROPERTYPUT);
    EXPECT_EQ(put->memid, 1);
}

TEST_F(Midl, UsageAndMissingInput)
{
    std::string output;
    EXPECT_EQ(trumik::testing::RunCommand(TYPELIB_TEST_MIDL, &output), 2);
    EXPECT_NE(output.find("usage: trumik-midl"), std::string::npos);
    EXPECT_EQ(trumik::testing::RunCommand(std::string(TYPELIB_TEST_MIDL) + " /nonexistent.idl", &output), 1);
    EXPECT_NE(output.find("/nonexistent.idl: cannot open"), std::string::npos);
}

} // namespace
