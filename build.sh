#!/usr/bin/env bash
# Set-up, build, demo, tests and benchmarks of the component on Debian 12.
#   ./build.sh demo    install what the product needs, build the product alone, run the demo
#                      in a temporary TRUMIK_HOME (TRUMIK_HOME=DIR keeps it there)
#   ./build.sh test    install what is missing, build, run every test (plain, then ASan+UBSan,
#                      then ThreadSanitizer, then a short run of every libFuzzer target)
#   ./build.sh bench   install what is missing, build, time the component beside its peers
#   ./build.sh build   install what is missing and build only
#   ./build.sh package install what is missing, build, make the Debian package (build/package/)
#   ./build.sh tsan    install what is missing, build the threaded tests with clang under
#                      ThreadSanitizer (build-tsan/) and run them
#   ./build.sh fuzz    install what is missing, build every libFuzzer target with clang
#                      (build-fuzz/) and run each for a few thousand inputs
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
BUILD="${TRUMIK_BUILD:-$ROOT/build}"
SAN_BUILD="${TRUMIK_SAN_BUILD:-$ROOT/build-sanitize}"
TSAN_BUILD="${TRUMIK_TSAN_BUILD:-$ROOT/build-tsan}"
FUZZ_BUILD="${TRUMIK_FUZZ_BUILD:-$ROOT/build-fuzz}"
# The tests that run the component on several threads at once, and what they load.
TSAN_TESTS=(server_thread_tests xmlsecdl_tests registry_tests testtoken_tests token_thread_tests)

JOBS="${JOBS:-$(nproc)}"

# What the product and the demo need: the compiler, the libraries, and the
# tools the demo runs (xmlsec1, xmllint, openssl with the GOST engine, GnuTLS's
# certtool).
DEMO_PACKAGES=(
  cmake g++ make pkg-config
  libxml2-dev libxml2-utils libxslt1-dev
  libxmlsec1-dev libxmlsec1-openssl xmlsec1
  libsqlite3-dev libssl-dev openssl libengine-gost-openssl
  nlohmann-json3-dev
  python3 gnutls-bin
  libp11-kit-dev
)
# What the tests, benchmarks and packaging add: the test frameworks, clang for
# the ThreadSanitizer and libFuzzer builds, the Python tools.
TEST_PACKAGES=(
  googletest libgtest-dev libgmock-dev
  time python3-pip python3-setuptools python3-wheel python3-venv
  clang libclang-rt-14-dev
  opensc
)

# Installs what of the given packages is missing: as root directly, else
# through sudo; without either it says what to run and stops.
install_missing() {
  local missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  local sudo=()
  if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null; then
      echo "build.sh: these Debian packages are missing and there is no sudo to install them:" >&2
      echo "  ${missing[*]}" >&2
      echo "run as root:  apt-get update && apt-get install --no-install-recommends ${missing[*]}" >&2
      echo "(or install sudo as root and give this user the right to use it), then run build.sh again" >&2
      exit 1
    fi
    sudo=(sudo)
  fi
  "${sudo[@]}" apt-get update -q
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
}

# A developer's machine with ccache reuses the objects of earlier builds.
# Paths stay absolute (no CCACHE_BASEDIR), so that -fmacro-prefix-map still
# sees the source tree and reports name files relative to it.
LAUNCHER=()
if command -v ccache >/dev/null; then
  LAUNCHER=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi

configure_and_build() {
  local dir="$1"; shift
  cmake -S "$ROOT" -B "$dir" "${LAUNCHER[@]}" "$@" >/dev/null
  cmake --build "$dir" -j"$JOBS"
}

# Every libFuzzer target (trumik_add_fuzz_target) in one clang build, each run
# for a bounded number of inputs through its "fuzz" test; any finding fails.
fuzz() {
  cmake -S "$ROOT" -B "$FUZZ_BUILD" "${LAUNCHER[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DTRUMIK_FUZZ=ON -DTRUMIK_SANITIZE=ON \
    -DTRUMIK_TESTS=OFF >/dev/null
  cmake --build "$FUZZ_BUILD" -j"$JOBS" --target fuzz_targets
  ctest --test-dir "$FUZZ_BUILD" -L fuzz --output-on-failure -j"$JOBS" --timeout 900
}

run_tests() {
  local dir="$1"
  ctest --test-dir "$dir" --output-on-failure -j"$JOBS" --timeout 900
}

# The sanitizer run. LeakSanitizer's own tracer, which stops the process to
# look for leaks at exit, now and then dies of a signal after every assertion
# of a test has passed ("Tracer caught signal 11"), with no leak found. Only
# when that message is in the output are the failed tests run once more; any
# other failure, or a second one, fails the run.
run_sanitizer_tests() {
  local dir="$1" log="$1/sanitizer-tests.log"
  if run_tests "$dir" 2>&1 | tee "$log"; [ "${PIPESTATUS[0]}" -eq 0 ]; then
    return 0
  fi
  if ! grep -q "Tracer caught signal" "$log"; then
    return 1
  fi
  echo "== LeakSanitizer's tracer died in this run: the failed tests once more"
  ctest --test-dir "$dir" --output-on-failure --rerun-failed --timeout 900
}

# The threaded tests under ThreadSanitizer: any report fails the run.
tsan() {
  cmake -S "$ROOT" -B "$TSAN_BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTRUMIK_TSAN=ON \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ "${LAUNCHER[@]}" >/dev/null
  cmake --build "$TSAN_BUILD" -j"$JOBS" --target "${TSAN_TESTS[@]}"
  local t
  for t in "${TSAN_TESTS[@]}"; do
    echo "-- $t"
    TRUMIK_BUILD_DIR="$TSAN_BUILD" \
    TSAN_OPTIONS="halt_on_error=1:exitcode=66:second_deadlock_stack=1:suppressions=$ROOT/tools/tsan.supp${TSAN_OPTIONS:+:$TSAN_OPTIONS}" \
      timeout 900 "$TSAN_BUILD/bin/$t"
  done
}

cmd="${1:-demo}"
case "$cmd" in
  build)
    install_missing "${DEMO_PACKAGES[@]}" "${TEST_PACKAGES[@]}"
    configure_and_build "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTRUMIK_TESTS=ON
    ;;
  demo)
    # The product alone: no test framework, no test binary.
    install_missing "${DEMO_PACKAGES[@]}"
    cmake -S "$ROOT" -B "$BUILD" "${LAUNCHER[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTRUMIK_TESTS=OFF >/dev/null
    cmake --build "$BUILD" -j"$JOBS" --target product
    "$ROOT/tools/demo.sh" "$BUILD"
    ;;
  test)
    install_missing "${DEMO_PACKAGES[@]}" "${TEST_PACKAGES[@]}"
    configure_and_build "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTRUMIK_TESTS=ON
    run_tests "$BUILD"
    echo "== again under AddressSanitizer and UndefinedBehaviorSanitizer"
    configure_and_build "$SAN_BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTRUMIK_SANITIZE=ON
    # Stacks through the libraries (built without frame pointers) are unwound
    # in full, so that each leak report, and each suppression, sees the
    # functions that allocated.
    ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:fast_unwind_on_malloc=0${ASAN_OPTIONS:+:$ASAN_OPTIONS}" \
    LSAN_OPTIONS="suppressions=$ROOT/tools/lsan.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}" \
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
      run_sanitizer_tests "$SAN_BUILD"
    echo "== the threaded tests under ThreadSanitizer"
    tsan
    echo "== every libFuzzer target, briefly"
    fuzz
    ;;
  tsan)
    install_missing "${DEMO_PACKAGES[@]}" "${TEST_PACKAGES[@]}"
    tsan
    ;;
  fuzz)
    install_missing "${DEMO_PACKAGES[@]}" "${TEST_PACKAGES[@]}"
    fuzz
    ;;
  package)
    install_missing "${DEMO_PACKAGES[@]}" "${TEST_PACKAGES[@]}"
    configure_and_build "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTRUMIK_TESTS=ON
    cpack -G DEB --config "$BUILD/CPackConfig.cmake" -B "$BUILD/package"
    ls -l "$BUILD"/package/*.deb
    ;;
  bench)
    install_missing "${DEMO_PACKAGES[@]}" "${TEST_PACKAGES[@]}"
    configure_and_build "$BUILD" -DCMAKE_BUILD_TYPE=Release -DTRUMIK_TESTS=ON
    "$ROOT/tools/bench.sh" "$BUILD"
    ;;
  *)
    echo "usage: $0 demo|test|bench|build|package|tsan|fuzz" >&2
    exit 2
    ;;
esac
