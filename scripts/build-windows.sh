#!/usr/bin/env bash
# Builds the Windows build into build-windows/ (cross-compiled with MinGW-w64): the
# libraries from Debian's source packages once into a cache (scripts/windows-deps.sh),
# the Linux tools the tests start from the Linux side (station simulator and its
# launcher) into a Linux build folder, then the Windows tree. Installs what it needs.
#
#   bash scripts/build-windows.sh            # extra arguments go to the Windows build
#   CORVALE_HOST_BUILD=build-package bash scripts/build-windows.sh
set -euo pipefail
cd "$(dirname "$0")/.."
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"

pkgs=(wine wine64 xvfb xauth openbox trayer pulseaudio pulseaudio-utils ffmpeg nsis)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "build-windows: installing ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null ||
    { echo "build-windows: cannot install ${missing[*]}" >&2; exit 1; }
fi

deps=$(bash scripts/windows-deps.sh | tail -1)
[ -f "$deps/.complete" ] || { echo "build-windows: the Windows libraries were not built" >&2; exit 1; }

# The Linux tools: any Linux build folder will do (the package's has no sanitizers).
host=${CORVALE_HOST_BUILD:-build}
if [ ! -f "$host/CMakeCache.txt" ]; then
  bash scripts/install-deps.sh
  cmake -S . -B "$host" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$host" -j"$(nproc)" --target station-sim sim-launcher skin-gen
host_bin=$(cd "$host/bin" && pwd)

cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVALE_WINDOWS_DEPS="$deps" \
  -DCORVALE_HOST_BIN="$host_bin" "$@" >/dev/null
cmake --build build-windows -j"$(nproc)"
