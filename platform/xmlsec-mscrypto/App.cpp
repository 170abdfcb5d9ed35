// The application helpers: a simple keys store, and keys made from
// certificate files (DER or PEM) holding the certificate's public key with
// the certificate itself. Key files, PKCS #12 files and trusted certificate
// stores are not supported and fail with a report.
#include "MSCryptoInternal.h"

#include <xmlsec/keysmngr.h>

#include <fstream>
#include <iterator>

namespace trumik::mscrypto {
namespace {

void ReportNotSupported(const char* func, const char* what)
{
    xmlSecError(__FILE__, __LINE__, func, nullptr, nullptr, XMLSEC_ERRORS_R_NOT_IMPLEMENTED,
                "%s is not supported by the mscrypto back-end", what);
}

bool IsCertFormat(xmlSecKeyDataFormat format)
{
    // Key files in DER or PEM are read as certificates: the back-end has no
    // keys outside key containers.
    return format == xmlSecKeyDataFormatCertDer || format == xmlSecKeyDataFormatCertPem ||
           format == xmlSecKeyDataFormatDer || format == xmlSecKeyDataFormatPem;
}

bool ReadFile(const char* func, const char* filename, std::vector<xmlSecByte>& bytes)
{
    std::ifstream file(filename, std::ios::binary);
    if (file) {
        bytes.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
        if (!file.bad())
            return true;
    }
    xmlSecError(__FILE__, __LINE__, func, nullptr, "open", XMLSEC_ERRORS_R_IO_FAILED, "filename=%s",
                xmlSecErrorsSafeString(filename));
    return false;
}

} // namespace
} // namespace trumik::mscrypto

using namespace trumik::mscrypto;

#pragma GCC visibility push(default)

int xmlSecMSCryptoAppInit(const char*)
{
    return 0;
}

int xmlSecMSCryptoAppShutdown(void)
{
    return 0;
}

int xmlSecMSCryptoAppDefaultKeysMngrInit(xmlSecKeysMngrPtr mngr)
{
    xmlSecAssert2(mngr != nullptr, -1);
    if (xmlSecKeysMngrGetKeysStore(mngr) == nullptr) {
        xmlSecKeyStorePtr store = xmlSecKeyStoreCreate(xmlSecSimpleKeysStoreId);
        if (store == nullptr) {
            xmlSecError(XMLSEC_ERRORS_HERE, nullptr, "xmlSecKeyStoreCreate", XMLSEC_ERRORS_R_XMLSEC_FAILED,
                        "xmlSecSimpleKeysStoreId");
            return -1;
        }
        if (xmlSecKeysMngrAdoptKeysStore(mngr, store) < 0) {
            xmlSecKeyStoreDestroy(store);
            xmlSecError(XMLSEC_ERRORS_HERE, nullptr, "xmlSecKeysMngrAdoptKeysStore",
                        XMLSEC_ERRORS_R_XMLSEC_FAILED, XMLSEC_ERRORS_NO_MESSAGE);
            return -1;
        }
    }
    return xmlSecMSCryptoKeysMngrInit(mngr);
}

int xmlSecMSCryptoAppDefaultKeysMngrAdoptKey(xmlSecKeysMngrPtr mngr, xmlSecKeyPtr key)
{
    xmlSecAssert2(mngr != nullptr, -1);
    xmlSecAssert2(key != nullptr, -1);
    xmlSecKeyStorePtr store = xmlSecKeysMngrGetKeysStore(mngr);
    if (store == nullptr) {
        xmlSecError(XMLSEC_ERRORS_HERE, nullptr, "xmlSecKeysMngrGetKeysStore", XMLSEC_ERRORS_R_XMLSEC_FAILED,
                    "the keys manager has no keys store");
        return -1;
    }
    if (xmlSecSimpleKeysStoreAdoptKey(store, key) < 0) {
        xmlSecError(XMLSEC_ERRORS_HERE, nullptr, "xmlSecSimpleKeysStoreAdoptKey",
                    XMLSEC_ERRORS_R_XMLSEC_FAILED, XMLSEC_ERRORS_NO_MESSAGE);
        return -1;
    }
    return 0;
}

int xmlSecMSCryptoAppDefaultKeysMngrLoad(xmlSecKeysMngrPtr mngr, const char*)
{
    xmlSecAssert2(mngr != nullptr, -1);
    ReportNotSupported(__func__, "loading a keys file");
    return -1;
}

int xmlSecMSCryptoAppDefaultKeysMngrSave(xmlSecKeysMngrPtr mngr, const char*, xmlSecKeyDataType)
{
    xmlSecAssert2(mngr != nullptr, -1);
    ReportNotSupported(__func__, "saving a keys file");
    return -1;
}

int xmlSecMSCryptoAppKeysMngrCertLoad(xmlSecKeysMngrPtr mngr, const char*, xmlSecKeyDataFormat,
                                      xmlSecKeyDataType)
{
    xmlSecAssert2(mngr != nullptr, -1);
    ReportNotSupported(__func__, "a trusted certificates store");
    return -1;
}

int xmlSecMSCryptoAppKeysMngrCertLoadMemory(xmlSecKeysMngrPtr mngr, const xmlSecByte*, xmlSecSize,
                                            xmlSecKeyDataFormat, xmlSecKeyDataType)
{
    xmlSecAssert2(mngr != nullptr, -1);
    ReportNotSupported(__func__, "a trusted certificates store");
    return -1;
}

xmlSecKeyPtr xmlSecMSCryptoAppKeyLoad(const char* filename, xmlSecKeyDataFormat format, const char* pwd,
                                      void* pwdCallback, void* pwdCallbackCtx)
{
    xmlSecAssert2(filename != nullptr, nullptr);
    if (!IsCertFormat(format)) {
        xmlSecError(XMLSEC_ERRORS_HERE, nullptr, nullptr, XMLSEC_ERRORS_R_INVALID_FORMAT,
                    "format=%d; a DER or PEM certificate file expected", static_cast<int>(format));
        return nullptr;
    }
    std::vector<xmlSecByte> bytes;
    if (!ReadFile(__func__, filename, bytes))
        return nullptr;
    return xmlSecMSCryptoAppKeyLoadMemory(bytes.data(), bytes.size(), format, pwd, pwdCallback,
                                          pwdCallbackCtx);
}

xmlSecKeyPtr xmlSecMSCryptoAppKeyLoadMemory(const xmlSecByte* data, xmlSecSize dataSize,
                                            xmlSecKeyDataFormat format, const char*, void*, void*)
{
    xmlSecAssert2(data != nullptr || dataSize == 0, nullptr);
    if (!IsCertFormat(format)) {
        xmlSecError(XMLSEC_ERRORS_HERE, nullptr, nullptr, XMLSEC_ERRORS_R_INVALID_FORMAT,
                    "format=%d; a DER or PEM certificate expected", static_cast<int>(format));
        return nullptr;
    }
    UniqueCert cert = CertFromBytes(data, dataSize, format);
    if (!cert)
        return nullptr;
    UniqueKeyData value(xmlSecMSCryptoCertAdopt(cert.get(), xmlSecKeyDataTypePublic));
    if (!value)
        return nullptr;
    UniqueKeyData x509(xmlSecKeyDataCreate(xmlSecMSCryptoKeyDataX509GetKlass()));
    if (!x509 || xmlSecMSCryptoKeyDataX509AdoptKeyCert(x509.get(), cert.get()) < 0) {
        xmlSecError(XMLSEC_ERRORS_HERE, nullptr, "xmlSecMSCryptoKeyDataX509AdoptKeyCert",
                    XMLSEC_ERRORS_R_XMLSEC_FAILED, XMLSEC_ERRORS_NO_MESSAGE);
        return nullptr;
    }
    UniqueXmlKey key(xmlSecKeyCreate());
    if (!key) {
        xmlSecError(XMLSEC_ERRORS_HERE, nullptr, "xmlSecKeyCreate", XMLSEC_ERRORS_R_XMLSEC_FAILED,
                    XMLSEC_ERRORS_NO_MESSAGE);
        return nullptr;
    }
    if (xmlSecKeySetValue(key.get(), value.get()) < 0) {
        xmlSecError(XMLSEC_ERRORS_HERE, nullptr, "xmlSecKeySetValue", XMLSEC_ERRORS_R_XMLSEC_FAILED,
                    XMLSEC_ERRORS_NO_MESSAGE);
        return nullptr;
    }
    (void)value.release(); // the key owns it now
    if (xmlSecKeyAdoptData(key.get(), x509.get()) < 0) {
        xmlSecError(XMLSEC_ERRORS_HERE, nullptr, "xmlSecKeyAdoptData", XMLSEC_ERRORS_R_XMLSEC_FAILED,
                    XMLSEC_ERRORS_NO_MESSAGE);
        return nullptr;
    }
    (void)x509.release();
    return key.release();
}

xmlSecKeyPtr xmlSecMSCryptoAppPkcs12Load(const char* filename, const char*, void*, void*)
{
    xmlSecAssert2(filename != nullptr, nullptr);
    ReportNotSupported(__func__, "a PKCS #12 file");
    return nullptr;
}

xmlSecKeyPtr xmlSecMSCryptoAppPkcs12LoadMemory(const xmlSecByte* data, xmlSecSize, const char*, void*, void*)
{
    xmlSecAssert2(data != nullptr, nullptr);
    ReportNotSupported(__func__, "a PKCS #12 file");
    return nullptr;
}

int xmlSecMSCryptoAppKeyCertLoad(xmlSecKeyPtr key, const char* filename, xmlSecKeyDataFormat format)
{
    xmlSecAssert2(key != nullptr, -1);
    xmlSecAssert2(filename != nullptr, -1);
    std::vector<xmlSecByte> bytes;
    if (!ReadFile(__func__, filename, bytes))
        return -1;
    return xmlSecMSCryptoAppKeyCertLoadMemory(key, bytes.data(), bytes.size(), format);
}

int xmlSecMSCryptoAppKeyCertLoadMemory(xmlSecKeyPtr key, const xmlSecByte* data, xmlSecSize dataSize,
                                       xmlSecKeyDataFormat format)
{
    xmlSecAssert2(key != nullptr, -1);
    xmlSecAssert2(data != nullptr || dataSize == 0, -1);
    if (!IsCertFormat(format)) {
        xmlSecError(XMLSEC_ERRORS_HERE, nullptr, nullptr, XMLSEC_ERRORS_R_INVALID_FORMAT,
                    "format=%d; a DER or PEM certificate expected", static_cast<int>(format));
        return -1;
    }
    UniqueCert cert = CertFromBytes(data, dataSize, format);
    if (!cert)
        return -1;
    xmlSecKeyDataPtr x509 = xmlSecKeyEnsureData(key, xmlSecMSCryptoKeyDataX509GetKlass());
    if (x509 == nullptr) {
        xmlSecError(XMLSEC_ERRORS_HERE, nullptr, "xmlSecKeyEnsureData", XMLSEC_ERRORS_R_XMLSEC_FAILED,
                    XMLSEC_ERRORS_NO_MESSAGE);
        return -1;
    }
    // The certificate of the key's own public key becomes the key certificate.
    xmlSecKeyDataPtr value = xmlSecKeyGetValue(key);
    bool ownCert = AlgorithmOfKeyData(value) != nullptr &&
                   SamePublicKey(xmlSecMSCryptoKeyDataGetCert(value), cert.get());
    return ownCert ? xmlSecMSCryptoKeyDataX509AdoptKeyCert(x509, cert.get())
                   : xmlSecMSCryptoKeyDataX509AdoptCert(x509, cert.get());
}

void* xmlSecMSCryptoAppGetDefaultPwdCallback(void)
{
    return nullptr;
}

#pragma GCC visibility pop
