#!/usr/bin/env bash
# The demo: an RSA key and certificate in one PEM file under $TRUMIK_HOME (made
# once), a sample document signed with it, and xmlsec1 verifying the result.
set -euo pipefail
BUILD="$1"
TRUMIK="$BUILD/bin/trumik"
HOME_DIR="${TRUMIK_HOME:-$HOME/.trumik}"
DEMO="$HOME_DIR/demo"
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
echo "valid"
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
echo "valid"

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
grep -q '(Код ошибки - 82019)' "$DEMO/wrong-pin.txt" || { echo "not refused for its PIN: this is a fault" >&2; exit 1; }
echo "refused, as it should"
