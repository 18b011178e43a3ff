#!/bin/bash
# Installs the built tree into a scratch prefix, then uses it as an outside
# user would, without LD_LIBRARY_PATH: the installed programs run, two small
# consumers build (C through pkg-config, C++ through the CMake package), and
# the examples build both ways, with the library's run path, and run.
# Usage: check_install.sh BUILD_DIR HERE EXAMPLES_DIR
set -euo pipefail
build_dir=$1
here=$2
examples=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unset LD_LIBRARY_PATH

prefix=$work/prefix
cmake --install "$build_dir" --prefix "$prefix" >/dev/null
pc=$(find "$prefix" -name aura.pc -print -quit)
[ -n "$pc" ] || { echo "aura.pc was not installed"; exit 1; }
export PKG_CONFIG_PATH=$(dirname "$pc")
libdir=$(pkg-config --variable=libdir aura)

# Installed programs find the installed library through their run path.
# aura-play is built with the engine in (unless AURA_PLAY_SHARED_ENGINE):
# then it loads no libaura at all, and nothing from the build tree.
loads_installed_library() {
  local loaded
  loaded=$(ldd "$1" | awk '/libaura\.so\.0/ {print $3}')
  [ "$(realpath "$loaded")" = "$(realpath "$libdir/libaura.so.0")" ] ||
    { echo "$1 loads '$loaded', not $libdir/libaura.so.0"; exit 1; }
}
"$prefix/bin/aura-play" --version
if ldd "$prefix/bin/aura-play" | grep -q 'libaura\.so'; then
  loads_installed_library "$prefix/bin/aura-play"
elif ldd "$prefix/bin/aura-play" | grep -qF "$(realpath "$build_dir")"; then
  echo "aura-play loads from the build tree:"; ldd "$prefix/bin/aura-play"; exit 1
fi
# The network and analytics tools, when the tree has them: a run that
# sends nothing.
if [ -x "$prefix/bin/kwexnet-cli" ]; then
  loads_installed_library "$prefix/bin/kwexnet-cli"
  "$prefix/bin/kwexnet-cli" --help >/dev/null
  "$prefix/bin/tally-driver" --server http://127.0.0.1:9/aap.do --data "$work/tally" </dev/null
fi

"${CC:-cc}" "$here/consumer.c" $(pkg-config --cflags --libs aura) -Wl,-rpath,"$libdir" -o "$work/consumer_c"
"$work/consumer_c"
cmake -S "$here/cmake_consumer" -B "$work/cmake_build" -G Ninja \
      -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake_build" >/dev/null
"$work/cmake_build/consumer_cxx"

# The examples: with pkg-config and the run path, and with CMake.
sox -n -r 22050 -c 2 -b 16 "$work/tone.wav" synth 1.5 sine 440 sine 660 vol 0.5
oggenc -Q -o "$work/tone.ogg" "$work/tone.wav"
mkdir "$work/pc"
"${CC:-cc}" "$examples/play_to_wav.c" $(pkg-config --cflags --libs aura) -Wl,-rpath,"$libdir" \
  -o "$work/pc/play_to_wav"
"${CXX:-c++}" -std=c++17 "$examples/stream_fade.cpp" $(pkg-config --cflags --libs aura) -Wl,-rpath,"$libdir" \
  -o "$work/pc/stream_fade"
cmake -S "$examples" -B "$work/examples_build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/examples_build" >/dev/null
for dir in "$work/pc" "$work/examples_build"; do
  rm -f "$work/played.wav" "$work/faded.wav"
  "$dir/play_to_wav" "$work/tone.ogg" "$work/played.wav"
  "$dir/stream_fade" "$work/tone.ogg" "$work/faded.wav"
  # 1.5 s of stereo at the file's own rate, exactly; the fade made it quieter.
  for out in played faded; do
    frames=$(soxi -s "$work/$out.wav")
    rate=$(soxi -r "$work/$out.wav")
    [ "$frames" -eq 33075 ] && [ "$rate" -eq 22050 ] ||
      { echo "$dir: $out.wav holds $frames frames at $rate Hz, not 33075 at 22050"; exit 1; }
  done
  loud=$(sox "$work/played.wav" -n stat 2>&1 | awk '/RMS +amplitude/ {print $3}')
  soft=$(sox "$work/faded.wav" -n stat 2>&1 | awk '/RMS +amplitude/ {print $3}')
  awk -v l="$loud" -v s="$soft" 'BEGIN { exit !(s > 0.1 * l && s < 0.9 * l) }' ||
    { echo "$dir: RMS played $loud, faded $soft"; exit 1; }
done
# A song loops by design: the example stops at its measured length, at 48000 Hz
# (aura-play --info gives that length).
song=/usr/share/games/circuslinux/data/music/hiscore.mod
if [ -f "$song" ]; then
  "$work/pc/play_to_wav" "$song" "$work/song.wav"
  length=$("$prefix/bin/aura-play" --info "$song" | awk '/length:/ { print $2 }')
  frames=$(soxi -s "$work/song.wav")
  [ "$frames" -eq "$length" ] && [ "$(soxi -r "$work/song.wav")" -eq 48000 ] ||
    { echo "play_to_wav wrote $frames frames of a song $length frames long"; exit 1; }
fi
echo "installed tree: programs run, library usable from C and C++ with pkg-config and CMake"
