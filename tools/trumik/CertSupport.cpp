#include "CertSupport.h"

#include "Automation.h"
#include "CertBuilder.h"

#include <strings.h>
#include <vector>

namespace trumik::host {

bool EndsWithPem(const std::string& path)
{
    return path.size() >= 4 && strcasecmp(path.c_str() + path.size() - 4, ".pem") == 0;
}

std::optional<KeyLink> ReadKeyLink(PCCERT_CONTEXT cert)
{
    DWORD size = 0;
    if (!CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size) || size == 0)
        return std::nullopt;
    std::vector<uint64_t> buffer((size + 7) / 8);
    if (!CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, buffer.data(), &size))
        return std::nullopt;
    auto info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buffer.data());
    auto text = [](const char16_t* s) {
        size_t n = 0;
        while (s && s[n])
            ++n;
        return ToUtf8(s, n);
    };
    KeyLink link;
    link.container = text(info->pwszContainerName);
    link.provider = text(info->pwszProvName);
    link.providerType = info->dwProvType;
    link.flags = info->dwFlags;
    link.keySpec = info->dwKeySpec;
    return link;
}

bool SetKeyLink(PCCERT_CONTEXT cert, const std::string& container, bool machine, DWORD keySpec,
                trumik::csp::GostKind kind)
{
    std::u16string name = FromUtf8(container);
    std::u16string provider = kind == trumik::csp::GostKind::R2012_256   ? CP_GR3410_2012_PROV_W
                              : kind == trumik::csp::GostKind::R2012_512 ? CP_GR3410_2012_STRONG_PROV_W
                                                                         : CP_GR3410_2001_PROV_W;
    CRYPT_KEY_PROV_INFO info{};
    info.pwszContainerName = name.data();
    info.pwszProvName = provider.data();
    info.dwProvType = kind == trumik::csp::GostKind::R2012_256   ? PROV_GOST_2012_256
                      : kind == trumik::csp::GostKind::R2012_512 ? PROV_GOST_2012_512
                                                                 : PROV_GOST_2001_DH;
    info.dwFlags = machine ? CRYPT_MACHINE_KEYSET : 0;
    info.dwKeySpec = keySpec;
    return CertSetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, 0, &info) != FALSE;
}

std::string NameText(const CERT_NAME_BLOB& name)
{
    CERT_NAME_BLOB copy = name;
    DWORD n = CertNameToStrW(X509_ASN_ENCODING, &copy, CERT_X500_NAME_STR, nullptr, 0);
    if (n <= 1)
        return std::string();
    std::u16string text(n, u'\0');
    CertNameToStrW(X509_ASN_ENCODING, &copy, CERT_X500_NAME_STR, text.data(), n);
    return ToUtf8(text.data(), n - 1);
}

Bytes EncodedOf(PCCERT_CONTEXT cert)
{
    return Bytes(cert->pbCertEncoded, cert->pbCertEncoded + cert->cbCertEncoded);
}

bool WriteCertificate(const Bytes& der, const std::string& path)
{
    if (path == "-" || EndsWithPem(path))
        return WriteWholeFile(path, DerToPem(der, "CERTIFICATE"));
    return WriteWholeFile(path, std::string(der.begin(), der.end()));
}

UniqueCert FindByThumbprint(HCERTSTORE store, const Bytes& hash)
{
    CRYPT_HASH_BLOB blob{static_cast<DWORD>(hash.size()), const_cast<BYTE*>(hash.data())};
    return UniqueCert(
        CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_SHA1_HASH, &blob, nullptr));
}

std::string StoreLabel(const std::string& name, bool machine)
{
    return std::string(machine ? "the machine's" : "the user's") + " store \"" + name + "\"";
}

} // namespace trumik::host
