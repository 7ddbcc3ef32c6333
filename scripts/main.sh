#!/usr/bin/env bash
# The main job: sets up what is missing, builds the Windows deliverables
# (Release, MinGW-w64 cross build) and the release zip into dist/, shows the
# tray opening the web console under Wine, takes pictures of its icon in Wine's
# taskbar, and runs the encoder's sample program on a clip: as a Windows
# program under Wine against the DLL from the zip, and natively.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
scripts/setup.sh
# A build folder of its own: the tests build the same tree with debug info.
release=build/release
cmake --preset mingw -B "$release" -DCMAKE_BUILD_TYPE=Release >/dev/null
# The package and the programs the demonstrations below run beside it; the
# test programs are the test command's.
cmake --build "$release" --target package_zip stub_kovarel demo_server console_demo taskbar_probe \
  hwavc_enc_sample mfx_standin
# dist/ holds the release zip and its symbols zip, nothing else: the binaries
# are in the zip stripped, their symbols in the other.
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$release"/CMakeCache.txt)
package="kovarel-desktop-$version-win64.zip"
symbols="kovarel-desktop-$version-win64-symbols.zip"
rm -rf dist && mkdir -p dist
cp "$release/$package" "$release/$symbols" dist/
echo "main: dist/ holds: $(cd dist && echo *)"
for zip in "$package" "$symbols"; do
  echo "main: dist/$zip, $(stat -c %s "dist/$zip") bytes:"
  python3 -c 'import sys, zipfile; [print(f"  {i.file_size:9d}  {i.filename}") for i in zipfile.ZipFile(sys.argv[1]).infolist()]' "dist/$zip"
done

# The tray at work under Wine: the console round trip with a demonstration server.
scripts/console-demo.sh "$release"

# Pictures of the tray's icon and menu in Wine's taskbar, in build/screenshot/.
scripts/screenshot.sh "$release"

# The encoder's sample program as a Windows program, against the DLL from the
# zip, with the runtime stand-in beside it.
scripts/windows-sample.sh "$release"

# The encoder's sample program, run natively on a generated clip: with no
# Intel GPU here the x264 runtime stand-in stands behind the dispatcher.
# ffprobe reads the stream back.
cmake --preset native >/dev/null
cmake --build --preset native --target hwavc_enc_sample mfx_standin >/dev/null
sample=build/sample
mkdir -p "$sample"
ffmpeg -v error -y -f lavfi -i testsrc2=size=1280x720:rate=30 -frames:v 150 -pix_fmt yuv420p -f rawvideo "$sample/clip.yuv"
echo "main: hwavc_enc_sample on a 1280x720 clip of 150 frames:"
LD_LIBRARY_PATH=build/native/bin/mfx_standin build/native/bin/hwavc_enc_sample \
  -i "$sample/clip.yuv" -w 1280 -h 720 -r 30/1 -b 4000 -o "$sample/clip.h264"
echo "main: ffprobe $sample/clip.h264:"
ffprobe -v error -count_frames -show_entries stream=codec_name,profile,width,height,nb_read_frames \
  -of compact=p=0 "$sample/clip.h264"
echo "main: done in $SECONDS s; the package and its files in dist/, the tray's pictures in build/screenshot/, the samples' streams in build/windows-sample/ and $sample/"
