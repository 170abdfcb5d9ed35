#!/usr/bin/env bash
# Times SignWithKey (through trumik sign-pem) beside xmlsec1 --sign with the same
# key and an equivalent template, on 1 KB, 1 MB and 10 MB documents; prints the
# best wall time of three runs and the peak resident memory, with ratios.
set -euo pipefail
BUILD="$1"
TRUMIK="$BUILD/bin/trumik"
WORK="$(mktemp -d /tmp/trumik-bench-XXXXXX)"
trap 'rm -rf "$WORK"' EXIT
export TRUMIK_HOME="$WORK/home"

openssl req -x509 -newkey rsa:2048 -nodes -subj "/CN=bench" -days 30 \
  -keyout "$WORK/key.pem" -out "$WORK/cert.pem" 2>/dev/null
cat "$WORK/key.pem" "$WORK/cert.pem" > "$WORK/signer.pem"
"$TRUMIK" register "$BUILD/lib/Zelvane.Trumik.XmlSigner.so" >/dev/null

TEMPLATE='<Signature xmlns="http://www.w3.org/2000/09/xmldsig#"><SignedInfo><CanonicalizationMethod Algorithm="http://www.w3.org/TR/2001/REC-xml-c14n-20010315"/><SignatureMethod Algorithm="http://www.w3.org/2000/09/xmldsig#rsa-sha1"/><Reference URI=""><Transforms><Transform Algorithm="http://www.w3.org/2000/09/xmldsig#enveloped-signature"/></Transforms><DigestMethod Algorithm="http://www.w3.org/2000/09/xmldsig#sha1"/><DigestValue/></Reference></SignedInfo><SignatureValue/><KeyInfo><KeyValue/></KeyInfo></Signature>'

make_doc() { # bytes file
  awk -v size="$1" 'BEGIN {
    printf "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<root>\n"; n = 40
    while (n < size) { line = sprintf("  <item id=\"%d\">Строка данных номер %d</item>\n", n, n); printf "%s", line; n += length(line) + 14 }
    printf "</root>\n" }' > "$2"
}

measure() { # prints "seconds kilobytes" of the best of three runs
  local best="" mem=0
  for _ in 1 2 3; do
    /usr/bin/time -f "%e %M" -o "$WORK/time.txt" "$@" >/dev/null 2>"$WORK/err.txt" || { cat "$WORK/err.txt" >&2; return 1; }
    read -r t m < "$WORK/time.txt"
    if [ -z "$best" ] || awk -v a="$t" -v b="$best" 'BEGIN{exit !(a<b)}'; then best="$t"; fi
    [ "$m" -gt "$mem" ] && mem="$m"
  done
  echo "$best $mem"
}

printf "%-8s %12s %12s %8s %12s %12s %8s\n" size "trumik s" "xmlsec1 s" ratio "trumik KB" "xmlsec1 KB" ratio
for spec in "1KB 1024" "1MB 1048576" "10MB 10485760"; do
  set -- $spec
  make_doc "$2" "$WORK/doc-$1.xml"
  sed "s|</root>|$TEMPLATE</root>|" "$WORK/doc-$1.xml" > "$WORK/tmpl-$1.xml"
  read -r ours ours_mem < <(measure "$TRUMIK" sign-pem --key "$WORK/signer.pem" "$WORK/doc-$1.xml" -o "$WORK/out-$1.xml")
  read -r peer peer_mem < <(measure xmlsec1 --sign --privkey-pem "$WORK/key.pem,$WORK/cert.pem" --output "$WORK/peer-$1.xml" "$WORK/tmpl-$1.xml")
  xmlsec1 --verify --pubkey-cert-pem "$WORK/cert.pem" "$WORK/out-$1.xml" >/dev/null 2>&1 || { echo "bench: output of $1 does not verify" >&2; exit 1; }
  awk -v s="$1" -v a="$ours" -v b="$peer" -v c="$ours_mem" -v d="$peer_mem" 'BEGIN {
    printf "%-8s %12.3f %12.3f %8.2f %12d %12d %8.2f\n", s, a, b, (b > 0 ? a / b : 0), c, d, (d > 0 ? c / d : 0) }'
done

echo
echo "== dispatch overhead at 1 KB"
"$BUILD/bin/dispatch_bench" "$WORK/doc-1KB.xml" "$WORK/signer.pem" 300

echo
echo "== 1000 documents: one trumik script against 1000 xmlsec1 --sign runs"
mkdir -p "$WORK/many"
for i in $(seq 1 1000); do
  printf '<doc n="%d"><p>Документ номер %d</p></doc>\n' "$i" "$i" > "$WORK/many/$i.xml"
  sed "s|</doc>|$TEMPLATE</doc>|" "$WORK/many/$i.xml" > "$WORK/many/$i.tmpl.xml"
done
{
  echo '{"new": "s", "progid": "ZelvaneTrumik.XmlSigner"}'
  for i in $(seq 1 1000); do
    printf '{"call": "s", "method": "SignWithKey", "args": ["@%s", "%s"], "out": "%s"}\n' \
      "$WORK/many/$i.xml" "$WORK/signer.pem" "$WORK/many/$i.out.xml"
  done
  echo '{"release": "s"}'
} > "$WORK/many.jsonl"
start=$(date +%s.%N)
"$TRUMIK" script "$WORK/many.jsonl" > /dev/null
mid=$(date +%s.%N)
for i in $(seq 1 1000); do
  xmlsec1 --sign --privkey-pem "$WORK/key.pem,$WORK/cert.pem" --output "$WORK/many/$i.peer.xml" "$WORK/many/$i.tmpl.xml" 2>/dev/null
done
end=$(date +%s.%N)
xmlsec1 --verify --pubkey-cert-pem "$WORK/cert.pem" "$WORK/many/1000.out.xml" >/dev/null 2>&1 || { echo "bench: script output does not verify" >&2; exit 1; }
awk -v a="$start" -v b="$mid" -v c="$end" 'BEGIN { printf "trumik script %.2f s, xmlsec1 runs %.2f s, ratio %.2f\n", b - a, c - b, (b - a) / (c - b) }'

echo
# CMS messages beside openssl cms, and the CryptDecryptMessage fuzzer.
"$(dirname "${BASH_SOURCE[0]}")/bench-messages.sh" "$BUILD"
