// Internal objects behind the certificate and store handles of crypt32.
#pragma once

#include "kernel/CodePages.h"
#include "wincrypt.h"

#include <atomic>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace trumik::crypt {

using Bytes = std::vector<BYTE>;

// One lock guards every store and context: calls are short, and the
// component opens, finds and closes a store per call.
std::recursive_mutex& Lock();

struct Store;

// A certificate context. The public CERT_CONTEXT comes first so that the
// handle Windows callers hold is this object's address.
struct CertObject {
    CERT_CONTEXT pub{};
    std::atomic<int> refs{1};
    Bytes encoded;
    Bytes sha1; // of the encoded bytes
    // Storage behind pub.pCertInfo.
    CERT_INFO info{};
    std::deque<std::string> oids;
    std::deque<Bytes> blobs;
    std::vector<CERT_EXTENSION> extensions;
    // Properties by id, in the form they are serialized in.
    std::map<DWORD, Bytes> props;
    Store* store = nullptr; // the store it lives in (a reference is held per outside reference)
    bool inStore = false;
};

struct CrlObject {
    CRL_CONTEXT pub{};
    std::atomic<int> refs{1};
    Bytes encoded;
    Bytes sha1;
    CRL_INFO info{};
    std::deque<std::string> oids;
    std::deque<Bytes> blobs;
    std::vector<CRL_ENTRY> entries;
    std::deque<std::vector<CERT_EXTENSION>> entryExtensions;
    std::vector<CERT_EXTENSION> extensions;
    std::map<DWORD, Bytes> props;
    Store* store = nullptr;
    bool inStore = false;
};

inline CertObject* ToObject(PCCERT_CONTEXT c)
{
    return reinterpret_cast<CertObject*>(const_cast<CERT_CONTEXT*>(c));
}
inline CrlObject* ToObject(PCCRL_CONTEXT c)
{
    return reinterpret_cast<CrlObject*>(const_cast<CRL_CONTEXT*>(c));
}

// Parses a DER certificate into a new object (refs 1, no store); null with
// the last error set on failure.
CertObject* ParseCertificate(const BYTE* data, size_t size);
CrlObject* ParseCrl(const BYTE* data, size_t size);
// The last error for DER that OpenSSL refused: bad tag, end of data or corrupt.
DWORD DerErrorCode(const BYTE* data, size_t size);

Bytes Sha1(const Bytes& data);
Bytes Md5(const Bytes& data);
std::u16string HexUpper(const Bytes& data);
std::u16string SimpleDisplayName(const CERT_NAME_BLOB& name);
// The first value of an attribute (any attribute for NID_undef), or empty.
std::u16string FirstAttribute(const BYTE* der, size_t size, int nid);

// The name as CertNameToStrW writes it (no NUL).
std::u16string NameToString(const BYTE* der, size_t size, DWORD strType);
using trumik::platform::Utf16ToUtf8;
using trumik::platform::Utf8ToUtf16;
// Text given to an ...A entry point: bytes of the system ANSI code page.
std::u16string AnsiToUtf16(const char* s);

// Serialized-store elements: { DWORD id; DWORD encoding (1); DWORD length; data }.
constexpr DWORD kCertElement = 32;
constexpr DWORD kCrlElement = 33;
constexpr DWORD kCtlElement = 34;
void AppendElement(Bytes& out, DWORD id, const BYTE* data, size_t size);
Bytes SerializeCert(const CertObject& cert);
Bytes SerializeCrl(const CrlObject& crl);

struct ParsedElement {
    DWORD id;
    const BYTE* data;
    DWORD size;
};
// Splits elements; false when a length runs past the end.
bool SplitElements(const BYTE* data, size_t size, std::vector<ParsedElement>& out, bool stopAtZero);

} // namespace trumik::crypt
