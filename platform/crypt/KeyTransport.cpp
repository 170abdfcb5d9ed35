// The key transport of GOST enveloped messages for keys outside the provider.
// The GOST ciphers and MAC come from the engine, through its ENGINE table.
#define OPENSSL_SUPPRESS_DEPRECATED 1

#include "crypt/KeyTransport.h"

#include "crypt/Der.h"
#include "internal/OpenSslHandles.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>

#include <cstring>
#include <memory>

namespace trumik::crypt {

namespace {

using der::Bytes;
using der::Tlv;

using trumik::platform::UniqueAsn1Type;
using UniqueCipherCtx = trumik::platform::UniqueEvpCipherCtx;

// The elements of `parent`, each read whole; empty when they do not fill it.
std::vector<Tlv> Elements(const BYTE* data, const Tlv& parent)
{
    std::vector<Tlv> out;
    if (!der::Children(data, parent, &out))
        out.clear();
    return out;
}

const Tlv* First(const std::vector<Tlv>& elements, BYTE tag)
{
    for (const Tlv& e : elements)
        if (e.tag == tag)
            return &e;
    return nullptr;
}

Bytes Content(const BYTE* data, const Tlv& tlv)
{
    return Bytes(data + tlv.content, data + tlv.End());
}

// GostR3410-KeyTransport ::= SEQUENCE {
//   sessionEncryptedKey SEQUENCE { encryptedKey OCTET STRING (32),
//                                  maskKey [0] OPTIONAL, macKey OCTET STRING (4) },
//   transportParameters [0] IMPLICIT SEQUENCE { encryptionParamSet OBJECT IDENTIFIER,
//                                  ephemeralPublicKey [0] IMPLICIT SubjectPublicKeyInfo,
//                                  ukm OCTET STRING (8) } }
bool ReadTransport(const BYTE* data, size_t size, GostKeyTransport* out)
{
    Tlv top;
    if (!der::ReadTlv(data, 0, size, &top) || top.tag != 0x30 || top.End() != size)
        return false;
    const auto parts = Elements(data, top);
    if (parts.size() != 2 || parts[0].tag != 0x30 || parts[1].tag != 0xA0)
        return false;
    const auto session = Elements(data, parts[0]);
    if (session.size() < 2 || session.front().tag != 0x04 || session.back().tag != 0x04)
        return false;
    out->encryptedKey = Content(data, session.front());
    out->mac = Content(data, session.back());
    const auto params = Elements(data, parts[1]);
    if (params.size() != 3 || params[0].tag != 0x06 || params[1].tag != 0xA0 || params[2].tag != 0x04)
        return false;
    out->paramSetOid = der::Raw(data, params[0]);
    out->ukm = Content(data, params[2]);
    const auto spki = Elements(data, params[1]);
    if (spki.size() != 2 || spki[0].tag != 0x30 || spki[1].tag != 0x03 || spki[1].length < 2 ||
        data[spki[1].content] != 0)
        return false;
    // The BIT STRING holds the DER of an OCTET STRING: x then y, little-endian.
    Tlv point;
    if (!der::ReadTlv(data, spki[1].content + 1, spki[1].End(), &point) || point.tag != 0x04 ||
        point.End() != spki[1].End())
        return false;
    out->ephemeralKey = Content(data, point);
    return out->encryptedKey.size() == 32 && out->mac.size() == 4 && out->ukm.size() == 8 &&
           (out->ephemeralKey.size() == 64 || out->ephemeralKey.size() == 128);
}

// Gost28147-89-Parameters { iv, encryptionParamSet } for the engine's ciphers,
// which take their S-box and IV from them as from a message.
UniqueAsn1Type CipherParameters(const Bytes& iv, const Bytes& paramSetOid)
{
    Bytes seq;
    der::AppendTlv(seq, 0x04, iv);
    der::Append(seq, paramSetOid);
    const Bytes encoded = der::Wrap(0x30, seq);
    const unsigned char* p = encoded.data();
    return UniqueAsn1Type(d2i_ASN1_TYPE(nullptr, &p, static_cast<long>(encoded.size())));
}

// Runs a GOST 28147-89 cipher of the engine over `in` (whole blocks, no padding).
bool RunCipher(ENGINE* engine, int nid, bool encrypt, const Bytes& key, const Bytes& iv,
               const Bytes& paramSetOid, const Bytes& in, Bytes* out)
{
    const EVP_CIPHER* cipher = ENGINE_get_cipher(engine, nid);
    UniqueCipherCtx ctx(EVP_CIPHER_CTX_new());
    UniqueAsn1Type params = CipherParameters(iv, paramSetOid);
    if (!cipher || !ctx || !params)
        return false;
    const int enc = encrypt ? 1 : 0;
    if (EVP_CipherInit_ex(ctx.get(), cipher, nullptr, nullptr, nullptr, enc) != 1 ||
        EVP_CIPHER_asn1_to_param(ctx.get(), params.get()) <= 0 ||
        EVP_CIPHER_CTX_set_padding(ctx.get(), 0) != 1 ||
        EVP_CipherInit_ex(ctx.get(), nullptr, nullptr, key.data(), nullptr, enc) != 1)
        return false;
    out->assign(in.size() + 8, 0);
    int written = 0;
    if (EVP_CipherUpdate(ctx.get(), out->data(), &written, in.data(), static_cast<int>(in.size())) != 1 ||
        written != static_cast<int>(in.size()))
        return false;
    out->resize(in.size());
    return true;
}

// The MAC of GOST 28147-89 (32 bits) with an IV: the engine's MAC starts
// from zero, and an IV XORed into the first block gives the same result.
bool Imit(ENGINE* engine, int macNid, const Bytes& key, const Bytes& iv, Bytes data, Bytes* mac)
{
    for (size_t i = 0; i < 8; ++i)
        data[i] ^= iv[i];
    trumik::platform::UniqueEvpPkeyCtx keygen(EVP_PKEY_CTX_new_id(macNid, engine));
    EVP_PKEY* raw = nullptr;
    if (!keygen || EVP_PKEY_keygen_init(keygen.get()) != 1 ||
        EVP_PKEY_CTX_ctrl(keygen.get(), -1, EVP_PKEY_OP_KEYGEN, EVP_PKEY_CTRL_SET_MAC_KEY,
                          static_cast<int>(key.size()), const_cast<BYTE*>(key.data())) <= 0 ||
        EVP_PKEY_keygen(keygen.get(), &raw) != 1)
        return false;
    trumik::platform::UniqueEvpPkey macKey(raw);
    const EVP_MD* md = ENGINE_get_digest(engine, macNid);
    trumik::platform::UniqueEvpMdCtx ctx(EVP_MD_CTX_new());
    if (!md || !ctx || EVP_DigestSignInit(ctx.get(), nullptr, md, engine, macKey.get()) != 1 ||
        EVP_DigestSignUpdate(ctx.get(), data.data(), data.size()) != 1)
        return false;
    size_t size = 0;
    if (EVP_DigestSignFinal(ctx.get(), nullptr, &size) != 1 || size == 0)
        return false;
    mac->assign(size, 0);
    if (EVP_DigestSignFinal(ctx.get(), mac->data(), &size) != 1)
        return false;
    mac->resize(size);
    return true;
}

} // namespace

std::vector<GostKeyTransport> GostKeyTransportsFor(const BYTE* data, size_t size, const Bytes& ridDer)
{
    std::vector<GostKeyTransport> found;
    // ContentInfo { contentType, [0] EnvelopedData { version, originatorInfo [0]
    // OPTIONAL, recipientInfos SET, ... } }
    Tlv info;
    if (!der::ReadTlv(data, 0, size, &info) || info.tag != 0x30)
        return found;
    const auto outer = Elements(data, info);
    if (outer.size() != 2 || outer[1].tag != 0xA0)
        return found;
    const auto wrapped = Elements(data, outer[1]);
    if (wrapped.size() != 1 || wrapped[0].tag != 0x30)
        return found;
    const auto envelope = Elements(data, wrapped[0]);
    const Tlv* recipients = First(envelope, 0x31);
    if (!recipients)
        return found;
    for (const Tlv& ri : Elements(data, *recipients)) {
        // KeyTransRecipientInfo { version, rid, keyEncryptionAlgorithm, encryptedKey }
        if (ri.tag != 0x30)
            continue;
        const auto fields = Elements(data, ri);
        if (fields.size() != 4 || fields[3].tag != 0x04 || der::Raw(data, fields[1]) != ridDer)
            continue;
        GostKeyTransport transport;
        if (ReadTransport(data + fields[3].content, fields[3].length, &transport))
            found.push_back(std::move(transport));
    }
    return found;
}

DWORD UnwrapCryptoPro(ENGINE* engine, const Bytes& kek, const GostKeyTransport& transport, Bytes* cek)
{
    // The engine has a MAC for two S-boxes: CryptoPro A (its MAC of GOST
    // 28147-89) and TC26 Z (its MAC for GOST R 34.10-2012 key transport);
    // they are the sets keys are wrapped with.
    int macNid = NID_undef;
    if (transport.paramSetOid == der::EncodeOid("1.2.643.2.2.31.1"))
        macNid = NID_id_Gost28147_89_MAC;
    else if (transport.paramSetOid == der::EncodeOid("1.2.643.7.1.2.5.1.1"))
        macNid = NID_gost_mac_12;
    if (macNid == NID_undef || kek.size() != 32)
        return static_cast<DWORD>(NTE_BAD_ALGID);
    if (!engine || !ENGINE_get_cipher(engine, NID_id_Gost28147_89) ||
        !ENGINE_get_cipher(engine, NID_gost89_cbc)) {
        ERR_clear_error();
        return static_cast<DWORD>(NTE_BAD_ALGID);
    }
    // The key-encryption key diversified by the UKM: eight rounds, each
    // encrypting the key in CFB mode under an IV of two sums of its words.
    Bytes key = kek;
    for (size_t i = 0; i < 8; ++i) {
        uint32_t s1 = 0, s2 = 0;
        for (size_t j = 0; j < 8; ++j) {
            const uint32_t word =
                static_cast<uint32_t>(key[4 * j]) | static_cast<uint32_t>(key[4 * j + 1]) << 8 |
                static_cast<uint32_t>(key[4 * j + 2]) << 16 | static_cast<uint32_t>(key[4 * j + 3]) << 24;
            if (transport.ukm[i] & (1u << j))
                s1 += word;
            else
                s2 += word;
        }
        Bytes iv(8);
        for (size_t b = 0; b < 4; ++b) {
            iv[b] = static_cast<BYTE>(s1 >> (8 * b));
            iv[4 + b] = static_cast<BYTE>(s2 >> (8 * b));
        }
        Bytes next;
        if (!RunCipher(engine, NID_id_Gost28147_89, true, key, iv, transport.paramSetOid, key, &next)) {
            ERR_clear_error();
            return static_cast<DWORD>(NTE_FAIL);
        }
        key = std::move(next);
    }
    // ECB decryption of the four blocks: CBC from a zero IV, each block but
    // the first XORed back with the ciphertext block before it.
    Bytes plain;
    if (!RunCipher(engine, NID_gost89_cbc, false, key, Bytes(8, 0), transport.paramSetOid,
                   transport.encryptedKey, &plain)) {
        ERR_clear_error();
        return static_cast<DWORD>(NTE_FAIL);
    }
    for (size_t i = 8; i < plain.size(); ++i)
        plain[i] ^= transport.encryptedKey[i - 8];
    Bytes mac;
    if (!Imit(engine, macNid, key, transport.ukm, plain, &mac)) {
        ERR_clear_error();
        return static_cast<DWORD>(NTE_FAIL);
    }
    if (mac.size() < transport.mac.size() ||
        std::memcmp(mac.data(), transport.mac.data(), transport.mac.size()) != 0)
        return static_cast<DWORD>(NTE_BAD_DATA);
    *cek = std::move(plain);
    return 0;
}

} // namespace trumik::crypt
