#!/usr/bin/env bash
# Runs the message and text-conversion tests on a big-endian host (s390x under
# qemu), so that a byte-order slip shows up on a little-endian machine too.
# Needs: apt-get install g++-s390x-linux-gnu qemu-user (and libgtest-dev's sources).
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-build-be}
mkdir -p "$out"
gtest=/usr/src/googletest/googletest
gmock=/usr/src/googletest/googlemock
cxx="s390x-linux-gnu-g++ -std=c++17 -O1 -Wall -Wextra"
[ -f "$out/gtest.o" ] || $cxx -c -I$gtest/include -I$gtest $gtest/src/gtest-all.cc -o "$out/gtest.o"
[ -f "$out/gtest_main.o" ] || $cxx -c -I$gtest/include $gtest/src/gtest_main.cc -o "$out/gtest_main.o"
$cxx -Iinclude -Isrc/libzavrin -Itests -I$gtest/include -I$gmock/include \
  src/libzavrin/basics.cpp src/libzavrin/message.cpp src/libzavrin/message_wire.cpp \
  src/libzavrin/port/unicode.cpp tests/test_support.cpp tests/message_test.cpp \
  tests/unicode_test.cpp "$out/gtest.o" "$out/gtest_main.o" -lpthread -o "$out/message_be_test"
qemu-s390x -L /usr/s390x-linux-gnu "$out/message_be_test"
