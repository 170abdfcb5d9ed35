// Provider contexts of the GOST providers of types 75 (GOST R 34.10-2001),
// 80 and 81 (GOST R 34.10-2012, 256 and 512 bits): CryptAcquireContext,
// CryptReleaseContext, CryptContextAddRef, CryptGetProvParam, CryptSetProvParam.
//
// The three providers share one set of key containers: a context of any
// type opens any container, and a key's own algorithm decides what it can do.
//
// Containers are named by their unique name (for this provider the name
// itself) or by the fully qualified name "\\.\HDIMAGE\<name>". A context that
// is not verify-only and names no container opens the default container: the
// one named after the login name of the process's user.
//
// Key pairs on PKCS #11 tokens are containers too, named "\\.\<token
// label>\<CKA_ID in hex>" only, listed by the provider types their keys fit.
#include "csp/CspInternal.h"
#include "csp/ProviderSettings.h"
#include "csp/Tokens.h"

#include "kernel/CodePages.h"
#include "winnls.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <pwd.h>
#include <unistd.h>

namespace trumik::csp {

namespace {

constexpr const char* kReaderPrefix = "\\\\.\\HDIMAGE\\";
constexpr DWORD kAcquireFlags = CRYPT_VERIFYCONTEXT | CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET |
                                CRYPT_MACHINE_KEYSET | CRYPT_SILENT | CRYPT_DEFAULT_CONTAINER_OPTIONAL;

struct ProviderEntry {
    std::shared_ptr<ProviderContext> context;
    DWORD references = 1;
};

struct PinEntry {
    std::string pin;
    DWORD contexts = 0;
};

std::mutex& StateMutex()
{
    static std::mutex mutex;
    return mutex;
}

std::map<HCRYPTPROV, ProviderEntry>& Providers()
{
    static std::map<HCRYPTPROV, ProviderEntry> table;
    return table;
}

std::map<std::pair<Scope, std::string>, PinEntry>& Pins()
{
    static std::map<std::pair<Scope, std::string>, PinEntry> pins;
    return pins;
}

// Drops the context's share of the process-wide PIN; the caller holds the lock.
void UnregisterPin(ProviderContext& context)
{
    if (!context.pinRegistered)
        return;
    context.pinRegistered = false;
    auto it = Pins().find({context.scope, context.container});
    if (it != Pins().end() && --it->second.contexts == 0)
        Pins().erase(it);
}

std::string LoginName()
{
    std::vector<char> buffer(16384);
    passwd pw{};
    passwd* result = nullptr;
    if (getpwuid_r(geteuid(), &pw, buffer.data(), buffer.size(), &result) == 0 && result && result->pw_name &&
        *result->pw_name)
        return result->pw_name;
    const char* user = std::getenv("USER");
    return user && *user ? user : "default";
}

bool EqualsIgnoreCase(const std::string& a, const std::string& b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// A container argument to its name: strips "\\.\HDIMAGE\"; false for another
// reader or a name that cannot be a container's.
bool ResolveContainerName(const std::string& given, std::string* name)
{
    std::string value = given;
    if (value.rfind("\\\\.\\", 0) == 0) {
        std::string rest = value.substr(4);
        size_t slash = rest.find('\\');
        if (slash == std::string::npos || !EqualsIgnoreCase(rest.substr(0, slash), "HDIMAGE"))
            return false;
        value = rest.substr(slash + 1);
    }
    if (value.empty())
        value = LoginName();
    if (!IsValidContainerName(value))
        return false;
    *name = value;
    return true;
}

std::string ToAnsi(const std::string& utf8)
{
    return trumik::platform::Utf16ToCodePage(trumik::platform::Utf8ToUtf16(utf8),
                                             trumik::platform::ResolveCodePage(CP_ACP));
}

std::string FromAnsi(const char* ansi)
{
    return trumik::platform::Utf16ToUtf8(
        trumik::platform::CodePageToUtf16(ansi, trumik::platform::ResolveCodePage(CP_ACP)));
}

// The name of the default provider of a type; null for a type not served here.
const char* ProviderName(DWORD type)
{
    switch (type) {
    case PROV_GOST_2001_DH:
        return CP_GR3410_2001_PROV_A;
    case PROV_GOST_2012_256:
        return CP_GR3410_2012_PROV_A;
    case PROV_GOST_2012_512:
        return CP_GR3410_2012_STRONG_PROV_A;
    default:
        return nullptr;
    }
}

// A container argument that names a key pair on a token, in the form the
// provider lists it (lower-case CKA_ID).
bool TokenKeyName(const std::optional<std::string>& given, std::string* name)
{
    std::string label;
    Bytes id;
    if (!given || !ParseTokenContainerName(*given, &label, &id))
        return false;
    *name = TokenContainerName(label, id);
    return true;
}

BOOL Acquire(HCRYPTPROV* phProv, const std::optional<std::string>& container,
             const std::optional<std::string>& provider, DWORD dwProvType, DWORD dwFlags)
{
    if (!phProv && !(dwFlags & CRYPT_DELETEKEYSET))
        return Fail(ERROR_INVALID_PARAMETER);
    const char* providerName = ProviderName(dwProvType);
    if (!providerName)
        return Fail(NTE_PROV_TYPE_NOT_DEF);
    if (provider && !provider->empty() && !EqualsIgnoreCase(*provider, providerName))
        return Fail(NTE_KEYSET_NOT_DEF);
    if ((dwFlags & ~kAcquireFlags) != 0 || ((dwFlags & CRYPT_NEWKEYSET) && (dwFlags & CRYPT_DELETEKEYSET)) ||
        ((dwFlags & CRYPT_VERIFYCONTEXT) == CRYPT_VERIFYCONTEXT &&
         (dwFlags & (CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET))))
        return Fail(NTE_BAD_FLAGS);
    auto context = std::make_shared<ProviderContext>();
    context->provType = dwProvType;
    context->scope = (dwFlags & CRYPT_MACHINE_KEYSET) ? Scope::Machine : Scope::User;
    if ((dwFlags & CRYPT_VERIFYCONTEXT) == CRYPT_VERIFYCONTEXT) {
        if (container && !container->empty())
            return Fail(NTE_BAD_FLAGS);
        context->verifyOnly = true;
    } else if (std::string label; TokenKeyName(container, &label)) {
        // Key pairs on a token are made and removed by the token's tools.
        if (dwFlags & (CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET))
            return Fail(NTE_NOT_SUPPORTED);
        if (DWORD rc = OpenTokenContainer(label))
            return Fail(rc);
        context->container = label;
        context->kind = &kTokenContainers;
    } else {
        std::string name;
        if (!ResolveContainerName(container.value_or(std::string()), &name))
            return Fail(NTE_BAD_KEYSET);
        if (dwFlags & CRYPT_DELETEKEYSET) {
            if (DWORD rc = DeleteContainerFile(context->scope, name))
                return Fail(rc);
            SetLastError(ERROR_SUCCESS);
            return TRUE;
        }
        DWORD rc = (dwFlags & CRYPT_NEWKEYSET) ? WriteContainer(context->scope, name, ContainerData{}, true)
                                               : ReadContainer(context->scope, name, nullptr);
        if (rc)
            return Fail(rc);
        context->container = name;
    }
    std::lock_guard lock(StateMutex());
    HCRYPTPROV handle = NewHandleValue();
    Providers().emplace(handle, ProviderEntry{std::move(context), 1});
    *phProv = handle;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL CopyString(BYTE* pbData, DWORD* pdwDataLen, const std::string& text)
{
    return CopyOut(pbData, pdwDataLen, text.c_str(), text.size() + 1);
}

std::string EnumForm(const std::string& name, DWORD dwFlags)
{
    std::string ansi = ToAnsi(name);
    // A token's key pair has its fully qualified name only.
    if (name.rfind("\\\\.\\", 0) == 0)
        return ansi;
    return (dwFlags & CRYPT_FQCN) ? kReaderPrefix + ansi : ansi;
}

BOOL EnumContainers(ProviderContext& context, BYTE* pbData, DWORD* pdwDataLen, DWORD dwFlags)
{
    if (dwFlags & ~DWORD(CRYPT_FIRST | CRYPT_NEXT | CRYPT_UNIQUE | CRYPT_FQCN | CRYPT_MACHINE_KEYSET))
        return Fail(NTE_BAD_FLAGS);
    if ((dwFlags & CRYPT_FIRST) || !context.enumStarted) {
        context.enumNames = ListContainerNames(context.scope);
        for (auto& name : TokenContainerNames(context.provType))
            context.enumNames.push_back(std::move(name));
        context.enumNext = 0;
        context.enumStarted = true;
    }
    if (!pbData) {
        // The size that holds every name of the listing.
        if (context.enumNames.empty())
            return Fail(ERROR_NO_MORE_ITEMS);
        size_t largest = 0;
        for (const auto& name : context.enumNames)
            largest = std::max(largest, EnumForm(name, dwFlags).size() + 1);
        *pdwDataLen = static_cast<DWORD>(largest);
        return TRUE;
    }
    if (context.enumNext >= context.enumNames.size())
        return Fail(ERROR_NO_MORE_ITEMS);
    if (!CopyString(pbData, pdwDataLen, EnumForm(context.enumNames[context.enumNext], dwFlags)))
        return FALSE; // too small: the same name comes next time
    ++context.enumNext;
    return TRUE;
}

} // namespace

ULONG_PTR NewHandleValue()
{
    static std::atomic<ULONG_PTR> next{0x10000};
    return next.fetch_add(4);
}

std::shared_ptr<ProviderContext> LookupProvider(HCRYPTPROV handle)
{
    std::lock_guard lock(StateMutex());
    auto it = Providers().find(handle);
    return it == Providers().end() ? nullptr : it->second.context;
}

std::optional<std::string> PinFor(const ProviderContext& context)
{
    if (context.pin)
        return context.pin;
    return CachedPin(context.scope, context.container);
}

std::optional<std::string> CachedPin(Scope scope, const std::string& name)
{
    std::lock_guard lock(StateMutex());
    auto it = Pins().find({scope, name});
    if (it == Pins().end())
        return std::nullopt;
    return it->second.pin;
}

BOOL CopyOut(BYTE* pbData, DWORD* pdwDataLen, const void* data, size_t size)
{
    DWORD needed = static_cast<DWORD>(size);
    if (!pbData) {
        *pdwDataLen = needed;
        return TRUE;
    }
    if (*pdwDataLen < needed) {
        *pdwDataLen = needed;
        return Fail(ERROR_MORE_DATA);
    }
    std::memcpy(pbData, data, size);
    *pdwDataLen = needed;
    return TRUE;
}

BOOL CopyDword(BYTE* pbData, DWORD* pdwDataLen, DWORD value)
{
    return CopyOut(pbData, pdwDataLen, &value, sizeof value);
}

} // namespace trumik::csp

using namespace trumik::csp;

BOOL WINAPI CryptAcquireContextA(HCRYPTPROV* phProv, LPCSTR szContainer, LPCSTR szProvider, DWORD dwProvType,
                                 DWORD dwFlags)
{
    std::optional<std::string> container, provider;
    if (szContainer)
        container = FromAnsi(szContainer);
    if (szProvider)
        provider = FromAnsi(szProvider);
    return Acquire(phProv, container, provider, dwProvType, dwFlags);
}

BOOL WINAPI CryptAcquireContextW(HCRYPTPROV* phProv, LPCWSTR szContainer, LPCWSTR szProvider,
                                 DWORD dwProvType, DWORD dwFlags)
{
    std::optional<std::string> container, provider;
    if (szContainer)
        container = trumik::platform::Utf16ToUtf8(szContainer);
    if (szProvider)
        provider = trumik::platform::Utf16ToUtf8(szProvider);
    return Acquire(phProv, container, provider, dwProvType, dwFlags);
}

BOOL WINAPI CryptReleaseContext(HCRYPTPROV hProv, DWORD dwFlags)
{
    std::shared_ptr<ProviderContext> released; // destroyed outside the lock
    {
        std::lock_guard lock(StateMutex());
        auto it = Providers().find(hProv);
        if (it == Providers().end())
            return Fail(NTE_BAD_UID);
        if (--it->second.references == 0) {
            released = std::move(it->second.context);
            UnregisterPin(*released);
            Providers().erase(it);
        }
    }
    // As on Windows, non-zero flags fail the call but the context is released.
    if (dwFlags != 0)
        return Fail(NTE_BAD_FLAGS);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL WINAPI CryptContextAddRef(HCRYPTPROV hProv, DWORD* pdwReserved, DWORD dwFlags)
{
    if (pdwReserved)
        return Fail(ERROR_INVALID_PARAMETER);
    if (dwFlags != 0)
        return Fail(NTE_BAD_FLAGS);
    std::lock_guard lock(StateMutex());
    auto it = Providers().find(hProv);
    if (it == Providers().end())
        return Fail(NTE_BAD_UID);
    ++it->second.references;
    return TRUE;
}

BOOL WINAPI CryptGetProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen, DWORD dwFlags)
{
    auto context = LookupProvider(hProv);
    if (!context)
        return Fail(NTE_BAD_UID);
    if (!pdwDataLen)
        return Fail(ERROR_INVALID_PARAMETER);
    if (dwParam == PP_ENUMCONTAINERS) {
        std::lock_guard lock(StateMutex()); // the enumeration state is the context's
        return EnumContainers(*context, pbData, pdwDataLen, dwFlags);
    }
    if (dwFlags != 0)
        return Fail(NTE_BAD_FLAGS);
    switch (dwParam) {
    case PP_NAME:
        return CopyString(pbData, pdwDataLen, ProviderName(context->provType));
    case PP_VERSION:
        return CopyDword(pbData, pdwDataLen, ProviderVersion());
    case PP_PROVTYPE:
        return CopyDword(pbData, pdwDataLen, context->provType);
    case PP_IMPTYPE:
        return CopyDword(pbData, pdwDataLen, CRYPT_IMPL_SOFTWARE);
    case PP_KEYSPEC:
        return CopyDword(pbData, pdwDataLen, AT_KEYEXCHANGE | AT_SIGNATURE);
    case PP_CONTAINER:
    case PP_UNIQUE_CONTAINER:
        if (context->verifyOnly)
            return Fail(NTE_BAD_KEYSET);
        return CopyString(pbData, pdwDataLen, ToAnsi(context->container));
    default:
        return Fail(NTE_BAD_TYPE);
    }
}

BOOL WINAPI CryptSetProvParam(HCRYPTPROV hProv, DWORD dwParam, const BYTE* pbData, DWORD dwFlags)
{
    auto context = LookupProvider(hProv);
    if (!context)
        return Fail(NTE_BAD_UID);
    if (dwParam != PP_KEYEXCHANGE_PIN && dwParam != PP_SIGNATURE_PIN)
        return Fail(NTE_BAD_TYPE);
    if (dwFlags != 0)
        return Fail(NTE_BAD_FLAGS);
    if (!pbData)
        return Fail(ERROR_INVALID_PARAMETER);
    // Checked now, as the container's kind does it: a wrong PIN fails here,
    // and leaves the PIN the context had.
    std::string pin(reinterpret_cast<const char*>(pbData));
    if (!context->verifyOnly)
        if (DWORD rc = context->kind->checkPin(context->scope, context->container, pin))
            return Fail(rc);
    std::lock_guard lock(StateMutex());
    context->pin = pin;
    if (!context->verifyOnly) {
        PinEntry& entry = Pins()[{context->scope, context->container}];
        entry.pin = pin;
        if (!context->pinRegistered) {
            context->pinRegistered = true;
            ++entry.contexts;
        }
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}
