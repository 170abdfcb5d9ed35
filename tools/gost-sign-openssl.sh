#!/usr/bin/env bash
# Makes an enveloped GOST R 34.10-2001 XML signature with openssl alone (the GOST
# engine) and xmllint, as a peer that shares no code with the component would:
#   gost-sign-openssl.sh KEY.pem IN.xml OUT.xml
# The digest is GOST R 34.11-94 over the inclusive canonical form of IN; the
# signed SignedInfo is canonicalised by xmllint and signed with pkeyutl; the
# Signature element goes in front of the root's closing tag.
set -euo pipefail
KEY="$1" IN="$2" OUT="$3"
TMP="$(mktemp -d)"
trap 'rm -rf "$TMP"' EXIT
digest=$(xmllint --c14n "$IN" | openssl dgst -engine gost -md_gost94 -binary 2>/dev/null | base64 -w0)
body='<CanonicalizationMethod Algorithm="http://www.w3.org/TR/2001/REC-xml-c14n-20010315"></CanonicalizationMethod><SignatureMethod Algorithm="http://www.w3.org/2001/04/xmldsig-more#gostr34102001-gostr3411"></SignatureMethod><Reference URI=""><Transforms><Transform Algorithm="http://www.w3.org/2000/09/xmldsig#enveloped-signature"></Transform></Transforms><DigestMethod Algorithm="http://www.w3.org/2001/04/xmldsig-more#gostr3411"></DigestMethod><DigestValue>'"$digest"'</DigestValue></Reference>'
printf '<SignedInfo xmlns="http://www.w3.org/2000/09/xmldsig#">%s</SignedInfo>' "$body" > "$TMP/si.xml"
value=$(xmllint --c14n "$TMP/si.xml" | openssl dgst -engine gost -md_gost94 -binary 2>/dev/null |
  openssl pkeyutl -engine gost -sign -inkey "$KEY" 2>/dev/null | base64 -w0)
[ -n "$value" ] || { echo "gost-sign-openssl: signing failed" >&2; exit 1; }
SIG="<Signature xmlns=\"http://www.w3.org/2000/09/xmldsig#\"><SignedInfo>$body</SignedInfo><SignatureValue>$value</SignatureValue></Signature>" \
  perl -0pe 's{(</[^<>]*>\s*)\z}{$ENV{SIG}$1}' "$IN" > "$OUT"
