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
if ! printf '%s' "$REGISTERED" | grep -qF "$(readlink -f "$MODULE")"; then
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

echo
echo "== GOST: a certificate made with openssl's GOST engine in $DEMO/gost-cert.der"
if [ ! -f "$DEMO/gost-cert.der" ]; then
  openssl req -x509 -engine gost -newkey gost2001 -pkeyopt paramset:A -md_gost94 -nodes -days 3650 \
    -subj "/CN=Trumik demo GOST signer" -addext "keyUsage=digitalSignature,nonRepudiation" \
    -keyout "$DEMO/gost-key.pem" -out "$DEMO/gost-cert.pem" >/dev/null 2>&1
  chmod 600 "$DEMO/gost-key.pem"
  openssl x509 -in "$DEMO/gost-cert.pem" -outform DER -out "$DEMO/gost-cert.der"
fi
echo "== the sample signed by openssl alone (tools/gost-sign-openssl.sh), verified by ZelvaneTrumikXmlSigner.MSXmlVerifier"
"$(dirname "$0")/gost-sign-openssl.sh" "$DEMO/gost-key.pem" "$DEMO/sample.xml" "$DEMO/sample.gost.xml"
"$TRUMIK" verify --cert "$DEMO/gost-cert.der" "$DEMO/sample.gost.xml"
echo "trumik verify --cert gost-cert.der sample.gost.xml: valid"
sed 's/1500.00/1900.00/' "$DEMO/sample.gost.xml" > "$DEMO/sample.gost.tampered.xml"
if "$TRUMIK" verify --cert "$DEMO/gost-cert.der" "$DEMO/sample.gost.tampered.xml"; then
  echo "tampered GOST document verified: this is a fault" >&2
  exit 1
fi
echo "FAIL, as it should"
