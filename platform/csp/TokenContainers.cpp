// Key pairs on PKCS #11 tokens as containers of the provider: the PIN is the
// token's user PIN (one C_Login when it is set), the public key comes from the
// token, and a digest is signed on the token. The same key pair stands in both
// slots (AT_KEYEXCHANGE and AT_SIGNATURE): a GOST key both signs and agrees.
#include "csp/ContextKey.h"
#include "csp/CspInternal.h"
#include "csp/Tokens.h"

namespace trumik::csp {

namespace {

DWORD CheckTokenPin(Scope, const std::string& name, const std::string& pin)
{
    return TokenLogin(name, pin);
}

DWORD TokenSlotKey(Scope, const std::string& name, DWORD keySpec, GostKind* kind, Bytes* spki,
                   bool* exportable)
{
    if (keySpec != AT_KEYEXCHANGE && keySpec != AT_SIGNATURE)
        return static_cast<DWORD>(NTE_NO_KEY);
    *exportable = false;
    return TokenPublicKey(name, kind, spki);
}

// As with the provider's own containers, a key signs only once a PIN has
// been set for its container, although the token may be logged in to
// through another container on it.
DWORD TokenSign(const ProviderContext& context, DWORD, const Bytes& digest,
                const std::optional<Bytes>& message, Bytes* signature)
{
    if (!PinFor(context))
        return static_cast<DWORD>(SCARD_W_WRONG_CHV);
    return TokenSignDigest(context.container, digest, message, signature);
}

} // namespace

const ContainerKind kTokenContainers{CheckTokenPin, TokenSlotKey, TokenSign, true};

DWORD ContextAgreeKek(HCRYPTPROV hProv, DWORD keySpec, const std::vector<BYTE>& peerPublic,
                      const std::vector<BYTE>& ukm, std::vector<BYTE>* kek)
{
    auto context = LookupProvider(hProv);
    if (!context)
        return static_cast<DWORD>(NTE_BAD_UID);
    if (context->verifyOnly || (keySpec != AT_KEYEXCHANGE && keySpec != AT_SIGNATURE))
        return static_cast<DWORD>(NTE_NO_KEY);
    if (context->kind != &kTokenContainers)
        return static_cast<DWORD>(NTE_NOT_SUPPORTED);
    // As for signing: the key agrees only once a PIN stands for its container.
    if (!PinFor(*context))
        return static_cast<DWORD>(SCARD_W_WRONG_CHV);
    return TokenDeriveKek(context->container, peerPublic, ukm, kek);
}

} // namespace trumik::csp
