#!/usr/bin/env bash
# Installs the library from the build tree given (default: build) into a scratch
# prefix, then builds and runs a small consumer against it through find_package
# (shared and static) and pkg-config, and once more through add_subdirectory.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
build=$(cd "${1:-$source_dir/build}" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
prefix=$scratch/prefix

cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(dirname "$(find "$prefix" -name 'libzavrin.so' | head -n 1)")

build_and_run() {
  local name=$1
  shift
  cmake -S "$here" -B "$scratch/$name" -G Ninja -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
  cmake --build "$scratch/$name" >/dev/null
  echo "-- consumer through $name"
  LD_LIBRARY_PATH=$libdir "$scratch/$name/consumer"
}

build_and_run find_package -DCMAKE_PREFIX_PATH="$prefix"
build_and_run find_package_static -DCMAKE_PREFIX_PATH="$prefix" -DCONSUMER_STATIC=ON
if ldd "$scratch/find_package_static/consumer" | grep -q libzavrin; then
  echo "the static consumer links the shared library" >&2
  exit 1
fi
build_and_run add_subdirectory -DZAVRIN_SOURCE_DIR="$source_dir"

echo "-- consumer through pkg-config"
export PKG_CONFIG_PATH=$libdir/pkgconfig
# shellcheck disable=SC2046
g++ -std=c++17 -o "$scratch/pc_consumer" "$here/consumer.cpp" $(pkg-config --cflags --libs zavrin)
LD_LIBRARY_PATH=$libdir "$scratch/pc_consumer"
