#!/usr/bin/env bash
# Set-up, build, demo, tests and benchmarks of the component on Debian 12.
#   ./build.sh demo    install what is missing, build, run the demo
#   ./build.sh test    install what is missing, build, run every test (plain, then ASan+UBSan)
#   ./build.sh bench   install what is missing, build, time the component beside its peers
#   ./build.sh build   install what is missing and build only
#   ./build.sh package install what is missing, build, make the Debian package (build/package/)
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
BUILD="${TRUMIK_BUILD:-$ROOT/build}"
SAN_BUILD="${TRUMIK_SAN_BUILD:-$ROOT/build-sanitize}"
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

configure_and_build() {
  local dir="$1"; shift
  cmake -S "$ROOT" -B "$dir" "$@" >/dev/null
  cmake --build "$dir" -j"$JOBS"
}

run_tests() {
  local dir="$1"
  ctest --test-dir "$dir" --output-on-failure -j"$JOBS" --timeout 900
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
      run_tests "$SAN_BUILD"
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
    echo "usage: $0 demo|test|bench|build|package" >&2
    exit 2
    ;;
esac
