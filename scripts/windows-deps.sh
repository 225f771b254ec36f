#!/usr/bin/env bash
# Builds the Windows build's libraries from Debian's source packages with MinGW-w64:
# FFmpeg (only what the audio library decodes, as DLLs), libcurl (Schannel, the packaged
# MinGW zlib), Expat, SQLite (the amalgamation, made from Debian's source tree), libebur128
# and GoogleTest. They go into a cache folder outside the build tree,
# one folder per set of versions, so they are built once and again only when a version
# changes. Prints the folder on its last line.
#
#   bash scripts/windows-deps.sh            # cache: $CORVALE_WINDOWS_DEPS or ~/.cache/corvale-build/windows-deps
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cache=${CORVALE_WINDOWS_DEPS:-${XDG_CACHE_HOME:-$HOME/.cache}/corvale-build/windows-deps}
host=x86_64-w64-mingw32
jobs=$(nproc)
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"

die() {
  echo "windows-deps: $*" >&2
  exit 1
}

# apt-get source needs a source entry; add one for the machine's own suites when it has none.
ensure_source_entry() {
  if apt-get indextargets 2>/dev/null | grep -q '^Identifier: Sources'; then return; fi
  echo "windows-deps: adding Debian's source entries" >&2
  $SUDO tee /etc/apt/sources.list.d/corvale-debian-src.sources >/dev/null <<'EOF'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: http://deb.debian.org/debian-security
Suites: bookworm-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
  $SUDO apt-get update -qq || die "apt-get update failed after adding the source entries"
}

# Every version apt knows for a source package, newest first.
source_versions() {
  apt-cache showsrc "$1" 2>/dev/null | sed -n 's/^Version: //p' | sort -urV
}

# Fetches one source package into $2 (download only, so a missing .dsc or Debian tarball
# of a security version still leaves the .orig tarball), trying older versions when the
# newest cannot be had. Unpacks it to $2/src and applies Debian's patches when the .dsc came.
fetch_source() {
  local pkg=$1 dir=$2 v
  rm -rf "$dir"
  mkdir -p "$dir"
  for v in $(source_versions "$pkg"); do
    (cd "$dir" && apt-get source --download-only "$pkg=$v" >/dev/null 2>&1) || true
    local upstream=${v#*:}
    upstream=${upstream%-*}
    local orig
    orig=$(ls "$dir"/"${pkg}_${upstream}".orig.tar.* 2>/dev/null | grep -v '\.asc$' | head -1 || true)
    if [ -n "$orig" ]; then
      local dsc="$dir/${pkg}_${v#*:}.dsc"
      if [ -f "$dsc" ] && (cd "$dir" && dpkg-source --no-check -x "$(basename "$dsc")" src >/dev/null 2>&1); then
        echo "windows-deps: $pkg $v (Debian's patches applied)" >&2
      else
        rm -rf "$dir/src"
        mkdir -p "$dir/src"
        tar -xf "$orig" -C "$dir/src" --strip-components=1 || die "cannot unpack $orig"
        echo "windows-deps: $pkg $v (upstream tarball only)" >&2
      fi
      echo "$v" >"$dir/version"
      return 0
    fi
    rm -f "$dir"/*
  done
  die "cannot download the source of $pkg from Debian (no source entry, or no network)"
}

pkgs=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  libz-mingw-w64-dev nasm dpkg-dev make pkg-config xz-utils tcl gcc)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "windows-deps: installing ${missing[*]}" >&2
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null ||
    die "cannot install ${missing[*]}"
fi
ensure_source_entry

# The cache key: the package versions and the recipe (bump it when a configure line changes).
recipe=1
key=$(
  for p in ffmpeg curl expat sqlite3 libebur128 googletest; do
    echo "$p $(source_versions "$p" | head -1)"
  done
  echo "recipe $recipe"
)
[ -n "$(source_versions ffmpeg)" ] || die "apt knows no source of ffmpeg (is the network reachable?)"
prefix="$cache/$(echo "$key" | sha256sum | cut -c1-16)"
if [ -f "$prefix/.complete" ]; then
  echo "$prefix"
  exit 0
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$prefix"
log="$work/build.log"
run() { "$@" >>"$log" 2>&1 || {
  tail -40 "$log" >&2
  die "failed: $*"
}; }

# --- FFmpeg: decoders, demuxers and parsers of the audio library, as DLLs (LGPL) ----------
built() { [ -f "$prefix/.done-$1" ]; }

# A CMake project cross-built and installed into the prefix: name, source folder, options.
cmake_dep() {
  local name=$1 src=$2
  shift 2
  run cmake -S "$src" -B "$work/$name/build" \
    -DCMAKE_TOOLCHAIN_FILE="$here/../cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$prefix" "$@"
  run cmake --build "$work/$name/build" -j"$jobs"
  run cmake --install "$work/$name/build"
}
if ! built ffmpeg; then
fetch_source ffmpeg "$work/ffmpeg"
(
  cd "$work/ffmpeg/src"
  run ./configure --prefix="$prefix" --target-os=mingw32 --arch=x86_64 --cross-prefix=$host- \
    --enable-shared --disable-static --disable-programs --disable-doc --disable-debug \
    --disable-everything --disable-network --disable-autodetect --disable-avdevice \
    --disable-avfilter --disable-swscale --disable-postproc \
    --enable-decoder=mp1,mp1float,mp2,mp2float,mp3,mp3float,aac,aac_latm,opus,vorbis \
    --enable-decoder=pcm_u8,pcm_s8,pcm_s16le,pcm_s16be,pcm_s24le,pcm_s24be,pcm_s32le,pcm_s32be,pcm_f32le,pcm_f64le \
    --enable-demuxer=mp3,aac,mov,ogg,wav \
    --enable-parser=mpegaudio,aac,aac_latm,opus,vorbis \
    --enable-swresample --enable-w32threads
  run make -j"$jobs"
  run make install
)
touch "$prefix/.done-ffmpeg"
fi

# --- libcurl with Windows' own TLS and the packaged MinGW zlib ------------------------------
if ! built curl; then
fetch_source curl "$work/curl"
(
  cd "$work/curl/src"
  [ -x configure ] || run autoreconf -fi
  run ./configure --prefix="$prefix" --host=$host --enable-shared --disable-static \
    --with-schannel --with-zlib=/usr/$host --without-brotli --without-zstd \
    --without-libpsl --without-libidn2 --without-nghttp2 --without-libssh2 --without-librtmp \
    --disable-ldap --disable-ldaps --disable-rtsp --disable-dict --disable-telnet --disable-tftp \
    --disable-pop3 --disable-imap --disable-smtp --disable-gopher --disable-mqtt --disable-smb \
    --disable-manual --disable-docs
  run make -j"$jobs" -C lib
  run make -C lib install
  run make -C include install
  cp libcurl.pc "$prefix/lib/pkgconfig/" 2>/dev/null || true
)
cp /usr/$host/lib/zlib1.dll "$prefix/bin/"
touch "$prefix/.done-curl"
fi

# --- Expat (static: the playlist reader is part of the player) ------------------------------
if ! built expat; then
fetch_source expat "$work/expat"
src="$work/expat/src"
[ -f "$src/expat/CMakeLists.txt" ] && src="$src/expat"
cmake_dep expat "$src" -DEXPAT_SHARED_LIBS=OFF -DEXPAT_BUILD_TOOLS=OFF -DEXPAT_BUILD_EXAMPLES=OFF \
  -DEXPAT_BUILD_TESTS=OFF -DEXPAT_BUILD_DOCS=OFF -DEXPAT_BUILD_FUZZERS=OFF
touch "$prefix/.done-expat"
fi

# --- SQLite (static): Debian ships the full source tree; its own make target writes the
# one-file amalgamation with host tools, which is then compiled with the cross compiler ---
if ! built sqlite3; then
fetch_source sqlite3 "$work/sqlite3"
mkdir -p "$work/sqlite3/host"
(
  cd "$work/sqlite3/host"
  run ../src/configure --disable-tcl
  run make sqlite3.c
  run $host-gcc -O2 -DSQLITE_THREADSAFE=1 -DSQLITE_OMIT_LOAD_EXTENSION -c sqlite3.c -o sqlite3.o
  run $host-ar rcs libsqlite3.a sqlite3.o
  mkdir -p "$prefix/include" "$prefix/lib/pkgconfig"
  cp sqlite3.h sqlite3ext.h "$prefix/include/"
  cp libsqlite3.a "$prefix/lib/"
  printf '%s\n' "prefix=$prefix" "Name: SQLite" "Description: SQL database engine (static amalgamation)" \
    "Version: $(cat "$work/sqlite3/version")" "Libs: -L\${prefix}/lib -lsqlite3" \
    "Cflags: -I\${prefix}/include" >"$prefix/lib/pkgconfig/sqlite3.pc"
)
touch "$prefix/.done-sqlite3"
fi

# --- libebur128 (static: loudness measurement) ---------------------------------------------
if ! built libebur128; then
fetch_source libebur128 "$work/libebur128"
cmake_dep libebur128 "$work/libebur128/src" -DBUILD_SHARED_LIBS=OFF -DBUILD_STATIC_LIBS=ON
touch "$prefix/.done-libebur128"
fi

# --- GoogleTest (static, for the test programs) ----------------------------------------------
if ! built googletest; then
fetch_source googletest "$work/googletest"
cmake_dep googletest "$work/googletest/src" -DBUILD_SHARED_LIBS=OFF -Dgtest_disable_pthreads=OFF
touch "$prefix/.done-googletest"
fi

echo "$key" >"$prefix/versions"
touch "$prefix/.complete"
echo "$prefix"
