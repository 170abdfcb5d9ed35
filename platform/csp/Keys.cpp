// Keys of the GOST provider: generated into a container, taken from it,
// imported from a certificate's public key, exported as a PUBLICKEYBLOB; and
// the private keys opened for signing and for crypt32's messages.
//
// Keys of three kinds: GOST R 34.10-2001, GOST R 34.10-2012 with 256 and
// with 512 bits. A context of any provider type uses any key.
#define OPENSSL_SUPPRESS_DEPRECATED 1

#include "csp/ContextKey.h"
#include "csp/CspInternal.h"
#include "csp/KeyObjects.h"

#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <cstring>
#include <deque>
#include <mutex>

namespace trumik::csp {

ObjectTable<KeyObject>& Keys()
{
    static ObjectTable<KeyObject> table;
    return table;
}
namespace {

struct GenKeyArgs {
    DWORD keySpec;
    bool exportable;
    Bytes pkcs8;
    Bytes spki;
    std::optional<std::string> pin;
};

DWORD StoreGeneratedKey(ContainerData& data, void* arg)
{
    auto& args = *static_cast<GenKeyArgs*>(arg);
    StoredKey key;
    key.present = true;
    key.exportable = args.exportable;
    key.publicKey = args.spki;
    bool empty = !data.exchange.present && !data.signature.present;
    if (empty)
        data.protectedByPin = args.pin.has_value();
    if (data.protectedByPin) {
        if (!args.pin)
            return static_cast<DWORD>(SCARD_W_WRONG_CHV);
        // The PIN must open the keys already there.
        for (DWORD spec : {DWORD(AT_KEYEXCHANGE), DWORD(AT_SIGNATURE)}) {
            UniqueEvpPkey existing;
            if (data.Slot(spec).present)
                if (DWORD rc = OpenPrivateKey(data, spec, args.pin, &existing))
                    return rc;
        }
        auto encrypted = EncryptPkcs8(args.pkcs8, *args.pin);
        if (!encrypted)
            return static_cast<DWORD>(NTE_FAIL);
        key.privateKey = std::move(*encrypted);
    } else {
        key.privateKey = args.pkcs8;
    }
    data.Slot(args.keySpec) = std::move(key);
    return 0;
}

// The DER of a SubjectPublicKeyInfo rebuilt from its CryptoAPI parts.
void AppendLength(Bytes& out, size_t length)
{
    if (length < 0x80) {
        out.push_back(static_cast<uint8_t>(length));
        return;
    }
    Bytes digits;
    for (size_t n = length; n; n >>= 8)
        digits.insert(digits.begin(), static_cast<uint8_t>(n & 0xFF));
    out.push_back(static_cast<uint8_t>(0x80 | digits.size()));
    out.insert(out.end(), digits.begin(), digits.end());
}

Bytes Tlv(uint8_t tag, const Bytes& content)
{
    Bytes out{tag};
    AppendLength(out, content.size());
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

// The key algorithms a certificate may name: the key's kind, its ALG_ID and
// the identifier of its signature-key form, which the engine decodes.
struct KeyAlgorithm {
    const char* oid;
    GostKind kind;
    ALG_ID algId;
    const char* keyOid;
};
const KeyAlgorithm kKeyAlgorithms[] = {
    {szOID_CP_GOST_R3410EL, GostKind::R2001, CALG_GR3410EL, szOID_CP_GOST_R3410EL},
    {szOID_CP_DH_EL, GostKind::R2001, CALG_DH_EL_SF, szOID_CP_GOST_R3410EL},
    {szOID_CP_GOST_R3410_12_256, GostKind::R2012_256, CALG_GR3410_12_256, szOID_CP_GOST_R3410_12_256},
    {szOID_CP_DH_12_256, GostKind::R2012_256, CALG_DH_GR3410_12_256_SF, szOID_CP_GOST_R3410_12_256},
    {szOID_CP_GOST_R3410_12_512, GostKind::R2012_512, CALG_GR3410_12_512, szOID_CP_GOST_R3410_12_512},
    {szOID_CP_DH_12_512, GostKind::R2012_512, CALG_DH_GR3410_12_512_SF, szOID_CP_GOST_R3410_12_512},
};

std::optional<Bytes> SpkiFromInfo(const CERT_PUBLIC_KEY_INFO& info, ALG_ID* algId, GostKind* kind)
{
    if (!info.Algorithm.pszObjId)
        return std::nullopt;
    std::string oid = info.Algorithm.pszObjId;
    const KeyAlgorithm* known = nullptr;
    for (const KeyAlgorithm& a : kKeyAlgorithms)
        if (oid == a.oid)
            known = &a;
    if (!known)
        return std::nullopt;
    *algId = known->algId;
    *kind = known->kind;
    // Both forms name the same key; the engine decodes the signature-key form.
    ASN1_OBJECT* object = OBJ_txt2obj(known->keyOid, 1);
    unsigned char* oidDer = nullptr;
    int oidLen = object ? i2d_ASN1_OBJECT(object, &oidDer) : 0;
    ASN1_OBJECT_free(object);
    if (oidLen <= 0) {
        OPENSSL_free(oidDer);
        ERR_clear_error();
        return std::nullopt;
    }
    Bytes algorithm(oidDer, oidDer + oidLen);
    OPENSSL_free(oidDer);
    if (info.Algorithm.Parameters.cbData && info.Algorithm.Parameters.pbData)
        algorithm.insert(algorithm.end(), info.Algorithm.Parameters.pbData,
                         info.Algorithm.Parameters.pbData + info.Algorithm.Parameters.cbData);
    Bytes bits{static_cast<uint8_t>(info.PublicKey.cUnusedBits)};
    if (info.PublicKey.cbData && info.PublicKey.pbData)
        bits.insert(bits.end(), info.PublicKey.pbData, info.PublicKey.pbData + info.PublicKey.cbData);
    Bytes body = Tlv(0x30, algorithm);
    Bytes bitString = Tlv(0x03, bits);
    body.insert(body.end(), bitString.begin(), bitString.end());
    return Tlv(0x30, body);
}
// Decoding a stored key through OpenSSL's decoders (and a PIN's key
// derivation) costs several times the signature made with it. The last few
// keys opened stay decoded, each under its stored bytes and a digest of the
// PIN it was opened with: a changed container or another PIN never matches,
// so a wrong PIN still fails as before.
class DecodedKeys {
  public:
    UniqueEvpPkey Find(const Bytes& stored, const Bytes& pinDigest)
    {
        std::lock_guard lock(mutex_);
        for (const Entry& e : entries_) {
            if (e.stored == stored && e.pinDigest == pinDigest && EVP_PKEY_up_ref(e.key.get()) == 1)
                return UniqueEvpPkey(e.key.get());
        }
        return nullptr;
    }
    void Keep(const Bytes& stored, const Bytes& pinDigest, EVP_PKEY* key)
    {
        if (EVP_PKEY_up_ref(key) != 1)
            return;
        std::lock_guard lock(mutex_);
        entries_.push_front(Entry{stored, pinDigest, UniqueEvpPkey(key)});
        if (entries_.size() > kMaxEntries)
            entries_.pop_back();
    }

  private:
    static constexpr size_t kMaxEntries = 8;
    struct Entry {
        Bytes stored, pinDigest;
        UniqueEvpPkey key;
    };
    std::mutex mutex_;
    std::deque<Entry> entries_;
};

DecodedKeys& Decoded()
{
    static DecodedKeys keys;
    return keys;
}

Bytes PinDigest(const std::optional<std::string>& pin)
{
    if (!pin)
        return Bytes();
    Bytes digest(EVP_MAX_MD_SIZE);
    unsigned int len = 0;
    if (EVP_Digest(pin->data(), pin->size(), digest.data(), &len, EVP_sha256(), nullptr) != 1)
        return Bytes(1, 0); // matches no entry kept with a PIN
    digest.resize(len);
    return digest;
}

// A new key handle: a key of the context's container (keySpec), or with
// keySpec 0 an imported public key.
ULONG_PTR AddKeyObject(std::shared_ptr<ProviderContext> context, DWORD keySpec, GostKind kind, ALG_ID algId,
                       bool exportable, Bytes publicKey)
{
    auto object = std::make_shared<KeyObject>();
    object->context = std::move(context);
    object->keySpec = keySpec;
    object->kind = kind;
    object->algId = algId;
    object->exportable = exportable;
    object->publicKey = std::move(publicKey);
    return Keys().Add(std::move(object));
}

} // namespace

DWORD OpenPrivateKey(const ContainerData& data, DWORD keySpec, const std::optional<std::string>& pin,
                     UniqueEvpPkey* key)
{
    const StoredKey& slot = data.Slot(keySpec);
    if (!slot.present)
        return static_cast<DWORD>(NTE_NO_KEY);
    if (data.protectedByPin && !pin)
        return static_cast<DWORD>(SCARD_W_WRONG_CHV);
    Bytes pinDigest = PinDigest(data.protectedByPin ? pin : std::nullopt);
    if (UniqueEvpPkey cached = Decoded().Find(slot.privateKey, pinDigest)) {
        *key = std::move(cached);
        return 0;
    }
    std::optional<Bytes> plain;
    if (data.protectedByPin) {
        if (!pin)
            return static_cast<DWORD>(SCARD_W_WRONG_CHV);
        plain = DecryptPkcs8(slot.privateKey, *pin);
        if (!plain)
            return static_cast<DWORD>(SCARD_W_WRONG_CHV);
    } else {
        plain = slot.privateKey;
    }
    UniqueEvpPkey result = PrivateKeyFromPkcs8(*plain);
    OPENSSL_cleanse(plain->data(), plain->size());
    if (!result)
        return static_cast<DWORD>(NTE_KEYSET_ENTRY_BAD);
    Decoded().Keep(slot.privateKey, pinDigest, result.get());
    *key = std::move(result);
    return 0;
}

namespace {

// A container without a PIN takes any (it protects the keys made later); one
// with a PIN takes the PIN that opens its keys.
DWORD CheckContainerPin(Scope scope, const std::string& name, const std::string& pin)
{
    ContainerData data;
    if (DWORD rc = ReadContainer(scope, name, &data))
        return rc;
    if (!data.protectedByPin)
        return 0;
    for (DWORD keySpec : {DWORD(AT_KEYEXCHANGE), DWORD(AT_SIGNATURE)}) {
        UniqueEvpPkey key;
        if (data.Slot(keySpec).present)
            return OpenPrivateKey(data, keySpec, pin, &key);
    }
    return 0;
}

DWORD ContainerPublicKey(Scope scope, const std::string& name, DWORD keySpec, GostKind* kind, Bytes* spki,
                         bool* exportable)
{
    ContainerData data;
    if (DWORD rc = ReadContainer(scope, name, &data))
        return rc;
    const StoredKey& slot = data.Slot(keySpec);
    if (!slot.present)
        return static_cast<DWORD>(NTE_NO_KEY);
    *kind = KindOfSpki(slot.publicKey);
    if (*kind == GostKind::None)
        return static_cast<DWORD>(NTE_KEYSET_ENTRY_BAD);
    *spki = slot.publicKey;
    *exportable = slot.exportable;
    return 0;
}

DWORD ContainerSignDigest(const ProviderContext& context, DWORD keySpec, const Bytes& digest,
                          const std::optional<Bytes>&, Bytes* signature)
{
    ContainerData data;
    if (DWORD rc = ReadContainer(context.scope, context.container, &data))
        return rc;
    UniqueEvpPkey key;
    if (DWORD rc = OpenPrivateKey(data, keySpec, PinFor(context), &key))
        return rc;
    if (KindOf(key.get()) != KindOfSpki(data.Slot(keySpec).publicKey))
        return static_cast<DWORD>(NTE_KEYSET_ENTRY_BAD);
    auto made = SignDigest(key.get(), digest);
    if (!made)
        return static_cast<DWORD>(NTE_FAIL);
    *signature = std::move(*made);
    return 0;
}

} // namespace

const ContainerKind kProviderContainers{CheckContainerPin, ContainerPublicKey, ContainerSignDigest, false};

DWORD ContextPrivateKey(HCRYPTPROV hProv, DWORD keySpec, EVP_PKEY** key)
{
    if (!key)
        return static_cast<DWORD>(ERROR_INVALID_PARAMETER);
    *key = nullptr;
    auto context = LookupProvider(hProv);
    if (!context)
        return static_cast<DWORD>(NTE_BAD_UID);
    if (context->verifyOnly || (keySpec != AT_KEYEXCHANGE && keySpec != AT_SIGNATURE))
        return static_cast<DWORD>(NTE_NO_KEY);
    if (context->kind->external)
        return static_cast<DWORD>(NTE_NOT_SUPPORTED); // the key stays where it is
    ContainerData data;
    if (DWORD rc = ReadContainer(context->scope, context->container, &data))
        return rc;
    UniqueEvpPkey opened;
    if (DWORD rc = OpenPrivateKey(data, keySpec, PinFor(*context), &opened))
        return rc;
    *key = opened.release();
    return 0;
}

DWORD ImportPublicKeyInfo(HCRYPTPROV hProv, const CERT_PUBLIC_KEY_INFO* info, HCRYPTKEY* key)
{
    auto context = LookupProvider(hProv);
    if (!context)
        return static_cast<DWORD>(NTE_BAD_UID);
    if (!info || !key)
        return static_cast<DWORD>(ERROR_INVALID_PARAMETER);
    ALG_ID algId = 0;
    GostKind kind = GostKind::None;
    auto spki = SpkiFromInfo(*info, &algId, &kind);
    if (!spki)
        return static_cast<DWORD>(NTE_BAD_ALGID);
    // The engine takes a key of either size under either 2012 identifier, so
    // the size is checked here: an OCTET STRING of 64 or 128 bytes.
    const CRYPT_BIT_BLOB& bits = info->PublicKey;
    if ((kind == GostKind::R2012_256 && (bits.cbData != 66 || bits.pbData[1] != 0x40)) ||
        (kind == GostKind::R2012_512 &&
         (bits.cbData != 131 || bits.pbData[1] != 0x81 || bits.pbData[2] != 0x80)))
        return static_cast<DWORD>(NTE_BAD_PUBLIC_KEY);
    UniqueEvpPkey decoded = PublicKeyFromSpki(*spki);
    if (KindOf(decoded.get()) != kind)
        return static_cast<DWORD>(NTE_BAD_PUBLIC_KEY);
    auto normalized = PublicKeyToSpki(decoded.get());
    if (!normalized)
        return static_cast<DWORD>(NTE_BAD_PUBLIC_KEY);
    *key = AddKeyObject(context, 0, kind, algId, false, std::move(*normalized));
    return 0;
}

DWORD CheckContainerKey(HCRYPTPROV hProv, DWORD keySpec, bool compare, const CERT_PUBLIC_KEY_INFO* certKey)
{
    auto context = LookupProvider(hProv);
    if (!context)
        return static_cast<DWORD>(NTE_BAD_UID);
    if (keySpec != AT_KEYEXCHANGE && keySpec != AT_SIGNATURE)
        return static_cast<DWORD>(NTE_NO_KEY);
    GostKind ownKind = GostKind::None;
    Bytes ownSpki;
    bool exportable = false;
    if (DWORD rc = context->kind->publicKey(context->scope, context->container, keySpec, &ownKind, &ownSpki,
                                            &exportable))
        return rc != static_cast<DWORD>(NTE_KEYSET_ENTRY_BAD) ? rc
               : compare                                      ? static_cast<DWORD>(NTE_BAD_PUBLIC_KEY)
                                                              : 0;
    if (compare) {
        ALG_ID algId = 0;
        GostKind kind = GostKind::None;
        auto certSpki = certKey ? SpkiFromInfo(*certKey, &algId, &kind) : std::nullopt;
        UniqueEvpPkey certPublic = certSpki ? PublicKeyFromSpki(*certSpki) : nullptr;
        UniqueEvpPkey ownPublic = PublicKeyFromSpki(ownSpki);
        bool same = certPublic && ownPublic && EVP_PKEY_eq(certPublic.get(), ownPublic.get()) == 1;
        ERR_clear_error();
        if (!same)
            return static_cast<DWORD>(NTE_BAD_PUBLIC_KEY);
    }
    return 0;
}

} // namespace trumik::csp

using namespace trumik::csp;

BOOL WINAPI CryptGenKey(HCRYPTPROV hProv, ALG_ID Algid, DWORD dwFlags, HCRYPTKEY* phKey)
{
    auto context = LookupProvider(hProv);
    if (!context)
        return Fail(NTE_BAD_UID);
    if (!phKey)
        return Fail(ERROR_INVALID_PARAMETER);
    // AT_KEYEXCHANGE and AT_SIGNATURE make a key of the provider's own kind.
    const GostKind providerKind = context->provType == PROV_GOST_2012_256   ? GostKind::R2012_256
                                  : context->provType == PROV_GOST_2012_512 ? GostKind::R2012_512
                                                                            : GostKind::R2001;
    DWORD keySpec;
    GostKind kind;
    if (Algid == AT_KEYEXCHANGE || Algid == AT_SIGNATURE) {
        keySpec = Algid;
        kind = providerKind;
    } else {
        keySpec = 0;
        kind = GostKind::None;
        for (GostKind k : {GostKind::R2001, GostKind::R2012_256, GostKind::R2012_512})
            for (DWORD spec : {DWORD(AT_KEYEXCHANGE), DWORD(AT_SIGNATURE)})
                if (Algid == KeyAlgOf(k, spec)) {
                    keySpec = spec;
                    kind = k;
                }
        if (!keySpec)
            return Fail(NTE_BAD_ALGID);
    }
    DWORD bits = dwFlags >> 16;
    if ((dwFlags & 0xFFFF & ~DWORD(CRYPT_EXPORTABLE | CRYPT_USER_PROTECTED)) ||
        (bits != 0 && bits != KeyBitsOf(kind)))
        return Fail(NTE_BAD_FLAGS);
    if (context->verifyOnly)
        return Fail(NTE_BAD_KEYSET);
    if (context->kind->external)
        return Fail(NTE_NOT_SUPPORTED); // key pairs on a token are made by the token's tools
    UniqueEvpPkey key = GenerateGostKey(kind);
    auto pkcs8 = key ? PrivateKeyToPkcs8(key.get()) : std::nullopt;
    auto spki = key ? PublicKeyToSpki(key.get()) : std::nullopt;
    if (!pkcs8 || !spki)
        return Fail(NTE_FAIL);
    GenKeyArgs args{keySpec, (dwFlags & CRYPT_EXPORTABLE) != 0, std::move(*pkcs8), *spki, PinFor(*context)};
    DWORD rc = UpdateContainer(context->scope, context->container, StoreGeneratedKey, &args);
    OPENSSL_cleanse(args.pkcs8.data(), args.pkcs8.size());
    if (rc)
        return Fail(rc);
    *phKey = AddKeyObject(context, keySpec, kind, KeyAlgOf(kind, keySpec), args.exportable, std::move(*spki));
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL WINAPI CryptGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY* phUserKey)
{
    auto context = LookupProvider(hProv);
    if (!context)
        return Fail(NTE_BAD_UID);
    if (!phUserKey)
        return Fail(ERROR_INVALID_PARAMETER);
    if (context->verifyOnly || (dwKeySpec != AT_KEYEXCHANGE && dwKeySpec != AT_SIGNATURE))
        return Fail(NTE_NO_KEY);
    GostKind kind = GostKind::None;
    Bytes spki;
    bool exportable = false;
    if (DWORD rc = context->kind->publicKey(context->scope, context->container, dwKeySpec, &kind, &spki,
                                            &exportable))
        return Fail(rc);
    *phUserKey =
        AddKeyObject(context, dwKeySpec, kind, KeyAlgOf(kind, dwKeySpec), exportable, std::move(spki));
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL WINAPI CryptDestroyKey(HCRYPTKEY hKey)
{
    if (!Keys().Remove(hKey))
        return Fail(NTE_BAD_KEY);
    return TRUE;
}

BOOL WINAPI CryptGetKeyParam(HCRYPTKEY hKey, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen, DWORD dwFlags)
{
    auto key = Keys().Find(hKey);
    if (!key)
        return Fail(NTE_BAD_KEY);
    if (!pdwDataLen)
        return Fail(ERROR_INVALID_PARAMETER);
    if (dwFlags != 0)
        return Fail(NTE_BAD_FLAGS);
    switch (dwParam) {
    case KP_ALGID:
        return CopyDword(pbData, pdwDataLen, key->algId);
    case KP_KEYLEN:
        return CopyDword(pbData, pdwDataLen, KeyBitsOf(key->kind));
    case KP_PERMISSIONS:
        return CopyDword(pbData, pdwDataLen, key->exportable ? CRYPT_EXPORT : 0);
    default:
        return Fail(NTE_BAD_TYPE);
    }
}

BOOL WINAPI CryptExportKey(HCRYPTKEY hKey, HCRYPTKEY hExpKey, DWORD dwBlobType, DWORD dwFlags, BYTE* pbData,
                           DWORD* pdwDataLen)
{
    auto key = Keys().Find(hKey);
    if (!key)
        return Fail(NTE_BAD_KEY);
    if (!pdwDataLen)
        return Fail(ERROR_INVALID_PARAMETER);
    if (dwFlags != 0)
        return Fail(NTE_BAD_FLAGS);
    if (dwBlobType != PUBLICKEYBLOB)
        return Fail(NTE_BAD_TYPE);
    if (hExpKey != 0)
        return Fail(NTE_BAD_PUBLIC_KEY);
    // BLOBHEADER, then the GOST public key parameters: magic "MAG1", the key
    // length in bits, the DER of the key's parameter set and the 64 (128 for
    // a 2012-512 key) bytes of the key as the certificate carries them
    // (little-endian X, then Y).
    const unsigned char* p = key->publicKey.data();
    X509_PUBKEY* pub = d2i_X509_PUBKEY(nullptr, &p, static_cast<long>(key->publicKey.size()));
    const unsigned char* keyBits = nullptr;
    int keyLen = 0;
    X509_ALGOR* algorithm = nullptr;
    Bytes blob;
    if (pub && X509_PUBKEY_get0_param(nullptr, &keyBits, &keyLen, &algorithm, pub) == 1) {
        const void* paramValue = nullptr;
        int paramType = 0;
        X509_ALGOR_get0(nullptr, &paramType, &paramValue, algorithm);
        const ASN1_STRING* seq = static_cast<const ASN1_STRING*>(paramValue);
        // The key is an OCTET STRING of 64 (or 128) bytes inside the BIT STRING.
        const bool wide = key->kind == GostKind::R2012_512;
        const int header = wide ? 3 : 2;
        const int size = wide ? 128 : 64;
        const bool shaped =
            wide ? keyLen == 131 && keyBits[0] == 0x04 && keyBits[1] == 0x81 && keyBits[2] == 0x80
                 : keyLen == 66 && keyBits[0] == 0x04 && keyBits[1] == 0x40;
        if (paramType == V_ASN1_SEQUENCE && seq && shaped) {
            ALG_ID alg = key->algId;
            blob = {PUBLICKEYBLOB, 0x20, 0, 0};
            for (int i = 0; i < 4; ++i)
                blob.push_back(static_cast<uint8_t>(alg >> (8 * i)));
            const DWORD bits = KeyBitsOf(key->kind);
            const uint8_t magic[] = {'M', 'A', 'G', '1'};
            blob.insert(blob.end(), std::begin(magic), std::end(magic));
            for (int i = 0; i < 4; ++i)
                blob.push_back(static_cast<uint8_t>(bits >> (8 * i)));
            // A SEQUENCE parameter holds its whole encoding.
            blob.insert(blob.end(), ASN1_STRING_get0_data(seq),
                        ASN1_STRING_get0_data(seq) + ASN1_STRING_length(seq));
            blob.insert(blob.end(), keyBits + header, keyBits + header + size);
        }
    }
    X509_PUBKEY_free(pub);
    ERR_clear_error();
    if (blob.empty())
        return Fail(NTE_BAD_KEY);
    return CopyOut(pbData, pdwDataLen, blob.data(), blob.size());
}
