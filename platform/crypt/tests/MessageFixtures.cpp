#include "MessageFixtures.h"

#include "TestHome.h"
#include "csp/Containers.h"

#include <gtest/gtest.h>
#include <openssl/sha.h>

namespace trumik::crypttest {

Recipient MakeRecipient(const std::string& name, const std::string& container,
                        const std::optional<std::string>& pin, bool inStore, const std::string& algorithm)
{
    const std::string md = algorithm == "gost2012_256"   ? "-md_gost12_256"
                           : algorithm == "gost2012_512" ? "-md_gost12_512"
                                                         : "-md_gost94";
    const DWORD provType = algorithm == "gost2012_256" ? 80 : algorithm == "gost2012_512" ? 81 : 75;
    Recipient r;
    r.container = container;
    r.pin = pin;
    auto dir = trumik::testing::MakeTempDir("recipient-" + name);
    std::string cd = "cd '" + dir.string() + "' && ";
    Sh(cd + "openssl genpkey -engine gost -algorithm " + algorithm +
       " -pkeyopt paramset:A -out key.pem 2>&1 && "
       "openssl pkey -engine gost -in key.pem -outform DER -out key.der 2>&1 && "
       "openssl req -engine gost -x509 -new -key key.pem " +
       md + " -days 30 -subj '/CN=" + name +
       "' -addext 'keyUsage=digitalSignature,keyEncipherment' -out cert.pem 2>&1 && "
       "openssl x509 -in cert.pem -outform DER -out cert.der");
    r.certDer = dir / "cert.der";
    r.certPem = dir / "cert.pem";
    r.keyPem = dir / "key.pem";
    r.cert = ReadBytes(r.certDer);
    if (!container.empty()) {
        Bytes pkcs8 = ReadBytes(dir / "key.der");
        EXPECT_EQ(trumik::csp::CreateContainer(trumik::csp::Scope::User, container, AT_KEYEXCHANGE, pkcs8,
                                               pin, true),
                  0u);
    }
    if (inStore) {
        UniqueStore my = OpenMy();
        PCCERT_CONTEXT added = nullptr;
        EXPECT_TRUE(CertAddEncodedCertificateToStore(my.get(), X509_ASN_ENCODING, r.cert.data(),
                                                     static_cast<DWORD>(r.cert.size()),
                                                     CERT_STORE_ADD_REPLACE_EXISTING, &added));
        UniqueCert guard(added);
        if (!container.empty()) {
            std::u16string wide = U16(container);
            CRYPT_KEY_PROV_INFO info{};
            info.pwszContainerName = wide.data();
            info.dwProvType = provType;
            info.dwKeySpec = AT_KEYEXCHANGE;
            EXPECT_TRUE(CertSetCertificateContextProperty(added, CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
        }
    }
    return r;
}

UniqueStore OpenMy()
{
    UniqueStore s(CertOpenSystemStoreA(0, "My"));
    EXPECT_TRUE(s);
    return s;
}

UniqueCert FindInStore(HCERTSTORE store, const Bytes& certDer)
{
    BYTE hash[SHA_DIGEST_LENGTH];
    SHA1(certDer.data(), certDer.size(), hash);
    CRYPT_HASH_BLOB blob{SHA_DIGEST_LENGTH, hash};
    return UniqueCert(
        CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_SHA1_HASH, &blob, nullptr));
}

CRYPT_ENCRYPT_MESSAGE_PARA GostEncryptPara()
{
    CRYPT_ENCRYPT_MESSAGE_PARA para{};
    para.cbSize = sizeof(para);
    para.dwMsgEncodingType = PKCS_7_ASN_ENCODING | X509_ASN_ENCODING;
    para.ContentEncryptionAlgorithm.pszObjId = const_cast<char*>(szOID_CP_GOST_28147);
    return para;
}

CRYPT_DECRYPT_MESSAGE_PARA DecryptPara(HCERTSTORE* store)
{
    CRYPT_DECRYPT_MESSAGE_PARA para{};
    para.cbSize = sizeof(para);
    para.dwMsgAndCertEncodingType = PKCS_7_ASN_ENCODING | X509_ASN_ENCODING;
    para.cCertStore = 1;
    para.rghCertStore = store;
    para.dwFlags = CRYPT_MESSAGE_SILENT_KEYSET_FLAG;
    return para;
}

std::optional<Bytes> EncryptFor(PCCERT_CONTEXT recipient, const Bytes& plain)
{
    CRYPT_ENCRYPT_MESSAGE_PARA para = GostEncryptPara();
    PCCERT_CONTEXT recipients[] = {recipient};
    DWORD size = 0;
    if (!CryptEncryptMessage(&para, 1, recipients, plain.data(), static_cast<DWORD>(plain.size()), nullptr,
                             &size))
        return std::nullopt;
    Bytes out(size);
    if (!CryptEncryptMessage(&para, 1, recipients, plain.data(), static_cast<DWORD>(plain.size()), out.data(),
                             &size))
        return std::nullopt;
    out.resize(size);
    return out;
}

std::optional<Bytes> DecryptWith(HCERTSTORE store, const Bytes& message, PCCERT_CONTEXT* exchangeCert)
{
    HCERTSTORE stores[] = {store};
    CRYPT_DECRYPT_MESSAGE_PARA para = DecryptPara(stores);
    DWORD size = 0;
    if (!CryptDecryptMessage(&para, message.data(), static_cast<DWORD>(message.size()), nullptr, &size,
                             nullptr))
        return std::nullopt;
    Bytes out(size + 1); // never a null buffer, which would ask for the size again
    if (!CryptDecryptMessage(&para, message.data(), static_cast<DWORD>(message.size()), out.data(), &size,
                             exchangeCert))
        return std::nullopt;
    out.resize(size);
    return out;
}

} // namespace trumik::crypttest
