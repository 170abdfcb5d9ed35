#!/bin/sh
# The test token under a client no one here wrote: OpenSC's pkcs11-tool sets
# the token up, makes GOST key pairs and signs; the GOST engine's openssl
# command checks the signatures with the public keys the client read. Every
# pkcs11-tool run is a process of its own, so the token's state file carries
# everything from one step to the next.
#   interop.sh PATH-TO-libtrumik-testtoken.so
set -eu

MODULE="$1"
WORK="$(mktemp -d)"
trap 'rm -rf "$WORK"' EXIT
export TRUMIK_TESTTOKEN_DIR="$WORK/state"
SO_PIN=87654321
PIN=1234

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# Under the sanitizers the token needs their runtime in pkcs11-tool's process.
p11() {
    LD_PRELOAD="${TRUMIK_CLIENT_PRELOAD:-}" ASAN_OPTIONS="${TRUMIK_CLIENT_PRELOAD:+detect_leaks=0}" \
        pkcs11-tool --module "$MODULE" "$@"
}

# The public key VALUE (hex, x then y little-endian) of the key labelled $1,
# as the client lists it.
public_value() {
    p11 --list-objects --type pubkey 2>/dev/null | awk -v want="$1" '
        /^[A-Za-z].*Object/ { value = ""; invalue = 0 }
        /^ *VALUE:/ { invalue = 1; value = $2; next }
        invalue && /^ +[0-9a-f]+$/ { value = value $1; next }
        { invalue = 0 }
        /^ *label:/ && $2 == want { print value }'
}

# A SubjectPublicKeyInfo PEM for a GOST public value: $1 value hex, $2 DER of
# the algorithm parameters (curve, digest) in hex, $3 the algorithm OID in hex.
spki_pem() {
    value="$1" params="$2" alg="$3"
    bytes=$((${#value} / 2))
    if [ "$bytes" -eq 64 ]; then
        octets="0440$value"
        bits="0343$(printf '00%s' "$octets")"
    else
        octets="048180$value"
        bits="03818400$octets"
    fi
    algseq="$alg$params"
    algseq="30$(printf '%02x' $((${#algseq} / 2)))$algseq"
    body="$algseq$bits"
    len=$((${#body} / 2))
    if [ "$len" -lt 128 ]; then
        der="30$(printf '%02x' "$len")$body"
    else
        der="3081$(printf '%02x' "$len")$body"
    fi
    printf '%s' "$der" | tr a-f A-F | basenc --base16 -d >"$WORK/spki.der"
    openssl pkey -engine gost -pubin -inform DER -in "$WORK/spki.der" -out "$WORK/pub.pem" 2>"$WORK/pkey.err" ||
        fail "openssl does not read the public key the client listed: $(cat "$WORK/pkey.err")"
}

# --- set-up ----------------------------------------------------------------
p11 --list-slots >"$WORK/slots.txt" 2>&1 || fail "the client cannot list the slots"
grep -q "uninitialized" "$WORK/slots.txt" || fail "a new token is not uninitialised: $(cat "$WORK/slots.txt")"
p11 --init-token --slot 0 --label "interop token" --so-pin $SO_PIN >/dev/null 2>&1 || fail "init-token"
p11 --slot 0 --init-pin --so-pin $SO_PIN --pin $PIN >/dev/null 2>&1 || fail "init-pin"
p11 --list-token-slots >"$WORK/slots.txt" 2>&1
grep -q "token label *: interop token" "$WORK/slots.txt" || fail "label not shown: $(cat "$WORK/slots.txt")"
grep -q "token manufacturer *: Zelvane test token" "$WORK/slots.txt" || fail "manufacturer not shown"
grep -q "PIN initialized" "$WORK/slots.txt" || fail "user PIN not initialised: $(cat "$WORK/slots.txt")"

p11 --list-mechanisms >"$WORK/mechs.txt" 2>&1
for m in GOSTR3410-KEY-PAIR-GEN GOSTR3410-512-KEY-PAIR-GEN GOSTR3410-WITH-GOSTR3411-12-256 \
    GOSTR3410-WITH-GOSTR3411-12-512 GOSTR3410-12-DERIVE; do
    grep -q "^ *$m," "$WORK/mechs.txt" || fail "mechanism $m not listed: $(cat "$WORK/mechs.txt")"
done

# --- PIN -------------------------------------------------------------------
if p11 --login --pin 9999 --list-objects >/dev/null 2>"$WORK/login.err"; then
    fail "a wrong PIN was taken"
fi
grep -q CKR_PIN_INCORRECT "$WORK/login.err" || fail "wrong PIN not reported as such: $(cat "$WORK/login.err")"
p11 --login --pin $PIN --list-objects >/dev/null 2>&1 || fail "the right PIN after a wrong one is refused"

# --- keys and signatures -----------------------------------------------------
printf 'The test token signs this line.\n' >"$WORK/data.txt"
ALG256=06082a85030701010101
ALG512=06082a85030701010102
DIGEST256=06082a85030701010202
DIGEST512=06082a85030701010203

p11 --login --pin $PIN --keypairgen --key-type GOSTR3410-2012-256:B --id 01 --label k256 >/dev/null 2>&1 ||
    fail "keypairgen 2012-256"
p11 --login --pin $PIN --keypairgen --key-type GOSTR3410-2012-512:A --id 02 --label k512 >/dev/null 2>&1 ||
    fail "keypairgen 2012-512"

p11 --list-objects --type privkey --login --pin $PIN >"$WORK/priv.txt" 2>&1
grep -q "Access: *sensitive, always sensitive, never extractable, local" "$WORK/priv.txt" ||
    fail "generated private key not sensitive: $(cat "$WORK/priv.txt")"
# The client's exit status says nothing here (it reports some refusals with
# 0), so what counts is whether any value came out.
p11 --login --pin $PIN --read-object --type privkey --id 01 -o "$WORK/priv.der" >/dev/null 2>&1 || true
[ ! -s "$WORK/priv.der" ] || fail "the client read a private key"
! grep -q "VALUE" "$WORK/priv.txt" || fail "the client listed a private value: $(cat "$WORK/priv.txt")"

# Signs data.txt on the token with the signature-with-digest mechanism of
# the key labelled $1 (CKA_ID $2), and has openssl dgst verify it over that
# data and refuse it over other data; leaves the public key in pub.pem.
# (sh has no local variables: those of this function start with sv_.)
#   sign_and_verify LABEL ID BITS ALGORITHM-OID-HEX DIGEST-OID-HEX
sign_and_verify() {
    sv_label="$1" sv_id="$2" sv_bits="$3" sv_alg="$4" sv_digest="$5"
    sv_sig="$WORK/sig$sv_bits.bin"
    p11 --login --pin $PIN --sign --mechanism "GOSTR3410-WITH-GOSTR3411-12-$sv_bits" --id "$sv_id" \
        -i "$WORK/data.txt" -o "$sv_sig" >/dev/null 2>&1 || fail "sign 2012-$sv_bits"
    [ "$(wc -c <"$sv_sig")" -eq $((sv_bits / 4)) ] || fail "a 2012-$sv_bits signature is not $((sv_bits / 4)) bytes"
    # The curve parameters as the client listed them, then the digest's.
    sv_curve="$(p11 --list-objects --type pubkey 2>/dev/null |
        awk -v want="$sv_label" '/PARAMS OID/ { p = $3 } /label:/ && $2 == want { print p }')"
    [ -n "$sv_curve" ] || fail "no curve parameters listed for $sv_label"
    sv_params="$sv_curve$sv_digest"
    spki_pem "$(public_value "$sv_label")" "30$(printf '%02x' $((${#sv_params} / 2)))$sv_params" "$sv_alg"
    openssl dgst -engine gost "-md_gost12_$sv_bits" -verify "$WORK/pub.pem" -signature "$sv_sig" "$WORK/data.txt" \
        >"$WORK/verify.txt" 2>&1 ||
        fail "openssl does not verify the token's 2012-$sv_bits signature: $(cat "$WORK/verify.txt")"
    if openssl dgst -engine gost "-md_gost12_$sv_bits" -verify "$WORK/pub.pem" -signature "$sv_sig" \
        "$WORK/other.txt" >/dev/null 2>&1; then
        fail "the 2012-$sv_bits signature verifies over other data"
    fi
}

printf 'Another line.\n' >"$WORK/other.txt"
sign_and_verify k512 02 512 "$ALG512" "$DIGEST512"
sign_and_verify k256 01 256 "$ALG256" "$DIGEST256"

# The bare signature mechanism over a digest openssl made (the 2012-256 key,
# whose public key is now in pub.pem).
openssl dgst -engine gost -md_gost12_256 -binary -out "$WORK/digest256.bin" "$WORK/data.txt" 2>/dev/null
p11 --login --pin $PIN --sign --mechanism GOSTR3410 --id 01 -i "$WORK/digest256.bin" -o "$WORK/raw256.bin" \
    >/dev/null 2>&1 || fail "sign a digest with GOSTR3410"
openssl pkeyutl -engine gost -verify -pubin -inkey "$WORK/pub.pem" -in "$WORK/digest256.bin" \
    -sigfile "$WORK/raw256.bin" >"$WORK/verify.txt" 2>&1 ||
    fail "openssl does not verify the GOSTR3410 signature of a digest: $(cat "$WORK/verify.txt")"

# The state file holds private values: only its owner reads it.
mode="$(stat -c %a "$TRUMIK_TESTTOKEN_DIR/slot0.state")"
[ "$mode" = 600 ] || fail "state file mode $mode"

echo "interop: pkcs11-tool and openssl agree with the test token"
