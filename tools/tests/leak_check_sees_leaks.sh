#!/bin/sh
# The leak check of the sanitizer build with the project's suppressions: a
# lost X509 and EVP_MD_CTX are reported, naming the functions that lost them;
# the libraries' start-up alone is not.
#   leak_check_sees_leaks.sh PROBE SUPPRESSIONS
set -u
probe="$1"
supp="$2"
out="$(mktemp)"
trap 'rm -f "$out"' EXIT
# As build.sh runs the tests: stacks through the libraries unwound in full,
# so that the suppressions see the library functions by name.
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:fast_unwind_on_malloc=0"
export LSAN_OPTIONS="suppressions=$supp"

"$probe" clean >"$out" 2>&1
status=$?
if [ "$status" -ne 0 ] || grep -q "LeakSanitizer" "$out"; then
  cat "$out"
  echo "FAIL: the libraries' start-up is reported as a leak (status $status)"
  exit 1
fi

"$probe" leak >"$out" 2>&1
status=$?
cat "$out"
fail=0
[ "$status" -ne 0 ] || { echo "FAIL: the leaking probe exited 0"; fail=1; }
grep -q "ERROR: LeakSanitizer: detected memory leaks" "$out" || { echo "FAIL: no LeakSanitizer report"; fail=1; }
grep -q "in LoseCertificate" "$out" || { echo "FAIL: the lost X509 is not reported"; fail=1; }
grep -q "in LoseDigestContext" "$out" || { echo "FAIL: the lost EVP_MD_CTX is not reported"; fail=1; }
[ "$fail" -eq 0 ] && echo "PASS: both leaks reported"
exit "$fail"
