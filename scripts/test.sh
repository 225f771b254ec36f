#!/usr/bin/env bash
# Builds the player, its library, tools and tests with AddressSanitizer and
# UndefinedBehaviorSanitizer, then runs every test. Installs what it needs first.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
build=${CORVALE_TEST_BUILD:-build-test}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVALE_SANITIZE=ON >/dev/null
cmake --build "$build" -j"$(nproc)"
# The Debian package's own build (no sanitizers) is made here, before any test runs, so
# its compile never competes with the timing of the integration tests; the package test
# then only packs it.
pkgbuild="$(dirname "$build")/build-package"
cmake -S . -B "$pkgbuild" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVALE_SANITIZE=OFF -DCORVALE_TESTS=OFF >/dev/null
cmake --build "$pkgbuild" -j"$(nproc)"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$PWD/tests/lsan.supp:print_suppressions=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
root=$PWD
cd "$build"
linux=0
ctest --output-on-failure -j"$(nproc)" --timeout 600 "$@" || linux=$?
# The Windows build, cross-compiled, with the suites of the layers below the windows under
# Wine (CORVALE_WINDOWS=0 skips it). The package's folder lends it the Linux tools.
windows=0
if [ "${CORVALE_WINDOWS:-1}" != 0 ]; then
  cd "$root"
  start=$(date +%s)
  CORVALE_HOST_BUILD="$pkgbuild" bash scripts/build-windows.sh || windows=$?
  echo "Windows build: $(($(date +%s) - start)) s"
  if [ "$windows" = 0 ]; then
    cd build-windows
    ctest --output-on-failure -j"$(nproc)" --timeout 600 "$@" || windows=$?
  fi
fi
[ "$linux" = 0 ] && [ "$windows" = 0 ]
