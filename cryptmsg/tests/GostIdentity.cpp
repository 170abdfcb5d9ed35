#include "GostIdentity.h"

#include "csp/Containers.h"
#include "csp/ProviderSettings.h"

#include "testing/TestHome.h"

#include <gtest/gtest.h>
#include <winnls.h>

#include <stdexcept>

namespace trumik::cryptmsgtest {

namespace tt = trumik::testing;

namespace {

void Run(const std::string& command)
{
    std::string output;
    if (tt::RunCommand(command, &output) != 0)
        throw std::runtime_error("command failed: " + command + "\n" + output);
}

std::u16string Wide(const std::string& utf8)
{
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::u16string out(static_cast<size_t>(n), u'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
    return out;
}

} // namespace

std::string Utf8(std::u16string_view text)
{
    std::string out;
    for (char16_t c : text) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

GostIdentity MakeGostIdentity(const std::string& container, const IdentityOptions& options)
{
    GostIdentity id;
    id.container = container;
    id.dir = tt::MakeTempDir("id");
    const std::string d = id.dir.string();
    id.keyPem = id.dir / "key.pem";
    id.certPem = id.dir / "cert.pem";
    Run("openssl genpkey -engine gost -algorithm gost2001 -pkeyopt paramset:A -out " + d + "/key.pem" +
        " && openssl pkey -engine gost -in " + d + "/key.pem -outform DER -out " + d + "/key.der" +
        " && openssl req -engine gost -new -x509 -key " + d +
        "/key.pem -md_gost94 -days 30 -subj /CN=" + container.substr(0, 32) + " -out " + d +
        "/cert.pem && openssl x509 -in " + d + "/cert.pem -outform DER -out " + d + "/cert.der");
    std::string keyDer = tt::ReadFile(id.dir / "key.der");
    const auto scope = options.machineContainer ? csp::Scope::Machine : csp::Scope::User;
    DWORD rc = csp::CreateContainer(scope, container, options.keySpec,
                                    csp::Bytes(keyDer.begin(), keyDer.end()), options.pin, true);
    if (rc != 0)
        throw std::runtime_error("container not made: " + std::to_string(rc));

    std::string der = tt::ReadFile(id.dir / "cert.der");
    std::u16string store = Wide(options.store);
    std::u16string wideContainer = Wide(container);
    std::u16string provName = CP_GR3410_2001_PROV_W;
    for (Location where : {Location::User, Location::Machine}) {
        if (options.location != Location::Both && options.location != where)
            continue;
        HCERTSTORE h = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                     where == Location::User ? CERT_SYSTEM_STORE_CURRENT_USER
                                                             : CERT_SYSTEM_STORE_LOCAL_MACHINE,
                                     store.c_str());
        if (!h)
            throw std::runtime_error("store not opened");
        PCCERT_CONTEXT added = nullptr;
        if (!CertAddEncodedCertificateToStore(h, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
                                              static_cast<DWORD>(der.size()), CERT_STORE_ADD_REPLACE_EXISTING,
                                              &added))
            throw std::runtime_error("certificate not added");
        if (options.keyProvInfo) {
            CRYPT_KEY_PROV_INFO info{};
            info.pwszContainerName = options.namesContainer ? wideContainer.data() : nullptr;
            info.pwszProvName = provName.data();
            info.dwProvType = PROV_GOST_2001_DH;
            info.dwFlags = options.machineContainer ? CRYPT_MACHINE_KEYSET : 0;
            info.dwKeySpec = options.keySpec;
            if (!CertSetCertificateContextProperty(added, CERT_KEY_PROV_INFO_PROP_ID, 0, &info))
                throw std::runtime_error("key-provider information not set");
        }
        BYTE hash[20];
        DWORD size = sizeof hash;
        CertGetCertificateContextProperty(added, CERT_SHA1_HASH_PROP_ID, hash, &size);
        static const char digits[] = "0123456789ABCDEF";
        id.thumbprint.clear();
        for (BYTE b : hash) {
            id.thumbprint += digits[b >> 4];
            id.thumbprint += digits[b & 15];
        }
        CertFreeCertificateContext(added);
        CertCloseStore(h, 0);
    }
    return id;
}

void DeleteAllContainers()
{
    for (auto scope : {csp::Scope::User, csp::Scope::Machine})
        for (const auto& c : csp::ListContainers(scope))
            csp::DeleteContainer(scope, c.name);
}

ProviderVersionGuard::ProviderVersionGuard(DWORD version)
{
    csp::SetProviderVersion(version);
}
ProviderVersionGuard::~ProviderVersionGuard()
{
    csp::ResetProviderVersion();
}

} // namespace trumik::cryptmsgtest
