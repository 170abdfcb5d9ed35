#!/usr/bin/env bash
# The demo: an RSA key and certificate in one PEM file under $TRUMIK_HOME (made
# once), a sample document signed with it, and xmlsec1 verifying the result.
# Without TRUMIK_HOME it runs in a home of its own, BUILD/demo-home, made
# afresh each time, and leaves the user's ~/.trumik alone.
set -euo pipefail
BUILD="$1"
TRUMIK="$BUILD/bin/trumik"
if [ -z "${TRUMIK_HOME:-}" ]; then
  TRUMIK_HOME="$(cd "$BUILD" && pwd)/demo-home"
  rm -rf "$TRUMIK_HOME"
fi
export TRUMIK_HOME
HOME_DIR="$TRUMIK_HOME"
DEMO="$HOME_DIR/demo"
echo "== the demo's home: TRUMIK_HOME=$HOME_DIR"
mkdir -p "$DEMO"
chmod 700 "$HOME_DIR"

if [ ! -f "$DEMO/rsa-signer.pem" ]; then
  echo "== making an RSA key and certificate in $DEMO/rsa-signer.pem"
  openssl req -x509 -newkey rsa:2048 -nodes -subj "/CN=Trumik demo signer" -days 3650 \
    -keyout "$DEMO/rsa-key.pem" -out "$DEMO/rsa-cert.pem" 2>/dev/null
  cat "$DEMO/rsa-key.pem" "$DEMO/rsa-cert.pem" > "$DEMO/rsa-signer.pem"
  rm -f "$DEMO/rsa-key.pem"
  chmod 600 "$DEMO/rsa-signer.pem"
fi

MODULE="$BUILD/lib/Zelvane.Trumik.XmlSigner.so"
REGISTERED="$("$TRUMIK" reg query 'HKCR\CLSID\{3C6084B9-D9AD-4B67-8D80-5B7969A86364}\InprocServer32' /ve 2>/dev/null || true)"
REGISTERED_MSG="$("$TRUMIK" reg query 'HKCR\CLSID\{5B0F2D1F-C363-4B0B-A2A6-1BDE915B7E59}\InprocServer32' /ve 2>/dev/null || true)"
if ! printf '%s' "$REGISTERED" | grep -qF "$(readlink -f "$MODULE")" ||
   ! printf '%s' "$REGISTERED_MSG" | grep -qF "$(readlink -f "$MODULE")"; then
  echo "== registering $MODULE under $HOME_DIR"
  "$TRUMIK" register "$MODULE"
fi

cat > "$DEMO/sample.xml" <<'XML'
<?xml version="1.0" encoding="UTF-8"?>
<Заявление номер="42">
  <Заявитель>Иванова Мария Петровна</Заявитель>
  <Сумма валюта="RUB">1500.00</Сумма>
</Заявление>
XML

echo "== signing $DEMO/sample.xml with ZelvaneTrumik.XmlSigner.SignWithKey (late binding)"
"$TRUMIK" sign-pem --key "$DEMO/rsa-signer.pem" "$DEMO/sample.xml" -o "$DEMO/sample.signed.xml"
cat "$DEMO/sample.signed.xml"
echo
echo "== xmlsec1 --verify --pubkey-cert-pem rsa-cert.pem sample.signed.xml"
xmlsec1 --verify --pubkey-cert-pem "$DEMO/rsa-cert.pem" "$DEMO/sample.signed.xml"
echo "== the same document with one changed character"
sed 's/1500.00/1900.00/' "$DEMO/sample.signed.xml" > "$DEMO/sample.tampered.xml"
if xmlsec1 --verify --pubkey-cert-pem "$DEMO/rsa-cert.pem" "$DEMO/sample.tampered.xml" 2>/dev/null; then
  echo "tampered document verified: this is a fault" >&2
  exit 1
fi
echo "FAIL, as it should"

# GOST: a certificate in the user's My store whose key sits in the PIN-protected
# container demo-gost (made once); the sample signed with it by
# CMSXmlSigner.SignWithCertStorePass, verified by CMSXmlVerifier with the
# exported certificate; then a message encrypted for the same certificate.
GOST_PIN=1234
echo
if [ ! -s "$DEMO/gost-thumbprint" ] || ! "$TRUMIK" cert show "$(cat "$DEMO/gost-thumbprint")" >/dev/null 2>&1; then
  echo "== making a GOST certificate with the PIN-protected container demo-gost in the user's My store"
  "$TRUMIK" container delete demo-gost >/dev/null 2>&1 || true
  "$TRUMIK" cert new --subject "CN=Trumik demo GOST signer" --store My --container demo-gost --pin "$GOST_PIN" \
    --key-usage digitalSignature,nonRepudiation,keyEncipherment > "$DEMO/gost-thumbprint"
fi
THUMBPRINT="$(cat "$DEMO/gost-thumbprint")"
"$TRUMIK" cert export "$THUMBPRINT" --out "$DEMO/gost-cert.der" >/dev/null
"$TRUMIK" cert export "$THUMBPRINT" --out "$DEMO/gost-cert.pem" >/dev/null
"$TRUMIK" container export demo-gost --pin "$GOST_PIN" --out "$DEMO/gost-key.pem" >/dev/null
chmod 600 "$DEMO/gost-key.pem"
echo "== certificate $THUMBPRINT, container demo-gost"

echo "== signing sample.xml with ZelvaneTrumikXmlSigner.MSXmlSigner.SignWithCertStorePass (late binding)"
"$TRUMIK" sign --store My --thumbprint "$THUMBPRINT" --pin "$GOST_PIN" "$DEMO/sample.xml" -o "$DEMO/sample.gost.xml"
cat "$DEMO/sample.gost.xml"
echo
echo "== trumik verify --cert gost-cert.der sample.gost.xml (ZelvaneTrumikXmlSigner.MSXmlVerifier)"
"$TRUMIK" verify --cert "$DEMO/gost-cert.der" "$DEMO/sample.gost.xml"
echo "== the same document with one changed character"
sed 's/1500.00/1900.00/' "$DEMO/sample.gost.xml" > "$DEMO/sample.gost.tampered.xml"
if "$TRUMIK" verify --cert "$DEMO/gost-cert.der" "$DEMO/sample.gost.tampered.xml" 2>/dev/null; then
  echo "tampered GOST document verified: this is a fault" >&2
  exit 1
fi
echo "FAIL, as it should"
echo "== the sample signed by openssl alone with the exported key (tools/gost-sign-openssl.sh) verifies too"
"$(dirname "$0")/gost-sign-openssl.sh" "$DEMO/gost-key.pem" "$DEMO/sample.xml" "$DEMO/sample.openssl-gost.xml"
"$TRUMIK" verify --cert "$DEMO/gost-cert.der" "$DEMO/sample.openssl-gost.xml"

echo
echo "== container of $THUMBPRINT: $("$TRUMIK" container-name --store My --thumbprint "$THUMBPRINT")"
echo "== encrypting sample.xml for it with CryptEncMessage.CryptMessageByte (GOST 28147-89)"
"$TRUMIK" encrypt --store My --thumbprint "$THUMBPRINT" "$DEMO/sample.xml" -o "$DEMO/sample.xml.p7m"
echo "$(stat -c %s "$DEMO/sample.xml.p7m") bytes in $DEMO/sample.xml.p7m"
echo "== decrypting with DecryptMessageByte and the PIN"
"$TRUMIK" decrypt --store My --thumbprint "$THUMBPRINT" --pin "$GOST_PIN" "$DEMO/sample.xml.p7m" -o "$DEMO/sample.decrypted.xml"
cmp "$DEMO/sample.xml" "$DEMO/sample.decrypted.xml"
echo "same as sample.xml"
echo "== openssl cms -decrypt -engine gost with the exported key"
openssl cms -decrypt -engine gost -inform DER -in "$DEMO/sample.xml.p7m" -recip "$DEMO/gost-cert.pem" \
  -inkey "$DEMO/gost-key.pem" -out "$DEMO/sample.openssl.xml" 2>/dev/null
cmp "$DEMO/sample.xml" "$DEMO/sample.openssl.xml"
echo "same as sample.xml"
echo "== a wrong PIN"
if "$TRUMIK" decrypt --store My --thumbprint "$THUMBPRINT" --pin 0000 --base64 \
     <(base64 -w0 "$DEMO/sample.xml.p7m") >/dev/null 2>"$DEMO/wrong-pin.txt"; then
  echo "decrypted with a wrong PIN: this is a fault" >&2
  exit 1
fi
cat "$DEMO/wrong-pin.txt"
grep -q '(Код ошибки - 82013)' "$DEMO/wrong-pin.txt" || { echo "not refused for its PIN: this is a fault" >&2; exit 1; }
echo "refused, as it should"

# GOST R 34.10-2012 (256 bits): with the component's switch on, a certificate
# made with --algorithm gost2012-256 signs, verifies and encrypts; openssl
# agrees with the digest, the signature and the message. The switch goes back
# to what it was.
echo
SWITCH_BEFORE="$("$TRUMIK" provider gost2012)"
"$TRUMIK" provider gost2012 on
trap '"$TRUMIK" provider gost2012 "$SWITCH_BEFORE"' EXIT
echo "== trumik provider gost2012: $("$TRUMIK" provider gost2012)"
if [ ! -s "$DEMO/gost2012-thumbprint" ] || ! "$TRUMIK" cert show "$(cat "$DEMO/gost2012-thumbprint")" >/dev/null 2>&1; then
  echo "== making a GOST R 34.10-2012 (256-bit) certificate with the container demo-gost2012"
  "$TRUMIK" container delete demo-gost2012 >/dev/null 2>&1 || true
  "$TRUMIK" cert new --algorithm gost2012-256 --subject "CN=Trumik demo GOST 2012 signer" --store My \
    --container demo-gost2012 --pin "$GOST_PIN" --key-usage digitalSignature,nonRepudiation,keyEncipherment \
    > "$DEMO/gost2012-thumbprint"
fi
THUMB2012="$(cat "$DEMO/gost2012-thumbprint")"
"$TRUMIK" cert export "$THUMB2012" --out "$DEMO/gost2012-cert.der" >/dev/null
"$TRUMIK" cert export "$THUMB2012" --out "$DEMO/gost2012-cert.pem" >/dev/null
"$TRUMIK" container export demo-gost2012 --pin "$GOST_PIN" --out "$DEMO/gost2012-key.pem" >/dev/null
chmod 600 "$DEMO/gost2012-key.pem"
openssl pkey -engine gost -in "$DEMO/gost2012-key.pem" -pubout -out "$DEMO/gost2012-pub.pem" 2>/dev/null
echo "== certificate $THUMB2012 ($(openssl x509 -engine gost -in "$DEMO/gost2012-cert.pem" -noout -text 2>/dev/null |
  sed -n 's/^ *Signature Algorithm: //p' | head -1))"
echo "== signing sample.xml with SignWithCertStorePass"
"$TRUMIK" sign --store My --thumbprint "$THUMB2012" --pin "$GOST_PIN" "$DEMO/sample.xml" -o "$DEMO/sample.gost2012.xml"
cat "$DEMO/sample.gost2012.xml"
echo
echo "== trumik verify --cert gost2012-cert.der sample.gost2012.xml"
"$TRUMIK" verify --cert "$DEMO/gost2012-cert.der" "$DEMO/sample.gost2012.xml"
echo "== openssl agrees: DigestValue = xmllint --c14n | openssl dgst -md_gost12_256, SignatureValue by pkeyutl -verify"
# The document without its Signature element, and the SignedInfo with the namespace it inherits.
perl -0pe 's{<Signature xmlns=.*?</Signature>}{}s' "$DEMO/sample.gost2012.xml" > "$DEMO/sample.gost2012.unsigned.xml"
ours_digest="$(perl -0ne 'print $1 if m{<DigestValue>(.*?)</DigestValue>}s' "$DEMO/sample.gost2012.xml" | tr -d '\n')"
peer_digest="$(xmllint --c14n "$DEMO/sample.gost2012.unsigned.xml" | openssl dgst -engine gost -md_gost12_256 -binary 2>/dev/null | base64 -w0)"
echo "DigestValue $ours_digest, openssl $peer_digest"
[ "$ours_digest" = "$peer_digest" ] || { echo "the digests differ: this is a fault" >&2; exit 1; }
xmllint --c14n "$DEMO/sample.gost2012.xml" |
  perl -0ne 'print qq{<SignedInfo xmlns="http://www.w3.org/2000/09/xmldsig#">$1</SignedInfo>} if m{<SignedInfo>(.*?)</SignedInfo>}s' \
  > "$DEMO/sample.gost2012.si.xml"
openssl dgst -engine gost -md_gost12_256 -binary -out "$DEMO/sample.gost2012.si.dgst" "$DEMO/sample.gost2012.si.xml" 2>/dev/null
perl -0ne 'print $1 if m{<SignatureValue>(.*?)</SignatureValue>}s' "$DEMO/sample.gost2012.xml" | base64 -d > "$DEMO/sample.gost2012.sig"
openssl pkeyutl -engine gost -verify -pubin -inkey "$DEMO/gost2012-pub.pem" -sigfile "$DEMO/sample.gost2012.sig" \
  -in "$DEMO/sample.gost2012.si.dgst" 2>/dev/null
echo "== the sample signed by openssl alone (gost-sign-openssl.sh --algorithm gost2012-256) verifies too"
"$(dirname "$0")/gost-sign-openssl.sh" --algorithm gost2012-256 "$DEMO/gost2012-key.pem" "$DEMO/sample.xml" \
  "$DEMO/sample.openssl-gost2012.xml"
"$TRUMIK" verify --cert "$DEMO/gost2012-cert.der" "$DEMO/sample.openssl-gost2012.xml"
echo "== encrypting sample.xml for the 2012 certificate, decrypting with the PIN and with openssl cms"
"$TRUMIK" encrypt --store My --thumbprint "$THUMB2012" "$DEMO/sample.xml" -o "$DEMO/sample.xml.2012.p7m"
"$TRUMIK" decrypt --store My --thumbprint "$THUMB2012" --pin "$GOST_PIN" "$DEMO/sample.xml.2012.p7m" \
  -o "$DEMO/sample.decrypted.2012.xml"
cmp "$DEMO/sample.xml" "$DEMO/sample.decrypted.2012.xml"
openssl cms -decrypt -engine gost -inform DER -in "$DEMO/sample.xml.2012.p7m" -recip "$DEMO/gost2012-cert.pem" \
  -inkey "$DEMO/gost2012-key.pem" -out "$DEMO/sample.openssl.2012.xml" 2>/dev/null
cmp "$DEMO/sample.xml" "$DEMO/sample.openssl.2012.xml"
echo "same as sample.xml, both ways"

# The exchange module: an exchange-style message with two elements signed by
# their Id, each signature put into an element of its own (the person's with
# the normalisation transform, the system's with exclusive C14N alone), both
# checked by verify-element; the exclusive-C14N digest checked with xmllint
# and openssl, and a changed character found.
echo
EXCHANGE="$BUILD/lib/Zelvane.Trumik.Exchange.so"
echo "== registering $EXCHANGE"
"$TRUMIK" register "$EXCHANGE" >/dev/null
cat > "$DEMO/message.xml" <<'XML'
<?xml version="1.0" encoding="UTF-8"?>
<req:Request xmlns:req="urn://example/request/1.0.0">
  <req:SenderProvidedRequestData Id="PERSON" xmlns:req="urn://example/request/1.0.0">
    <req:MessageID>db0486d0-3c08-11e5-95e2-d4c9eff07b77</req:MessageID>
    <app:Application xmlns:app="urn://example/application" app:kind="справка">
      <app:Applicant>Иванова Мария Петровна</app:Applicant>
    </app:Application>
  </req:SenderProvidedRequestData>
  <req:SystemData Id="SYSTEM" xmlns:req="urn://example/request/1.0.0"><req:Code>42</req:Code></req:SystemData>
  <req:PersonSignature Id="PERSON_SIG"/>
  <req:SystemSignature Id="SYSTEM_SIG"/>
</req:Request>
XML
echo "== trumik sign-element --id PERSON --into PERSON_SIG (smev3: exclusive C14N, then the normalisation transform)"
"$TRUMIK" sign-element --id PERSON --into PERSON_SIG --store My --thumbprint "$THUMB2012" --pin "$GOST_PIN" \
  "$DEMO/message.xml" -o "$DEMO/message.person.xml"
echo "== trumik sign-element --id SYSTEM --into SYSTEM_SIG --profile exc-c14n"
"$TRUMIK" sign-element --id SYSTEM --into SYSTEM_SIG --profile exc-c14n --store My --thumbprint "$THUMB2012" \
  --pin "$GOST_PIN" "$DEMO/message.person.xml" -o "$DEMO/message.signed.xml"
cat "$DEMO/message.signed.xml"
echo
echo "== trumik verify-element message.signed.xml"
"$TRUMIK" verify-element "$DEMO/message.signed.xml"
echo "== openssl agrees with the exclusive-C14N digest: xmllint --exc-c14n | openssl dgst -md_gost12_256"
perl -0ne 'print $1 if m{(<req:SystemData .*?</req:SystemData>)}s' "$DEMO/message.signed.xml" > "$DEMO/message.system.xml"
system_digest="$(perl -0ne 'print $1 if m{URI="#SYSTEM">.*?<ds:DigestValue>(.*?)</ds:DigestValue>}s' "$DEMO/message.signed.xml")"
peer_digest="$(xmllint --exc-c14n "$DEMO/message.system.xml" | openssl dgst -engine gost -md_gost12_256 -binary 2>/dev/null | base64 -w0)"
echo "DigestValue $system_digest, openssl $peer_digest"
[ "$system_digest" = "$peer_digest" ] || { echo "the digests differ: this is a fault" >&2; exit 1; }
sed 's/Мария/Марья/' "$DEMO/message.signed.xml" > "$DEMO/message.tampered.xml"
if "$TRUMIK" verify-element "$DEMO/message.tampered.xml" 2>/dev/null; then
  echo "a changed message verified: this is a fault" >&2
  exit 1
fi
echo "the changed message is refused: its first signature no longer holds"

# CMS SignedData: a file signed detached with the 2012 certificate, and both
# peers (openssl cms and GnuTLS certtool) agreeing; then openssl's signature
# verified here and a second signer added to it, which openssl verifies too.
echo
echo "== trumik cms sign --detached sample.xml (GOST R 34.10-2012, CAdES-BES attributes)"
"$TRUMIK" cms sign --detached --store My --thumbprint "$THUMB2012" --pin "$GOST_PIN" "$DEMO/sample.xml" \
  -o "$DEMO/sample.xml.p7s"
"$TRUMIK" cms verify --content "$DEMO/sample.xml" "$DEMO/sample.xml.p7s"
echo "== openssl cms -verify and certtool --p7-verify agree"
openssl cms -verify -engine gost -binary -inform DER -noverify -in "$DEMO/sample.xml.p7s" \
  -content "$DEMO/sample.xml" -out /dev/null 2>&1 | grep -v '^Engine'
if command -v certtool >/dev/null; then
  certtool --p7-verify --inder --load-certificate "$DEMO/gost2012-cert.pem" --infile "$DEMO/sample.xml.p7s" \
    --load-data "$DEMO/sample.xml" 2>&1 | grep 'Signature status'
fi
echo "== openssl signs, trumik verifies and adds a second signer, openssl verifies both"
openssl cms -sign -engine gost -binary -cades -signer "$DEMO/gost2012-cert.pem" -inkey "$DEMO/gost2012-key.pem" \
  -in "$DEMO/sample.xml" -outform DER -out "$DEMO/sample.openssl.p7s" 2>/dev/null
"$TRUMIK" cms cosign --store My --thumbprint "$THUMB2012" --pin "$GOST_PIN" --content "$DEMO/sample.xml" \
  "$DEMO/sample.openssl.p7s" -o "$DEMO/sample.two-signers.p7s"
"$TRUMIK" cms verify --content "$DEMO/sample.xml" "$DEMO/sample.two-signers.p7s"
openssl cms -verify -engine gost -binary -inform DER -noverify -in "$DEMO/sample.two-signers.p7s" \
  -content "$DEMO/sample.xml" -out /dev/null 2>&1 | grep -v '^Engine'

# A key on a PKCS #11 token: the test token stands in for a maker's token and
# OpenSC's pkcs11-tool for its tools (shown when both are there).
TOKEN_LIB="$BUILD/lib/libtrumik-testtoken.so"
if [ -f "$TOKEN_LIB" ] && command -v pkcs11-tool >/dev/null; then
  echo
  echo "== a PKCS #11 token: pkcs11-tool initialises the test token, trumik records its library"
  pkcs11-tool --module "$TOKEN_LIB" --init-token --slot 1 --label "Demo token" --so-pin 87654321 >/dev/null 2>&1
  pkcs11-tool --module "$TOKEN_LIB" --slot 1 --init-pin --so-pin 87654321 --pin "$GOST_PIN" >/dev/null 2>&1
  "$TRUMIK" token add --module "$TOKEN_LIB" 2>/dev/null || true
  echo "== trumik cert new --token 'Demo token': the key pair made and the certificate signed on the token"
  THUMBTOKEN="$("$TRUMIK" cert new --token "Demo token" --pin "$GOST_PIN" --algorithm gost2012-256 \
    --subject "CN=Trumik demo token signer" --key-usage digitalSignature,nonRepudiation --out "$DEMO/token-cert.der")"
  "$TRUMIK" token list
  echo "== the sample signed with the token key, verified with its certificate"
  "$TRUMIK" sign --store My --thumbprint "$THUMBTOKEN" --pin "$GOST_PIN" "$DEMO/sample.xml" -o "$DEMO/sample.token.xml"
  "$TRUMIK" verify --cert "$DEMO/token-cert.der" "$DEMO/sample.token.xml"
fi
echo
echo "== done; the demo's files are in $DEMO. To go on with them in this home:"
echo "   export TRUMIK_HOME=$HOME_DIR"
