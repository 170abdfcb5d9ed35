#!/usr/bin/env bash
# Element signatures both ways between trumik and the independent peer
# smev_peer.py beside this script, for GOST 2001, 2012-256 and 2012-512 keys:
#   interop_test.sh BUILD_DIR
# The peer signs with the key exported from the container that `trumik cert new`
# made (PKCS #12 from `trumik cert export --pfx`, read by openssl), trumik
# verifies; trumik signs with the container, the peer verifies. Each direction
# also sees a one-character change fail, an enveloped signature, and a document
# holding one signature of each side. Runs in a fresh TRUMIK_HOME.
# Exit status 0 when every check holds, 1 when one fails, 77 (skipped) when the
# build has no element-signature commands.
set -uo pipefail
BUILD="$(cd "${1:?usage: interop_test.sh BUILD_DIR}" && pwd)"
TRUMIK="$BUILD/bin/trumik"
PEER="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/smev_peer.py"
PIN=1234 PFX_PASSWORD=interop

[ -x "$TRUMIK" ] || { echo "SKIP: no $TRUMIK"; exit 77; }
for command in sign-element verify-element; do
  if ! "$TRUMIK" "$command" --help >/dev/null 2>&1; then
    echo "SKIP: trumik has no $command command"
    exit 77
  fi
done

WORK="$(mktemp -d)"
trap 'rm -rf "$WORK"' EXIT
export TRUMIK_HOME="$WORK/home"
mkdir -m 700 "$TRUMIK_HOME"

FAILURES=0
pass() { echo "ok   $*"; }
fail() { echo "FAIL $*"; FAILURES=$((FAILURES + 1)); }
# expect 0|nonzero LABEL COMMAND...: runs COMMAND, judges its exit status.
expect() {
  local want="$1" label="$2"; shift 2
  "$@" >"$WORK/out" 2>&1
  local status=$?
  if { [ "$want" = 0 ] && [ $status -eq 0 ]; } || { [ "$want" = nonzero ] && [ $status -ne 0 ]; }; then
    pass "$label"
  else
    fail "$label (exit $status)"; sed 's/^/     /' "$WORK/out"
  fi
}

# The modules: the component's, and every other COM module the build made.
"$TRUMIK" register >/dev/null || { echo "cannot register the component's module"; exit 1; }
for module in "$BUILD"/lib/Zelvane.*.so; do
  [ -e "$module" ] || continue
  [ "$(readlink -f "$module")" = "$(readlink -f "$BUILD/lib/Zelvane.Trumik.XmlSigner.so")" ] && continue
  "$TRUMIK" register "$module" >/dev/null || echo "note: $module did not register"
done
"$TRUMIK" provider gost2012 on >/dev/null

cat >"$WORK/request.xml" <<'XML'
<?xml version="1.0" encoding="UTF-8"?>
<ns:Request xmlns:ns="urn:example:request" xmlns="urn:example:default" xmlns:unused="urn:unused">
  <ns:Data Id="DATA" z="1" ns:y="2" a="3">
    <!-- not signed -->
    <Applicant>Иванова Мария Петровна</Applicant>
    <ns:Sum currency="RUB">1500.00</ns:Sum>
    <Empty/>
    <Quoted note='a "b" &amp; &lt;c&gt;'>  текст  </Quoted>
  </ns:Data>
  <ns:CallerSignature Id="CALLER"/>
  <ns:Attachment Id="ATTACHMENT"><Name xmlns="urn:example:other">file.pdf</Name></ns:Attachment>
</ns:Request>
XML

# A certificate whose key sits in a PIN-protected container; its key as PEM
# for the peer, through the tool's PKCS #12 export and openssl.
make_signer() {
  local algorithm="$1"
  "$TRUMIK" cert new --subject "CN=Interop $algorithm, O=Peer, C=RU" --algorithm "$algorithm" \
    --container "interop-$algorithm" --pin "$PIN" --key-usage digitalSignature,nonRepudiation \
    --out "$WORK/$algorithm.pem" >"$WORK/$algorithm.thumbprint" || return 1
  "$TRUMIK" cert export "$(cat "$WORK/$algorithm.thumbprint")" --pfx "$WORK/$algorithm.pfx" \
    --password "$PFX_PASSWORD" --pin "$PIN" >/dev/null || return 1
  openssl pkcs12 -engine gost -in "$WORK/$algorithm.pfx" -passin "pass:$PFX_PASSWORD" -nocerts -nodes \
    -out "$WORK/$algorithm.key" 2>"$WORK/pkcs12.err" || { cat "$WORK/pkcs12.err"; return 1; }
}

peer_sign() {  # peer_sign ALGORITHM IN OUT ID [PARENT_ID [PEER_OPTION...]]
  local algorithm="$1" in="$2" out="$3" id="$4" into="${5:-}"
  shift $(($# < 5 ? $# : 5))
  python3 "$PEER" sign "$in" --id "$id" ${into:+--into "$into"} --key "$WORK/$algorithm.key" \
    --cert "$WORK/$algorithm.pem" "$@" >"$out"
}

trumik_sign() {  # trumik_sign ALGORITHM IN OUT ID [PARENT_ID]
  "$TRUMIK" sign-element --id "$4" ${5:+--into "$5"} --store My --thumbprint "$(cat "$WORK/$1.thumbprint")" \
    --pin "$PIN" "$2" -o "$3"
}

tamper() {  # a copy of $1 with one character of the signed sum changed
  sed 's/1500\.00/1500.01/' "$1" >"$2"
}

check_direction() {  # check_direction ALGORITHM SIGNER VERIFIER-LABEL VERIFY-COMMAND...
  local algorithm="$1" signer="$2" label="$3"; shift 3
  local out="$WORK/$algorithm.$signer"
  if "${signer}_sign" "$algorithm" "$WORK/request.xml" "$out.into.xml" DATA CALLER; then
    expect 0 "$algorithm: $signer signs into another element, $label verifies" "$@" "$out.into.xml"
    tamper "$out.into.xml" "$out.tampered.xml"
    expect nonzero "$algorithm: $signer's signature, one character changed, $label refuses" "$@" "$out.tampered.xml"
  else
    fail "$algorithm: $signer signs DATA into CALLER"
  fi
  if "${signer}_sign" "$algorithm" "$WORK/request.xml" "$out.enveloped.xml" ATTACHMENT; then
    expect 0 "$algorithm: $signer signs enveloped, $label verifies" "$@" "$out.enveloped.xml"
  else
    fail "$algorithm: $signer signs ATTACHMENT enveloped"
  fi
}

for algorithm in gost2001 gost2012-256 gost2012-512; do
  if ! make_signer "$algorithm"; then
    fail "$algorithm: certificate, container and PEM key"
    continue
  fi
  check_direction "$algorithm" peer trumik "$TRUMIK" verify-element
  check_direction "$algorithm" trumik "the peer" python3 "$PEER" verify
  if peer_sign "$algorithm" "$WORK/request.xml" "$WORK/$algorithm.unprefixed.xml" DATA CALLER --prefix ""; then
    expect 0 "$algorithm: peer signs in the default namespace, trumik verifies" "$TRUMIK" verify-element "$WORK/$algorithm.unprefixed.xml"
  else
    fail "$algorithm: peer signs in the default namespace"
  fi
  # One document, one signature of each side: both sides see both hold.
  both="$WORK/$algorithm.both.xml"
  if peer_sign "$algorithm" "$WORK/request.xml" "$both.1" DATA CALLER &&
     trumik_sign "$algorithm" "$both.1" "$both" ATTACHMENT CALLER; then
    expect 0 "$algorithm: peer's and trumik's signatures in one document, trumik verifies both" "$TRUMIK" verify-element "$both"
    expect 0 "$algorithm: peer's and trumik's signatures in one document, the peer verifies both" python3 "$PEER" verify "$both"
  else
    fail "$algorithm: two signatures in one document"
  fi
done

echo "$FAILURES check(s) failed"
[ "$FAILURES" -eq 0 ]
