#!/bin/bash
# Installs the built tree into a scratch prefix, then builds and runs two
# outside programs against it: a C program through pkg-config and a C++
# program through the CMake package.
set -euo pipefail
build_dir=$1
here=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build_dir" --prefix "$work/prefix" >/dev/null
pc=$(find "$work/prefix" -name aura.pc -print -quit)
[ -n "$pc" ] || { echo "aura.pc was not installed"; exit 1; }
export PKG_CONFIG_PATH=$(dirname "$pc")
libdir=$(pkg-config --variable=libdir aura)

"${CC:-cc}" "$here/consumer.c" $(pkg-config --cflags --libs aura) -o "$work/consumer_c"
LD_LIBRARY_PATH=$libdir "$work/consumer_c"

cmake -S "$here/cmake_consumer" -B "$work/cmake_build" -G Ninja \
      -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/cmake_build" >/dev/null
LD_LIBRARY_PATH=$libdir "$work/cmake_build/consumer_cxx"
echo "installed library usable from C (pkg-config) and C++ (CMake package)"
