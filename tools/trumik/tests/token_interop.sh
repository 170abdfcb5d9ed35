#!/usr/bin/env bash
# Keys on a PKCS #11 token (the test token) used by trumik and the two
# modules, checked by tools that share no code with them: OpenSC's
# pkcs11-tool sets the token up and makes a key pair of its own, openssl with
# the GOST engine makes and checks certificates, CMS and XML signatures, and
# the independent element-signature peer checks element signatures.
#   token_interop.sh BUILD_DIR TOKEN_LIBRARY
# Runs in a fresh TRUMIK_HOME. Exit status 0 when every check holds, 1 when one fails.
set -uo pipefail
BUILD="$(cd "${1:?usage: token_interop.sh BUILD_DIR TOKEN_LIBRARY}" && pwd)"
MODULE="${2:?usage: token_interop.sh BUILD_DIR TOKEN_LIBRARY}"
TRUMIK="$BUILD/bin/trumik"
HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
PEER="$HERE/../../../exchange/tests/peer/smev_peer.py"
PIN=1234 SO_PIN=87654321 LABEL="Interop token"

WORK="$(mktemp -d)"
trap 'rm -rf "$WORK"' EXIT
export TRUMIK_HOME="$WORK/home"
mkdir -m 700 "$TRUMIK_HOME"
TOKEN_DIR="$TRUMIK_HOME/testtoken"

FAILURES=0
pass() { echo "ok   $*"; }
fail() { echo "FAIL $*"; FAILURES=$((FAILURES + 1)); }
# expect 0|nonzero LABEL COMMAND...: runs COMMAND (output in $WORK/out, $WORK/err), judges its exit status.
expect() {
  local want="$1" label="$2"; shift 2
  "$@" >"$WORK/out" 2>"$WORK/err"
  local status=$?
  if { [ "$want" = 0 ] && [ $status -eq 0 ]; } || { [ "$want" != 0 ] && [ $status -ne 0 ]; }; then
    pass "$label"
  else
    fail "$label (exit $status): $(cat "$WORK/out" "$WORK/err" | head -5)"
  fi
}
# has FILE TEXT LABEL: FILE contains TEXT.
has() {
  if grep -qF -- "$2" "$1"; then pass "$3"; else fail "$3: $(head -5 "$1")"; fi
}
# Under the sanitizers the token needs their runtime in pkcs11-tool's process.
p11() {
  LD_PRELOAD="${TRUMIK_CLIENT_PRELOAD:-}" ASAN_OPTIONS="${TRUMIK_CLIENT_PRELOAD:+detect_leaks=0}" \
    pkcs11-tool --module "$MODULE" "$@"
}

# --- the token, set up by its maker's tools ---------------------------------
p11 --init-token --slot 0 --label "$LABEL" --so-pin $SO_PIN >/dev/null 2>&1 || { echo "FAIL init-token"; exit 1; }
p11 --slot 0 --init-pin --so-pin $SO_PIN --pin $PIN >/dev/null 2>&1 || { echo "FAIL init-pin"; exit 1; }
"$TRUMIK" register >/dev/null || { echo "FAIL cannot register the component's modules"; exit 1; }
for module in "$BUILD"/lib/Zelvane.Trumik.*.so; do "$TRUMIK" register "$module" >/dev/null; done
"$TRUMIK" provider gost2012 on >/dev/null

# --- libraries that are not PKCS #11 libraries ------------------------------
printf 'text\n' >"$WORK/text.so"
expect nonzero "token add: a missing file is refused" "$TRUMIK" token add --module "$WORK/missing.so"
has "$WORK/err" "no such file" "token add: a missing file is named as such"
expect nonzero "token add: a text file is refused" "$TRUMIK" token add --module "$WORK/text.so"
has "$WORK/err" "not a shared library" "token add: a text file is not a shared library"
expect nonzero "token add: a library without C_GetFunctionList is refused" \
  "$TRUMIK" token add --module "$BUILD/lib/libtrumikplatform.so"
has "$WORK/err" "not a PKCS #11 library (no C_GetFunctionList)" "token add: the missing entry point is named"
expect 0 "token add: the test token" "$TRUMIK" token add --module "$MODULE"
expect nonzero "token add: the same library twice" "$TRUMIK" token add --module "$MODULE"

# --- a key pair and certificate made by trumik on the token -----------------
expect nonzero "cert new --token without --pin is a usage error" \
  "$TRUMIK" cert new --token "$LABEL" --algorithm gost2012-256 --subject "CN=x"
has "$WORK/err" "cert new --token needs --pin PIN" "cert new --token names the missing PIN"
expect nonzero "cert new --token with a 2001 key is a usage error" \
  "$TRUMIK" cert new --token "$LABEL" --pin $PIN --algorithm gost2001 --subject "CN=x"
expect nonzero "cert new --token on a token that is not there" \
  "$TRUMIK" cert new --token "No such token" --pin $PIN --algorithm gost2012-256 --subject "CN=x"
has "$WORK/err" "no token labelled \"No such token\"" "cert new --token names the missing token"
expect nonzero "cert new --token with a wrong PIN" \
  "$TRUMIK" cert new --token "$LABEL" --pin 9999 --algorithm gost2012-256 --subject "CN=x"
has "$WORK/err" "refused the PIN" "cert new --token says the PIN was refused"
expect 0 "cert new --token makes a 2012-256 key pair and its certificate" \
  "$TRUMIK" cert new --token "$LABEL" --pin $PIN --algorithm gost2012-256 \
  --subject "CN=Token signer, O=Interop, C=RU" --key-usage digitalSignature,nonRepudiation,keyEncipherment \
  --out "$WORK/trumik.pem"
THUMB="$(cat "$WORK/out")"
expect 0 "openssl verifies the certificate the token signed" \
  openssl verify -engine gost -CAfile "$WORK/trumik.pem" "$WORK/trumik.pem"
p11 --list-objects --type cert >"$WORK/certs.txt" 2>&1
has "$WORK/certs.txt" "Certificate Object" "the certificate is on the token for pkcs11-tool"
p11 --login --pin $PIN --read-object --type privkey --id "$(sed -n 's/.*ID: *//p' "$WORK/certs.txt" | head -1)" \
  -o "$WORK/priv.der" >/dev/null 2>&1 || true
if [ -s "$WORK/priv.der" ]; then fail "the private key of cert new --token is readable"; else pass "the private key of cert new --token is not readable"; fi

expect 0 "token list" "$TRUMIK" token list
has "$WORK/out" "GOST R 34.10-2012 (256 bits)	certificate on the token	in the store My" \
  "token list: the key pair, its certificate on the token and in the store"
CONTAINER="$(grep -o '\\\\\.\\Interop token\\[0-9a-f]*' "$WORK/out" | head -1)"
[ -n "$CONTAINER" ] && pass "token list: container $CONTAINER" || fail "token list names no container"

# --- the first module: SignWithCertStorePass ---------------------------------
printf '<Doc><Sum currency="RUB">1500.00</Sum></Doc>\n' >"$WORK/doc.xml"
openssl x509 -engine gost -in "$WORK/trumik.pem" -pubkey -noout >"$WORK/trumik.pub" 2>/dev/null

# xml_checked SIGNED.xml PUBKEY MD: the enveloped signature checked with
# xmllint and openssl alone: the digest of the document without it, and the
# signature over the canonical SignedInfo.
xml_checked() {
  local signed="$1" pub="$2" md="$3"
  perl -0pe 's{<Signature xmlns="http://www.w3.org/2000/09/xmldsig#">.*</Signature>}{}s' "$signed" >"$WORK/bare.xml"
  local digest want
  digest=$(xmllint --c14n "$WORK/bare.xml" | openssl dgst -engine gost "$md" -binary 2>/dev/null | base64 -w0)
  want=$(perl -0ne 'print $1 if m{<DigestValue>([^<]*)</DigestValue>}' "$signed")
  [ -n "$digest" ] && [ "$digest" = "$want" ] || return 1
  perl -0ne 'if (m{(<SignedInfo>.*</SignedInfo>)}s) { my $s = $1; $s =~ s{^<SignedInfo>}{<SignedInfo xmlns="http://www.w3.org/2000/09/xmldsig#">}; print $s }' \
    "$signed" >"$WORK/si.xml"
  perl -0ne 'print $1 if m{<SignatureValue>([^<]*)</SignatureValue>}' "$signed" | tr -d ' \n' | base64 -d >"$WORK/sig.bin"
  xmllint --c14n "$WORK/si.xml" | openssl dgst -engine gost "$md" -binary >"$WORK/si.digest" 2>/dev/null
  openssl pkeyutl -engine gost -verify -pubin -inkey "$pub" -in "$WORK/si.digest" -sigfile "$WORK/sig.bin" >/dev/null 2>&1
}

# signed_and_checked THUMBPRINT PUBKEY OUT LABEL: SignWithCertStorePass, then xml_checked.
signed_and_checked() {
  expect 0 "SignWithCertStorePass signs with $4" \
    "$TRUMIK" sign --store My --thumbprint "$1" --pin $PIN "$WORK/doc.xml" -o "$3"
  if xml_checked "$3" "$2" -md_gost12_256; then
    pass "xmllint and openssl verify the XML signature of $4"
  else
    fail "xmllint and openssl do not verify the XML signature of $4"
  fi
}
signed_and_checked "$THUMB" "$WORK/trumik.pub" "$WORK/doc.signed.xml" "the key trumik made"
sed 's/1500\.00/1500.01/' "$WORK/doc.signed.xml" >"$WORK/doc.tampered.xml"
if xml_checked "$WORK/doc.tampered.xml" "$WORK/trumik.pub" -md_gost12_256; then
  fail "a changed document still verifies"
else
  pass "a changed document does not verify"
fi

# A wrong PIN: the class's own refusal (11), one more failure on the token,
# and the right PIN then works.
failures() { sed -n 's/^user-failures //p' "$TOKEN_DIR/slot0.state"; }
before="$(failures)"
expect nonzero "a wrong PIN is refused" \
  "$TRUMIK" sign --store My --thumbprint "$THUMB" --pin 9999 "$WORK/doc.xml" -o "$WORK/wrong.xml"
has "$WORK/err" "(Код ошибки - 00011)" "a wrong PIN gives the code 11 of SignWithCertStorePass"
[ "$(failures)" = $((${before:-0} + 1)) ] && pass "one wrong PIN is one failed login on the token" ||
  fail "one wrong PIN made the token's failure count go from ${before:-0} to $(failures)"
expect nonzero "pkcs11-tool sees the wrong PIN counted" p11 --login --pin 0000 --list-objects
expect 0 "the right PIN after wrong ones" \
  "$TRUMIK" sign --store My --thumbprint "$THUMB" --pin $PIN "$WORK/doc.xml" -o "$WORK/doc.again.xml"

# --- the second module: element signatures, CMS ----------------------------
cat >"$WORK/request.xml" <<'XML'
<ns:Request xmlns:ns="urn:example:request"><ns:Data Id="DATA"><ns:Sum>1500.00</ns:Sum></ns:Data><ns:CallerSignature Id="CALLER"/></ns:Request>
XML
expect 0 "CXmlElementSigner.SignElement with the token key" \
  "$TRUMIK" sign-element --id DATA --into CALLER --store My --thumbprint "$THUMB" --pin $PIN \
  "$WORK/request.xml" -o "$WORK/request.signed.xml"
expect 0 "the independent peer verifies the element signature" python3 "$PEER" verify "$WORK/request.signed.xml"

printf 'CMS content signed on a token\n' >"$WORK/content.txt"
expect 0 "cms sign with the token key" \
  "$TRUMIK" cms sign --store My --thumbprint "$THUMB" --pin $PIN "$WORK/content.txt" -o "$WORK/content.p7s"
expect 0 "openssl cms verifies the token's CMS signature" \
  openssl cms -verify -engine gost -inform DER -in "$WORK/content.p7s" -CAfile "$WORK/trumik.pem" \
  -out "$WORK/content.out"
cmp -s "$WORK/content.txt" "$WORK/content.out" && pass "the CMS content comes back whole" || fail "the CMS content differs"
expect 0 "CCmsSigner.Sign (detached) with the token key" \
  "$TRUMIK" call ZelvaneTrumikExchange.CmsSigner Sign "bytes:@$WORK/content.txt" My "$THUMB" $PIN bool:true \
  --out "$WORK/class.p7s"
has "$WORK/out" '"hresult": "0x00000000"' "CCmsSigner.Sign succeeds"
expect 0 "openssl cms verifies the class's detached signature" \
  openssl cms -verify -engine gost -binary -inform DER -in "$WORK/class.p7s" -content "$WORK/content.txt" \
  -CAfile "$WORK/trumik.pem" -out /dev/null

# --- a key pair made by pkcs11-tool, its certificate by openssl -------------
p11 --login --pin $PIN --keypairgen --key-type GOSTR3410-2012-256:A --id 0a0b --label outside >/dev/null 2>&1 ||
  fail "pkcs11-tool --keypairgen"
# pkcs11-tool lists a GOST public key's value (x then y, little-endian) and
# curve; the SubjectPublicKeyInfo is put together here from them.
p11 --list-objects --type pubkey >"$WORK/pubkeys.txt" 2>/dev/null
read -r PARAMS VALUE < <(awk '/^Public Key Object/ { p = ""; v = ""; inv = 0 }
  /PARAMS OID:/ { p = $3 } /VALUE:/ { v = $2; inv = 1; next } inv && /^ +[0-9a-f]+$/ { v = v $1; next }
  { inv = 0 } /ID: *0a0b$/ { print p, v }' "$WORK/pubkeys.txt")
der_seq() { printf '30%02x%s' $((${#1} / 2)) "$1"; }
if [ ${#VALUE} -eq 128 ]; then
  algorithm="06082a85030701010101$(der_seq "${PARAMS}06082a85030701010202")"
  printf '%s' "$(der_seq "$(der_seq "$algorithm")0343000440$VALUE")" | tr a-f A-F | basenc --base16 -d >"$WORK/outside.pub.der"
fi
openssl pkey -engine gost -pubin -inform DER -in "$WORK/outside.pub.der" -out "$WORK/outside.pub.pem" 2>/dev/null ||
  fail "openssl reads the public key pkcs11-tool listed"
openssl req -engine gost -x509 -newkey gost2012_256 -pkeyopt paramset:A -nodes -keyout "$WORK/ca.key" \
  -subj "/CN=Interop CA" -days 30 -out "$WORK/ca.pem" -addext keyUsage=critical,keyCertSign >/dev/null 2>&1 || fail "the CA"
printf 'keyUsage=critical,digitalSignature,nonRepudiation,keyEncipherment\n' >"$WORK/outside.ext"
openssl x509 -engine gost -new -subj "/CN=Outside key/O=Interop" -force_pubkey "$WORK/outside.pub.pem" \
  -extfile "$WORK/outside.ext" -CA "$WORK/ca.pem" -CAkey "$WORK/ca.key" -days 30 -out "$WORK/outside.pem" >/dev/null 2>&1 ||
  fail "openssl makes the certificate of the outside key"
openssl x509 -in "$WORK/outside.pem" -outform DER -out "$WORK/outside.der"
p11 --login --pin $PIN --write-object "$WORK/outside.der" --type cert --id 0a0b --label outside >/dev/null 2>&1 ||
  fail "pkcs11-tool --write-object cert"
# A key pair without a certificate is listed, not imported.
p11 --login --pin $PIN --keypairgen --key-type GOSTR3410-2012-256:A --id 0c0d --label bare >/dev/null 2>&1 ||
  fail "pkcs11-tool --keypairgen (no certificate)"

expect 0 "token import" "$TRUMIK" token import
OUTSIDE="$(openssl x509 -in "$WORK/outside.pem" -noout -fingerprint -sha1 | sed 's/.*=//; s/://g')"
has "$WORK/out" "imported	$OUTSIDE	\\\\.\\Interop token\\0a0b" \
  "token import: the outside key pair's certificate, linked to its container"
has "$WORK/out" "not imported	\\\\.\\Interop token\\0c0d	no certificate on the token for this key pair" \
  "token import: a key pair without a certificate is listed, not imported"
signed_and_checked "$OUTSIDE" "$WORK/outside.pub.pem" "$WORK/doc.outside.xml" "the key pkcs11-tool made"

# --- messages encrypted for a token key -------------------------------------
# openssl encrypts for the certificate; the key agreement happens on the token.
printf 'For the token holder only\n' >"$WORK/secret.txt"
for who in trumik outside; do
  [ $who = trumik ] && thumb="$THUMB" || thumb="$OUTSIDE"
  expect 0 "openssl cms encrypts for the key $who made" openssl cms -encrypt -engine gost -gost89 -binary \
    -outform DER -in "$WORK/secret.txt" -out "$WORK/secret-$who.p7m" "$WORK/$who.pem"
  expect 0 "trumik decrypt opens the message with the token key $who made" \
    "$TRUMIK" decrypt --store My --thumbprint "$thumb" --pin $PIN "$WORK/secret-$who.p7m" -o "$WORK/secret-$who.out"
  cmp -s "$WORK/secret.txt" "$WORK/secret-$who.out" && pass "the message for the key $who made comes back whole" ||
    fail "the message for the key $who made differs"
done
expect 0 "trumik encrypt for the token key's certificate" \
  "$TRUMIK" encrypt --store My --thumbprint "$THUMB" "$WORK/secret.txt" -o "$WORK/secret-own.p7m"
expect 0 "trumik decrypt opens its own message with the token key" \
  "$TRUMIK" decrypt --store My --thumbprint "$THUMB" --pin $PIN "$WORK/secret-own.p7m" -o "$WORK/secret-own.out"
cmp -s "$WORK/secret.txt" "$WORK/secret-own.out" && pass "trumik's own message comes back whole" ||
  fail "trumik's own message differs"
# A message for another holder (the CA) is not opened by the token key.
expect 0 "openssl cms encrypts for the CA" openssl cms -encrypt -engine gost -gost89 -binary -outform DER \
  -in "$WORK/secret.txt" -out "$WORK/secret-ca.p7m" "$WORK/ca.pem"
expect nonzero "a message for someone else is refused" \
  "$TRUMIK" decrypt --store My --thumbprint "$THUMB" --pin $PIN "$WORK/secret-ca.p7m" -o "$WORK/secret-ca.out"
# A changed wrapped key fails its MAC: refused, never garbage.
python3 - "$WORK/secret-trumik.p7m" "$WORK/secret-bent.p7m" <<'PY'
import sys
data = bytearray(open(sys.argv[1], "rb").read())
# the wrapped key's MAC: the 4-byte OCTET STRING right after the 32-byte one
at = data.find(b"\x04\x20")
while at >= 0 and data[at + 34:at + 36] != b"\x04\x04":
    at = data.find(b"\x04\x20", at + 1)
data[at + 36] ^= 1
open(sys.argv[2], "wb").write(bytes(data))
PY
expect nonzero "a message whose wrapped key was changed is refused" \
  "$TRUMIK" decrypt --store My --thumbprint "$THUMB" --pin $PIN "$WORK/secret-bent.p7m" -o "$WORK/secret-bent.out"
before="$(failures)"
expect nonzero "decrypt with a wrong PIN is refused" \
  "$TRUMIK" decrypt --store My --thumbprint "$THUMB" --pin 9999 "$WORK/secret-trumik.p7m" -o "$WORK/secret-wrong.out"
has "$WORK/err" "(Код ошибки - 82011)" "a wrong PIN gives the code 82011 of DecryptMessageByte"
[ "$(failures)" = $((${before:-0} + 1)) ] && pass "one wrong PIN in decrypt is one failed login" ||
  fail "one wrong PIN in decrypt made the failure count go from ${before:-0} to $(failures)"

# --- a removed token -----------------------------------------------------------
touch "$TOKEN_DIR/slot0.removed"
expect 0 "token list with the token removed" "$TRUMIK" token list
has "$WORK/out" "slot 0: no token" "token list: a removed token"
expect nonzero "signing with a removed token fails" \
  "$TRUMIK" sign --store My --thumbprint "$THUMB" --pin $PIN "$WORK/doc.xml" -o "$WORK/removed.xml"
rm -f "$TOKEN_DIR/slot0.removed"
expect 0 "signing again once the token is back" \
  "$TRUMIK" sign --store My --thumbprint "$THUMB" --pin $PIN "$WORK/doc.xml" -o "$WORK/back.xml"

echo "$FAILURES failure(s)"
[ "$FAILURES" -eq 0 ]
