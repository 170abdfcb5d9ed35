#include "Thumbprint.h"

#include "Conversions.h"

#include <cctype>
#include <string>

namespace trumik::common {

bool ScanHexPair(const char* text, unsigned& value)
{
    while (*text && std::isspace(static_cast<unsigned char>(*text)))
        ++text;
    unsigned result = 0;
    int digits = 0;
    for (; digits < 2 && std::isxdigit(static_cast<unsigned char>(text[digits])); ++digits) {
        const char c = text[digits];
        const unsigned d = std::isdigit(static_cast<unsigned char>(c))
                               ? unsigned(c - '0')
                               : unsigned(std::tolower(static_cast<unsigned char>(c)) - 'a' + 10);
        result = result * 16 + d;
    }
    if (digits == 0)
        return false;
    value = result;
    return true;
}

bool ParseThumbprint(BSTR thumbprint, std::array<BYTE, 20>& hash)
{
    const std::string bytes = BytePerCharacter(thumbprint);
    const size_t length = std::string(bytes.c_str()).size();
    if (length / 2 != 20)
        return false;
    for (size_t i = 0; i < 40; i += 2) {
        unsigned value = 0;
        ScanHexPair(bytes.c_str() + i, value);
        hash[i / 2] = static_cast<BYTE>(value & 0xFF);
    }
    return true;
}

UniqueCertContext FindByThumbprint(HCERTSTORE store, BSTR thumbprint)
{
    std::array<BYTE, 20> hash{};
    if (!store || !ParseThumbprint(thumbprint, hash))
        return nullptr;
    CRYPT_HASH_BLOB blob{static_cast<DWORD>(hash.size()), hash.data()};
    return UniqueCertContext(CertFindCertificateInStore(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                                        CERT_FIND_SHA1_HASH, &blob, nullptr));
}

} // namespace trumik::common
