#!/usr/bin/env bash
# Makes an enveloped GOST XML signature with openssl alone (the GOST engine)
# and xmllint, as a peer that shares no code with the component would:
#   gost-sign-openssl.sh [--algorithm gost2001|gost2012-256|gost2012-512] [--newer-names]
#                        KEY.pem IN.xml OUT.xml
# gost2001 (the default): GOST R 34.10-2001 over GOST R 34.11-94, under the
# XML-DSig names (http://www.w3.org/2001/04/xmldsig-more#...), or with
# --newer-names under urn:ietf:params:xml:ns:cpxmlsec:algorithms:...;
# gost2012-256 and gost2012-512: GOST R 34.10-2012 over GOST R 34.11-2012 of
# that size (urn:ietf:params:xml:ns:cpxmlsec:algorithms:...). KEY must be a
# key of that algorithm. The digest is taken over the inclusive canonical form
# of IN; the SignedInfo is canonicalised by xmllint and signed with pkeyutl;
# the Signature element goes in front of the root's closing tag.
set -euo pipefail
ALGORITHM=gost2001 NEWER=0
while [ $# -gt 0 ]; do
  case "$1" in
    --algorithm) ALGORITHM="$2"; shift 2 ;;
    --newer-names) NEWER=1; shift ;;
    --) shift; break ;;
    -*) echo "gost-sign-openssl: unknown option $1" >&2; exit 2 ;;
    *) break ;;
  esac
done
[ $# -eq 3 ] || { echo "usage: gost-sign-openssl.sh [--algorithm gost2001|gost2012-256|gost2012-512] [--newer-names] KEY.pem IN.xml OUT.xml" >&2; exit 2; }
KEY="$1" IN="$2" OUT="$3"
URN=urn:ietf:params:xml:ns:cpxmlsec:algorithms
case "$ALGORITHM" in
  gost2001)
    MD=-md_gost94
    if [ "$NEWER" = 1 ]; then
      SIGNATURE_URI=$URN:gostr34102001-gostr3411 DIGEST_URI=$URN:gostr3411
    else
      SIGNATURE_URI=http://www.w3.org/2001/04/xmldsig-more#gostr34102001-gostr3411
      DIGEST_URI=http://www.w3.org/2001/04/xmldsig-more#gostr3411
    fi ;;
  gost2012-256|gost2012-512)
    bits=${ALGORITHM#gost2012-}
    MD=-md_gost12_$bits SIGNATURE_URI=$URN:gostr34102012-gostr34112012-$bits DIGEST_URI=$URN:gostr34112012-$bits ;;
  *) echo "gost-sign-openssl: unknown algorithm $ALGORITHM" >&2; exit 2 ;;
esac
TMP="$(mktemp -d)"
trap 'rm -rf "$TMP"' EXIT
digest=$(xmllint --c14n "$IN" | openssl dgst -engine gost $MD -binary 2>/dev/null | base64 -w0)
body='<CanonicalizationMethod Algorithm="http://www.w3.org/TR/2001/REC-xml-c14n-20010315"></CanonicalizationMethod><SignatureMethod Algorithm="'"$SIGNATURE_URI"'"></SignatureMethod><Reference URI=""><Transforms><Transform Algorithm="http://www.w3.org/2000/09/xmldsig#enveloped-signature"></Transform></Transforms><DigestMethod Algorithm="'"$DIGEST_URI"'"></DigestMethod><DigestValue>'"$digest"'</DigestValue></Reference>'
printf '<SignedInfo xmlns="http://www.w3.org/2000/09/xmldsig#">%s</SignedInfo>' "$body" > "$TMP/si.xml"
value=$(xmllint --c14n "$TMP/si.xml" | openssl dgst -engine gost $MD -binary 2>/dev/null |
  openssl pkeyutl -engine gost -sign -inkey "$KEY" 2>/dev/null | base64 -w0)
[ -n "$value" ] || { echo "gost-sign-openssl: signing failed" >&2; exit 1; }
SIG="<Signature xmlns=\"http://www.w3.org/2000/09/xmldsig#\"><SignedInfo>$body</SignedInfo><SignatureValue>$value</SignatureValue></Signature>" \
  perl -0pe 's{(</[^<>]*>\s*)\z}{$ENV{SIG}$1}' "$IN" > "$OUT"
