#!/usr/bin/env bash
# CMS enveloped messages: CryptEncryptMessage and CryptDecryptMessage (through
# message_bench) beside `openssl cms -encrypt -gost89` / `-decrypt` with the
# GOST engine, on the same data and certificate, 1 MB and 64 MB; best
# time of three runs, peak resident memory, ratios (ours / openssl: at most
# 1.25 in time is within 0.8x of its throughput), and `openssl speed -evp
# gost89` for the cipher alone. Times are processor time (user + system), as
# `openssl speed` counts, so that a busy machine does not blur the ratios.
# CMS SignedData: trumik cms sign/verify --detached beside openssl dgst
# -md_gost12_256, 64 MiB and 1 GiB (TRUMIK_BENCH_1GIB=0 leaves the 1 GiB row out),
# with the peak memory, which must stay flat: the content is streamed.
# Then the CryptDecryptMessage fuzzer (libFuzzer, clang) for one million runs
# (FUZZ_RUNS or TRUMIK_FUZZ_RUNS; 0 leaves it out).
set -euo pipefail
BUILD="$1"
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BENCH="$BUILD/bin/message_bench"
WORK="$(mktemp -d /tmp/trumik-msgbench-XXXXXX)"
trap 'rm -rf "$WORK"' EXIT
export TRUMIK_HOME="$WORK/home"
cd "$WORK"

openssl genpkey -engine gost -algorithm gost2001 -pkeyopt paramset:A -out key.pem 2>/dev/null
openssl pkey -engine gost -in key.pem -outform DER -out key.der 2>/dev/null
openssl req -engine gost -x509 -new -key key.pem -md_gost94 -days 30 -subj /CN=bench -out cert.pem 2>/dev/null
openssl x509 -in cert.pem -outform DER -out cert.der
"$BENCH" setup key.der cert.der

measure() { # prints "seconds kilobytes": the least processor time (user + system) of three runs
  local best="" mem=0
  for _ in 1 2 3; do
    /usr/bin/time -f "%U %S %M" -o time.txt "$@" >/dev/null 2>err.txt || { cat err.txt >&2; return 1; }
    read -r u s m < time.txt
    t=$(awk -v u="$u" -v s="$s" 'BEGIN { print u + s }')
    if [ -z "$best" ] || awk -v a="$t" -v b="$best" 'BEGIN{exit !(a<b)}'; then best="$t"; fi
    [ "$m" -gt "$mem" ] && mem="$m"
  done
  echo "$best $mem"
}

line() { # label bytes ours_s ours_kb peer_s peer_kb
  awk -v l="$1" -v n="$2" -v a="$3" -v c="$4" -v b="$5" -v d="$6" 'BEGIN {
    printf "%-14s %9.3f %9.3f %7.2f %10d %10d %7.2f %9.2f\n", l, a, b, (b > 0 ? a / b : 0), c, d,
      (d > 0 ? c / d : 0), c * 1024 / n }'
}

echo "== CMS messages (GOST 28147-89): CryptEncryptMessage/CryptDecryptMessage beside openssl cms"
printf "%-14s %9s %9s %7s %10s %10s %7s %9s\n" operation "ours s" "cms s" ratio "ours KB" "cms KB" ratio "x size"
enc64=0; dec64=0
for spec in "1MB 1048576" "64MB 67108864"; do
  set -- $spec
  head -c "$2" /dev/urandom > "in-$1"
  read -r oe oem < <(measure "$BENCH" encrypt "in-$1" "ours-$1.der")
  read -r pe pem < <(measure openssl cms -encrypt -engine gost -gost89 -binary -outform DER -in "in-$1" \
    -out "peer-$1.der" cert.pem)
  read -r od odm < <(measure "$BENCH" decrypt "ours-$1.der" "back-$1")
  read -r pd pdm < <(measure openssl cms -decrypt -engine gost -binary -inform DER -in "ours-$1.der" \
    -inkey key.pem -recip cert.pem -out "peer-back-$1")
  cmp -s "in-$1" "back-$1" || { echo "bench: our decryption of $1 differs" >&2; exit 1; }
  cmp -s "in-$1" "peer-back-$1" || { echo "bench: openssl's decryption of $1 differs" >&2; exit 1; }
  "$BENCH" decrypt "peer-$1.der" "back2-$1"
  cmp -s "in-$1" "back2-$1" || { echo "bench: our decryption of openssl's $1 differs" >&2; exit 1; }
  [ "$1" = 64MB ] && { enc64="$oe"; dec64="$od"; }
  line "encrypt $1" "$2" "$oe" "$oem" "$pe" "$pem"
  line "decrypt $1" "$2" "$od" "$odm" "$pd" "$pdm"
  rm -f "back-$1" "peer-back-$1" "back2-$1"
done
echo "(x size: peak memory of ours over the message size)"
echo
echo "== openssl speed -evp gost89 (16 KB blocks) beside our 64 MB runs"
# `openssl speed -evp` finds the engine's cipher only when a configuration loads the engine.
cat > gost.cnf <<'CNF'
openssl_conf = openssl_def
[openssl_def]
engines = engine_section
[engine_section]
gost = gost_section
[gost_section]
engine_id = gost
default_algorithms = ALL
CNF
speed=$(OPENSSL_CONF="$WORK/gost.cnf" openssl speed -evp gost89 -seconds 2 -bytes 16384 2>/dev/null |
  awk '/^gost89/ { v = $2; sub(/k$/, "", v); print v * 1000 / 1048576 }')
awk -v s="${speed:-0}" -v n=67108864 -v e="$enc64" -v d="$dec64" 'BEGIN {
  oe = (e > 0 ? n / 1048576 / e : 0); od = (d > 0 ? n / 1048576 / d : 0)
  printf "openssl speed gost89 %.1f MB/s; ours over 64 MB (whole process, processor time): encrypt %.1f MB/s (%.2f), decrypt %.1f MB/s (%.2f)\n",
    s, oe, (s > 0 ? oe / s : 0), od, (s > 0 ? od / s : 0) }'

echo
echo "== CCryptEncMessage through trumik, 64 MB: the byte methods (trumik encrypt/decrypt) and the"
echo "   Base64 text methods (CryptMessage/DecryptMessage, trumik encrypt/decrypt --base64)"
TRUMIK="$BUILD/bin/trumik"
"$TRUMIK" register "$BUILD/lib/Zelvane.Trumik.XmlSigner.so" >/dev/null
THUMB=$(openssl x509 -in cert.pem -noout -fingerprint -sha1 | sed 's/.*=//; s/://g')
base64 -w0 in-64MB > in-64MB.b64
printf "%-22s %9s %10s %9s %9s\n" operation "ours s" "ours KB" "x data" "MB/s"
trumik_line() { # label seconds kilobytes
  awk -v l="$1" -v a="$2" -v c="$3" -v n=67108864 'BEGIN {
    printf "%-22s %9.3f %10d %9.2f %9.1f\n", l, a, c, c * 1024 / n, (a > 0 ? n / 1048576 / a : 0) }'
}
read -r te tem < <(measure "$TRUMIK" encrypt --store My --thumbprint "$THUMB" in-64MB -o trumik-64MB.der)
read -r td tdm < <(measure "$TRUMIK" decrypt --store My --thumbprint "$THUMB" trumik-64MB.der -o trumik-back-64MB)
cmp -s in-64MB trumik-back-64MB || { echo "bench: trumik decrypt of 64MB differs" >&2; exit 1; }
read -r tte ttem < <(measure "$TRUMIK" encrypt --base64 --store My --thumbprint "$THUMB" in-64MB.b64 -o trumik-64MB.b64)
read -r ttd ttdm < <(measure "$TRUMIK" decrypt --base64 --store My --thumbprint "$THUMB" trumik-64MB.b64 -o trumik-back-64MB.b64)
base64 -d trumik-back-64MB.b64 | cmp -s - in-64MB || { echo "bench: trumik decrypt --base64 of 64MB differs" >&2; exit 1; }
trumik_line "encrypt bytes" "$te" "$tem"
trumik_line "decrypt bytes" "$td" "$tdm"
trumik_line "encrypt Base64 text" "$tte" "$ttem"
trumik_line "decrypt Base64 text" "$ttd" "$ttdm"
echo "(x data: peak memory over the 64 MB of data; the Base64 text is 85 MB, 170 MB as the string a method takes)"
rm -f trumik-64MB.der trumik-back-64MB trumik-64MB.b64 trumik-back-64MB.b64 in-64MB.b64

echo
echo "== CMS SignedData: trumik cms sign --detached (GOST R 34.10-2012, 256 bits, the file read a piece"
echo "   at a time) and trumik cms verify --content beside their bound, openssl dgst -md_gost12_256 over"
echo "   the same file; target: peak memory flat (1 GiB within 1.5x of 64 MiB, and under 64 MiB)"
printf "%-16s %9s %9s %7s %10s %10s %7s %9s\n" operation "ours s" "dgst s" ratio "ours KB" "dgst KB" ratio "x size"
THUMB2012=$("$TRUMIK" cert new --algorithm gost2012-256 --subject "CN=bench cms" --pin 1234 --out cms.pem)
sizes="64MiB 67108864"
[ "${TRUMIK_BENCH_1GIB:-1}" = 1 ] && sizes="$sizes 1GiB 1073741824"
set -- $sizes
flat_base=0
while [ $# -ge 2 ]; do
  label="$1" bytes="$2"; shift 2
  # Made in the work folder and deleted after its row: sparse, so it takes no disk and no time.
  truncate -s "$bytes" "in-$label"
  read -r os osm < <(measure "$TRUMIK" cms sign --detached --store My --thumbprint "$THUMB2012" --pin 1234 \
    "in-$label" -o "sig-$label.p7s")
  read -r ds dsm < <(measure openssl dgst -engine gost -md_gost12_256 "in-$label")
  openssl cms -verify -engine gost -binary -inform DER -noverify -in "sig-$label.p7s" -content "in-$label" \
    -out /dev/null 2>/dev/null || { echo "bench: openssl does not verify the detached signature of $label" >&2; exit 1; }
  "$TRUMIK" cms verify --content "in-$label" "sig-$label.p7s" >/dev/null ||
    { echo "bench: trumik cms verify refuses the detached signature of $label" >&2; exit 1; }
  read -r ov ovm < <(measure "$TRUMIK" cms verify --content "in-$label" "sig-$label.p7s")
  line "cms sign $label" "$bytes" "$os" "$osm" "$ds" "$dsm"
  line "cms verify $label" "$bytes" "$ov" "$ovm" "$ds" "$dsm"
  peak=$(( osm > ovm ? osm : ovm ))
  if [ "$flat_base" = 0 ]; then
    flat_base=$peak
  else
    awk -v l="$label" -v p="$peak" -v b="$flat_base" 'BEGIN {
      printf "peak memory %s: %d KB against %d KB at 64 MiB, %.2fx: target flat (<= 1.5x, < 64 MiB) %s\n",
        l, p, b, p / b, (p <= 1.5 * b && p < 65536 ? "met" : "MISSED") }'
  fi
  rm -f "in-$label" "sig-$label.p7s"
done

if [ "${FUZZ_RUNS:-${TRUMIK_FUZZ_RUNS:-1000000}}" != 0 ]; then
  echo
  echo "== CryptDecryptMessage fuzzer: ${FUZZ_RUNS:-${TRUMIK_FUZZ_RUNS:-1000000}} runs (libFuzzer, ASan)"
  FUZZ_BUILD="${FUZZ_BUILD:-${TRUMIK_FUZZ_BUILD:-$BUILD-fuzz}}"
  cmake -S "$ROOT" -B "$FUZZ_BUILD" ${FUZZ_CONFIG:--DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DTRUMIK_FUZZ=ON -DTRUMIK_SANITIZE=ON -DTRUMIK_TESTS=OFF} >/dev/null
  cmake --build "$FUZZ_BUILD" -j"${JOBS:-$(nproc)}" --target crypt_message_fuzz >/dev/null
  mkdir -p corpus fuzz-home
  TRUMIK_HOME="$WORK/fuzz-home" TRUMIK_FUZZ_SEED_DIR="$WORK/corpus" \
  ASAN_OPTIONS="detect_leaks=0" \
    "$FUZZ_BUILD/bin/crypt_message_fuzz" -runs="${FUZZ_RUNS:-${TRUMIK_FUZZ_RUNS:-1000000}}" -max_len=4096 -print_final_stats=1 \
      corpus 2>&1 | grep -E "^#[0-9]+[[:space:]]+DONE|stat::number_of_executed_units|Done [0-9]+ runs|ERROR" || true
fi
