#include "Hints.h"

#include "AdminSupport.h"
#include "CertSupport.h"
#include "ComponentSettings.h"

#include "common/Gost2012.h"

#include <cstdio>
#include <cstring>
#include <initializer_list>

namespace trumik::host {

namespace {

// What a hint asks of the certificate before it is given.
enum class Needs {
    Gost2012KeyOrSignature, // its key or its issuer's signature is GOST R 34.10-2012
    Gost2012Key,            // its key is GOST R 34.10-2012
    WrongPinInStack,        // the provider's refusal of the PIN (SCARD_W_WRONG_CHV) is on the stack
    Nothing,
};

struct Hint {
    const char* method; // the method's name, or with `family` the beginning of the names
    bool family;
    LONG code;
    Needs needs;
    const char* text;
};

constexpr char kGost2012Text[] = "trumik: the certificate uses GOST R 34.10-2012; "
                                 "`trumik provider gost2012 on` makes the component accept it";
constexpr char kPinText[] = "trumik: the PIN was refused; give the key container's PIN with --pin";

// 3007, 21007 and 81011 are the GOST and key checks of the three classes, 9
// the signer's refusal of the certificate's key. With the switch on these
// codes mean something else, so the GOST R 34.10-2012 hints need it off.
constexpr Hint kHints[] = {
    {"SignWithCertStore", true, 3007, Needs::Gost2012KeyOrSignature, kGost2012Text},
    {"SignWithCertStore", true, 9, Needs::Gost2012Key, kGost2012Text},
    {"VerifyUsingCertFile", true, 21007, Needs::Gost2012KeyOrSignature, kGost2012Text},
    {"", true, 81011, Needs::Gost2012KeyOrSignature, kGost2012Text},
    {"SignWithCertStorePass", false, 11, Needs::Nothing, kPinText},
    // A key whose PIN is wrong or missing, where the provider refuses it only
    // when the key signs.
    {"SignWithCertStore", true, 33, Needs::WrongPinInStack, kPinText},
    {"DecryptMessageByte", false, 82011, Needs::Nothing, kPinText},
    {"DecryptMessage", false, 82013, Needs::Nothing, kPinText},
    {"DecryptMessage", false, 82019, Needs::Nothing, kPinText},
};

// DecryptMessage's codes are not DecryptMessageByte's: such a name matches
// exactly, a family by its beginning.
bool Matches(const Hint& hint, const std::string& method, LONG code)
{
    return hint.code == code && (hint.family ? method.rfind(hint.method, 0) == 0 : method == hint.method);
}

UniqueCert FindCertificate(const CertificateRef& ref)
{
    if (!ref.file.empty()) {
        UniqueStore store = OpenFileStore(ref.file);
        return UniqueCert(store ? CertEnumCertificatesInStore(store.get(), nullptr) : nullptr);
    }
    const std::optional<Bytes> hash = ParseThumbprint(ref.thumbprint);
    if (!hash)
        return UniqueCert();
    for (bool machine : {false, true}) {
        UniqueStore store = OpenSystemStore(ref.store, machine, true);
        if (!store)
            continue;
        if (UniqueCert found = FindByThumbprint(store.get(), *hash))
            return found;
    }
    return UniqueCert();
}

bool IsOneOf(const char* oid, std::initializer_list<const char*> oids)
{
    for (const char* candidate : oids) {
        if (oid && std::strcmp(oid, candidate) == 0)
            return true;
    }
    return false;
}

bool Fits(Needs needs, const CertificateRef& ref, const std::string& stack)
{
    if (needs == Needs::Nothing)
        return true;
    if (needs == Needs::WrongPinInStack)
        return stack.find("0x8010006B") != std::string::npos;
    UniqueCert cert = FindCertificate(ref);
    if (!cert)
        return false;
    const CERT_INFO* info = cert.get()->pCertInfo;
    using namespace trumik::common;
    const bool key2012 =
        IsOneOf(info->SubjectPublicKeyInfo.Algorithm.pszObjId, {kGost2012_256KeyOid, kGost2012_512KeyOid});
    const bool signature2012 =
        IsOneOf(info->SignatureAlgorithm.pszObjId, {kGost2012_256SignatureOid, kGost2012_512SignatureOid});
    return key2012 || (needs == Needs::Gost2012KeyOrSignature && signature2012);
}

} // namespace

void PrintFailureHint(const std::string& method, LONG code, const CertificateRef& certificate,
                      const std::string& stack)
{
    for (const Hint& hint : kHints) {
        if (!Matches(hint, method, code))
            continue;
        if (hint.text == kGost2012Text && Gost2012SwitchOn())
            return;
        if (Fits(hint.needs, certificate, stack))
            std::fprintf(stderr, "%s\n", hint.text);
        return;
    }
}

} // namespace trumik::host
