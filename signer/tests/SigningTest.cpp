// Enveloped GOST signing with a store certificate: the codes of the signing
// core, the rebuilding of the caller's text, and the signatures checked with
// xmllint and openssl with the GOST engine.
#include "signer/MSXmlSigner.h"

#include "SignerFixtures.h"

#include "common/Bstr.h"
#include "common/ErrorState.h"

#include "TestHome.h"

#include <winnls.h>

#include <gtest/gtest.h>

#include <string>

using namespace trumik;
using common::MakeBstr;
using common::UniqueBstr;
using signertest::GetSignerFixtures;
using signertest::U16;
using signertest::Utf8;
namespace tt = trumik::testing;

namespace {

std::u16string Ascii(const std::string& text)
{
    return std::u16string(text.begin(), text.end());
}

struct Signed {
    HRESULT status;
    bool written; // retXml was written
    std::u16string text;
    LONG code;
    std::u16string message;
};

// SignWithCertStorePass when a password is given (null for none), else SignWithCertStore.
Signed Sign(signer::CMSXmlSigner& signer, const std::u16string* xml, const std::string& thumbprint,
            const std::u16string* password = nullptr, bool withPass = false, const char16_t* store = u"My")
{
    UniqueBstr x(xml ? MakeBstr(*xml) : nullptr), s(store ? SysAllocString(store) : nullptr),
        t = MakeBstr(Ascii(thumbprint)), p(password ? MakeBstr(*password) : nullptr);
    BSTR sentinel = SysAllocString(u"untouched");
    BSTR out = sentinel;
    HRESULT hr = withPass || password ? signer.SignWithCertStorePass(x.get(), s.get(), t.get(), p.get(), &out)
                                      : signer.SignWithCertStore(x.get(), s.get(), t.get(), &out);
    Signed result{hr, out != sentinel, {}, signer.Record().Code(), std::u16string(signer.Record().Message())};
    if (out != sentinel) {
        result.text = common::View(out);
        SysFreeString(out);
    }
    SysFreeString(sentinel);
    return result;
}

} // namespace

TEST(Signing, SignsWithThePin)
{
    const auto& f = GetSignerFixtures();
    signer::CMSXmlSigner signer;
    std::u16string xml = u"<?xml version=\"1.0\"?>\n<doc>\n  <a>1</a>\n</doc>\n";
    std::u16string pin = U16(f.pin);
    Signed s = Sign(signer, &xml, f.good.thumbprint, &pin);
    EXPECT_EQ(s.status, S_OK) << Utf8(s.message)
                              << Utf8(common::stacks::Text(common::ErrorStackId::MSXmlSigner));
    EXPECT_EQ(s.code, 0);
    std::printf("%s\n", Utf8(s.text).c_str());
}
