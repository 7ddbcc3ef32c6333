#!/usr/bin/env bash
# The encoder's sample program as a Windows program: hwavc_enc_sample.exe
# under Wine, against the hwavc_enc.dll taken from the release zip, on a
# generated 1280x720 clip. There is no Intel GPU here: the tests' runtime
# stand-in (x264; it never ships) goes beside the DLL, outside the zip, in a
# Wine prefix whose Direct3D reports an Intel adapter. Prints the sample's
# frames per second and picture counts; ffprobe reads the stream back.
# Usage: scripts/windows-sample.sh <mingw release build dir>
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(realpath "${1:?usage: windows-sample.sh <mingw release build dir>}")
run="$root/build/windows-sample"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
folder="kovarel-desktop-$version-win64"

rm -rf "$run" && mkdir -p "$run"
python3 -c 'import sys, zipfile; open(sys.argv[3], "wb").write(zipfile.ZipFile(sys.argv[1]).read(sys.argv[2]))' \
  "$build/$folder.zip" "$folder/hwavc_enc.dll" "$run/hwavc_enc.dll"
cp "$build/bin/hwavc_enc_sample.exe" "$build/bin/libmfxhw64.dll" "$run/"
ffmpeg -v error -y -f lavfi -i testsrc2=size=1280x720:rate=30 -frames:v 150 -pix_fmt yuv420p -f rawvideo "$run/clip.yuv"

windows() { echo "Z:${1//\//\\}"; }
echo "windows sample: hwavc_enc_sample.exe (hwavc_enc.dll from $folder.zip) on a 1280x720 clip of 150 frames:"
"$root/scripts/wine-x11-run" "$root/build/wine/x11" "$run/hwavc_enc_sample.exe" \
  -i "$(windows "$run/clip.yuv")" -w 1280 -h 720 -r 30/1 -b 4000 -o "$(windows "$run/clip.h264")"
echo "windows sample: ffprobe $run/clip.h264:"
ffprobe -v error -count_frames -show_entries stream=codec_name,profile,width,height,nb_read_frames \
  -of compact=p=0 "$run/clip.h264"
