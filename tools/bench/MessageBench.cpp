// One CMS message operation per run, for tools/bench.sh to time beside
// `openssl cms` (wall time and peak memory of the whole process):
//   message_bench setup <key.der> <cert.der>   the key into the container "bench-recipient",
//                                                the certificate into "My", linked to it
//   message_bench encrypt <in> <out>            CryptEncryptMessage for that certificate
//   message_bench decrypt <in> <out>            CryptDecryptMessage against "My"
#include "csp/Containers.h"
#include "internal/CryptHandles.h"
#include "wincrypt.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<BYTE>;
const char* kContainer = "bench-recipient";

bool ReadFile(const char* path, Bytes* out)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    in.seekg(0, std::ios::end);
    out->resize(static_cast<size_t>(in.tellg()));
    in.seekg(0);
    return static_cast<bool>(
        in.read(reinterpret_cast<char*>(out->data()), static_cast<std::streamsize>(out->size())));
}

bool WriteFile(const char* path, const BYTE* data, size_t size)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    return static_cast<bool>(out);
}

using trumik::platform::UniqueCert;
using trumik::platform::UniqueStore;

int Fail(const char* what)
{
    std::fprintf(stderr, "message_bench: %s failed (0x%08X)\n", what, GetLastError());
    return 1;
}

int Setup(const char* keyPath, const char* certPath)
{
    Bytes key, cert;
    if (!ReadFile(keyPath, &key) || !ReadFile(certPath, &cert))
        return Fail("reading the key or certificate");
    trumik::csp::DeleteContainer(trumik::csp::Scope::User, kContainer);
    if (trumik::csp::CreateContainer(trumik::csp::Scope::User, kContainer, AT_KEYEXCHANGE, key, std::nullopt,
                                     false) != 0)
        return Fail("creating the container");
    UniqueStore my(CertOpenSystemStoreA(0, "My"));
    PCCERT_CONTEXT added = nullptr;
    if (!my || !CertAddEncodedCertificateToStore(my.get(), X509_ASN_ENCODING, cert.data(),
                                                 static_cast<DWORD>(cert.size()),
                                                 CERT_STORE_ADD_REPLACE_EXISTING, &added))
        return Fail("adding the certificate");
    UniqueCert guard(added);
    std::u16string container(kContainer, kContainer + std::strlen(kContainer));
    CRYPT_KEY_PROV_INFO info{};
    info.pwszContainerName = container.data();
    info.dwProvType = 75;
    info.dwKeySpec = AT_KEYEXCHANGE;
    if (!CertSetCertificateContextProperty(added, CERT_KEY_PROV_INFO_PROP_ID, 0, &info))
        return Fail("linking the certificate to its container");
    return 0;
}

int Encrypt(const char* inPath, const char* outPath)
{
    Bytes plain;
    if (!ReadFile(inPath, &plain))
        return Fail("reading the input");
    UniqueStore my(CertOpenSystemStoreA(0, "My"));
    UniqueCert cert(my ? CertEnumCertificatesInStore(my.get(), nullptr) : nullptr);
    if (!cert)
        return Fail("finding the certificate");
    CRYPT_ENCRYPT_MESSAGE_PARA para{};
    para.cbSize = sizeof(para);
    para.dwMsgEncodingType = PKCS_7_ASN_ENCODING | X509_ASN_ENCODING;
    para.ContentEncryptionAlgorithm.pszObjId = const_cast<char*>(szOID_CP_GOST_28147);
    PCCERT_CONTEXT recipients[] = {cert.get()};
    DWORD size = 0;
    if (!CryptEncryptMessage(&para, 1, recipients, plain.data(), static_cast<DWORD>(plain.size()), nullptr,
                             &size))
        return Fail("CryptEncryptMessage (size)");
    Bytes message(size);
    if (!CryptEncryptMessage(&para, 1, recipients, plain.data(), static_cast<DWORD>(plain.size()),
                             message.data(), &size))
        return Fail("CryptEncryptMessage");
    return WriteFile(outPath, message.data(), size) ? 0 : Fail("writing the output");
}

int Decrypt(const char* inPath, const char* outPath)
{
    Bytes message;
    if (!ReadFile(inPath, &message))
        return Fail("reading the input");
    UniqueStore my(CertOpenSystemStoreA(0, "My"));
    HCERTSTORE stores[] = {my.get()};
    CRYPT_DECRYPT_MESSAGE_PARA para{};
    para.cbSize = sizeof(para);
    para.dwMsgAndCertEncodingType = PKCS_7_ASN_ENCODING | X509_ASN_ENCODING;
    para.cCertStore = 1;
    para.rghCertStore = stores;
    para.dwFlags = CRYPT_MESSAGE_SILENT_KEYSET_FLAG;
    DWORD size = 0;
    if (!CryptDecryptMessage(&para, message.data(), static_cast<DWORD>(message.size()), nullptr, &size,
                             nullptr))
        return Fail("CryptDecryptMessage (size)");
    Bytes plain(size + 1);
    if (!CryptDecryptMessage(&para, message.data(), static_cast<DWORD>(message.size()), plain.data(), &size,
                             nullptr))
        return Fail("CryptDecryptMessage");
    return WriteFile(outPath, plain.data(), size) ? 0 : Fail("writing the output");
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 4 && std::strcmp(argv[1], "setup") == 0)
        return Setup(argv[2], argv[3]);
    if (argc == 4 && std::strcmp(argv[1], "encrypt") == 0)
        return Encrypt(argv[2], argv[3]);
    if (argc == 4 && std::strcmp(argv[1], "decrypt") == 0)
        return Decrypt(argv[2], argv[3]);
    std::fprintf(stderr, "usage: message_bench setup <key.der> <cert.der> | encrypt|decrypt <in> <out>\n");
    return 2;
}
