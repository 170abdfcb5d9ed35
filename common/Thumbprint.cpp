#include "Thumbprint.h"

#include "Conversions.h"

#include <cctype>
#include <string>

namespace trumik::common {

bool ScanHexPair(const char* text, unsigned& value)
{
    auto at = reinterpret_cast<const unsigned char*>(text);
    while (*at && std::isspace(*at))
        ++at;
    // The field is two characters from the first one that is not white space;
    // a sign is one of them. A "0x" prefix needs no case of its own: in two
    // characters it reads as 0 either way.
    int width = 2;
    const bool negative = *at == '-';
    if (*at == '+' || *at == '-') {
        ++at;
        --width;
    }
    unsigned number = 0;
    int digits = 0;
    for (; digits < width && std::isxdigit(at[digits]); ++digits) {
        const unsigned char c = at[digits];
        number = number * 16 + (std::isdigit(c) ? unsigned(c - '0') : unsigned(std::tolower(c) - 'a' + 10));
    }
    if (digits == 0)
        return false;
    // As strtoul negates: "-5" is 0xFFFFFFFB.
    value = negative ? 0u - number : number;
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
