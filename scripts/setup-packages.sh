#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the benchmarks need,
# and enables Debian's source packages (apt-get source) for the dependency
# builds. Idempotent: a machine that already has everything costs one dpkg query.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config dpkg-dev nasm
  gcc-mingw-w64-x86-64-posix g++-mingw-w64-x86-64-posix mingw-w64-tools
  binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev
  wine wine64 xvfb xauth
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  libjansson-dev libuchardet-dev libvpl-dev libx264-dev libyuv-dev
  ffmpeg libavcodec-dev libavformat-dev libavutil-dev
  clang libclang-rt-14-dev lld llvm
  imagemagick xdotool python3
)

sudo_cmd=()
[ "$(id -u)" = 0 ] || sudo_cmd=(sudo)

enable_deb_src() {
  local src=/etc/apt/sources.list.d/debian.sources
  local dst=/etc/apt/sources.list.d/debian-src.sources
  [ -f "$dst" ] && return 1
  [ -f "$src" ] || return 1
  sed 's/^Types: deb$/Types: deb-src/' "$src" | "${sudo_cmd[@]}" tee "$dst" >/dev/null
  return 0
}

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

changed_sources=0
enable_deb_src && changed_sources=1

if [ ${#missing[@]} -gt 0 ] || [ $changed_sources = 1 ]; then
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -qq
fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# npm fetches GNU libiconv's sources; the machine's Node.js brings it (Debian's
# npm package conflicts with that Node.js), so only a machine without Node.js
# takes Debian's.
if ! command -v npm >/dev/null 2>&1; then
  "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends npm >/dev/null
fi
