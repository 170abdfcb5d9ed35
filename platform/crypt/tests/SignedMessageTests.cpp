// CMS SignedData through CryptMsgOpenToEncode/ToDecode: the CAdES-BES
// structure, interop with `openssl cms` and the GOST engine both ways for the
// three GOST key kinds, a second signer added to a peer's message without
// touching the first, detached content in pieces, and broken messages.
#include "MessageFixtures.h"

#include "TestHome.h"

#include <winbase.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>

using namespace trumik::crypttest;

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

std::string Quote(const std::filesystem::path& p)
{
    return "'" + p.string() + "'";
}

struct MsgClose {
    void operator()(void* m) const { CryptMsgClose(m); }
};
using UniqueMsg = std::unique_ptr<void, MsgClose>;

const char* DigestOid(const std::string& algorithm)
{
    return algorithm == "gost2001"       ? szOID_CP_GOST_R3411
           : algorithm == "gost2012_256" ? szOID_CP_GOST_R3411_12_256
                                         : szOID_CP_GOST_R3411_12_512;
}

Bytes ParamBytes(void* msg, DWORD type, DWORD index = 0)
{
    DWORD size = 0;
    if (!CryptMsgGetParam(msg, type, index, nullptr, &size))
        return {};
    Bytes out(size);
    if (!CryptMsgGetParam(msg, type, index, out.data(), &size))
        return {};
    out.resize(size);
    return out;
}

DWORD ParamDword(void* msg, DWORD type)
{
    DWORD value = 0, size = sizeof value;
    return CryptMsgGetParam(msg, type, 0, &value, &size) ? value : 0xFFFFFFFF;
}

class SignedMessages : public ::testing::TestWithParam<std::string> {
  protected:
    static void SetUpTestSuite()
    {
        for (const char* a : {"gost2001", "gost2012_256", "gost2012_512"})
            signers_[a] = new Recipient(
                MakeRecipient(std::string("Signer ") + a, std::string("sig-") + a, std::nullopt, true, a));
    }
    static void TearDownTestSuite()
    {
        for (auto& [name, r] : signers_)
            delete r;
        signers_.clear();
    }
    const Recipient& Me() { return *signers_[GetParam()]; }

    // Signs content (in pieces of `piece` bytes) with a signer's container.
    static std::optional<Bytes> Sign(const Recipient& r, const std::string& algorithm, const Bytes& content,
                                     bool detached, size_t piece = 1 << 20)
    {
        UniqueStore my = OpenMy();
        UniqueCert cert = FindInStore(my.get(), r.cert);
        HCRYPTPROV provider = 0;
        DWORD keySpec = 0;
        BOOL free = FALSE;
        if (!cert || !CryptAcquireCertificatePrivateKey(cert.get(), 0, nullptr, &provider, &keySpec, &free))
            return std::nullopt;
        CMSG_SIGNER_ENCODE_INFO signer{};
        signer.cbSize = sizeof signer;
        signer.pCertInfo = cert->pCertInfo;
        signer.hCryptProv = provider;
        signer.dwKeySpec = keySpec;
        signer.HashAlgorithm.pszObjId = const_cast<LPSTR>(DigestOid(algorithm));
        CERT_BLOB certBlob{cert->cbCertEncoded, cert->pbCertEncoded};
        CMSG_SIGNED_ENCODE_INFO info{};
        info.cbSize = sizeof info;
        info.cSigners = 1;
        info.rgSigners = &signer;
        info.cCertEncoded = 1;
        info.rgCertEncoded = &certBlob;
        UniqueMsg msg(CryptMsgOpenToEncode(kEncoding, detached ? CMSG_DETACHED_FLAG : 0, CMSG_SIGNED, &info,
                                           nullptr, nullptr));
        std::optional<Bytes> out;
        if (msg) {
            bool ok = true;
            size_t done = 0;
            do {
                const size_t n = std::min(piece, content.size() - done);
                ok = CryptMsgUpdate(msg.get(), content.data() + done, static_cast<DWORD>(n),
                                    done + n == content.size());
                done += n;
            } while (ok && done < content.size());
            if (ok)
                out = ParamBytes(msg.get(), CMSG_CONTENT_PARAM);
        }
        CryptReleaseContext(provider, 0);
        return out;
    }

    // Verifies every signer with the certificates of the message; the
    // verdicts, or the error of opening it.
    static std::vector<DWORD> Verify(const Bytes& message, const Bytes* detached, DWORD* openError = nullptr)
    {
        UniqueMsg msg(
            CryptMsgOpenToDecode(kEncoding, detached ? CMSG_DETACHED_FLAG : 0, 0, 0, nullptr, nullptr));
        std::vector<DWORD> verdicts;
        if (!CryptMsgUpdate(msg.get(), message.data(), static_cast<DWORD>(message.size()), TRUE) ||
            (detached &&
             !CryptMsgUpdate(msg.get(), detached->data(), static_cast<DWORD>(detached->size()), TRUE))) {
            if (openError)
                *openError = GetLastError();
            return verdicts;
        }
        const DWORD signers = ParamDword(msg.get(), CMSG_SIGNER_COUNT_PARAM);
        const DWORD certs = ParamDword(msg.get(), CMSG_CERT_COUNT_PARAM);
        for (DWORD s = 0; s < signers; ++s) {
            DWORD verdict = static_cast<DWORD>(CRYPT_E_SIGNER_NOT_FOUND);
            for (DWORD c = 0; c < certs && verdict == static_cast<DWORD>(CRYPT_E_SIGNER_NOT_FOUND); ++c) {
                Bytes der = ParamBytes(msg.get(), CMSG_CERT_PARAM, c);
                UniqueCert cert(
                    CertCreateCertificateContext(kEncoding, der.data(), static_cast<DWORD>(der.size())));
                CMSG_CTRL_VERIFY_SIGNATURE_EX_PARA para{sizeof para, 0, s, CMSG_VERIFY_SIGNER_CERT,
                                                        const_cast<CERT_CONTEXT*>(cert.get())};
                verdict =
                    CryptMsgControl(msg.get(), 0, CMSG_CTRL_VERIFY_SIGNATURE_EX, &para) ? 0 : GetLastError();
            }
            verdicts.push_back(verdict);
        }
        return verdicts;
    }

    static std::map<std::string, Recipient*> signers_;
};

std::map<std::string, Recipient*> SignedMessages::signers_;

TEST_P(SignedMessages, AttachedSignatureHasTheCadesStructureAndOpensslVerifiesIt)
{
    const Recipient& me = Me();
    const Bytes content = {'h', 'e', 'l', 'l', 'o', '\n'};
    auto signedData = Sign(me, GetParam(), content, false, 2);
    ASSERT_TRUE(signedData) << std::hex << GetLastError();
    const auto dir = me.certDer.parent_path();
    WriteBytes(dir / "attached.p7s", *signedData);
    const std::string dump = Sh("openssl asn1parse -inform DER -in " + Quote(dir / "attached.p7s"));
    for (const char* part :
         {":contentType", ":signingTime", ":messageDigest", ":id-smime-aa-signingCertificateV2"})
        EXPECT_NE(dump.find(part), std::string::npos) << part;
    Sh("openssl cms -verify -engine gost -binary -inform DER -in " + Quote(dir / "attached.p7s") +
       " -noverify -out " + Quote(dir / "attached.out") + " 2>&1");
    EXPECT_EQ(ReadBytes(dir / "attached.out"), content);
    EXPECT_EQ(Verify(*signedData, nullptr), std::vector<DWORD>{0});
}

TEST_P(SignedMessages, DetachedSignatureInPiecesVerifiesBothWaysAndFailsOnAChangedByte)
{
    const Recipient& me = Me();
    Bytes content(300000);
    for (size_t i = 0; i < content.size(); ++i)
        content[i] = static_cast<BYTE>(i * 7 + 3);
    auto signedData = Sign(me, GetParam(), content, true, 4096);
    ASSERT_TRUE(signedData);
    const auto dir = me.certDer.parent_path();
    WriteBytes(dir / "content.bin", content);
    WriteBytes(dir / "detached.p7s", *signedData);
    Sh("openssl cms -verify -engine gost -binary -inform DER -in " + Quote(dir / "detached.p7s") +
       " -content " + Quote(dir / "content.bin") + " -noverify -out /dev/null 2>&1");
    EXPECT_EQ(Verify(*signedData, &content), std::vector<DWORD>{0});

    Bytes changed = content;
    changed[12345] ^= 1;
    EXPECT_EQ(Verify(*signedData, &changed), std::vector<DWORD>{static_cast<DWORD>(CRYPT_E_HASH_VALUE)});
    WriteBytes(dir / "changed.bin", changed);
    EXPECT_NE(std::system(("openssl cms -verify -engine gost -binary -inform DER -in " +
                           Quote(dir / "detached.p7s") + " -content " + Quote(dir / "changed.bin") +
                           " -noverify -out /dev/null >/dev/null 2>&1")
                              .c_str()),
              0);
    // The last byte of the message is the signature's.
    Bytes badSignature = *signedData;
    badSignature.back() ^= 0x40;
    EXPECT_EQ(Verify(badSignature, &content), std::vector<DWORD>{static_cast<DWORD>(NTE_BAD_SIGNATURE)});
}

TEST_P(SignedMessages, OpensslSignaturesVerifyWithAndWithoutCades)
{
    const Recipient& me = Me();
    const auto dir = me.certDer.parent_path();
    const Bytes content = {'p', 'e', 'e', 'r'};
    WriteBytes(dir / "peer.txt", content);
    for (const std::string options : {"-nodetach", "-nodetach -cades", "", "-cades"}) {
        Sh("openssl cms -sign -engine gost -binary -md " +
           std::string(GetParam() == "gost2001"       ? "md_gost94"
                       : GetParam() == "gost2012_256" ? "md_gost12_256"
                                                      : "md_gost12_512") +
           " " + options + " -in " + Quote(dir / "peer.txt") + " -signer " + Quote(me.certPem) + " -inkey " +
           Quote(me.keyPem) + " -outform DER -out " + Quote(dir / "peer.p7s") + " 2>&1");
        const Bytes message = ReadBytes(dir / "peer.p7s");
        const bool detached = options.find("nodetach") == std::string::npos;
        EXPECT_EQ(Verify(message, detached ? &content : nullptr), std::vector<DWORD>{0}) << options;
    }
}

TEST_P(SignedMessages, SecondSignerKeepsThePeersSignerByteForByte)
{
    const Recipient& me = Me();
    const auto dir = me.certDer.parent_path();
    const Bytes content = {'t', 'w', 'o'};
    WriteBytes(dir / "two.txt", content);
    // The first signer is a peer's, with another key kind.
    const Recipient& first = *signers_[GetParam() == "gost2012_256" ? "gost2012_512" : "gost2012_256"];
    Sh("openssl cms -sign -engine gost -binary -nodetach -cades -in " + Quote(dir / "two.txt") + " -signer " +
       Quote(first.certPem) + " -inkey " + Quote(first.keyPem) + " -outform DER -out " +
       Quote(dir / "one.p7s") + " 2>&1");
    const Bytes original = ReadBytes(dir / "one.p7s");

    UniqueStore my = OpenMy();
    UniqueCert cert = FindInStore(my.get(), me.cert);
    HCRYPTPROV provider = 0;
    DWORD keySpec = 0;
    ASSERT_TRUE(CryptAcquireCertificatePrivateKey(cert.get(), 0, nullptr, &provider, &keySpec, nullptr));
    UniqueMsg msg(CryptMsgOpenToDecode(kEncoding, 0, 0, 0, nullptr, nullptr));
    ASSERT_TRUE(CryptMsgUpdate(msg.get(), original.data(), static_cast<DWORD>(original.size()), TRUE));
    CRYPT_DATA_BLOB certBlob{cert->cbCertEncoded, cert->pbCertEncoded};
    CMSG_SIGNER_ENCODE_INFO signer{};
    signer.cbSize = sizeof signer;
    signer.pCertInfo = cert->pCertInfo;
    // The signer's certificate must be in the message first.
    EXPECT_FALSE(CryptMsgControl(msg.get(), 0, CMSG_CTRL_ADD_SIGNER, &signer));
    signer.hCryptProv = provider;
    signer.dwKeySpec = keySpec;
    signer.HashAlgorithm.pszObjId = const_cast<LPSTR>(DigestOid(GetParam()));
    EXPECT_FALSE(CryptMsgControl(msg.get(), 0, CMSG_CTRL_ADD_SIGNER, &signer));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_NOT_FOUND));
    ASSERT_TRUE(CryptMsgControl(msg.get(), 0, CMSG_CTRL_ADD_CERT, &certBlob));
    ASSERT_TRUE(CryptMsgControl(msg.get(), 0, CMSG_CTRL_ADD_SIGNER, &signer)) << std::hex << GetLastError();
    CryptReleaseContext(provider, 0);
    const Bytes both = ParamBytes(msg.get(), CMSG_ENCODED_MESSAGE);
    EXPECT_EQ(ParamDword(msg.get(), CMSG_SIGNER_COUNT_PARAM), 2u);

    // The first SignerInfo's bytes are in the new message as they were.
    UniqueMsg old(CryptMsgOpenToDecode(kEncoding, 0, 0, 0, nullptr, nullptr));
    ASSERT_TRUE(CryptMsgUpdate(old.get(), original.data(), static_cast<DWORD>(original.size()), TRUE));
    const Bytes firstAttrs = ParamBytes(old.get(), CMSG_SIGNER_AUTH_ATTR_PARAM, 0);
    ASSERT_FALSE(firstAttrs.empty());
    const std::string sig = Sh("openssl asn1parse -inform DER -in " + Quote(dir / "one.p7s") + " | tail -1");
    const auto hex = sig.substr(sig.find("[HEX DUMP]:") + 11, 128);
    const std::string bothHex = Hex(both.data(), both.size());
    EXPECT_NE(bothHex.find(hex.substr(0, 64)), std::string::npos);

    EXPECT_EQ(Verify(both, nullptr), (std::vector<DWORD>{0, 0}));
    WriteBytes(dir / "both.p7s", both);
    const std::string verified = Sh("openssl cms -verify -engine gost -binary -inform DER -in " +
                                    Quote(dir / "both.p7s") + " -noverify -out /dev/null 2>&1");
    EXPECT_NE(verified.find("Verification successful"), std::string::npos) << verified;
}

INSTANTIATE_TEST_SUITE_P(Gost, SignedMessages, ::testing::Values("gost2001", "gost2012_256", "gost2012_512"));

TEST(SignedMessageInput, BrokenMessagesAreRefusedWithTheirCodes)
{
    auto openError = [](const Bytes& bytes) {
        DWORD error = 0;
        UniqueMsg msg(CryptMsgOpenToDecode(kEncoding, 0, 0, 0, nullptr, nullptr));
        if (!CryptMsgUpdate(msg.get(), bytes.data(), static_cast<DWORD>(bytes.size()), TRUE))
            error = GetLastError();
        return error;
    };
    EXPECT_EQ(openError({}), static_cast<DWORD>(CRYPT_E_ASN1_EOD));
    EXPECT_EQ(openError({'n', 'o', 't', ' ', 'c', 'm', 's'}), static_cast<DWORD>(CRYPT_E_ASN1_BADTAG));
    // An enveloped-data ContentInfo is CMS, but not signed data.
    const Bytes enveloped = {0x30, 0x0D, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86,
                             0xF7, 0x0D, 0x01, 0x07, 0x03, 0xA0, 0x00};
    EXPECT_EQ(openError(enveloped), static_cast<DWORD>(CRYPT_E_INVALID_MSG_TYPE));
    const Bytes truncated(enveloped.begin(), enveloped.end() - 3);
    EXPECT_NE(openError(truncated), 0u);
}

} // namespace
