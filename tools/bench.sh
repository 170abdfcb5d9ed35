#!/usr/bin/env bash
# Times SignWithKey (through trumik sign-pem) beside xmlsec1 --sign with the same
# key and an equivalent template, on 1 KB, 1 MB and 10 MB documents; prints the
# best wall time of three runs and the peak resident memory, with ratios; then
# GOST signing with a store certificate (trumik sign) beside xmllint --c14n and
# openssl dgst -md_gost94 on the same documents, and one warm SignWithCertStorePass;
# GOST R 34.10-2012 (256 bits) signing and verification of 1 MB and 10 MB beside
# xmllint --c14n and openssl dgst -md_gost12_256; calls per second of every class
# of both modules on two threads against one (build/bin/thread_bench). Each row
# with a target prints it beside its ratio, met or MISSED.
set -euo pipefail
BUILD="$1"
TRUMIK="$BUILD/bin/trumik"
WORK="$(mktemp -d /tmp/trumik-bench-XXXXXX)"
trap 'rm -rf "$WORK"' EXIT
export TRUMIK_HOME="$WORK/home"
# The fuzz targets share one clang build with libFuzzer, ASan and UBSan.
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export FUZZ_BUILD="${TRUMIK_FUZZ_BUILD:-$BUILD-fuzz}"
export FUZZ_CONFIG="-DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DTRUMIK_FUZZ=ON -DTRUMIK_SANITIZE=ON -DTRUMIK_TESTS=OFF"

openssl req -x509 -newkey rsa:2048 -nodes -subj "/CN=bench" -days 30 \
  -keyout "$WORK/key.pem" -out "$WORK/cert.pem" 2>/dev/null
cat "$WORK/key.pem" "$WORK/cert.pem" > "$WORK/signer.pem"
"$TRUMIK" register "$BUILD/lib/Zelvane.Trumik.XmlSigner.so" >/dev/null
"$TRUMIK" register "$BUILD/lib/Zelvane.Trumik.Exchange.so" >/dev/null

TEMPLATE='<Signature xmlns="http://www.w3.org/2000/09/xmldsig#"><SignedInfo><CanonicalizationMethod Algorithm="http://www.w3.org/TR/2001/REC-xml-c14n-20010315"/><SignatureMethod Algorithm="http://www.w3.org/2000/09/xmldsig#rsa-sha1"/><Reference URI=""><Transforms><Transform Algorithm="http://www.w3.org/2000/09/xmldsig#enveloped-signature"/></Transforms><DigestMethod Algorithm="http://www.w3.org/2000/09/xmldsig#sha1"/><DigestValue/></Reference></SignedInfo><SignatureValue/><KeyInfo><KeyValue/></KeyInfo></Signature>'

make_doc() { # bytes file
  awk -v size="$1" 'BEGIN {
    printf "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<root>\n"; n = 40
    while (n < size) { line = sprintf("  <item id=\"%d\">Строка данных номер %d</item>\n", n, n); printf "%s", line; n += length(line) + 14 }
    printf "</root>\n" }' > "$2"
}

# Seconds per run of a command, timed over $1 runs in a row: one run of a
# short command is below what /usr/bin/time can resolve.
per_run() {
  local n="$1" start end
  shift
  start=$(date +%s.%N)
  for _ in $(seq 1 "$n"); do "$@" >/dev/null 2>&1 || return 1; done
  end=$(date +%s.%N)
  awk -v a="$start" -v b="$end" -v n="$n" 'BEGIN { printf "%.6f\n", (b - a) / n }'
}

measure() { # prints "seconds kilobytes": the best of three runs, or the mean of many for short ones
  local best="" mem=0
  for _ in 1 2 3; do
    /usr/bin/time -f "%e %M" -o "$WORK/time.txt" "$@" >/dev/null 2>"$WORK/err.txt" || { cat "$WORK/err.txt" >&2; return 1; }
    read -r t m < "$WORK/time.txt"
    if [ -z "$best" ] || awk -v a="$t" -v b="$best" 'BEGIN{exit !(a<b)}'; then best="$t"; fi
    [ "$m" -gt "$mem" ] && mem="$m"
  done
  if awk -v a="$best" 'BEGIN{exit !(a < 0.5)}'; then best=$(per_run 50 "$@"); fi
  echo "$best $mem"
}

# ---- SignWithKey (PEM, RSA-SHA1) beside xmlsec1: target at 10 MB, time <= 1.2x and memory <= 1.5x ----
printf "%-8s %12s %12s %8s %12s %12s %8s  %s\n" size "trumik s" "xmlsec1 s" ratio "trumik KB" "xmlsec1 KB" ratio \
  "target (10MB: 1.2x time, 1.5x memory)"
for spec in "1KB 1024" "1MB 1048576" "10MB 10485760"; do
  set -- $spec
  make_doc "$2" "$WORK/doc-$1.xml"
  sed "s|</root>|$TEMPLATE</root>|" "$WORK/doc-$1.xml" > "$WORK/tmpl-$1.xml"
  read -r ours ours_mem < <(measure "$TRUMIK" sign-pem --key "$WORK/signer.pem" "$WORK/doc-$1.xml" -o "$WORK/out-$1.xml")
  read -r peer peer_mem < <(measure xmlsec1 --sign --privkey-pem "$WORK/key.pem,$WORK/cert.pem" --output "$WORK/peer-$1.xml" "$WORK/tmpl-$1.xml")
  xmlsec1 --verify --pubkey-cert-pem "$WORK/cert.pem" "$WORK/out-$1.xml" >/dev/null 2>&1 || { echo "bench: output of $1 does not verify" >&2; exit 1; }
  awk -v s="$1" -v a="$ours" -v b="$peer" -v c="$ours_mem" -v d="$peer_mem" 'BEGIN {
    t = (b > 0 ? a / b : 0); m = (d > 0 ? c / d : 0)
    verdict = (s != "10MB") ? "" : ((t <= 1.2 ? "time met" : "time MISSED") ", " (m <= 1.5 ? "memory met" : "memory MISSED"))
    printf "%-8s %12.4f %12.4f %8.2f %12d %12d %8.2f  %s\n", s, a, b, t, c, d, m, verdict }'
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
echo "== GOST signing with a store certificate (trumik sign) beside its lower bound:"
echo "   xmllint --c14n piped into openssl dgst -md_gost94 (gost engine) over the same document"
THUMB="$("$BUILD/bin/signer_bench" setup "$WORK")"
# "name|ours|bound|target" of the 10 MB GOST rows, printed together after the element section.
TARGET_ROWS=()
printf "%-8s %12s %12s %8s\n" size "trumik s" "bound s" ratio
for size in 1KB 1MB 10MB; do
  read -r ours _ < <(measure "$TRUMIK" sign --store My --thumbprint "$THUMB" --pin 1234 "$WORK/doc-$size.xml" -o "$WORK/gost-$size.xml")
  read -r bound _ < <(measure sh -c "xmllint --c14n '$WORK/doc-$size.xml' | openssl dgst -engine gost -md_gost94 2>/dev/null")
  grep -q "<SignatureValue>" "$WORK/gost-$size.xml" || { echo "bench: no GOST signature for $size" >&2; exit 1; }
  awk -v s="$size" -v a="$ours" -v b="$bound" 'BEGIN {
    printf "%-8s %12.4f %12.4f %8.2f\n", s, a, b, (b > 0 ? a / b : 0) }'
  if [ "$size" = 10MB ]; then TARGET_ROWS+=("GOST 2001 sign 10MB|$ours|$bound|1.3"); fi
done
"$BUILD/bin/signer_bench" call "$WORK/doc-1KB.xml" "$THUMB" 1234 300

echo
# ---- thread bench: every class of both modules, two threads against one; target 1.7x ----
echo "== two threads (each its own object) against one, in one process; every result checked; target 1.7x"
echo "   (wall clock, then on processor time: each thread's time less its wait for a core)"
T2001="$("$TRUMIK" cert new --subject "CN=Threads 2001" --container threads-2001 --pin 1234 --out "$WORK/threads-2001.der")"
T2012="$("$TRUMIK" cert new --subject "CN=Threads 2012" --algorithm gost2012-256 --container threads-2012 \
  --pin 1234 --out "$WORK/threads-2012.der")"
"$TRUMIK" provider gost2012 on >/dev/null
make_doc 102400 "$WORK/doc-100KB.xml"
for size in 1KB 100KB; do
  echo "-- $size"
  "$BUILD/bin/thread_bench" "${TRUMIK_THREAD_BENCH_SECONDS:-3}" "$WORK/doc-$size.xml" "$WORK/signer.pem" \
    "$T2001" 1234 "$WORK/threads-2001.der" "$T2012" 1234 "$WORK/threads-2012.der" ||
    echo "bench: a threaded call gave a wrong result" >&2
done
"$TRUMIK" provider gost2012 off >/dev/null
echo "== verify: trumik verify (GOST R 34.10-2001, mscrypto) beside the lower bound xmllint --c14n + openssl dgst -md_gost94"
openssl req -x509 -engine gost -newkey gost2001 -pkeyopt paramset:A -md_gost94 -nodes -subj "/CN=bench" -days 30 \
  -keyout "$WORK/gost.key" -out "$WORK/gost.pem" >/dev/null 2>&1
openssl x509 -in "$WORK/gost.pem" -outform DER -out "$WORK/gost.der"
gost_sign() { "$(dirname "$0")/gost-sign-openssl.sh" "$WORK/gost.key" "$1" "$2"; } # document out
lower_bound() { xmllint --c14n "$1" | openssl dgst -engine gost -md_gost94 >/dev/null 2>&1; }
export -f lower_bound
printf "%-8s %12s %12s %8s\n" size "trumik s" "bound s" ratio
for spec in "1KB 1024" "1MB 1048576" "10MB 10485760"; do
  set -- $spec
  [ -f "$WORK/doc-$1.xml" ] || make_doc "$2" "$WORK/doc-$1.xml"
  gost_sign "$WORK/doc-$1.xml" "$WORK/gost-signed-$1.xml"
  "$TRUMIK" verify --no-cert-check --cert "$WORK/gost.der" "$WORK/gost-signed-$1.xml" ||
    { echo "bench: the GOST document of $1 does not verify" >&2; continue; }
  read -r ours _ < <(measure "$TRUMIK" verify --no-cert-check --cert "$WORK/gost.der" "$WORK/gost-signed-$1.xml")
  read -r bound _ < <(measure bash -c 'lower_bound "$0"' "$WORK/doc-$1.xml")
  if [ "$1" = 10MB ]; then TARGET_ROWS+=("GOST 2001 verify 10MB|$ours|$bound|1.3"); fi
  awk -v s="$1" -v a="$ours" -v b="$bound" 'BEGIN {
    if (b > 0) printf "%-8s %12.4f %12.4f %8.2f\n", s, a, b, a / b
    else printf "%-8s %12.4f %12.4f %8s\n", s, a, b, "n/a" }'
done

echo
echo "== GOST R 34.10-2012, 256 bits (switch on): trumik sign with a store certificate and trumik verify"
echo "   beside their lower bound, xmllint --c14n piped into openssl dgst -md_gost12_256 (gost engine)"
"$TRUMIK" provider gost2012 on
THUMB2012="$("$TRUMIK" cert new --algorithm gost2012-256 --subject "CN=bench 2012" --container bench-2012 --pin 1234)"
"$TRUMIK" cert export "$THUMB2012" --out "$WORK/gost2012.der" >/dev/null
lower_bound_2012() { xmllint --c14n "$1" | openssl dgst -engine gost -md_gost12_256 >/dev/null 2>&1; }
export -f lower_bound_2012
printf "%-8s %12s %12s %12s %8s %8s\n" size "sign s" "verify s" "bound s" "sign" "verify"
for size in 1MB 10MB; do
  read -r signing _ < <(measure "$TRUMIK" sign --store My --thumbprint "$THUMB2012" --pin 1234 "$WORK/doc-$size.xml" -o "$WORK/gost2012-$size.xml")
  grep -q 'gostr34102012-gostr34112012-256' "$WORK/gost2012-$size.xml" || { echo "bench: no GOST R 34.10-2012 signature for $size" >&2; exit 1; }
  "$TRUMIK" verify --no-cert-check --cert "$WORK/gost2012.der" "$WORK/gost2012-$size.xml" ||
    { echo "bench: the GOST R 34.10-2012 document of $size does not verify" >&2; exit 1; }
  read -r verifying _ < <(measure "$TRUMIK" verify --no-cert-check --cert "$WORK/gost2012.der" "$WORK/gost2012-$size.xml")
  read -r bound _ < <(measure bash -c 'lower_bound_2012 "$0"' "$WORK/doc-$size.xml")
  awk -v s="$size" -v a="$signing" -v v="$verifying" -v b="$bound" 'BEGIN {
    printf "%-8s %12.3f %12.3f %12.3f %8.2f %8.2f\n", s, a, v, b, (b > 0 ? a / b : 0), (b > 0 ? v / b : 0) }'
  if [ "$size" = 10MB ]; then
    TARGET_ROWS+=("GOST 2012-256 sign 10MB|$signing|$bound|1.5" "GOST 2012-256 verify 10MB|$verifying|$bound|1.5")
  fi
done
"$TRUMIK" provider gost2012 off

echo
echo "== element signatures (smev3: exclusive C14N, then the normalisation transform), GOST R 34.10-2012 256:"
echo "   trumik sign-element beside its lower bound, xmllint --exc-c14n piped into openssl dgst -md_gost12_256"
make_message() { # bytes message element
  awk -v size="$1" -v element="$3" 'BEGIN {
    printf "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<m:Msg xmlns:m=\"urn:m\">\n" > ARGV[1]
    printf "<m:Data xmlns:m=\"urn:m\" Id=\"D\">\n" > element; n = 60
    while (n < size) { line = sprintf("  <m:Item n=\"%d\">Строка данных номер %d</m:Item>\n", n, n); printf "%s", line > element; n += length(line) + 14 }
    printf "</m:Data>" > element; close(element)
    while ((getline l < element) > 0) print l > ARGV[1]
    printf "<m:Sig Id=\"S\"/>\n</m:Msg>\n" > ARGV[1] }' "$2"
}
lower_bound_element() { xmllint --exc-c14n "$1" | openssl dgst -engine gost -md_gost12_256 >/dev/null 2>&1; }
export -f lower_bound_element
printf "%-8s %12s %12s %8s\n" size "sign s" "bound s" ratio
for spec in "1MB 1048576" "10MB 10485760"; do
  set -- $spec
  make_message "$2" "$WORK/message-$1.xml" "$WORK/element-$1.xml"
  read -r signing _ < <(measure "$TRUMIK" sign-element --id D --into S --store My --thumbprint "$THUMB2012" --pin 1234 \
    "$WORK/message-$1.xml" -o "$WORK/message-$1.signed.xml")
  "$TRUMIK" verify-element "$WORK/message-$1.signed.xml" >/dev/null ||
    { echo "bench: the element signature of $1 does not verify" >&2; exit 1; }
  read -r bound _ < <(measure bash -c 'lower_bound_element "$0"' "$WORK/element-$1.xml")
  awk -v s="$1" -v a="$signing" -v b="$bound" 'BEGIN {
    printf "%-8s %12.3f %12.3f %8.2f\n", s, a, b, (b > 0 ? a / b : 0) }'
  if [ "$1" = 10MB ]; then TARGET_ROWS+=("smev3 element sign 10MB|$signing|$bound|1.5"); fi
done

echo
echo "== the fixed cost of GOST signatures at 10 MB: each row against its lower bound and its target ratio"
printf "%-26s %10s %10s %8s %8s %s\n" row "ours s" "bound s" ratio target ""
for row in "${TARGET_ROWS[@]}"; do
  IFS='|' read -r name ours bound target <<< "$row"
  awk -v n="$name" -v a="$ours" -v b="$bound" -v t="$target" 'BEGIN {
    r = (b > 0 ? a / b : 0)
    printf "%-26s %10.3f %10.3f %8.2f %8.2f %s\n", n, a, b, r, t, (r <= t ? "met" : "above") }'
done

echo
echo "== fuzz: verification of arbitrary documents against GOST-signed seeds, ${TRUMIK_FUZZ_RUNS:-1000000} runs (libFuzzer, clang)"
echo "   (a document that verifies must carry a seed's signed content; the splicing of the signature into"
echo "   the caller's text and the Base64 text codec beside it)"
if command -v clang++ >/dev/null; then
  cmake -S "$ROOT" -B "$FUZZ_BUILD" $FUZZ_CONFIG >/dev/null
  cmake --build "$FUZZ_BUILD" -j"${JOBS:-$(nproc)}" --target verifier_fuzz signer_splice_fuzz cryptmsg_codec_fuzz \
    exchange_normalisation_fuzz xmlsec1_mscrypto >/dev/null
  mkdir -p "$WORK/corpus-verify" "$WORK/corpus-splice" "$WORK/corpus-codec" "$WORK/corpus-normalise"
  printf '<b:D xmlns="urn:a" xmlns:b="urn:b" Id="1" b:y="2"><E/><b:T> t &amp; </b:T><!--c--></b:D>' \
    > "$WORK/corpus-normalise/example.xml"
  printf '<a><Signature xmlns="http://www.w3.org/2000/09/xmldsig#"><SignedInfo/></Signature></a>' \
    > "$WORK/corpus-verify/empty-si.xml"
  cp "$WORK/doc-1KB.xml" "$WORK/corpus-splice/"
  printf '<!DOCTYPE r [<!ENTITY e "<b/>">]><r a="/>"><![CDATA[</r>]]>&e;<x/></r>' > "$WORK/corpus-splice/markup.xml"
  printf '<p:r xmlns:p="urn:p"/>' > "$WORK/corpus-splice/empty.xml"
  printf '\0plain data' > "$WORK/corpus-codec/plain"
  for target in verify splice codec normalise; do
    case "$target" in
      normalise) exe=exchange_normalisation_fuzz; len=4096 ;;
      verify) exe=verifier_fuzz; len=4096 ;;
      splice) exe=signer_splice_fuzz; len=4096 ;;
      codec) exe=cryptmsg_codec_fuzz; len=1024 ;;
    esac
    start=$(date +%s.%N)
    # The verification target writes its GOST-signed seeds into its corpus at start-up.
    if ! TRUMIK_HOME="$WORK/fuzz-home" TRUMIK_FUZZ_SEED_DIR="$WORK/corpus-$target" ASAN_OPTIONS=detect_leaks=0 \
         "$FUZZ_BUILD/bin/$exe" -runs="${TRUMIK_FUZZ_RUNS:-1000000}" -max_len=$len -seed=1 -print_final_stats=1 \
         -artifact_prefix="$FUZZ_BUILD/$target-" "$WORK/corpus-$target" > "$WORK/fuzz-$target.log" 2>&1; then
      tail -40 "$WORK/fuzz-$target.log" >&2
      echo "bench: the $target target failed under the fuzzer; the input is in $FUZZ_BUILD/$target-*" >&2
      exit 1
    fi
    end=$(date +%s.%N)
    runs=$(awk '/stat::number_of_executed_units/ {print $2}' "$WORK/fuzz-$target.log")
    cov=$(grep -o 'cov: [0-9]*' "$WORK/fuzz-$target.log" | tail -1)
    awk -v t="$target" -v n="$runs" -v c="$cov" -v a="$start" -v b="$end" 'BEGIN {
      printf "%-6s: %d runs in %.0f s, %s, no finding\n", t, n, b - a, c }'
  done
else
  echo "clang is not installed: no fuzz run"
fi
# ---- certificate stores, GOST signatures, the readers under the fuzzer ----
echo
echo "== certificate stores: CertOpenStore + CertFindCertificateInStore (SHA-1) + CertCloseStore"
"$BUILD/bin/store_bench" stores 2000

echo
echo "== one GOST R 34.10-2001 signature: CryptSignHash against EVP_PKEY_sign, same key, same process"
"$BUILD/bin/store_bench" sign 1000 "$WORK/gost-key.pem"
printf '0123456789abcdef0123456789abcdef' > "$WORK/digest32"
start=$(date +%s.%N)
for _ in $(seq 1 20); do
  openssl pkeyutl -engine gost -sign -inkey "$WORK/gost-key.pem" -in "$WORK/digest32" \
    -out "$WORK/digest32.sig" >/dev/null 2>&1
done
end=$(date +%s.%N)
awk -v a="$start" -v b="$end" 'BEGIN {
  printf "openssl pkeyutl -engine gost -sign: %.1f ms a run (process start-up and key loading included)\n", (b - a) * 50 }'
[ "$(stat -c %s "$WORK/digest32.sig")" -eq 64 ] || { echo "bench: openssl pkeyutl made no signature" >&2; exit 1; }

echo
echo "== the certificate and store file readers under libFuzzer (clang, AddressSanitizer)"
FUZZ_RUNS="${TRUMIK_FUZZ_RUNS:-1000000}"
cmake -S "$ROOT" -B "$FUZZ_BUILD" $FUZZ_CONFIG >/dev/null
cmake --build "$FUZZ_BUILD" -j"${JOBS:-$(nproc)}" --target crypt_fuzz >/dev/null
FUZZ_BUILD="$(cd "$FUZZ_BUILD" && pwd)"
mkdir -p "$WORK/seeds/cert" "$WORK/seeds/store"
"$BUILD/bin/store_bench" seeds "$WORK/seeds"
# The store reader writes each input to a file: keep that file in memory when we can.
FUZZ_HOME="$(mktemp -d /dev/shm/trumik-fuzz-XXXXXX 2>/dev/null || mktemp -d "$WORK/fuzz-XXXXXX")"
for reader in cert store; do
  mkdir -p "$WORK/corpus-$reader"
  start=$(date +%s.%N)
  if ! (cd "$WORK" && TRUMIK_HOME="$FUZZ_HOME" TRUMIK_FUZZ_READER=$reader ASAN_OPTIONS=detect_leaks=1 \
        LSAN_OPTIONS="suppressions=$ROOT/tools/lsan.supp" "$FUZZ_BUILD/bin/crypt_fuzz" -runs="$FUZZ_RUNS" \
        -max_len=4096 -print_final_stats=1 -artifact_prefix="$FUZZ_BUILD/$reader-" \
        "$WORK/corpus-$reader" "$WORK/seeds/$reader" \
        > "$WORK/fuzz-$reader.log" 2>&1); then
    tail -40 "$WORK/fuzz-$reader.log" >&2
    rm -rf "$FUZZ_HOME"
    echo "bench: the $reader reader failed under the fuzzer; the input is in $FUZZ_BUILD/$reader-*" >&2
    exit 1
  fi
  end=$(date +%s.%N)
  runs=$(awk '/stat::number_of_executed_units/ {print $2}' "$WORK/fuzz-$reader.log")
  cov=$(grep -o 'cov: [0-9]*' "$WORK/fuzz-$reader.log" | tail -1)
  awk -v r="$reader" -v n="$runs" -v c="$cov" -v a="$start" -v b="$end" 'BEGIN {
    printf "%-6s reader: %d runs in %.0f s, %s, no crash or leak\n", r, n, b - a, c }'
done
rm -rf "$FUZZ_HOME"
# CMS messages beside openssl cms, and the CryptDecryptMessage fuzzer.
"$(dirname "${BASH_SOURCE[0]}")/bench-messages.sh" "$BUILD"
