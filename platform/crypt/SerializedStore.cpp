// Serialized stores: a zero DWORD, the magic "CERT", then elements
// { DWORD id; DWORD encoding (1); DWORD length; data } (a certificate's or a
// CRL's properties before it), ended by a zero element. The same elements,
// without the header, are the Blob of a system store's registry key.
#include "StoreInternal.h"

namespace trumik::crypt {

// A certificate object from serialized elements: properties, then the cert.
CertObject* CertFromElements(const std::vector<ParsedElement>& elems, size_t& i)
{
    std::map<DWORD, Bytes> props;
    for (; i < elems.size(); ++i) {
        const ParsedElement& e = elems[i];
        if (e.id == kCertElement) {
            CertObject* c = ParseCertificate(e.data, e.size);
            ++i;
            if (c)
                c->props = std::move(props);
            return c;
        }
        if (e.id == kCrlElement || e.id == kCtlElement)
            return nullptr;
        props[e.id] = Bytes(e.data, e.data + e.size);
    }
    return nullptr;
}

bool LoadSerialized(Store* s, const BYTE* data, size_t size)
{
    std::vector<ParsedElement> elems;
    if (size < 8 || GetDword(data) != 0 || GetDword(data + 4) != kFileMagic ||
        !SplitElements(data + 8, size - 8, elems, true)) {
        Fail(CRYPT_E_FILE_ERROR);
        return false;
    }
    size_t i = 0;
    while (i < elems.size()) {
        const ParsedElement& e = elems[i];
        if (e.id == kCrlElement) {
            AddParsedCrl(s, e.data, e.size);
            ++i;
            continue;
        }
        if (e.id == kCtlElement) {
            ++i;
            continue;
        }
        size_t before = i;
        std::unique_ptr<CertObject> c(CertFromElements(elems, i));
        if (!c) {
            if (i == before || i >= elems.size() || elems[i - 1].id == kCertElement) {
                Fail(CRYPT_E_FILE_ERROR);
                return false;
            }
            continue; // properties followed by a CRL: dropped
        }
        AddCert(s, std::move(c), CERT_STORE_ADD_ALWAYS, nullptr);
    }
    return true;
}

Bytes SaveSerialized(const Store& s)
{
    Bytes out;
    PutDword(out, 0);
    PutDword(out, kFileMagic);
    for (CertObject* c : s.certs) {
        Bytes e = SerializeCert(*c);
        out.insert(out.end(), e.begin(), e.end());
    }
    for (CrlObject* c : s.crls) {
        Bytes e = SerializeCrl(*c);
        out.insert(out.end(), e.begin(), e.end());
    }
    out.insert(out.end(), 12, 0);
    return out;
}

HCERTSTORE OpenSerializedStore(LPCSTR, DWORD, const void* para)
{
    return OpenBlobStore(para, LoadSerialized, 0);
}

void AppendElement(Bytes& out, DWORD id, const BYTE* data, size_t size)
{
    PutDword(out, id);
    PutDword(out, 1);
    PutDword(out, static_cast<DWORD>(size));
    if (size)
        out.insert(out.end(), data, data + size);
}

Bytes SerializeCert(const CertObject& cert)
{
    Bytes out;
    for (const auto& [id, v] : cert.props)
        if (Persistent(id))
            AppendElement(out, id, v.data(), v.size());
    AppendElement(out, kCertElement, cert.encoded.data(), cert.encoded.size());
    return out;
}

Bytes SerializeCrl(const CrlObject& crl)
{
    Bytes out;
    for (const auto& [id, v] : crl.props)
        AppendElement(out, id, v.data(), v.size());
    AppendElement(out, kCrlElement, crl.encoded.data(), crl.encoded.size());
    return out;
}

bool SplitElements(const BYTE* data, size_t size, std::vector<ParsedElement>& out, bool stopAtZero)
{
    size_t pos = 0;
    while (pos < size) {
        if (size - pos < 12)
            return false;
        DWORD id = GetDword(data + pos);
        DWORD len = GetDword(data + pos + 8);
        pos += 12;
        if (len > size - pos)
            return false;
        if (id == 0 && stopAtZero)
            return len == 0;
        out.push_back({id, data + pos, len});
        pos += len;
    }
    return !stopAtZero; // a file ends with its zero element
}

} // namespace trumik::crypt
