#!/usr/bin/env bash
# Puts the UI font (npm package source-sans-pro, OTF folder) and its licence into the
# program data folder given as $1. The package is kept in a cache so a rebuild needs no network.
set -euo pipefail
dest=$1
cache=${CORVALE_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/corvale-build}
ver=3.6.0
mkdir -p "$cache" "$dest"
tgz="$cache/source-sans-pro-$ver.tgz"
if [ ! -s "$tgz" ]; then
  tmp=$(mktemp -d)
  (cd "$tmp" && npm pack --silent "source-sans-pro@$ver" >/dev/null)
  mv "$tmp/source-sans-pro-$ver.tgz" "$tgz"
  rm -rf "$tmp"
fi
tmp=$(mktemp -d)
tar -xzf "$tgz" -C "$tmp" package/OTF/SourceSansPro-Regular.otf package/LICENSE.md
cp "$tmp/package/OTF/SourceSansPro-Regular.otf" "$dest/SourceSansPro-Regular.otf"
cp "$tmp/package/LICENSE.md" "$dest/SourceSansPro-LICENSE.md"
rm -rf "$tmp"
