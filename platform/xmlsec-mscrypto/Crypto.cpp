// The back-end's function table, start-up and the helpers its parts share.
#include "MSCryptoInternal.h"

#include <xmlsec/base64.h>
#include <xmlsec/private.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

namespace trumik::mscrypto {

void ReportCryptoError(const char* file, int line, const char* func, const char* object, const char* call)
{
    DWORD code = GetLastError();
    char text[512] = {};
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                                  0, text, sizeof(text), nullptr);
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r' || text[length - 1] == ' '))
        text[--length] = '\0';
    xmlSecError(file, line, func, object, call, XMLSEC_ERRORS_R_CRYPTO_FAILED, "error=0x%08X; %s",
                static_cast<unsigned>(code), length > 0 ? text : "no system text");
}

namespace {

constexpr std::string_view kPemBegin = "-----BEGIN CERTIFICATE-----";
constexpr std::string_view kPemEnd = "-----END CERTIFICATE-----";

// The DER bytes of the first certificate of a PEM text, or empty.
std::vector<xmlSecByte> PemToDer(const xmlSecByte* data, xmlSecSize size)
{
    std::string_view text(reinterpret_cast<const char*>(data), size);
    std::size_t begin = text.find(kPemBegin);
    if (begin == std::string_view::npos)
        return {};
    begin += kPemBegin.size();
    std::size_t end = text.find(kPemEnd, begin);
    if (end == std::string_view::npos)
        return {};
    std::string body(text.substr(begin, end - begin));
    std::vector<xmlSecByte> der(body.size() + 1);
    xmlSecSize written = 0;
    // The decoder skips white space between the Base64 characters.
    if (xmlSecBase64Decode_ex(reinterpret_cast<const xmlChar*>(body.c_str()), der.data(), der.size(),
                              &written) < 0)
        return {};
    der.resize(written);
    return der;
}

} // namespace

UniqueCert CertFromBytes(const xmlSecByte* data, xmlSecSize size, xmlSecKeyDataFormat format)
{
    if (data == nullptr || size == 0) {
        xmlSecError(XMLSEC_ERRORS_HERE, nullptr, nullptr, XMLSEC_ERRORS_R_INVALID_DATA,
                    "no certificate data");
        return nullptr;
    }
    std::vector<xmlSecByte> der;
    const xmlSecByte* bytes = data;
    xmlSecSize length = size;
    bool pem = format == xmlSecKeyDataFormatPem || format == xmlSecKeyDataFormatCertPem;
    if (pem) {
        der = PemToDer(data, size);
        if (der.empty()) {
            xmlSecError(XMLSEC_ERRORS_HERE, nullptr, nullptr, XMLSEC_ERRORS_R_INVALID_DATA,
                        "no PEM certificate (\"%s\") in the data", std::string(kPemBegin).c_str());
            return nullptr;
        }
        bytes = der.data();
        length = der.size();
    }
    if (length > 0xFFFFFFFFu) {
        xmlSecError(XMLSEC_ERRORS_HERE, nullptr, nullptr, XMLSEC_ERRORS_R_INVALID_SIZE,
                    "certificate data too large");
        return nullptr;
    }
    UniqueCert cert(CertCreateCertificateContext(X509_ASN_ENCODING, bytes, static_cast<DWORD>(length)));
    if (!cert)
        TRUMIK_MSCRYPTO_ERROR(nullptr, "CertCreateCertificateContext");
    return cert;
}

const GostKeyAlgorithm& Gost2001Algorithm()
{
    static const GostKeyAlgorithm algorithm{szOID_CP_GOST_R3410EL,
                                            "GOST R 34.10-2001",
                                            PROV_GOST_2001_DH,
                                            CALG_GR3411,
                                            64,
                                            256,
                                            xmlSecMSCryptoKeyDataGost2001GetKlass};
    return algorithm;
}

const GostKeyAlgorithm& Gost2012_256Algorithm()
{
    static const GostKeyAlgorithm algorithm{szOID_CP_GOST_R3410_12_256,
                                            "GOST R 34.10-2012 256-bit",
                                            PROV_GOST_2012_256,
                                            CALG_GR3411_2012_256,
                                            64,
                                            256,
                                            xmlSecMSCryptoKeyDataGostR3410_2012_256GetKlass};
    return algorithm;
}

const GostKeyAlgorithm& Gost2012_512Algorithm()
{
    static const GostKeyAlgorithm algorithm{szOID_CP_GOST_R3410_12_512,
                                            "GOST R 34.10-2012 512-bit",
                                            PROV_GOST_2012_512,
                                            CALG_GR3411_2012_512,
                                            128,
                                            512,
                                            xmlSecMSCryptoKeyDataGostR3410_2012_512GetKlass};
    return algorithm;
}

namespace {

const GostKeyAlgorithm* const kAlgorithms[] = {&Gost2001Algorithm(), &Gost2012_256Algorithm(),
                                               &Gost2012_512Algorithm()};

} // namespace

const GostKeyAlgorithm* AlgorithmOfCert(PCCERT_CONTEXT cert)
{
    const char* oid = cert != nullptr && cert->pCertInfo != nullptr
                          ? cert->pCertInfo->SubjectPublicKeyInfo.Algorithm.pszObjId
                          : nullptr;
    if (oid == nullptr)
        return nullptr;
    for (const GostKeyAlgorithm* algorithm : kAlgorithms) {
        if (std::strcmp(oid, algorithm->keyOid) == 0)
            return algorithm;
    }
    return nullptr;
}

const GostKeyAlgorithm* AlgorithmOfKeyData(xmlSecKeyDataPtr data)
{
    for (const GostKeyAlgorithm* algorithm : kAlgorithms) {
        if (xmlSecKeyDataCheckId(data, algorithm->keyDataKlass()))
            return algorithm;
    }
    return nullptr;
}

bool SamePublicKey(PCCERT_CONTEXT a, PCCERT_CONTEXT b)
{
    if (a == nullptr || b == nullptr || a->pCertInfo == nullptr || b->pCertInfo == nullptr)
        return false;
    const CRYPT_BIT_BLOB& x = a->pCertInfo->SubjectPublicKeyInfo.PublicKey;
    const CRYPT_BIT_BLOB& y = b->pCertInfo->SubjectPublicKeyInfo.PublicKey;
    return x.cbData == y.cbData && (x.cbData == 0 || std::memcmp(x.pbData, y.pbData, x.cbData) == 0);
}

} // namespace trumik::mscrypto

namespace {

xmlSecCryptoDLFunctions MakeFunctions()
{
    xmlSecCryptoDLFunctions functions{};
    functions.cryptoInit = xmlSecMSCryptoInit;
    functions.cryptoShutdown = xmlSecMSCryptoShutdown;
    functions.cryptoKeysMngrInit = xmlSecMSCryptoKeysMngrInit;

    functions.keyDataGost2001GetKlass = xmlSecMSCryptoKeyDataGost2001GetKlass;
    functions.keyDataGostR3410_2012_256GetKlass = xmlSecMSCryptoKeyDataGostR3410_2012_256GetKlass;
    functions.keyDataGostR3410_2012_512GetKlass = xmlSecMSCryptoKeyDataGostR3410_2012_512GetKlass;
    functions.keyDataX509GetKlass = xmlSecMSCryptoKeyDataX509GetKlass;

    functions.transformGost2001GostR3411_94GetKlass = xmlSecMSCryptoTransformGost2001GostR3411_94GetKlass;
    functions.transformGostR3410_2012GostR3411_2012_256GetKlass =
        xmlSecMSCryptoTransformGostR3410_2012GostR3411_2012_256GetKlass;
    functions.transformGostR3410_2012GostR3411_2012_512GetKlass =
        xmlSecMSCryptoTransformGostR3410_2012GostR3411_2012_512GetKlass;
    functions.transformGostR3411_94GetKlass = xmlSecMSCryptoTransformGostR3411_94GetKlass;
    functions.transformGostR3411_2012_256GetKlass = xmlSecMSCryptoTransformGostR3411_2012_256GetKlass;
    functions.transformGostR3411_2012_512GetKlass = xmlSecMSCryptoTransformGostR3411_2012_512GetKlass;

    functions.cryptoAppInit = xmlSecMSCryptoAppInit;
    functions.cryptoAppShutdown = xmlSecMSCryptoAppShutdown;
    functions.cryptoAppDefaultKeysMngrInit = xmlSecMSCryptoAppDefaultKeysMngrInit;
    functions.cryptoAppDefaultKeysMngrAdoptKey = xmlSecMSCryptoAppDefaultKeysMngrAdoptKey;
    functions.cryptoAppDefaultKeysMngrLoad = xmlSecMSCryptoAppDefaultKeysMngrLoad;
    functions.cryptoAppDefaultKeysMngrSave = xmlSecMSCryptoAppDefaultKeysMngrSave;
    functions.cryptoAppKeysMngrCertLoad = xmlSecMSCryptoAppKeysMngrCertLoad;
    functions.cryptoAppKeysMngrCertLoadMemory = xmlSecMSCryptoAppKeysMngrCertLoadMemory;
    functions.cryptoAppKeyLoad = xmlSecMSCryptoAppKeyLoad;
    functions.cryptoAppKeyLoadMemory = xmlSecMSCryptoAppKeyLoadMemory;
    functions.cryptoAppPkcs12Load = xmlSecMSCryptoAppPkcs12Load;
    functions.cryptoAppPkcs12LoadMemory = xmlSecMSCryptoAppPkcs12LoadMemory;
    functions.cryptoAppKeyCertLoad = xmlSecMSCryptoAppKeyCertLoad;
    functions.cryptoAppKeyCertLoadMemory = xmlSecMSCryptoAppKeyCertLoadMemory;
    functions.cryptoAppDefaultPwdCallback = xmlSecMSCryptoAppGetDefaultPwdCallback();
    return functions;
}

} // namespace

#pragma GCC visibility push(default)

xmlSecCryptoDLFunctionsPtr xmlSecCryptoGetFunctions_mscrypto(void)
{
    static xmlSecCryptoDLFunctions functions = MakeFunctions();
    return &functions;
}

int xmlSecMSCryptoInit(void)
{
    // Registered once however often the back-end is started: the lists are
    // the library's, shared with the other back-ends of the process.
    for (xmlSecKeyDataId id :
         {xmlSecMSCryptoKeyDataGost2001GetKlass(), xmlSecMSCryptoKeyDataGostR3410_2012_256GetKlass(),
          xmlSecMSCryptoKeyDataGostR3410_2012_512GetKlass(), xmlSecMSCryptoKeyDataX509GetKlass()}) {
        if (xmlSecKeyDataIdListFind(xmlSecKeyDataIdsGet(), id) == 1)
            continue;
        if (xmlSecKeyDataIdsRegister(id) < 0) {
            xmlSecError(XMLSEC_ERRORS_HERE, reinterpret_cast<const char*>(id->name),
                        "xmlSecKeyDataIdsRegister", XMLSEC_ERRORS_R_XMLSEC_FAILED, XMLSEC_ERRORS_NO_MESSAGE);
            return -1;
        }
    }
    for (xmlSecTransformId id : {
             xmlSecMSCryptoTransformGostR3411_94GetKlass(),
             xmlSecMSCryptoTransformGost2001GostR3411_94GetKlass(),
             xmlSecMSCryptoTransformGostR3411_2012_256GetKlass(),
             xmlSecMSCryptoTransformGostR3411_2012_512GetKlass(),
             xmlSecMSCryptoTransformGostR3410_2012GostR3411_2012_256GetKlass(),
             xmlSecMSCryptoTransformGostR3410_2012GostR3411_2012_512GetKlass(),
             // The newer names of the 2001 algorithms, for verification.
             trumik::mscrypto::GostR3411_94UrnGetKlass(),
             trumik::mscrypto::Gost2001GostR3411_94UrnGetKlass(),
         }) {
        if (xmlSecTransformIdListFind(xmlSecTransformIdsGet(), id) == 1)
            continue;
        if (xmlSecTransformIdsRegister(id) < 0) {
            xmlSecError(XMLSEC_ERRORS_HERE, reinterpret_cast<const char*>(id->name),
                        "xmlSecTransformIdsRegister", XMLSEC_ERRORS_R_XMLSEC_FAILED,
                        XMLSEC_ERRORS_NO_MESSAGE);
            return -1;
        }
    }
    return 0;
}

int xmlSecMSCryptoShutdown(void)
{
    return 0;
}

int xmlSecMSCryptoKeysMngrInit(xmlSecKeysMngrPtr mngr)
{
    xmlSecAssert2(mngr != nullptr, -1);
    return 0;
}

#pragma GCC visibility pop
