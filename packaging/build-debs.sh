#!/usr/bin/env bash
# Builds the Debian packages (libzavrin0, libzavrin-dev and, with the tool, zvcp)
# in build-deb/ and lists them: a Release build for the /usr prefix, so that the
# libraries go to Debian's multiarch directory.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-deb}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DZAVRIN_BUILD_TESTS=OFF -DZAVRIN_BUILD_BENCH=OFF -DZAVRIN_BUILD_TOOLS=ON >/dev/null
cmake --build "$build"
rm -f "$build"/*.deb
(cd "$build" && cpack -G DEB >/dev/null)
ls "$build"/*.deb
