#!/usr/bin/env bash
# Set-up, build, demo, tests and benchmarks of the component on Debian 12.
#   ./build.sh demo    install what is missing, build, run the demo
#   ./build.sh test    install what is missing, build, run every test (plain, then ASan+UBSan)
#   ./build.sh bench   install what is missing, build, time the component beside its peers
#   ./build.sh build   install what is missing and build only
#   ./build.sh package install what is missing, build, make the Debian package (build/package/)
#   ./build.sh tsan    install what is missing, build the threaded tests with clang under
#                      ThreadSanitizer (build-tsan/) and run them
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
BUILD="${TRUMIK_BUILD:-$ROOT/build}"
SAN_BUILD="${TRUMIK_SAN_BUILD:-$ROOT/build-sanitize}"
TSAN_BUILD="${TRUMIK_TSAN_BUILD:-$ROOT/build-tsan}"
# The tests that run the component on several threads at once, and what they load.
TSAN_TESTS=(server_thread_tests xmlsecdl_tests)

JOBS="${JOBS:-$(nproc)}"

PACKAGES=(
  cmake g++ make pkg-config
  libxml2-dev libxml2-utils libxslt1-dev
  libxmlsec1-dev libxmlsec1-openssl xmlsec1
  libsqlite3-dev libssl-dev openssl libengine-gost-openssl
  nlohmann-json3-dev
  googletest libgtest-dev libgmock-dev
  time python3 python3-pip python3-setuptools python3-wheel
  clang libclang-rt-14-dev
  gnutls-bin
)

install_missing() {
  local missing=()
  for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  local sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  "${sudo[@]}" apt-get update -q
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
}

# A developer's machine with ccache reuses objects across build trees and
# checkouts: paths below the checkout are hashed relative to it.
LAUNCHER=()
if command -v ccache >/dev/null; then
  export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$ROOT}" CCACHE_NOHASHDIR="${CCACHE_NOHASHDIR:-1}"
  LAUNCHER=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi

configure_and_build() {
  local dir="$1"; shift
  cmake -S "$ROOT" -B "$dir" "${LAUNCHER[@]}" "$@" >/dev/null
  cmake --build "$dir" -j"$JOBS"
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

demo() {
  "$ROOT/tools/demo.sh" "$BUILD"
}

cmd="${1:-demo}"
case "$cmd" in
  build)
    install_missing
    configure_and_build "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo
    ;;
  demo)
    install_missing
    configure_and_build "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo
    demo
    ;;
  test)
    install_missing
    configure_and_build "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo
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
    ;;
  tsan)
    install_missing
    tsan
    ;;
  package)
    install_missing
    configure_and_build "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo
    cpack -G DEB --config "$BUILD/CPackConfig.cmake" -B "$BUILD/package"
    ls -l "$BUILD"/package/*.deb
    ;;
  bench)
    install_missing
    configure_and_build "$BUILD" -DCMAKE_BUILD_TYPE=Release
    "$ROOT/tools/bench.sh" "$BUILD"
    ;;
  *)
    echo "usage: $0 demo|test|bench|build|package|tsan" >&2
    exit 2
    ;;
esac
