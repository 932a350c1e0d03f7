#!/usr/bin/env bash
# Installs the packages of build-deb/ (packaging/build-debs.sh) into a scratch root
# with dpkg, builds the consumer program against what was installed there through
# find_package and pkg-config and runs it, runs the installed tool and reads its
# manual page, then has lintian check the packages.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(cd "${1:-build-deb}" && pwd)
consumer=$PWD/tests/consumer
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
root=$scratch/root

# A root of its own for dpkg: its database starts empty, so the packages'
# dependencies on the system's libraries are there but not recorded. The packages
# are unpacked, not configured: configuring runs ldconfig inside the root, which
# has no shell to run it with.
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status"
dpkg --root="$root" --force-depends --force-not-root --log=/dev/null --unpack "$build"/*.deb \
  >/dev/null
echo "-- installed: $(dpkg-query --admindir="$root/var/lib/dpkg" -W -f='${Package} ' '*')"
libdir=$(dirname "$(find "$root/usr/lib" -name 'libzavrin.so.0' | head -n 1)")

cmake -S "$consumer" -B "$scratch/consumer" -G Ninja -DCMAKE_PREFIX_PATH="$root/usr" >/dev/null
cmake --build "$scratch/consumer" >/dev/null
echo "-- consumer through find_package"
LD_LIBRARY_PATH=$libdir "$scratch/consumer/consumer"
echo "-- consumer through pkg-config"
# shellcheck disable=SC2046
g++ -std=c++17 -o "$scratch/pc_consumer" "$consumer/consumer.cpp" \
  $(PKG_CONFIG_PATH=$libdir/pkgconfig pkg-config --cflags --libs zavrin)
LD_LIBRARY_PATH=$libdir "$scratch/pc_consumer"

if [ -x "$root/usr/bin/zvcp" ]; then
  echo "-- the installed tool and its manual page"
  LD_LIBRARY_PATH=$libdir "$root/usr/bin/zvcp" --version
  MANWIDTH=80 man -l "$root/usr/share/man/man1/zvcp.1.gz" | head -n 5
fi

echo "-- lintian"
# Errors fail the check; the warnings that remain are explained in the README.
lintian --allow-root --fail-on error "$build"/*.deb
