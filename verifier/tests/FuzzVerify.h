// What the verification fuzz target shares with its test driver.
#pragma once

#include <oleauto.h>

#include <optional>
#include <string>
#include <vector>

namespace trumik::verifiertest {

// The GOST-signed seed documents, made (and each checked to verify) once per
// process; a set-up failure ends the process.
const std::vector<std::string>& GostSeeds();

// The content an enveloped signature over the whole document signs: the
// inclusive canonical form, without comments, of the document parsed as the
// verifier parses it, with its first ds:Signature element removed; empty
// when the document does not parse or holds no signature.
std::optional<std::string> SignedContent(BSTR document);

} // namespace trumik::verifiertest
