// Certificate and CRL contexts: DER parsing into the CryptoAPI structures,
// names as text, and the checks on a certificate's information.
#include "CryptInternal.h"
#include "internal/OpenSslHandles.h"
#include "kernel/CodePages.h"
#include "winnls.h"

#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstring>
#include <ctime>

namespace trumik::crypt {
namespace {

using trumik::platform::OpenSslFree;
using trumik::platform::X509CrlFree;
using trumik::platform::X509Free;
using trumik::platform::X509NameFree;

std::string OidText(const ASN1_OBJECT* obj)
{
    char buf[256];
    int n = OBJ_obj2txt(buf, sizeof buf, obj, 1);
    if (n <= 0 || n >= static_cast<int>(sizeof buf))
        return {};
    return std::string(buf, static_cast<size_t>(n));
}

// Reads one TLV header; false when it runs past the end.
bool ReadTlv(const BYTE* data, size_t size, size_t& headerLen, size_t& contentLen)
{
    if (size < 2)
        return false;
    size_t pos = 1;
    if ((data[0] & 0x1F) == 0x1F) {
        while (pos < size && (data[pos] & 0x80))
            ++pos;
        ++pos;
    }
    if (pos >= size)
        return false;
    BYTE b = data[pos++];
    size_t len = 0;
    if (b < 0x80)
        len = b;
    else {
        size_t n = b & 0x7F;
        if (n == 0 || n > 4 || pos + n > size)
            return false;
        for (size_t i = 0; i < n; ++i)
            len = (len << 8) | data[pos++];
    }
    if (len > size - pos)
        return false;
    headerLen = pos;
    contentLen = len;
    return true;
}

template <class Obj> BYTE* Keep(Obj& o, Bytes bytes)
{
    o.blobs.push_back(std::move(bytes));
    return o.blobs.back().empty() ? nullptr : o.blobs.back().data();
}
template <class Obj> LPSTR KeepOid(Obj& o, std::string s)
{
    o.oids.push_back(std::move(s));
    return o.oids.back().data();
}

// Parameters of an algorithm identifier as raw DER (empty when absent).
Bytes AlgorithmParameters(const X509_ALGOR* alg)
{
    unsigned char* der = nullptr;
    int n = i2d_X509_ALGOR(alg, &der);
    if (n <= 0)
        return {};
    std::unique_ptr<unsigned char, OpenSslFree> guard(der);
    size_t h = 0, c = 0;
    if (!ReadTlv(der, static_cast<size_t>(n), h, c))
        return {};
    const BYTE* inner = der + h;
    size_t oh = 0, oc = 0;
    if (!ReadTlv(inner, c, oh, oc))
        return {};
    return Bytes(inner + oh + oc, inner + c);
}

template <class Obj> void FillAlgorithm(Obj& o, CRYPT_ALGORITHM_IDENTIFIER& out, const X509_ALGOR* alg)
{
    const ASN1_OBJECT* obj = nullptr;
    X509_ALGOR_get0(&obj, nullptr, nullptr, alg);
    out.pszObjId = KeepOid(o, OidText(obj));
    Bytes params = AlgorithmParameters(alg);
    out.Parameters.cbData = static_cast<DWORD>(params.size());
    out.Parameters.pbData = Keep(o, std::move(params));
}

// An INTEGER's content bytes, reversed to the little-endian order CryptoAPI keeps.
Bytes SerialLittleEndian(const ASN1_INTEGER* serial)
{
    unsigned char* der = nullptr;
    int n = i2d_ASN1_INTEGER(serial, &der);
    if (n <= 0)
        return {};
    std::unique_ptr<unsigned char, OpenSslFree> guard(der);
    size_t h = 0, c = 0;
    if (!ReadTlv(der, static_cast<size_t>(n), h, c))
        return {};
    Bytes out(der + h, der + h + c);
    std::reverse(out.begin(), out.end());
    return out;
}

FILETIME ToFileTime(const ASN1_TIME* t)
{
    FILETIME ft{};
    struct tm tmv {};
    if (!t || ASN1_TIME_to_tm(t, &tmv) != 1)
        return ft;
    int64_t secs = timegm(&tmv);
    int64_t ticks = (secs + 11644473600LL) * 10000000LL;
    if (ticks < 0)
        ticks = 0;
    ft.dwLowDateTime = static_cast<DWORD>(static_cast<uint64_t>(ticks) & 0xFFFFFFFFu);
    ft.dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(ticks) >> 32);
    return ft;
}

template <class Obj>
void FillExtensions(Obj& o, std::vector<CERT_EXTENSION>& out, const STACK_OF(X509_EXTENSION) * exts)
{
    int count = exts ? sk_X509_EXTENSION_num(exts) : 0;
    for (int i = 0; i < count; ++i) {
        X509_EXTENSION* e = sk_X509_EXTENSION_value(exts, i);
        CERT_EXTENSION ce{};
        ce.pszObjId = KeepOid(o, OidText(X509_EXTENSION_get_object(e)));
        ce.fCritical = X509_EXTENSION_get_critical(e) > 0;
        const ASN1_OCTET_STRING* v = X509_EXTENSION_get_data(e);
        Bytes value(ASN1_STRING_get0_data(v), ASN1_STRING_get0_data(v) + ASN1_STRING_length(v));
        ce.Value.cbData = static_cast<DWORD>(value.size());
        ce.Value.pbData = Keep(o, std::move(value));
        out.push_back(ce);
    }
}

template <class Obj> void FillName(Obj& o, CERT_NAME_BLOB& out, const X509_NAME* name)
{
    const unsigned char* der = nullptr;
    size_t len = 0;
    if (!name || X509_NAME_get0_der(const_cast<X509_NAME*>(name), &der, &len) != 1)
        return;
    out.cbData = static_cast<DWORD>(len);
    out.pbData = Keep(o, Bytes(der, der + len));
}

const char* AttributeKey(int nid)
{
    switch (nid) {
    case NID_commonName:
        return "CN";
    case NID_surname:
        return "SN";
    case NID_serialNumber:
        return "SERIALNUMBER";
    case NID_countryName:
        return "C";
    case NID_localityName:
        return "L";
    case NID_stateOrProvinceName:
        return "S";
    case NID_streetAddress:
        return "STREET";
    case NID_organizationName:
        return "O";
    case NID_organizationalUnitName:
        return "OU";
    case NID_title:
        return "T";
    case NID_givenName:
        return "G";
    case NID_initials:
        return "I";
    case NID_pkcs9_emailAddress:
        return "E";
    case NID_domainComponent:
        return "DC";
    default:
        return nullptr;
    }
}

// The value as text, or "#" and its bytes in hexadecimal (hex set) when it
// is no string.
std::u16string EntryValue(const X509_NAME_ENTRY* e, bool* hex = nullptr)
{
    const ASN1_STRING* data = X509_NAME_ENTRY_get_data(e);
    unsigned char* utf8 = nullptr;
    int n = ASN1_STRING_to_UTF8(&utf8, data);
    if (hex)
        *hex = n < 0;
    if (n < 0) {
        std::u16string hex = u"#";
        static const char16_t digits[] = u"0123456789ABCDEF";
        const unsigned char* p = ASN1_STRING_get0_data(data);
        for (int i = 0; i < ASN1_STRING_length(data); ++i) {
            hex += digits[p[i] >> 4];
            hex += digits[p[i] & 15];
        }
        return hex;
    }
    std::unique_ptr<unsigned char, OpenSslFree> guard(utf8);
    return Utf8ToUtf16(std::string(reinterpret_cast<char*>(utf8), static_cast<size_t>(n)));
}

// A value as CertNameToStr writes it: in double quotes (a quote inside
// doubled) when it holds a character that the name syntax gives a meaning
// to, or begins or ends with a space.
std::u16string Quote(const std::u16string& v)
{
    bool need = !v.empty() && (v.front() == u' ' || v.back() == u' ');
    for (char16_t c : v)
        if (std::u16string_view(u",+=\"\n<>#;").find(c) != std::u16string_view::npos)
            need = true;
    if (!need)
        return v;
    std::u16string out = u"\"";
    for (char16_t c : v) {
        out += c;
        if (c == u'"')
            out += u'"';
    }
    out += u'"';
    return out;
}

} // namespace

std::recursive_mutex& Lock()
{
    static std::recursive_mutex m;
    return m;
}

std::u16string AnsiToUtf16(const char* s)
{
    return trumik::platform::CodePageToUtf16(s, CP_ACP);
}

DWORD DerErrorCode(const BYTE* data, size_t size)
{
    if (!data || size == 0)
        return static_cast<DWORD>(CRYPT_E_ASN1_EOD);
    if (data[0] != 0x30)
        return static_cast<DWORD>(CRYPT_E_ASN1_BADTAG);
    size_t h = 0, c = 0;
    if (!ReadTlv(data, size, h, c))
        return static_cast<DWORD>(CRYPT_E_ASN1_EOD);
    return static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT);
}

static Bytes Digest(const EVP_MD* md, const Bytes& data)
{
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned int n = 0;
    EVP_Digest(data.data(), data.size(), out.data(), &n, md, nullptr);
    out.resize(n);
    return out;
}
Bytes Sha1(const Bytes& data)
{
    return Digest(EVP_sha1(), data);
}
Bytes Md5(const Bytes& data)
{
    return Digest(EVP_md5(), data);
}

std::u16string HexUpper(const Bytes& data)
{
    static const char16_t digits[] = u"0123456789ABCDEF";
    std::u16string out;
    for (BYTE b : data) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

CertObject* ParseCertificate(const BYTE* data, size_t size)
{
    if (!data || size == 0 || size > 0x7FFFFFFF) {
        SetLastError(DerErrorCode(data, size));
        return nullptr;
    }
    const unsigned char* p = data;
    std::unique_ptr<X509, X509Free> x(d2i_X509(nullptr, &p, static_cast<long>(size)));
    if (!x) {
        SetLastError(DerErrorCode(data, size));
        return nullptr;
    }
    auto obj = std::make_unique<CertObject>();
    obj->encoded.assign(data, p);
    obj->sha1 = Sha1(obj->encoded);
    CERT_INFO& info = obj->info;
    info.dwVersion = static_cast<DWORD>(X509_get_version(x.get()));
    Bytes serial = SerialLittleEndian(X509_get0_serialNumber(x.get()));
    info.SerialNumber.cbData = static_cast<DWORD>(serial.size());
    info.SerialNumber.pbData = Keep(*obj, std::move(serial));
    FillAlgorithm(*obj, info.SignatureAlgorithm, X509_get0_tbs_sigalg(x.get()));
    FillName(*obj, info.Issuer, X509_get_issuer_name(x.get()));
    FillName(*obj, info.Subject, X509_get_subject_name(x.get()));
    info.NotBefore = ToFileTime(X509_get0_notBefore(x.get()));
    info.NotAfter = ToFileTime(X509_get0_notAfter(x.get()));
    X509_PUBKEY* pk = X509_get_X509_PUBKEY(x.get());
    const unsigned char* keyBytes = nullptr;
    int keyLen = 0;
    X509_ALGOR* keyAlg = nullptr;
    if (pk && X509_PUBKEY_get0_param(nullptr, &keyBytes, &keyLen, &keyAlg, pk) == 1) {
        FillAlgorithm(*obj, info.SubjectPublicKeyInfo.Algorithm, keyAlg);
        info.SubjectPublicKeyInfo.PublicKey.cbData = static_cast<DWORD>(keyLen);
        info.SubjectPublicKeyInfo.PublicKey.pbData = Keep(*obj, Bytes(keyBytes, keyBytes + keyLen));
    }
    FillExtensions(*obj, obj->extensions, X509_get0_extensions(x.get()));
    info.cExtension = static_cast<DWORD>(obj->extensions.size());
    info.rgExtension = obj->extensions.empty() ? nullptr : obj->extensions.data();
    obj->pub.dwCertEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
    obj->pub.pbCertEncoded = obj->encoded.data();
    obj->pub.cbCertEncoded = static_cast<DWORD>(obj->encoded.size());
    obj->pub.pCertInfo = &obj->info;
    return obj.release();
}

CrlObject* ParseCrl(const BYTE* data, size_t size)
{
    if (!data || size == 0 || size > 0x7FFFFFFF) {
        SetLastError(DerErrorCode(data, size));
        return nullptr;
    }
    const unsigned char* p = data;
    std::unique_ptr<X509_CRL, X509CrlFree> crl(d2i_X509_CRL(nullptr, &p, static_cast<long>(size)));
    if (!crl) {
        SetLastError(DerErrorCode(data, size));
        return nullptr;
    }
    auto obj = std::make_unique<CrlObject>();
    obj->encoded.assign(data, p);
    obj->sha1 = Sha1(obj->encoded);
    CRL_INFO& info = obj->info;
    info.dwVersion = static_cast<DWORD>(X509_CRL_get_version(crl.get()));
    const ASN1_BIT_STRING* sig = nullptr;
    const X509_ALGOR* alg = nullptr;
    X509_CRL_get0_signature(crl.get(), &sig, &alg);
    FillAlgorithm(*obj, info.SignatureAlgorithm, alg);
    FillName(*obj, info.Issuer, X509_CRL_get_issuer(crl.get()));
    info.ThisUpdate = ToFileTime(X509_CRL_get0_lastUpdate(crl.get()));
    info.NextUpdate = ToFileTime(X509_CRL_get0_nextUpdate(crl.get()));
    STACK_OF(X509_REVOKED)* revoked = X509_CRL_get_REVOKED(crl.get());
    int count = revoked ? sk_X509_REVOKED_num(revoked) : 0;
    for (int i = 0; i < count; ++i) {
        X509_REVOKED* r = sk_X509_REVOKED_value(revoked, i);
        CRL_ENTRY entry{};
        Bytes serial = SerialLittleEndian(X509_REVOKED_get0_serialNumber(r));
        entry.SerialNumber.cbData = static_cast<DWORD>(serial.size());
        entry.SerialNumber.pbData = Keep(*obj, std::move(serial));
        entry.RevocationDate = ToFileTime(X509_REVOKED_get0_revocationDate(r));
        obj->entryExtensions.emplace_back();
        FillExtensions(*obj, obj->entryExtensions.back(), X509_REVOKED_get0_extensions(r));
        entry.cExtension = static_cast<DWORD>(obj->entryExtensions.back().size());
        entry.rgExtension = entry.cExtension ? obj->entryExtensions.back().data() : nullptr;
        obj->entries.push_back(entry);
    }
    info.cCRLEntry = static_cast<DWORD>(obj->entries.size());
    info.rgCRLEntry = obj->entries.empty() ? nullptr : obj->entries.data();
    FillExtensions(*obj, obj->extensions, X509_CRL_get0_extensions(crl.get()));
    info.cExtension = static_cast<DWORD>(obj->extensions.size());
    info.rgExtension = obj->extensions.empty() ? nullptr : obj->extensions.data();
    obj->pub.dwCertEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
    obj->pub.pbCrlEncoded = obj->encoded.data();
    obj->pub.cbCrlEncoded = static_cast<DWORD>(obj->encoded.size());
    obj->pub.pCrlInfo = &obj->info;
    return obj.release();
}

std::u16string NameToString(const BYTE* der, size_t size, DWORD strType)
{
    if (!der || size == 0)
        return {};
    const unsigned char* p = der;
    std::unique_ptr<X509_NAME, X509NameFree> name(d2i_X509_NAME(nullptr, &p, static_cast<long>(size)));
    if (!name)
        return {};
    DWORD type = strType & 0xFFFF;
    bool reverse = (strType & CERT_NAME_STR_REVERSE_FLAG) != 0;
    // Group the entries by RDN, in the encoded order.
    std::vector<std::vector<const X509_NAME_ENTRY*>> rdns;
    int last = -1;
    for (int i = 0; i < X509_NAME_entry_count(name.get()); ++i) {
        const X509_NAME_ENTRY* e = X509_NAME_get_entry(name.get(), i);
        int set = X509_NAME_ENTRY_set(e);
        if (rdns.empty() || set != last)
            rdns.emplace_back();
        rdns.back().push_back(e);
        last = set;
    }
    if (reverse)
        std::reverse(rdns.begin(), rdns.end());
    // Between RDNs ", " (or "; ", or a line break); between the attributes
    // of one RDN " + " (or a space).
    const char16_t* rdnSeparator = u", ";
    if (strType & CERT_NAME_STR_SEMICOLON_FLAG)
        rdnSeparator = u"; ";
    else if (strType & CERT_NAME_STR_CRLF_FLAG)
        rdnSeparator = u"\r\n";
    const char16_t* attributeSeparator = (strType & CERT_NAME_STR_NO_PLUS_FLAG) ? u" " : u" + ";
    const bool quote = (strType & CERT_NAME_STR_NO_QUOTING_FLAG) == 0;
    std::u16string out;
    for (size_t r = 0; r < rdns.size(); ++r) {
        if (r)
            out += rdnSeparator;
        for (size_t k = 0; k < rdns[r].size(); ++k) {
            if (k)
                out += attributeSeparator;
            const X509_NAME_ENTRY* e = rdns[r][k];
            const ASN1_OBJECT* obj = X509_NAME_ENTRY_get_object(e);
            bool hex = false;
            std::u16string value = EntryValue(e, &hex);
            if (quote && !hex)
                value = Quote(value);
            if (type == CERT_SIMPLE_NAME_STR) {
                out += value;
                continue;
            }
            std::string oid = OidText(obj);
            const char* key = type == CERT_X500_NAME_STR ? AttributeKey(OBJ_obj2nid(obj)) : nullptr;
            std::string prefix = key ? key : (type == CERT_X500_NAME_STR ? "OID." + oid : oid);
            out += Utf8ToUtf16(prefix) + u"=" + value;
        }
    }
    return out;
}

// Finds the first value of an attribute in a DER name (UTF-16), or empty.
std::u16string FirstAttribute(const BYTE* der, size_t size, int nid)
{
    if (!der || size == 0)
        return {};
    const unsigned char* p = der;
    std::unique_ptr<X509_NAME, X509NameFree> name(d2i_X509_NAME(nullptr, &p, static_cast<long>(size)));
    if (!name)
        return {};
    int count = X509_NAME_entry_count(name.get());
    for (int i = 0; i < count; ++i) {
        const X509_NAME_ENTRY* e = X509_NAME_get_entry(name.get(), i);
        if (nid == NID_undef || OBJ_obj2nid(X509_NAME_ENTRY_get_object(e)) == nid)
            return EntryValue(e);
    }
    return {};
}

std::u16string SimpleDisplayName(const CERT_NAME_BLOB& name)
{
    for (int nid : {NID_commonName, NID_organizationalUnitName, NID_organizationName, NID_pkcs9_emailAddress,
                    NID_undef}) {
        std::u16string v = FirstAttribute(name.pbData, name.cbData, nid);
        if (!v.empty())
            return v;
    }
    return {};
}

} // namespace trumik::crypt

using namespace trumik::crypt;

namespace {
DWORD CopyOut(const std::u16string& s, LPWSTR psz, DWORD csz)
{
    DWORD need = static_cast<DWORD>(s.size() + 1);
    if (!psz || csz == 0)
        return need;
    DWORD n = std::min<DWORD>(csz - 1, static_cast<DWORD>(s.size()));
    std::memcpy(psz, s.data(), n * sizeof(char16_t));
    psz[n] = 0;
    return n + 1;
}
// The text up to its NUL in the system ANSI code page, with the same rules.
DWORD CopyOutA(const std::u16string& w, LPSTR psz, DWORD csz)
{
    std::u16string text = w.substr(0, w.find(u'\0'));
    std::string a;
    if (!text.empty()) {
        int n = WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0,
                                    nullptr, nullptr);
        a.resize(n > 0 ? static_cast<size_t>(n) : 0);
        if (n > 0)
            WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), a.data(), n, nullptr,
                                nullptr);
    }
    DWORD need = static_cast<DWORD>(a.size() + 1);
    if (!psz || csz == 0)
        return need;
    DWORD n = std::min<DWORD>(csz - 1, static_cast<DWORD>(a.size()));
    std::memcpy(psz, a.data(), n);
    psz[n] = 0;
    return n + 1;
}
} // namespace

extern "C" {

WINAPI_EXPORT PCCERT_CONTEXT WINAPI CertCreateCertificateContext(DWORD dwCertEncodingType,
                                                                 const BYTE* pbCertEncoded,
                                                                 DWORD cbCertEncoded)
{
    if ((dwCertEncodingType & X509_ASN_ENCODING) == 0) {
        SetLastError(static_cast<DWORD>(E_INVALIDARG));
        return nullptr;
    }
    CertObject* obj = ParseCertificate(pbCertEncoded, cbCertEncoded);
    if (!obj)
        return nullptr;
    obj->pub.dwCertEncodingType = dwCertEncodingType;
    return &obj->pub;
}

WINAPI_EXPORT PCCRL_CONTEXT WINAPI CertCreateCRLContext(DWORD dwCertEncodingType, const BYTE* pbCrlEncoded,
                                                        DWORD cbCrlEncoded)
{
    if ((dwCertEncodingType & X509_ASN_ENCODING) == 0) {
        SetLastError(static_cast<DWORD>(E_INVALIDARG));
        return nullptr;
    }
    CrlObject* obj = ParseCrl(pbCrlEncoded, cbCrlEncoded);
    if (!obj)
        return nullptr;
    obj->pub.dwCertEncodingType = dwCertEncodingType;
    return &obj->pub;
}

WINAPI_EXPORT DWORD WINAPI CertNameToStrW(DWORD, PCERT_NAME_BLOB pName, DWORD dwStrType, LPWSTR psz,
                                          DWORD csz)
{
    std::u16string s = pName ? NameToString(pName->pbData, pName->cbData, dwStrType) : std::u16string();
    return CopyOut(s, psz, csz);
}

WINAPI_EXPORT DWORD WINAPI CertGetNameStringW(PCCERT_CONTEXT pCertContext, DWORD dwType, DWORD dwFlags,
                                              void* pvTypePara, LPWSTR pszNameString, DWORD cchNameString)
{
    if (!pCertContext || !pCertContext->pCertInfo)
        return CopyOut(u"", pszNameString, cchNameString);
    const CERT_NAME_BLOB& name = (dwFlags & CERT_NAME_ISSUER_FLAG) ? pCertContext->pCertInfo->Issuer
                                                                   : pCertContext->pCertInfo->Subject;
    std::u16string s;
    switch (dwType) {
    case CERT_NAME_EMAIL_TYPE:
        s = FirstAttribute(name.pbData, name.cbData, NID_pkcs9_emailAddress);
        break;
    case CERT_NAME_RDN_TYPE:
        s = NameToString(name.pbData, name.cbData,
                         pvTypePara ? *static_cast<DWORD*>(pvTypePara) : CERT_X500_NAME_STR);
        break;
    case CERT_NAME_ATTR_TYPE: {
        int nid = pvTypePara ? OBJ_txt2nid(static_cast<const char*>(pvTypePara)) : NID_undef;
        if (nid != NID_undef)
            s = FirstAttribute(name.pbData, name.cbData, nid);
        break;
    }
    case CERT_NAME_FRIENDLY_DISPLAY_TYPE: {
        DWORD size = 0;
        if (!(dwFlags & CERT_NAME_ISSUER_FLAG) &&
            CertGetCertificateContextProperty(pCertContext, CERT_FRIENDLY_NAME_PROP_ID, nullptr, &size) &&
            size >= 2) {
            std::u16string friendly(size / 2, u'\0');
            if (CertGetCertificateContextProperty(pCertContext, CERT_FRIENDLY_NAME_PROP_ID, friendly.data(),
                                                  &size)) {
                s = friendly.substr(0, friendly.find(u'\0'));
                break;
            }
        }
        s = SimpleDisplayName(name);
        break;
    }
    case CERT_NAME_SIMPLE_DISPLAY_TYPE:
    default:
        s = SimpleDisplayName(name);
        break;
    }
    return CopyOut(s, pszNameString, cchNameString);
}

WINAPI_EXPORT DWORD WINAPI CertNameToStrA(DWORD dwCertEncodingType, PCERT_NAME_BLOB pName, DWORD dwStrType,
                                          LPSTR psz, DWORD csz)
{
    DWORD n = CertNameToStrW(dwCertEncodingType, pName, dwStrType, nullptr, 0);
    std::u16string w(n, u'\0');
    CertNameToStrW(dwCertEncodingType, pName, dwStrType, w.data(), n);
    return CopyOutA(w, psz, csz);
}

WINAPI_EXPORT DWORD WINAPI CertGetNameStringA(PCCERT_CONTEXT pCertContext, DWORD dwType, DWORD dwFlags,
                                              void* pvTypePara, LPSTR pszNameString, DWORD cchNameString)
{
    DWORD n = CertGetNameStringW(pCertContext, dwType, dwFlags, pvTypePara, nullptr, 0);
    std::u16string w(n, u'\0');
    CertGetNameStringW(pCertContext, dwType, dwFlags, pvTypePara, w.data(), n);
    return CopyOutA(w, pszNameString, cchNameString);
}

WINAPI_EXPORT LONG WINAPI CertVerifyTimeValidity(LPFILETIME pTimeToVerify, PCERT_INFO pCertInfo)
{
    FILETIME now{};
    if (!pTimeToVerify) {
        GetSystemTimeAsFileTime(&now);
        pTimeToVerify = &now;
    }
    if (!pCertInfo)
        return 0;
    if (CompareFileTime(pTimeToVerify, &pCertInfo->NotBefore) < 0)
        return -1;
    if (CompareFileTime(pTimeToVerify, &pCertInfo->NotAfter) > 0)
        return 1;
    return 0;
}

WINAPI_EXPORT PCERT_EXTENSION WINAPI CertFindExtension(LPCSTR pszObjId, DWORD cExtensions,
                                                       CERT_EXTENSION rgExtensions[])
{
    if (pszObjId && rgExtensions)
        for (DWORD i = 0; i < cExtensions; ++i)
            if (rgExtensions[i].pszObjId && std::strcmp(rgExtensions[i].pszObjId, pszObjId) == 0)
                return &rgExtensions[i];
    SetLastError(static_cast<DWORD>(CRYPT_E_NOT_FOUND));
    return nullptr;
}

WINAPI_EXPORT BOOL WINAPI CertGetIntendedKeyUsage(DWORD, PCERT_INFO pCertInfo, BYTE* pbKeyUsage,
                                                  DWORD cbKeyUsage)
{
    if (!pCertInfo) {
        SetLastError(static_cast<DWORD>(E_INVALIDARG));
        return FALSE;
    }
    if (pbKeyUsage && cbKeyUsage)
        std::memset(pbKeyUsage, 0, cbKeyUsage);
    PCERT_EXTENSION ext = nullptr;
    for (DWORD i = 0; i < pCertInfo->cExtension; ++i)
        if (std::strcmp(pCertInfo->rgExtension[i].pszObjId, szOID_KEY_USAGE) == 0)
            ext = &pCertInfo->rgExtension[i];
    if (!ext) {
        SetLastError(0);
        return FALSE;
    }
    // KeyUsage ::= BIT STRING: 03 len unused bits...
    const BYTE* v = ext->Value.pbData;
    DWORD n = ext->Value.cbData;
    if (n < 3 || v[0] != 0x03 || v[1] >= 0x80 || static_cast<DWORD>(v[1]) + 2 > n || v[1] < 1) {
        SetLastError(static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT));
        return FALSE;
    }
    DWORD bits = v[1] - 1u;
    for (DWORD i = 0; i < bits && i < cbKeyUsage && pbKeyUsage; ++i)
        pbKeyUsage[i] = v[3 + i];
    return TRUE;
}

} // extern "C"
