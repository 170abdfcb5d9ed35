// Keys on PKCS #11 tokens: the libraries recorded in the registry, loaded once
// per process (dlopen, C_GetFunctionList, C_Initialize with OS locking; C_Finalize
// at exit), one session per token kept open so that a login holds, and the
// operations the provider runs on a token under that token's lock.
#include "csp/Tokens.h"
#include "crypt/Der.h"
#include "csp/Pkcs11.h"
#include "registry/RegistryValues.h"

#include "kernel/CodePages.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/rand.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <sys/stat.h>

namespace trumik::csp {

namespace {

using trumik::crypt::der::Wrap;
using trumik::platform::UniqueHKEY;

// ---- Loaded libraries ----

struct DlCloser {
    void operator()(void* handle) const { dlclose(handle); }
};
using UniqueDl = std::unique_ptr<void, DlCloser>;

struct Module {
    std::string path;
    UniqueDl library;
    CK_FUNCTION_LIST_PTR functions = nullptr;
    bool finalizeAtExit = false; // C_Initialize was ours
    void Unload()
    {
        if (finalizeAtExit && functions)
            functions->C_Finalize(nullptr);
        finalizeAtExit = false;
        functions = nullptr;
        library.reset();
    }
    ~Module() { Unload(); }
};

std::mutex& ModulesMutex()
{
    static std::mutex mutex;
    return mutex;
}

std::map<std::string, std::shared_ptr<Module>>& LoadedModules()
{
    static std::map<std::string, std::shared_ptr<Module>> modules;
    return modules;
}

// Runs before the libraries' own static objects go (it is registered after
// the first of them is loaded), so that C_Finalize finds them whole.
void FinalizeModules()
{
    std::lock_guard lock(ModulesMutex());
    for (auto& [path, module] : LoadedModules())
        module->Unload();
}

DWORD LoadModule(const std::string& path, std::shared_ptr<Module>* out, std::string* error)
{
    std::lock_guard lock(ModulesMutex());
    auto found = LoadedModules().find(path);
    if (found != LoadedModules().end() && found->second->functions) {
        *out = found->second;
        return 0;
    }
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        *error = path + ": no such file";
        return ERROR_MOD_NOT_FOUND;
    }
    auto module = std::make_shared<Module>();
    module->path = path;
    module->library.reset(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL));
    if (!module->library) {
        const char* why = dlerror();
        *error = path + ": not a shared library (" + (why ? why : "dlopen failed") + ")";
        return ERROR_BAD_FORMAT;
    }
    auto getList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(module->library.get(), "C_GetFunctionList"));
    if (!getList) {
        *error = path + ": not a PKCS #11 library (no C_GetFunctionList)";
        return ERROR_PROC_NOT_FOUND;
    }
    if (getList(&module->functions) != CKR_OK || !module->functions) {
        module->functions = nullptr;
        *error = path + ": C_GetFunctionList failed";
        return ERROR_INVALID_FUNCTION;
    }
    CK_C_INITIALIZE_ARGS args{};
    args.flags = CKF_OS_LOCKING_OK;
    CK_RV rv = module->functions->C_Initialize(&args);
    if (rv != CKR_OK && rv != CKR_CRYPTOKI_ALREADY_INITIALIZED) {
        module->functions = nullptr;
        *error = path + ": C_Initialize failed (CKR 0x" + [&] {
            char hex[20];
            std::snprintf(hex, sizeof hex, "%lX", static_cast<unsigned long>(rv));
            return std::string(hex);
        }() + ")";
        return ERROR_INVALID_FUNCTION;
    }
    module->finalizeAtExit = rv == CKR_OK;
    static std::once_flag registered;
    std::call_once(registered, [] { std::atexit(FinalizeModules); });
    LoadedModules()[path] = module;
    *out = std::move(module);
    return 0;
}

// ---- Tokens and their sessions ----

// The process's hold on one token: its session (kept open, so that a login
// lasts) and the PIN it was logged in with. Every call on the token is made
// under its mutex.
struct TokenState {
    std::mutex mutex;
    CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
    std::optional<std::string> loginPin;
    void Forget()
    {
        session = CK_INVALID_HANDLE;
        if (loginPin)
            OPENSSL_cleanse(loginPin->data(), loginPin->size());
        loginPin.reset();
    }
};

std::shared_ptr<TokenState> StateOf(const std::string& module, CK_SLOT_ID slot)
{
    static std::mutex mutex;
    static std::map<std::pair<std::string, CK_SLOT_ID>, std::shared_ptr<TokenState>> states;
    std::lock_guard lock(mutex);
    auto& state = states[{module, slot}];
    if (!state)
        state = std::make_shared<TokenState>();
    return state;
}

bool TokenGone(CK_RV rv)
{
    return rv == CKR_DEVICE_REMOVED || rv == CKR_TOKEN_NOT_PRESENT || rv == CKR_SESSION_HANDLE_INVALID ||
           rv == CKR_SESSION_CLOSED || rv == CKR_DEVICE_ERROR || rv == CKR_TOKEN_NOT_RECOGNIZED;
}

DWORD ErrorOf(CK_RV rv)
{
    switch (rv) {
    case CKR_OK:
        return 0;
    case CKR_PIN_INCORRECT:
    case CKR_PIN_INVALID:
    case CKR_PIN_LEN_RANGE:
    case CKR_USER_NOT_LOGGED_IN:
    case CKR_USER_PIN_NOT_INITIALIZED:
        return static_cast<DWORD>(SCARD_W_WRONG_CHV);
    case CKR_PIN_LOCKED:
        return static_cast<DWORD>(SCARD_W_CHV_BLOCKED);
    case CKR_MECHANISM_INVALID:
    case CKR_MECHANISM_PARAM_INVALID:
        return static_cast<DWORD>(NTE_BAD_ALGID);
    case CKR_HOST_MEMORY:
        return static_cast<DWORD>(NTE_NO_MEMORY);
    default:
        return TokenGone(rv) ? static_cast<DWORD>(NTE_BAD_KEYSET) : static_cast<DWORD>(NTE_FAIL);
    }
}

std::string Trimmed(const CK_UTF8CHAR* text, size_t size)
{
    std::string value(reinterpret_cast<const char*>(text), size);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\0'))
        value.pop_back();
    return value;
}

std::string HexLower(const Bytes& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (uint8_t b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

// A token found by its label: its library, slot and the process's hold on it.
struct Token {
    std::shared_ptr<Module> module;
    CK_SLOT_ID slot = 0;
    std::shared_ptr<TokenState> state;
    CK_FUNCTION_LIST_PTR f() const { return module->functions; }
};

std::vector<CK_SLOT_ID> Slots(CK_FUNCTION_LIST_PTR f, bool present)
{
    CK_ULONG count = 0;
    if (f->C_GetSlotList(present ? CK_TRUE : CK_FALSE, nullptr, &count) != CKR_OK)
        return {};
    std::vector<CK_SLOT_ID> slots(count);
    if (count && f->C_GetSlotList(present ? CK_TRUE : CK_FALSE, slots.data(), &count) != CKR_OK)
        return {};
    slots.resize(count);
    return slots;
}

std::optional<Token> FindToken(const std::string& label)
{
    for (const std::string& path : TokenModules()) {
        std::shared_ptr<Module> module;
        std::string error;
        if (LoadModule(path, &module, &error))
            continue;
        for (CK_SLOT_ID slot : Slots(module->functions, true)) {
            CK_TOKEN_INFO info{};
            if (module->functions->C_GetTokenInfo(slot, &info) != CKR_OK)
                continue;
            if (Trimmed(info.label, sizeof info.label) == label)
                return Token{module, slot, StateOf(path, slot)};
        }
    }
    return std::nullopt;
}

// The token's session, opened when there is none; the caller holds the state's lock.
CK_RV Session(const Token& token, CK_SESSION_HANDLE* session)
{
    if (token.state->session == CK_INVALID_HANDLE) {
        CK_SESSION_HANDLE opened = CK_INVALID_HANDLE;
        CK_RV rv = token.f()->C_OpenSession(token.slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr,
                                            &opened);
        if (rv != CKR_OK)
            return rv;
        token.state->session = opened;
    }
    *session = token.state->session;
    return CKR_OK;
}

// Notes a result of a call on the session: a token that went away loses the
// session and the login with it.
CK_RV Checked(const Token& token, CK_RV rv)
{
    if (TokenGone(rv))
        token.state->Forget();
    return rv;
}

std::vector<CK_OBJECT_HANDLE> FindObjects(const Token& token, CK_SESSION_HANDLE session,
                                          std::vector<CK_ATTRIBUTE> templ, CK_RV* result)
{
    std::vector<CK_OBJECT_HANDLE> found;
    CK_RV rv = token.f()->C_FindObjectsInit(session, templ.data(), templ.size());
    if (rv == CKR_OK) {
        CK_OBJECT_HANDLE batch[32];
        CK_ULONG n = 0;
        while ((rv = token.f()->C_FindObjects(session, batch, 32, &n)) == CKR_OK && n > 0)
            found.insert(found.end(), batch, batch + n);
        CK_RV final = token.f()->C_FindObjectsFinal(session);
        if (rv == CKR_OK)
            rv = final;
    }
    *result = Checked(token, rv);
    return found;
}

// An attribute's value; nullopt when the object has none or it cannot be read.
// Never called for CKA_VALUE of a private key.
std::optional<Bytes> Attribute(const Token& token, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                               CK_ATTRIBUTE_TYPE type)
{
    CK_ATTRIBUTE attribute{type, nullptr, 0};
    if (Checked(token, token.f()->C_GetAttributeValue(session, object, &attribute, 1)) != CKR_OK ||
        attribute.ulValueLen == CK_UNAVAILABLE_INFORMATION)
        return std::nullopt;
    Bytes value(attribute.ulValueLen);
    attribute.pValue = value.data();
    if (Checked(token, token.f()->C_GetAttributeValue(session, object, &attribute, 1)) != CKR_OK)
        return std::nullopt;
    value.resize(attribute.ulValueLen);
    return value;
}

std::optional<CK_ULONG> UlongAttribute(const Token& token, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                                       CK_ATTRIBUTE_TYPE type)
{
    auto value = Attribute(token, session, object, type);
    if (!value || value->size() != sizeof(CK_ULONG))
        return std::nullopt;
    CK_ULONG result;
    std::memcpy(&result, value->data(), sizeof result);
    return result;
}

Bytes OidDer(const char* dotted)
{
    std::unique_ptr<ASN1_OBJECT, decltype(&ASN1_OBJECT_free)> object(OBJ_txt2obj(dotted, 1),
                                                                     ASN1_OBJECT_free);
    unsigned char* der = nullptr;
    int len = object ? i2d_ASN1_OBJECT(object.get(), &der) : 0;
    Bytes out = len > 0 ? Bytes(der, der + len) : Bytes();
    OPENSSL_free(der);
    return out;
}

const char* const kDigest94 = "1.2.643.2.2.30.1";
const char* const kDigest256 = "1.2.643.7.1.1.2.2";
const char* const kDigest512 = "1.2.643.7.1.1.2.3";

// A key's kind from its PKCS #11 key type and parameters: 512 bits by the key
// type; a 256-bit key is a 2001 key when its digest parameters are those of
// GOST R 34.11-94, else a 2012 key.
GostKind KindOfKeyObject(const Token& token, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object)
{
    auto type = UlongAttribute(token, session, object, CKA_KEY_TYPE);
    if (!type)
        return GostKind::None;
    if (*type == CKK_GOSTR3410_512)
        return GostKind::R2012_512;
    if (*type != CKK_GOSTR3410)
        return GostKind::None;
    auto digest = Attribute(token, session, object, CKA_GOSTR3411_PARAMS);
    return digest && *digest == OidDer(kDigest94) ? GostKind::R2001 : GostKind::R2012_256;
}

// The SubjectPublicKeyInfo of a public key object, normalised by the engine.
Bytes SpkiOfPublicKey(const Token& token, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, GostKind kind)
{
    auto value = Attribute(token, session, object, CKA_VALUE);
    auto paramSet = Attribute(token, session, object, CKA_GOSTR3410_PARAMS);
    if (!value || !paramSet || kind == GostKind::None)
        return {};
    const size_t size = kind == GostKind::R2012_512 ? 128 : 64;
    // Some libraries give the key inside its OCTET STRING.
    if (value->size() == size + 2 + (size > 127) && (*value)[0] == 0x04)
        value->erase(value->begin(), value->end() - static_cast<long>(size));
    if (value->size() != size)
        return {};
    const char* keyOid = kind == GostKind::R2001       ? "1.2.643.2.2.19"
                         : kind == GostKind::R2012_256 ? "1.2.643.7.1.1.1.1"
                                                       : "1.2.643.7.1.1.1.2";
    Bytes parameters = *paramSet;
    if (kind != GostKind::R2012_512) {
        auto digest = Attribute(token, session, object, CKA_GOSTR3411_PARAMS);
        Bytes digestOid = digest ? *digest : OidDer(kind == GostKind::R2001 ? kDigest94 : kDigest256);
        parameters.insert(parameters.end(), digestOid.begin(), digestOid.end());
    }
    Bytes algorithm = OidDer(keyOid);
    Bytes paramSeq = Wrap(0x30, parameters);
    algorithm.insert(algorithm.end(), paramSeq.begin(), paramSeq.end());
    Bytes bits{0};
    Bytes octets = Wrap(0x04, *value);
    bits.insert(bits.end(), octets.begin(), octets.end());
    Bytes body = Wrap(0x30, algorithm);
    Bytes bitString = Wrap(0x03, bits);
    body.insert(body.end(), bitString.begin(), bitString.end());
    UniqueEvpPkey key = PublicKeyFromSpki(Wrap(0x30, body));
    auto normalized = key && KindOf(key.get()) == kind ? PublicKeyToSpki(key.get()) : std::nullopt;
    ERR_clear_error();
    return normalized.value_or(Bytes());
}

// The SubjectPublicKeyInfo of a certificate (DER), normalised by the engine.
Bytes SpkiOfCertificate(const Bytes& der)
{
    const unsigned char* p = der.data();
    std::unique_ptr<X509, decltype(&X509_free)> cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())),
                                                     X509_free);
    EVP_PKEY* key = cert ? X509_get0_pubkey(cert.get()) : nullptr;
    auto spki = key && IsGostKey(key) ? PublicKeyToSpki(key) : std::nullopt;
    ERR_clear_error();
    return spki.value_or(Bytes());
}

CK_ATTRIBUTE Attr(CK_ATTRIBUTE_TYPE type, const void* value, size_t size)
{
    return CK_ATTRIBUTE{type, const_cast<void*>(value), static_cast<CK_ULONG>(size)};
}
template <typename T> CK_ATTRIBUTE Attr(CK_ATTRIBUTE_TYPE type, const T& value)
{
    return Attr(type, &value, sizeof value);
}

const CK_OBJECT_CLASS kPrivateClass = CKO_PRIVATE_KEY;
const CK_OBJECT_CLASS kPublicClass = CKO_PUBLIC_KEY;
const CK_OBJECT_CLASS kCertificateClass = CKO_CERTIFICATE;
const CK_BBOOL kTrue = CK_TRUE;
const CK_BBOOL kFalse = CK_FALSE;

// The key pairs and certificates on a token, read through its session; the
// caller holds the state's lock.
CK_RV ReadTokenObjects(const Token& token, TokenSlot* out)
{
    CK_SESSION_HANDLE session;
    if (CK_RV rv = Checked(token, Session(token, &session)))
        return rv;
    CK_RV rv = CKR_OK;
    for (CK_OBJECT_HANDLE object : FindObjects(token, session, {Attr(CKA_CLASS, kCertificateClass)}, &rv)) {
        auto der = Attribute(token, session, object, CKA_VALUE);
        if (der && !der->empty())
            out->certificates.push_back({Attribute(token, session, object, CKA_ID).value_or(Bytes()), *der});
    }
    if (rv != CKR_OK)
        return rv;
    // Each private or public key with an ID names a key pair.
    auto pairOf = [&](const Bytes& id) -> TokenKeyPair& {
        for (auto& key : out->keys)
            if (key.id == id)
                return key;
        out->keys.push_back({});
        out->keys.back().id = id;
        out->keys.back().container = TokenContainerName(out->label, id);
        return out->keys.back();
    };
    for (CK_OBJECT_CLASS cls : {CKO_PRIVATE_KEY, CKO_PUBLIC_KEY}) {
        for (CK_OBJECT_HANDLE object : FindObjects(token, session, {Attr(CKA_CLASS, cls)}, &rv)) {
            auto id = Attribute(token, session, object, CKA_ID);
            if (!id || id->empty())
                continue;
            TokenKeyPair& pair = pairOf(*id);
            if (pair.kind == GostKind::None)
                pair.kind = KindOfKeyObject(token, session, object);
            if (cls == CKO_PRIVATE_KEY)
                pair.privateKeySeen = true;
            else if (pair.spki.empty())
                pair.spki = SpkiOfPublicKey(token, session, object, pair.kind);
        }
        if (rv != CKR_OK)
            return rv;
    }
    // A certificate belongs to the key pair with its ID, else to the one
    // with its public key.
    for (auto& pair : out->keys) {
        for (const auto& cert : out->certificates)
            if (cert.id == pair.id)
                pair.certificate = cert.der;
        if (!pair.certificate && !pair.spki.empty())
            for (const auto& cert : out->certificates)
                if (SpkiOfCertificate(cert.der) == pair.spki)
                    pair.certificate = cert.der;
        if (pair.certificate && pair.spki.empty()) {
            pair.spki = SpkiOfCertificate(*pair.certificate);
            if (pair.kind == GostKind::None)
                pair.kind = KindOfSpki(pair.spki);
        }
    }
    std::sort(out->keys.begin(), out->keys.end(),
              [](const TokenKeyPair& a, const TokenKeyPair& b) { return a.id < b.id; });
    return CKR_OK;
}

// Logs in with the user PIN: one C_Login with it. A PIN other than the one
// the token is logged in with logs out first; when it is refused, the
// earlier login is made again, so the earlier PIN still stands.
CK_RV Login(const Token& token, const std::string& pin)
{
    CK_SESSION_HANDLE session;
    if (CK_RV rv = Checked(token, Session(token, &session)))
        return rv;
    std::optional<std::string> earlier = token.state->loginPin;
    if (earlier && *earlier != pin)
        token.f()->C_Logout(session);
    auto login = [&](const std::string& value) {
        return Checked(token,
                       token.f()->C_Login(session, CKU_USER,
                                          reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(value.data())),
                                          value.size()));
    };
    CK_RV rv = login(pin);
    if (rv == CKR_USER_ALREADY_LOGGED_IN && earlier && *earlier == pin)
        rv = CKR_OK;
    else if (rv == CKR_USER_ALREADY_LOGGED_IN) {
        // Logged in by another part of the process with a PIN not known here:
        // this PIN is checked afresh.
        token.f()->C_Logout(session);
        rv = login(pin);
    }
    if (rv == CKR_OK) {
        token.state->Forget();
        token.state->session = session;
        token.state->loginPin = pin;
    } else if (earlier && *earlier != pin && !TokenGone(rv)) {
        if (login(*earlier) != CKR_OK)
            token.state->loginPin.reset();
    }
    return rv;
}

struct KeyRef {
    Token token;
    Bytes id;
};

DWORD ResolveKey(const std::string& name, KeyRef* out)
{
    std::string label;
    Bytes id;
    if (!ParseTokenContainerName(name, &label, &id))
        return static_cast<DWORD>(NTE_BAD_KEYSET);
    auto token = FindToken(label);
    if (!token)
        return static_cast<DWORD>(NTE_BAD_KEYSET);
    *out = KeyRef{*token, id};
    return 0;
}

// The private key object of a key pair; the caller holds the state's lock.
CK_RV PrivateKeyObject(const KeyRef& key, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE* object)
{
    CK_RV rv = CKR_OK;
    auto found =
        FindObjects(key.token, session,
                    {Attr(CKA_CLASS, kPrivateClass), Attr(CKA_ID, key.id.data(), key.id.size())}, &rv);
    if (rv != CKR_OK)
        return rv;
    if (found.empty())
        return key.token.state->loginPin ? CKR_KEY_HANDLE_INVALID : CKR_USER_NOT_LOGGED_IN;
    *object = found.front();
    return CKR_OK;
}

// Libraries are recorded by absolute path, so that any working directory finds them.
std::string AbsolutePath(const std::string& path)
{
    std::error_code ec;
    auto absolute = std::filesystem::absolute(path, ec);
    return ec ? path : absolute.lexically_normal().string();
}

// The token's session and the key pair's private key in it; the caller holds the state's lock.
CK_RV SessionAndPrivateKey(const KeyRef& key, CK_SESSION_HANDLE* session, CK_OBJECT_HANDLE* object)
{
    if (CK_RV rv = Checked(key.token, Session(key.token, session)))
        return rv;
    return PrivateKeyObject(key, *session, object);
}

bool MechanismListed(const Token& token, CK_MECHANISM_TYPE mechanism)
{
    CK_MECHANISM_INFO info{};
    return token.f()->C_GetMechanismInfo(token.slot, mechanism, &info) == CKR_OK;
}

} // namespace

// ---- The recorded libraries ----

std::vector<std::string> TokenModules()
{
    std::vector<std::string> modules;
    auto key = trumik::platform::OpenRegistryKey(HKEY_LOCAL_MACHINE, kTokenModulesKey, KEY_READ);
    if (!key)
        return modules;
    std::vector<std::pair<long, std::string>> numbered;
    for (const auto& name : trumik::platform::EnumRegistrySubKeys(key.get())) {
        auto sub = trumik::platform::OpenRegistryKey(key.get(), name, KEY_READ);
        auto path = sub ? trumik::platform::QueryRegistryString(sub.get(), u"Module") : std::nullopt;
        char* end = nullptr;
        std::string number = trumik::platform::Utf16ToUtf8(name);
        long index = std::strtol(number.c_str(), &end, 10);
        if (path && !path->empty() && end && *end == '\0')
            numbered.emplace_back(index, trumik::platform::Utf16ToUtf8(*path));
    }
    std::sort(numbered.begin(), numbered.end());
    for (auto& [index, path] : numbered)
        modules.push_back(std::move(path));
    return modules;
}

DWORD CheckTokenModule(const std::string& path, std::string* error)
{
    std::shared_ptr<Module> module;
    if (DWORD rc = LoadModule(path, &module, error))
        return rc;
    CK_INFO info{};
    if (module->functions->C_GetInfo(&info) != CKR_OK) {
        *error = path + ": C_GetInfo failed";
        return ERROR_INVALID_FUNCTION;
    }
    return 0;
}

DWORD AddTokenModule(const std::string& given, std::string* error)
{
    const std::string path = AbsolutePath(given);
    auto modules = TokenModules();
    if (std::find(modules.begin(), modules.end(), path) != modules.end()) {
        *error = path + " is recorded already";
        return ERROR_ALREADY_EXISTS;
    }
    if (DWORD rc = CheckTokenModule(path, error))
        return rc;
    LSTATUS status = ERROR_SUCCESS;
    auto key =
        trumik::platform::CreateRegistryKey(HKEY_LOCAL_MACHINE, kTokenModulesKey, KEY_ALL_ACCESS, &status);
    if (!key)
        return static_cast<DWORD>(status);
    long next = 0;
    for (const auto& name : trumik::platform::EnumRegistrySubKeys(key.get()))
        next = std::max(next, std::strtol(trumik::platform::Utf16ToUtf8(name).c_str(), nullptr, 10) + 1);
    std::u16string subKey =
        std::u16string(kTokenModulesKey) + u"\\" + trumik::platform::Utf8ToUtf16(std::to_string(next));
    return static_cast<DWORD>(trumik::platform::WriteRegistryString(HKEY_LOCAL_MACHINE, subKey, u"Module",
                                                                    trumik::platform::Utf8ToUtf16(path)));
}

DWORD RemoveTokenModule(const std::string& given)
{
    const std::string path = AbsolutePath(given);
    auto key = trumik::platform::OpenRegistryKey(HKEY_LOCAL_MACHINE, kTokenModulesKey, KEY_ALL_ACCESS);
    if (!key)
        return ERROR_FILE_NOT_FOUND;
    for (const auto& name : trumik::platform::EnumRegistrySubKeys(key.get())) {
        auto sub = trumik::platform::OpenRegistryKey(key.get(), name, KEY_READ);
        auto value = sub ? trumik::platform::QueryRegistryString(sub.get(), u"Module") : std::nullopt;
        if (value && trumik::platform::Utf16ToUtf8(*value) == path) {
            sub.reset();
            std::u16string subName(name);
            return static_cast<DWORD>(RegDeleteKeyW(key.get(), subName.c_str()));
        }
    }
    return ERROR_FILE_NOT_FOUND;
}

// ---- Tokens and their key pairs ----

std::vector<TokenSlot> ListTokenSlots(std::vector<std::string>* problems,
                                      const std::optional<std::string>& pin)
{
    std::vector<TokenSlot> slots;
    for (const std::string& path : TokenModules()) {
        std::shared_ptr<Module> module;
        std::string error;
        if (LoadModule(path, &module, &error)) {
            if (problems)
                problems->push_back(error);
            continue;
        }
        for (CK_SLOT_ID id : Slots(module->functions, false)) {
            TokenSlot slot;
            slot.module = path;
            slot.slot = id;
            CK_SLOT_INFO slotInfo{};
            CK_TOKEN_INFO info{};
            slot.present = module->functions->C_GetSlotInfo(id, &slotInfo) == CKR_OK &&
                           (slotInfo.flags & CKF_TOKEN_PRESENT) &&
                           module->functions->C_GetTokenInfo(id, &info) == CKR_OK;
            if (slot.present) {
                slot.label = Trimmed(info.label, sizeof info.label);
                slot.model = Trimmed(info.model, sizeof info.model);
                slot.serial = Trimmed(info.serialNumber, sizeof info.serialNumber);
                slot.initialised = (info.flags & CKF_TOKEN_INITIALIZED) != 0;
                Token token{module, id, StateOf(path, id)};
                std::lock_guard lock(token.state->mutex);
                if (pin && (info.flags & CKF_LOGIN_REQUIRED) && Login(token, *pin) != CKR_OK && problems)
                    problems->push_back("the token \"" + slot.label +
                                        "\" refused the PIN; its private keys are not seen");
                if (CK_RV rv = ReadTokenObjects(token, &slot); rv != CKR_OK && problems)
                    problems->push_back(path + " slot " + std::to_string(id) + ": the token cannot be read");
            }
            slots.push_back(std::move(slot));
        }
    }
    return slots;
}

// ---- Containers on tokens ----

bool ParseTokenContainerName(const std::string& name, std::string* label, Bytes* id)
{
    if (name.rfind("\\\\.\\", 0) != 0)
        return false;
    const std::string rest = name.substr(4);
    const size_t slash = rest.rfind('\\');
    if (slash == std::string::npos || slash == 0)
        return false;
    std::string reader = rest.substr(0, slash), hex = rest.substr(slash + 1);
    std::string upper = reader;
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](unsigned char c) { return std::toupper(c); });
    if (upper == "HDIMAGE" || hex.empty() || hex.size() % 2 != 0 || hex.size() > 256)
        return false;
    Bytes bytes;
    for (size_t i = 0; i < hex.size(); i += 2) {
        auto digit = [](char c) {
            return std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
                   : std::isxdigit(static_cast<unsigned char>(c))
                       ? std::tolower(static_cast<unsigned char>(c)) - 'a' + 10
                       : -1;
        };
        int hi = digit(hex[i]), lo = digit(hex[i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        bytes.push_back(static_cast<uint8_t>(hi * 16 + lo));
    }
    *label = reader;
    *id = std::move(bytes);
    return true;
}

std::string TokenContainerName(const std::string& label, const Bytes& id)
{
    return "\\\\.\\" + label + "\\" + HexLower(id);
}

std::vector<std::string> TokenContainerNames(DWORD provType)
{
    const GostKind fits = provType == PROV_GOST_2012_256   ? GostKind::R2012_256
                          : provType == PROV_GOST_2012_512 ? GostKind::R2012_512
                                                           : GostKind::R2001;
    std::vector<std::string> names;
    for (const TokenSlot& slot : ListTokenSlots(nullptr))
        for (const TokenKeyPair& key : slot.keys)
            if (key.kind == fits)
                names.push_back(key.container);
    return names;
}

DWORD OpenTokenContainer(const std::string& name)
{
    GostKind kind;
    Bytes spki;
    return TokenPublicKey(name, &kind, &spki);
}

DWORD TokenPublicKey(const std::string& name, GostKind* kind, Bytes* spki)
{
    KeyRef key;
    if (DWORD rc = ResolveKey(name, &key))
        return rc;
    TokenSlot slot;
    {
        std::lock_guard lock(key.token.state->mutex);
        if (CK_RV rv = ReadTokenObjects(key.token, &slot))
            return ErrorOf(rv);
    }
    for (const TokenKeyPair& pair : slot.keys) {
        if (pair.id != key.id)
            continue;
        if (pair.kind == GostKind::None || pair.spki.empty())
            return static_cast<DWORD>(NTE_KEYSET_ENTRY_BAD);
        *kind = pair.kind;
        *spki = pair.spki;
        return 0;
    }
    return static_cast<DWORD>(NTE_BAD_KEYSET);
}

DWORD TokenLogin(const std::string& name, const std::string& pin)
{
    KeyRef key;
    if (DWORD rc = ResolveKey(name, &key))
        return rc;
    std::lock_guard lock(key.token.state->mutex);
    return ErrorOf(Login(key.token, pin));
}

DWORD TokenSignDigest(const std::string& name, const Bytes& digest, const std::optional<Bytes>& message,
                      Bytes* signature)
{
    KeyRef key;
    if (DWORD rc = ResolveKey(name, &key))
        return rc;
    std::lock_guard lock(key.token.state->mutex);
    CK_SESSION_HANDLE session;
    CK_OBJECT_HANDLE object;
    if (CK_RV rv = SessionAndPrivateKey(key, &session, &object))
        return ErrorOf(rv);
    const bool wide = digest.size() == 64;
    CK_MECHANISM mechanism{wide ? CKM_GOSTR3410_512 : CKM_GOSTR3410, nullptr, 0};
    const Bytes* input = &digest;
    if (!MechanismListed(key.token, mechanism.mechanism)) {
        const CK_MECHANISM_TYPE combined =
            wide ? CKM_GOSTR3410_WITH_GOSTR3411_12_512 : CKM_GOSTR3410_WITH_GOSTR3411_12_256;
        if (!message || !MechanismListed(key.token, combined))
            return static_cast<DWORD>(NTE_BAD_ALGID);
        mechanism.mechanism = combined;
        input = &*message;
    }
    CK_RV rv = Checked(key.token, key.token.f()->C_SignInit(session, &mechanism, object));
    if (rv != CKR_OK)
        return ErrorOf(rv);
    Bytes out(digest.size() * 2);
    CK_ULONG size = out.size();
    rv = Checked(key.token, key.token.f()->C_Sign(session, const_cast<CK_BYTE_PTR>(input->data()),
                                                  input->size(), out.data(), &size));
    if (rv != CKR_OK)
        return ErrorOf(rv);
    if (size != out.size())
        return static_cast<DWORD>(NTE_FAIL);
    *signature = std::move(out);
    return 0;
}

DWORD TokenDeriveKek(const std::string& name, const Bytes& peerPublic, const Bytes& ukm, Bytes* kek)
{
    KeyRef key;
    if (DWORD rc = ResolveKey(name, &key))
        return rc;
    std::lock_guard lock(key.token.state->mutex);
    if (!MechanismListed(key.token, CKM_GOSTR3410_2012_DERIVE))
        return static_cast<DWORD>(NTE_BAD_ALGID);
    CK_SESSION_HANDLE session;
    CK_OBJECT_HANDLE object;
    if (CK_RV rv = SessionAndPrivateKey(key, &session, &object))
        return ErrorOf(rv);
    Bytes peer = peerPublic, userKeying = ukm;
    GostDeriveParams params{CKD_KDF_GOSTR3411_2012_256, peer.data(), static_cast<CK_ULONG>(peer.size()),
                            userKeying.data(), static_cast<CK_ULONG>(userKeying.size())};
    CK_MECHANISM mechanism{CKM_GOSTR3410_2012_DERIVE, &params, sizeof params};
    const CK_OBJECT_CLASS secretClass = CKO_SECRET_KEY;
    const CK_KEY_TYPE keyType = CKK_GOST28147;
    std::vector<CK_ATTRIBUTE> templ{Attr(CKA_CLASS, secretClass), Attr(CKA_KEY_TYPE, keyType),
                                    Attr(CKA_TOKEN, kFalse), Attr(CKA_SENSITIVE, kFalse),
                                    Attr(CKA_EXTRACTABLE, kTrue)};
    CK_OBJECT_HANDLE derived = CK_INVALID_HANDLE;
    CK_RV rv = Checked(key.token, key.token.f()->C_DeriveKey(session, &mechanism, object, templ.data(),
                                                             templ.size(), &derived));
    if (rv != CKR_OK)
        return ErrorOf(rv);
    auto value = Attribute(key.token, session, derived, CKA_VALUE);
    key.token.f()->C_DestroyObject(session, derived);
    if (!value || value->size() != 32)
        return static_cast<DWORD>(NTE_FAIL);
    *kek = std::move(*value);
    return 0;
}

// ---- Key pairs made by the tools ----

DWORD TokenGenerateKeyPair(const std::string& label, const std::string& pin, GostKind kind,
                           std::string* container, Bytes* spki, std::string* error)
{
    if (kind != GostKind::R2012_256 && kind != GostKind::R2012_512) {
        *error = "a token key is a GOST R 34.10-2012 key (gost2012-256 or gost2012-512)";
        return static_cast<DWORD>(NTE_BAD_ALGID);
    }
    auto token = FindToken(label);
    if (!token) {
        *error = "no token labelled \"" + label + "\" (see trumik token list)";
        return static_cast<DWORD>(NTE_BAD_KEYSET);
    }
    std::lock_guard lock(token->state->mutex);
    if (CK_RV rv = Login(*token, pin)) {
        *error = "the token \"" + label + "\" refused the PIN";
        return ErrorOf(rv);
    }
    const bool wide = kind == GostKind::R2012_512;
    const CK_MECHANISM_TYPE generator = wide ? CKM_GOSTR3410_512_KEY_PAIR_GEN : CKM_GOSTR3410_KEY_PAIR_GEN;
    if (!MechanismListed(*token, generator)) {
        *error = "the token \"" + label + "\" cannot make " + (wide ? "512" : "256") + "-bit GOST keys";
        return static_cast<DWORD>(NTE_BAD_ALGID);
    }
    Bytes id(8);
    if (RAND_bytes(id.data(), static_cast<int>(id.size())) != 1)
        return static_cast<DWORD>(NTE_FAIL);
    const CK_KEY_TYPE keyType = wide ? CKK_GOSTR3410_512 : CKK_GOSTR3410;
    Bytes paramSet = OidDer(wide ? "1.2.643.7.1.2.1.2.1" : "1.2.643.2.2.35.1");
    Bytes digest = OidDer(wide ? kDigest512 : kDigest256);
    std::string keyLabel = "trumik " + HexLower(id);
    // What both halves carry; then each its own class and use.
    const std::vector<CK_ATTRIBUTE> common{Attr(CKA_KEY_TYPE, keyType),
                                           Attr(CKA_TOKEN, kTrue),
                                           Attr(CKA_ID, id.data(), id.size()),
                                           Attr(CKA_LABEL, keyLabel.data(), keyLabel.size()),
                                           Attr(CKA_GOSTR3410_PARAMS, paramSet.data(), paramSet.size()),
                                           Attr(CKA_GOSTR3411_PARAMS, digest.data(), digest.size())};
    std::vector<CK_ATTRIBUTE> publicTemplate = common, privateTemplate = common;
    for (const CK_ATTRIBUTE& a :
         {Attr(CKA_CLASS, kPublicClass), Attr(CKA_PRIVATE, kFalse), Attr(CKA_VERIFY, kTrue)})
        publicTemplate.push_back(a);
    for (const CK_ATTRIBUTE& a :
         {Attr(CKA_CLASS, kPrivateClass), Attr(CKA_PRIVATE, kTrue), Attr(CKA_SENSITIVE, kTrue),
          Attr(CKA_EXTRACTABLE, kFalse), Attr(CKA_SIGN, kTrue), Attr(CKA_DERIVE, kTrue)})
        privateTemplate.push_back(a);
    CK_MECHANISM mechanism{generator, nullptr, 0};
    CK_OBJECT_HANDLE publicKey = CK_INVALID_HANDLE, privateKey = CK_INVALID_HANDLE;
    CK_SESSION_HANDLE session;
    CK_RV rv = Checked(*token, Session(*token, &session));
    if (rv == CKR_OK)
        rv = Checked(*token, token->f()->C_GenerateKeyPair(session, &mechanism, publicTemplate.data(),
                                                           publicTemplate.size(), privateTemplate.data(),
                                                           privateTemplate.size(), &publicKey, &privateKey));
    if (rv != CKR_OK) {
        *error = "the token \"" + label + "\" did not make the key pair";
        return ErrorOf(rv);
    }
    *spki = SpkiOfPublicKey(*token, session, publicKey, kind);
    if (spki->empty()) {
        *error = "the token's new public key cannot be read";
        return static_cast<DWORD>(NTE_BAD_PUBLIC_KEY);
    }
    *container = TokenContainerName(label, id);
    return 0;
}

DWORD TokenWriteCertificate(const std::string& container, const Bytes& der, const std::string& label)
{
    KeyRef key;
    if (DWORD rc = ResolveKey(container, &key))
        return rc;
    const unsigned char* p = der.data();
    std::unique_ptr<X509, decltype(&X509_free)> cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())),
                                                     X509_free);
    if (!cert)
        return static_cast<DWORD>(CRYPT_E_ASN1_BADTAG);
    auto encode = [](auto* item, auto encoder) {
        unsigned char* out = nullptr;
        int len = encoder(item, &out);
        Bytes bytes = len > 0 ? Bytes(out, out + len) : Bytes();
        OPENSSL_free(out);
        return bytes;
    };
    Bytes subject = encode(X509_get_subject_name(cert.get()), i2d_X509_NAME);
    Bytes issuer = encode(X509_get_issuer_name(cert.get()), i2d_X509_NAME);
    Bytes serial = encode(X509_get_serialNumber(cert.get()), i2d_ASN1_INTEGER);
    const CK_CERTIFICATE_TYPE certType = CKC_X_509;
    std::vector<CK_ATTRIBUTE> templ{Attr(CKA_CLASS, kCertificateClass),
                                    Attr(CKA_CERTIFICATE_TYPE, certType),
                                    Attr(CKA_TOKEN, kTrue),
                                    Attr(CKA_PRIVATE, kFalse),
                                    Attr(CKA_ID, key.id.data(), key.id.size()),
                                    Attr(CKA_LABEL, label.data(), label.size()),
                                    Attr(CKA_SUBJECT, subject.data(), subject.size()),
                                    Attr(CKA_ISSUER, issuer.data(), issuer.size()),
                                    Attr(CKA_SERIAL_NUMBER, serial.data(), serial.size()),
                                    Attr(CKA_VALUE, der.data(), der.size())};
    std::lock_guard lock(key.token.state->mutex);
    CK_SESSION_HANDLE session;
    CK_OBJECT_HANDLE object = CK_INVALID_HANDLE;
    CK_RV rv = Checked(key.token, Session(key.token, &session));
    if (rv == CKR_OK)
        rv = Checked(key.token, key.token.f()->C_CreateObject(session, templ.data(), templ.size(), &object));
    return ErrorOf(rv);
}

} // namespace trumik::csp
