// libFuzzer entry point for the SignedData reader (CryptMsgOpenToDecode and
// the calls on a decoded message): every parameter of every signer is read,
// and every signer is verified with the certificates the message carries.
// The verdict is checked: an input whose signers all verify must carry the
// content of one of the seeds, signed by the fuzz key holder; anything else
// that verifies aborts. Built with -fsanitize=fuzzer under TRUMIK_FUZZ; the
// test run drives it through FuzzSignedMessagesDriverTest.cpp.
#include "FuzzSignedMessages.h"
#include "FuzzRecipient.h"

#include <algorithm>
#include <cstdlib>
#include <memory>

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

struct MsgClose {
    void operator()(void* m) const { CryptMsgClose(m); }
};
using UniqueMsg = std::unique_ptr<void, MsgClose>;
struct CertFree {
    void operator()(const CERT_CONTEXT* c) const { CertFreeCertificateContext(c); }
};
using UniqueCert = std::unique_ptr<const CERT_CONTEXT, CertFree>;

std::vector<BYTE> Param(HCRYPTMSG msg, DWORD type, DWORD index = 0)
{
    DWORD size = 0;
    if (!CryptMsgGetParam(msg, type, index, nullptr, &size))
        return {};
    std::vector<BYTE> out(size);
    if (size && !CryptMsgGetParam(msg, type, index, out.data(), &size))
        return {};
    out.resize(size);
    return out;
}

DWORD Count(HCRYPTMSG msg, DWORD type)
{
    DWORD value = 0, size = sizeof value;
    return CryptMsgGetParam(msg, type, 0, &value, &size) ? value : 0;
}

const std::vector<std::vector<BYTE>>& SeedContents()
{
    static const std::vector<std::vector<BYTE>> contents = {
        {}, {'x'}, std::vector<BYTE>(17, 0x11), std::vector<BYTE>(700, 0xA5)};
    return contents;
}

CMSG_SIGNER_ENCODE_INFO SignerOf(HCRYPTPROV provider)
{
    CMSG_SIGNER_ENCODE_INFO signer{};
    signer.cbSize = sizeof signer;
    signer.pCertInfo = TheFuzzRecipient().cert->pCertInfo;
    signer.hCryptProv = provider;
    signer.dwKeySpec = AT_KEYEXCHANGE;
    signer.HashAlgorithm.pszObjId = const_cast<LPSTR>(szOID_CP_GOST_R3411);
    return signer;
}

std::vector<BYTE> SignSeed(const std::vector<BYTE>& content, bool twice)
{
    const FuzzRecipient& r = TheFuzzRecipient();
    HCRYPTPROV provider = 0;
    DWORD keySpec = 0;
    if (!r.cert || !CryptAcquireCertificatePrivateKey(r.cert, 0, nullptr, &provider, &keySpec, nullptr))
        return {};
    CMSG_SIGNER_ENCODE_INFO signer = SignerOf(provider);
    CERT_BLOB cert{r.cert->cbCertEncoded, r.cert->pbCertEncoded};
    CMSG_SIGNED_ENCODE_INFO info{sizeof info, 1, &signer, 1, &cert, 0, nullptr};
    std::vector<BYTE> out;
    UniqueMsg msg(CryptMsgOpenToEncode(kEncoding, 0, CMSG_SIGNED, &info, nullptr, nullptr));
    if (msg && CryptMsgUpdate(msg.get(), content.data(), static_cast<DWORD>(content.size()), TRUE))
        out = Param(msg.get(), CMSG_CONTENT_PARAM);
    if (twice && !out.empty()) {
        UniqueMsg again(CryptMsgOpenToDecode(kEncoding, 0, 0, 0, nullptr, nullptr));
        if (CryptMsgUpdate(again.get(), out.data(), static_cast<DWORD>(out.size()), TRUE) &&
            CryptMsgControl(again.get(), 0, CMSG_CTRL_ADD_SIGNER, &signer))
            out = Param(again.get(), CMSG_ENCODED_MESSAGE);
    }
    CryptReleaseContext(provider, 0);
    return out;
}

// Every parameter of a signer, read as a caller would (nothing is kept).
void ReadSigner(HCRYPTMSG msg, DWORD index)
{
    const std::vector<BYTE> info = Param(msg, CMSG_SIGNER_CERT_INFO_PARAM, index);
    const std::vector<BYTE> block = Param(msg, CMSG_SIGNER_AUTH_ATTR_PARAM, index);
    if (block.size() < sizeof(CRYPT_ATTRIBUTES))
        return;
    const auto* attrs = reinterpret_cast<const CRYPT_ATTRIBUTES*>(block.data());
    for (DWORD a = 0; a < attrs->cAttr; ++a)
        for (DWORD v = 0; v < attrs->rgAttr[a].cValue; ++v) {
            FILETIME when{};
            DWORD size = sizeof when;
            CryptDecodeObject(kEncoding, PKCS_UTC_TIME, attrs->rgAttr[a].rgValue[v].pbData,
                              attrs->rgAttr[a].rgValue[v].cbData, 0, &when, &size);
        }
}

} // namespace

std::vector<std::vector<BYTE>> SignedFuzzSeeds()
{
    std::vector<std::vector<BYTE>> seeds;
    for (const auto& content : SeedContents())
        seeds.push_back(SignSeed(content, false));
    seeds.push_back(SignSeed(SeedContents()[2], true));
    return seeds;
}

bool SignedFuzzVerdict(const uint8_t* data, size_t size)
{
    const FuzzRecipient& r = TheFuzzRecipient();
    UniqueMsg msg(CryptMsgOpenToDecode(kEncoding, 0, 0, 0, nullptr, nullptr));
    if (!msg || !CryptMsgUpdate(msg.get(), data, static_cast<DWORD>(size), TRUE))
        return false;
    const DWORD signers = Count(msg.get(), CMSG_SIGNER_COUNT_PARAM);
    const DWORD certCount = Count(msg.get(), CMSG_CERT_COUNT_PARAM);
    std::vector<UniqueCert> certs;
    for (DWORD c = 0; c < certCount; ++c) {
        const std::vector<BYTE> der = Param(msg.get(), CMSG_CERT_PARAM, c);
        if (der.size() > size)
            std::abort(); // nothing read comes from outside the input
        if (PCCERT_CONTEXT cert =
                CertCreateCertificateContext(kEncoding, der.data(), static_cast<DWORD>(der.size())))
            certs.emplace_back(cert);
    }
    bool allHold = signers > 0;
    for (DWORD s = 0; s < signers; ++s) {
        ReadSigner(msg.get(), s);
        const CERT_CONTEXT* by = nullptr;
        for (const UniqueCert& cert : certs) {
            CMSG_CTRL_VERIFY_SIGNATURE_EX_PARA para{sizeof para, 0, s, CMSG_VERIFY_SIGNER_CERT,
                                                    const_cast<CERT_CONTEXT*>(cert.get())};
            if (CryptMsgControl(msg.get(), 0, CMSG_CTRL_VERIFY_SIGNATURE_EX, &para)) {
                by = cert.get();
                break;
            }
        }
        allHold = allHold && by;
        // Only the fuzz key holder signed anything that verifies.
        if (by &&
            (!r.cert || by->cbCertEncoded != r.cert->cbCertEncoded ||
             !std::equal(by->pbCertEncoded, by->pbCertEncoded + by->cbCertEncoded, r.cert->pbCertEncoded)))
            std::abort();
    }
    DWORD contentSize = 0;
    const bool attached = CryptMsgGetParam(msg.get(), CMSG_CONTENT_PARAM, 0, nullptr, &contentSize);
    if (allHold) {
        // What verifies is content the fuzz key holder signed.
        const std::vector<BYTE> content =
            attached ? Param(msg.get(), CMSG_CONTENT_PARAM) : std::vector<BYTE>();
        const auto& seeds = SeedContents();
        if (std::find(seeds.begin(), seeds.end(), content) == seeds.end())
            std::abort();
    }
    return allHold;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    SignedFuzzVerdict(data, size);
    return 0;
}
