// The way from an enveloped-data ContentInfo to its encrypted content, in
// definite-length DER: ContentInfo, [0], EnvelopedData, EncryptedContentInfo
// (its last element), encryptedContent ([0] primitive, the last element of
// each). The content is the only large part of a message, so messages are
// written and read around it without copying it.
#pragma once

#include "wincrypt.h"

#include <cstddef>
#include <vector>

namespace trumik::crypt {

// From a message with an empty encryptedContent, the bytes that go before a
// content of `contentSize` bytes (every length on the way grows by it).
bool RewriteContentPath(const std::vector<BYTE>& emptyMessage, size_t contentSize, std::vector<BYTE>* header);

struct ContentSplit {
    std::vector<BYTE> header; // the message with the content left out (an empty encryptedContent)
    size_t contentOffset = 0;
    size_t contentSize = 0;
};
// Splits a DER message that spans exactly `size` bytes; false for anything
// else (BER, content in pieces, attributes after the content, ...).
bool SplitContentPath(const BYTE* data, size_t size, ContentSplit* out);

// The content encryption algorithm of a DER enveloped-data ContentInfo: the
// DER of its object identifier and of its parameters (empty when absent).
bool ContentAlgorithm(const BYTE* data, size_t size, std::vector<BYTE>* oidDer, std::vector<BYTE>* paramsDer);

// The parameters of GOST 28147-89 (RFC 4357): SEQUENCE { iv OCTET STRING
// (8 bytes), encryptionParamSet OBJECT IDENTIFIER }, nothing more; gives
// the DER of the object identifier.
bool Gost28147Parameters(const std::vector<BYTE>& paramsDer, std::vector<BYTE>* paramSetOidDer);

} // namespace trumik::crypt
