#!/usr/bin/env bash
# Builds, for MinGW-w64 x86-64, the libraries Debian ships only for Linux:
# jansson and uchardet from Debian's source packages, GNU libiconv from the npm
# package `iconv` (which carries its lib/ sources), and the oneVPL dispatcher
# (the Media SDK 1.x API) from Debian's orig tarball; x264, which only the
# tests' runtime stand-in links (it never ships), from Debian's source package.
# Everything lands in build/deps/mingw; a stamp per dependency and version
# makes reruns instant.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
deps="$root/build/deps"
prefix="$deps/mingw"
src="$deps/src"
stamps="$deps/stamps"
mkdir -p "$prefix" "$src" "$stamps"

toolchain="$root/cmake/mingw-w64-x86_64.cmake"
cc=x86_64-w64-mingw32-gcc-posix
jobs=$(nproc)

JANSSON_VERSION=2.14
UCHARDET_VERSION=0.0.7
ICONV_NPM_VERSION=3.0.1
ONEVPL_VERSION=2023.1.1
X264_VERSION=0.164.3095  # as Debian's libx264-dev, which the native build uses

stamp_ok() { [ -f "$stamps/$1" ]; }
stamp_set() { touch "$stamps/$1"; }

cmake_dep() { # name source-dir extra-args...
  local name=$1 dir=$2; shift 2
  cmake -S "$dir" -B "$deps/build-$name" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_CROSSCOMPILING_EMULATOR= "$@" >/dev/null
  cmake --build "$deps/build-$name" -j"$jobs" >/dev/null
  cmake --install "$deps/build-$name" >/dev/null
}

# Unpacks a Debian source package (version prefix given) into $src/<name>.
debian_source() { # package version-prefix
  local pkg=$1 ver=$2
  if [ ! -d "$src/$pkg-$ver" ]; then
    (cd "$src" && apt-get source -qq "$pkg" >/dev/null 2>&1)
    [ -d "$src/$pkg-$ver" ] || { echo "build-deps: no $pkg $ver source package" >&2; exit 1; }
  fi
}

if ! stamp_ok jansson-$JANSSON_VERSION; then
  echo "build-deps: jansson $JANSSON_VERSION"
  debian_source jansson $JANSSON_VERSION
  cmake_dep jansson "$src/jansson-$JANSSON_VERSION" \
    -DJANSSON_BUILD_SHARED_LIBS=OFF -DJANSSON_EXAMPLES=OFF \
    -DJANSSON_WITHOUT_TESTS=ON -DJANSSON_BUILD_DOCS=OFF
  stamp_set jansson-$JANSSON_VERSION
fi

if ! stamp_ok uchardet-$UCHARDET_VERSION; then
  echo "build-deps: uchardet $UCHARDET_VERSION"
  debian_source uchardet $UCHARDET_VERSION
  cmake_dep uchardet "$src/uchardet-$UCHARDET_VERSION" \
    -DBUILD_SHARED_LIBS=OFF -DBUILD_BINARY=OFF -DBUILD_STATIC=ON
  stamp_set uchardet-$UCHARDET_VERSION
fi

# GNU libiconv is LGPL: it ships as a replaceable DLL (its licence texts:
# packaging/licences.py). Built reproducibly, as our own binaries: no time
# stamp in the image, no build path in it.
ICONV_FLAVOUR=reproducible-base
if ! stamp_ok libiconv-npm-$ICONV_NPM_VERSION-$ICONV_FLAVOUR; then
  echo "build-deps: GNU libiconv (npm iconv@$ICONV_NPM_VERSION)"
  work="$src/iconv-npm-$ICONV_NPM_VERSION"
  rm -rf "$work" && mkdir -p "$work"
  (cd "$work" && npm pack --silent "iconv@$ICONV_NPM_VERSION" >/dev/null && tar xzf iconv-*.tgz)
  pkgdir="$work/package"
  lib="$pkgdir/deps/libiconv/lib"
  mkdir -p "$prefix/bin" "$prefix/lib" "$prefix/include"
  # WORDS_LITTLEENDIAN: without it "WCHAR_T" and the unmarked UCS/UTF forms
  # come out big-endian.
  # Linked in its folder by its bare name: the linker derives the DLL's
  # image base from the output name it is given.
  (cd "$prefix/bin" && $cc -O2 -w -shared -static-libgcc -o libiconv-2.dll -ffile-prefix-map="$work"=libiconv \
    -Wl,--no-insert-timestamp -Wl,--out-implib,"$prefix/lib/libiconv.dll.a" \
    -DICONV_CONST=const -DENABLE_EXTRA=1 -DWORDS_LITTLEENDIAN=1 -DBUILDING_LIBICONV -DBUILDING_DLL \
    -I"$pkgdir/support" -I"$lib" -I"$pkgdir/deps/libiconv/include" \
    "$lib/iconv.c" "$pkgdir/support/localcharset.c")
  cp "$pkgdir/support/iconv.h" "$prefix/include/iconv.h"
  stamp_set libiconv-npm-$ICONV_NPM_VERSION-$ICONV_FLAVOUR
fi

# oneVPL: only the orig tarball is served, so it is checked against the .dsc.
if ! stamp_ok onevpl-$ONEVPL_VERSION; then
  echo "build-deps: oneVPL dispatcher $ONEVPL_VERSION"
  work="$src/onevpl"
  mkdir -p "$work"
  (cd "$work" && apt-get source --download-only -qq onevpl >/dev/null 2>&1 || true)
  orig=$(ls "$work"/onevpl_${ONEVPL_VERSION}*.orig.tar.* 2>/dev/null | head -1)
  dsc=$(ls "$work"/onevpl_${ONEVPL_VERSION}*.dsc 2>/dev/null | head -1)
  [ -n "$orig" ] && [ -n "$dsc" ] || { echo "build-deps: oneVPL $ONEVPL_VERSION source not fetched" >&2; exit 1; }
  want=$(awk '/^Checksums-Sha256:/{on=1;next} /^[^ ]/{on=0} on{print $1, $3}' "$dsc" | awk -v f="$(basename "$orig")" '$2==f{print $1}')
  have=$(sha256sum "$orig" | cut -d' ' -f1)
  [ -n "$want" ] && [ "$want" = "$have" ] || { echo "build-deps: $orig: sha256 does not match $dsc" >&2; exit 1; }
  rm -rf "$work/tree" && mkdir -p "$work/tree"
  tar xf "$orig" -C "$work/tree" --strip-components=1
  cmake_dep onevpl "$work/tree" \
    -DBUILD_SHARED_LIBS=OFF -DBUILD_TOOLS=OFF -DBUILD_PREVIEW=OFF \
    -DBUILD_EXAMPLES=OFF -DINSTALL_EXAMPLE_CODE=OFF -DBUILD_TESTS=OFF
  stamp_set onevpl-$ONEVPL_VERSION
fi

# x264: 8-bit 4:2:0 only (all the stand-in encodes). With its assembly
# (Debian's nasm) the build takes about as long as without, and the encode
# runs several times faster under Wine.
X264_FLAVOUR=8bit-420-asm
if ! stamp_ok x264-$X264_VERSION-$X264_FLAVOUR; then
  echo "build-deps: x264 $X264_VERSION"
  work="$src/x264"
  mkdir -p "$work"
  # The first .dsc of that version, or nothing (an unmatched glob stays empty).
  find_dsc() { local found=("$work"/x264_*"$X264_VERSION"*.dsc); [ -e "${found[0]}" ] && echo "${found[0]}" || true; }
  dsc=$(find_dsc)
  if [ -z "$dsc" ]; then
    (cd "$work" && apt-get source --download-only -qq x264 >/dev/null 2>&1 || true)
    dsc=$(find_dsc)
  fi
  [ -n "$dsc" ] || { echo "build-deps: no x264 $X264_VERSION source package" >&2; exit 1; }
  # dpkg-source checks the files against the .dsc and applies Debian's patches
  # (its note that it has no key for the signature is left in the log).
  rm -rf "$work/tree"
  dpkg-source -x "$dsc" "$work/tree" >"$work/unpack.log" 2>&1 || { cat "$work/unpack.log" >&2; exit 1; }
  (cd "$work/tree" &&
    ./configure --host=x86_64-w64-mingw32 --cross-prefix=x86_64-w64-mingw32- --prefix="$prefix" \
      --enable-static --disable-cli --disable-opencl --bit-depth=8 --chroma-format=420 >/dev/null &&
    make -j"$jobs" >/dev/null 2>&1 && make install-lib-static >/dev/null)
  stamp_set x264-$X264_VERSION-$X264_FLAVOUR
fi
