// CERT_KEY_PROV_INFO_PROP_ID: the stored form and the native one.
#include "KeyProvInfo.h"

#include "StoreInternal.h"

#include <cstring>

namespace trumik::crypt {

Bytes SerializeKeyProvInfo(const CRYPT_KEY_PROV_INFO& info)
{
    Bytes out(28, 0);
    auto put = [&](size_t at, DWORD v) {
        for (int i = 0; i < 4; ++i)
            out[at + i] = static_cast<BYTE>(v >> (8 * i));
    };
    put(8, info.dwProvType);
    put(12, info.dwFlags);
    put(16, info.cProvParam);
    put(24, info.dwKeySpec);
    auto putString = [&](size_t at, const char16_t* s) {
        if (!s)
            return;
        put(at, static_cast<DWORD>(out.size()));
        std::u16string str(s);
        for (char16_t ch : str) {
            out.push_back(static_cast<BYTE>(ch & 0xFF));
            out.push_back(static_cast<BYTE>(ch >> 8));
        }
        out.push_back(0);
        out.push_back(0);
    };
    putString(0, info.pwszContainerName);
    putString(4, info.pwszProvName);
    if (info.cProvParam && info.rgProvParam) {
        while (out.size() % 4)
            out.push_back(0);
        size_t table = out.size();
        put(20, static_cast<DWORD>(table));
        out.resize(table + 16 * static_cast<size_t>(info.cProvParam), 0);
        for (DWORD i = 0; i < info.cProvParam; ++i) {
            const CRYPT_KEY_PROV_PARAM& p = info.rgProvParam[i];
            size_t at = table + 16 * i;
            put(at, p.dwParam);
            put(at + 4, p.cbData ? static_cast<DWORD>(out.size()) : 0);
            put(at + 8, p.cbData);
            put(at + 12, p.dwFlags);
            if (p.cbData && p.pbData)
                out.insert(out.end(), p.pbData, p.pbData + p.cbData);
        }
    } else
        put(16, 0);
    return out;
}

bool ParseKeyProvInfo(const Bytes& b, KeyProvInfoParts& out)
{
    if (b.size() < 28)
        return false;
    auto str = [&](DWORD off, std::u16string& s, bool& has) {
        if (off == 0)
            return true;
        if (off >= b.size())
            return false;
        for (size_t i = off;; i += 2) {
            if (i + 1 >= b.size())
                return false;
            char16_t ch = static_cast<char16_t>(b[i] | (b[i + 1] << 8));
            if (!ch)
                break;
            s += ch;
        }
        has = true;
        return true;
    };
    if (!str(GetDword(&b[0]), out.container, out.hasContainer) ||
        !str(GetDword(&b[4]), out.provider, out.hasProvider))
        return false;
    out.type = GetDword(&b[8]);
    out.flags = GetDword(&b[12]);
    DWORD count = GetDword(&b[16]);
    DWORD off = GetDword(&b[20]);
    out.keySpec = GetDword(&b[24]);
    if (count > (b.size() / 16) || (count && (off > b.size() || b.size() - off < 16ull * count)))
        return false;
    for (DWORD i = 0; i < count; ++i) {
        const BYTE* p = &b[off + 16 * i];
        CRYPT_KEY_PROV_PARAM param{GetDword(p), nullptr, GetDword(p + 8), GetDword(p + 12)};
        DWORD dataOff = GetDword(p + 4);
        if (param.cbData && (dataOff > b.size() || b.size() - dataOff < param.cbData))
            return false;
        Bytes data = param.cbData ? Bytes(b.begin() + dataOff, b.begin() + dataOff + param.cbData) : Bytes();
        out.params.emplace_back(param, std::move(data));
    }
    return true;
}

Bytes NativeKeyProvInfo(const KeyProvInfoParts& parts)
{
    size_t size = sizeof(CRYPT_KEY_PROV_INFO) + parts.params.size() * sizeof(CRYPT_KEY_PROV_PARAM);
    size_t dataAt = size;
    for (auto& p : parts.params)
        size += p.second.size();
    size = (size + 1) & ~static_cast<size_t>(1);
    size_t containerAt = size;
    if (parts.hasContainer)
        size += (parts.container.size() + 1) * 2;
    size_t providerAt = size;
    if (parts.hasProvider)
        size += (parts.provider.size() + 1) * 2;
    Bytes out(size, 0);
    // The pointers are fixed up by the caller once the bytes are in place.
    CRYPT_KEY_PROV_INFO info{};
    info.dwProvType = parts.type;
    info.dwFlags = parts.flags;
    info.cProvParam = static_cast<DWORD>(parts.params.size());
    info.dwKeySpec = parts.keySpec;
    info.pwszContainerName = parts.hasContainer ? reinterpret_cast<LPWSTR>(containerAt) : nullptr;
    info.pwszProvName = parts.hasProvider ? reinterpret_cast<LPWSTR>(providerAt) : nullptr;
    info.rgProvParam = parts.params.empty() ? nullptr : reinterpret_cast<PCRYPT_KEY_PROV_PARAM>(sizeof info);
    std::memcpy(out.data(), &info, sizeof info);
    for (size_t i = 0; i < parts.params.size(); ++i) {
        CRYPT_KEY_PROV_PARAM p = parts.params[i].first;
        p.pbData = p.cbData ? reinterpret_cast<BYTE*>(dataAt) : nullptr;
        std::memcpy(out.data() + sizeof info + i * sizeof p, &p, sizeof p);
        if (p.cbData)
            std::memcpy(out.data() + dataAt, parts.params[i].second.data(), p.cbData);
        dataAt += p.cbData;
    }
    if (parts.hasContainer)
        std::memcpy(out.data() + containerAt, parts.container.data(), parts.container.size() * 2);
    if (parts.hasProvider)
        std::memcpy(out.data() + providerAt, parts.provider.data(), parts.provider.size() * 2);
    return out;
}

void FixUpKeyProvInfo(BYTE* buffer)
{
    auto base = reinterpret_cast<uintptr_t>(buffer);
    CRYPT_KEY_PROV_INFO info;
    std::memcpy(&info, buffer, sizeof info);
    if (info.pwszContainerName)
        info.pwszContainerName =
            reinterpret_cast<LPWSTR>(base + reinterpret_cast<uintptr_t>(info.pwszContainerName));
    if (info.pwszProvName)
        info.pwszProvName = reinterpret_cast<LPWSTR>(base + reinterpret_cast<uintptr_t>(info.pwszProvName));
    if (info.rgProvParam) {
        info.rgProvParam = reinterpret_cast<PCRYPT_KEY_PROV_PARAM>(base + sizeof info);
        for (DWORD i = 0; i < info.cProvParam; ++i) {
            CRYPT_KEY_PROV_PARAM p;
            std::memcpy(&p, buffer + sizeof info + i * sizeof p, sizeof p);
            if (p.pbData)
                p.pbData = reinterpret_cast<BYTE*>(base + reinterpret_cast<uintptr_t>(p.pbData));
            std::memcpy(buffer + sizeof info + i * sizeof p, &p, sizeof p);
        }
    }
    std::memcpy(buffer, &info, sizeof info);
}

} // namespace trumik::crypt
