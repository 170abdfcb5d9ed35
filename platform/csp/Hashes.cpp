// Hashes and signatures of the GOST provider. A key signs the digest of its
// own kind (GOST R 34.11-94, R 34.11-2012 256 or 512 bits).
//
// Byte order as CryptoAPI has it: HP_HASHVAL gives the digest bytes as the
// hash computes them; CryptSignHash returns the signature byte-reversed
// against the RFC 4491/7091 form (s || r, big-endian) that the OpenSSL
// engine makes, and CryptVerifySignature takes that reversed form.
#include "csp/CspInternal.h"
#include "csp/KeyObjects.h"
#include "internal/OpenSslHandles.h"

#include <openssl/err.h>

#include <algorithm>

namespace trumik::csp {

namespace {

using trumik::platform::EvpMdCtxFree;
struct HashObject {
    std::shared_ptr<ProviderContext> context;
    ALG_ID algId = CALG_GR3411;
    std::unique_ptr<EVP_MD_CTX, EvpMdCtxFree> md;
    bool finished = false;
    Bytes value;
    // The data hashed, kept for keys that may have to sign the message
    // itself (a token that signs only with its own digest); nullopt when not kept.
    std::optional<Bytes> message;
};
ObjectTable<HashObject>& Hashes()
{
    static ObjectTable<HashObject> table;
    return table;
}
// Finishes a hash: no more data after this.
bool Finish(HashObject& hash)
{
    if (hash.finished)
        return true;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_DigestFinal_ex(hash.md.get(), digest, &len) != 1) {
        ERR_clear_error();
        return false;
    }
    hash.value.assign(digest, digest + len);
    hash.finished = true;
    return true;
}
BOOL SignHash(HCRYPTHASH hHash, DWORD dwKeySpec, DWORD dwFlags, BYTE* pbSignature, DWORD* pdwSigLen)
{
    auto hash = Hashes().Find(hHash);
    if (!hash)
        return Fail(NTE_BAD_HASH);
    if (!pdwSigLen)
        return Fail(ERROR_INVALID_PARAMETER);
    if (dwFlags & ~DWORD(CRYPT_NOHASHOID))
        return Fail(NTE_BAD_FLAGS);
    if (dwKeySpec != AT_KEYEXCHANGE && dwKeySpec != AT_SIGNATURE)
        return Fail(NTE_BAD_KEY);
    const ProviderContext& context = *hash->context;
    if (context.verifyOnly)
        return Fail(NTE_NO_KEY);
    GostKind kind = GostKind::None;
    Bytes spki;
    bool exportable = false;
    if (DWORD rc =
            context.kind->publicKey(context.scope, context.container, dwKeySpec, &kind, &spki, &exportable))
        return Fail(rc);
    // A key signs the digest of its own kind only.
    if (hash->algId != HashAlgOf(kind))
        return Fail(NTE_BAD_ALGID);
    const size_t signatureSize = SignatureSizeOf(kind);
    if (!pbSignature) {
        *pdwSigLen = static_cast<DWORD>(signatureSize);
        return TRUE;
    }
    if (*pdwSigLen < signatureSize) {
        *pdwSigLen = static_cast<DWORD>(signatureSize);
        return Fail(ERROR_MORE_DATA);
    }
    if (!Finish(*hash))
        return Fail(NTE_BAD_HASH_STATE);
    if (hash->value.size() != DigestSizeOf(hash->algId))
        return Fail(NTE_BAD_HASH);
    Bytes signature;
    if (DWORD rc = context.kind->signDigest(context, dwKeySpec, hash->value, hash->message, &signature))
        return Fail(rc);
    if (signature.size() != signatureSize)
        return Fail(NTE_FAIL);
    std::reverse_copy(signature.begin(), signature.end(), pbSignature);
    *pdwSigLen = static_cast<DWORD>(signatureSize);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL VerifySignature(HCRYPTHASH hHash, const BYTE* pbSignature, DWORD dwSigLen, HCRYPTKEY hPubKey,
                     DWORD dwFlags)
{
    auto hash = Hashes().Find(hHash);
    if (!hash)
        return Fail(NTE_BAD_HASH);
    auto key = Keys().Find(hPubKey);
    if (!key)
        return Fail(NTE_BAD_KEY);
    if (dwFlags & ~DWORD(CRYPT_NOHASHOID))
        return Fail(NTE_BAD_FLAGS);
    if (!pbSignature && dwSigLen)
        return Fail(ERROR_INVALID_PARAMETER);
    if (hash->algId != HashAlgOf(key->kind))
        return Fail(NTE_BAD_ALGID);
    if (dwSigLen != SignatureSizeOf(key->kind))
        return Fail(NTE_BAD_SIGNATURE);
    if (!Finish(*hash))
        return Fail(NTE_BAD_HASH_STATE);
    if (hash->value.size() != DigestSizeOf(hash->algId))
        return Fail(NTE_BAD_HASH);
    UniqueEvpPkey publicKey = PublicKeyFromSpki(key->publicKey);
    if (!publicKey || KindOf(publicKey.get()) != key->kind)
        return Fail(NTE_BAD_KEY);
    Bytes signature(pbSignature, pbSignature + dwSigLen);
    std::reverse(signature.begin(), signature.end());
    if (!VerifyDigest(publicKey.get(), hash->value, signature))
        return Fail(NTE_BAD_SIGNATURE);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

} // namespace

} // namespace trumik::csp

using namespace trumik::csp;

BOOL WINAPI CryptCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey, DWORD dwFlags, HCRYPTHASH* phHash)
{
    auto context = LookupProvider(hProv);
    if (!context)
        return Fail(NTE_BAD_UID);
    if (Algid != CALG_GR3411 && Algid != CALG_GR3411_2012_256 && Algid != CALG_GR3411_2012_512)
        return Fail(NTE_BAD_ALGID);
    if (hKey != 0)
        return Fail(NTE_BAD_KEY);
    if (dwFlags != 0)
        return Fail(NTE_BAD_FLAGS);
    if (!phHash)
        return Fail(ERROR_INVALID_PARAMETER);
    auto hash = std::make_shared<HashObject>();
    hash->context = context;
    hash->algId = Algid;
    if (context->kind->external)
        hash->message.emplace();
    hash->md.reset(EVP_MD_CTX_new());
    const EVP_MD* md = GostDigest(Algid);
    if (!md || !hash->md || EVP_DigestInit_ex(hash->md.get(), md, GostEngine()) != 1) {
        ERR_clear_error();
        return Fail(NTE_PROVIDER_DLL_FAIL);
    }
    *phHash = Hashes().Add(std::move(hash));
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL WINAPI CryptHashData(HCRYPTHASH hHash, const BYTE* pbData, DWORD dwDataLen, DWORD dwFlags)
{
    auto hash = Hashes().Find(hHash);
    if (!hash)
        return Fail(NTE_BAD_HASH);
    if (dwFlags != 0)
        return Fail(NTE_BAD_FLAGS);
    if (hash->finished)
        return Fail(NTE_BAD_HASH_STATE);
    if (!pbData && dwDataLen)
        return Fail(ERROR_INVALID_PARAMETER);
    if (dwDataLen && EVP_DigestUpdate(hash->md.get(), pbData, dwDataLen) != 1) {
        ERR_clear_error();
        return Fail(NTE_FAIL);
    }
    if (hash->message && dwDataLen)
        hash->message->insert(hash->message->end(), pbData, pbData + dwDataLen);
    return TRUE;
}

BOOL WINAPI CryptGetHashParam(HCRYPTHASH hHash, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen, DWORD dwFlags)
{
    auto hash = Hashes().Find(hHash);
    if (!hash)
        return Fail(NTE_BAD_HASH);
    if (!pdwDataLen)
        return Fail(ERROR_INVALID_PARAMETER);
    if (dwFlags != 0)
        return Fail(NTE_BAD_FLAGS);
    switch (dwParam) {
    case HP_ALGID:
        return CopyDword(pbData, pdwDataLen, hash->algId);
    case HP_HASHSIZE:
        return CopyDword(pbData, pdwDataLen, static_cast<DWORD>(DigestSizeOf(hash->algId)));
    case HP_HASHVAL: {
        const DWORD size = static_cast<DWORD>(DigestSizeOf(hash->algId));
        if (!pbData) { // a size query leaves the hash open
            *pdwDataLen = size;
            return TRUE;
        }
        if (*pdwDataLen < size) {
            *pdwDataLen = size;
            return Fail(ERROR_MORE_DATA);
        }
        if (!Finish(*hash))
            return Fail(NTE_BAD_HASH_STATE);
        return CopyOut(pbData, pdwDataLen, hash->value.data(), hash->value.size());
    }
    default:
        return Fail(NTE_BAD_TYPE);
    }
}

BOOL WINAPI CryptSetHashParam(HCRYPTHASH hHash, DWORD dwParam, const BYTE* pbData, DWORD dwFlags)
{
    auto hash = Hashes().Find(hHash);
    if (!hash)
        return Fail(NTE_BAD_HASH);
    if (dwFlags != 0)
        return Fail(NTE_BAD_FLAGS);
    if (dwParam != HP_HASHVAL)
        return Fail(NTE_BAD_TYPE);
    if (!pbData)
        return Fail(ERROR_INVALID_PARAMETER);
    hash->value.assign(pbData, pbData + DigestSizeOf(hash->algId));
    hash->finished = true;
    return TRUE;
}

BOOL WINAPI CryptDestroyHash(HCRYPTHASH hHash)
{
    if (!Hashes().Remove(hHash))
        return Fail(NTE_BAD_HASH);
    return TRUE;
}

BOOL WINAPI CryptSignHashW(HCRYPTHASH hHash, DWORD dwKeySpec, LPCWSTR, DWORD dwFlags, BYTE* pbSignature,
                           DWORD* pdwSigLen)
{
    return SignHash(hHash, dwKeySpec, dwFlags, pbSignature, pdwSigLen);
}

BOOL WINAPI CryptSignHashA(HCRYPTHASH hHash, DWORD dwKeySpec, LPCSTR, DWORD dwFlags, BYTE* pbSignature,
                           DWORD* pdwSigLen)
{
    return SignHash(hHash, dwKeySpec, dwFlags, pbSignature, pdwSigLen);
}

BOOL WINAPI CryptVerifySignatureW(HCRYPTHASH hHash, const BYTE* pbSignature, DWORD dwSigLen,
                                  HCRYPTKEY hPubKey, LPCWSTR, DWORD dwFlags)
{
    return VerifySignature(hHash, pbSignature, dwSigLen, hPubKey, dwFlags);
}

BOOL WINAPI CryptVerifySignatureA(HCRYPTHASH hHash, const BYTE* pbSignature, DWORD dwSigLen,
                                  HCRYPTKEY hPubKey, LPCSTR, DWORD dwFlags)
{
    return VerifySignature(hHash, pbSignature, dwSigLen, hPubKey, dwFlags);
}
