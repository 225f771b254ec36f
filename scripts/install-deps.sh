#!/usr/bin/env bash
# Installs the Debian packages the player, its tools and its tests need.
# Safe to run again: it only calls apt-get when something is missing.
set -euo pipefail
PKGS=(
  build-essential cmake pkg-config git
  qt6-base-dev qt6-base-dev-tools libqt6svg6 libgl-dev
  libavformat-dev libavcodec-dev libavutil-dev libswresample-dev
  libcurl4-openssl-dev libssl-dev libasound2-dev libasound2-plugins
  libexpat1-dev libpng-dev libjpeg-dev zlib1g-dev libsqlite3-dev sqlite3 libebur128-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  xvfb xauth x11-utils dbus dbus-x11 dbus-bin libglib2.0-bin imagemagick trayer xdotool
  qt6-qpa-plugins fonts-dejavu-core openssl
  ffmpeg sox alsa-utils
  clang libclang-rt-14-dev ccache
  locales
  libpulse-dev pulseaudio pulseaudio-utils
  dpkg-dev lintian appstream file
)
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
missing=()
for p in "${PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
# npm fetches the UI font; a machine whose nodejs already carries npm needs nothing more.
if ! command -v npm >/dev/null 2>&1; then
  DEBIAN_FRONTEND=noninteractive ${SUDO:-} apt-get install -y -qq --no-install-recommends nodejs npm
fi
# The tests check that numbers in texts keep their decimal point under a decimal-comma
# locale; generate one when the machine has none.
if ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$'; then
  ${SUDO:-} localedef -i de_DE -f UTF-8 de_DE.UTF-8 || echo "warning: could not generate de_DE.UTF-8" >&2
fi
