#!/bin/bash
# Installs the built tree into a scratch prefix and uses each library over
# the engine as an outside user would, without LD_LIBRARY_PATH: its
# pkg-config file resolves from the prefix, and a small program builds
# against it (through pkg-config, then through the CMake package) and runs.
# Usage: check_sdk_install.sh BUILD_DIR HERE
set -euo pipefail
build_dir=$1
here=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unset LD_LIBRARY_PATH

prefix=$work/prefix
cmake --install "$build_dir" --prefix "$prefix" >/dev/null
pc=$(find "$prefix" -name tally.pc -print -quit)
[ -n "$pc" ] || { echo "tally.pc was not installed"; exit 1; }
export PKG_CONFIG_PATH=$(dirname "$pc")
libdir=$(pkg-config --variable=libdir aura)

# package:program:library files its link line must name
programs="aura-platform:platform:-laura-platform -laura
kwexnet:kwexnet:-lkwexnet -laura-platform
tally:tally:-ltally -laura-platform
bounty:bounty:-lbounty -laura-platform
merix:merix:-lmerix -lkwexnet -lpaddle-savegame -laura-platform
paddle-game:game:-lpaddle-game -ltally
paddle-savegame:savegame:-lpaddle-savegame -laura-platform"

mkdir "$work/pc" "$work/data"
while IFS=: read -r package program needs; do
  libs=$(pkg-config --libs "$package")
  for flag in $needs; do
    grep -qw -- "$flag" <<< "$libs" || { echo "pkg-config --libs $package: '$libs' lacks $flag"; exit 1; }
  done
  for flag in $(pkg-config --libs-only-L "$package"); do
    [ "$(realpath "${flag#-L}")" = "$(realpath "$libdir")" ] || { echo "$package: library folder $flag"; exit 1; }
  done
  "${CXX:-c++}" -std=c++20 "$here/$program.cpp" $(pkg-config --cflags --libs "$package") -Wl,-rpath,"$libdir" \
    -o "$work/pc/$program"
  "$work/pc/$program" "$work/data"
done <<< "$programs"

cmake -S "$here/cmake_consumer" -B "$work/cmake_build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
      -DCMAKE_BUILD_RPATH="$libdir" >/dev/null
cmake --build "$work/cmake_build" >/dev/null
while IFS=: read -r package program needs; do
  rm -rf "$work/data" && mkdir "$work/data"
  "$work/cmake_build/$program" "$work/data"
done <<< "$programs"
echo "installed tree: every library over the engine builds and runs from the prefix with pkg-config and CMake"
