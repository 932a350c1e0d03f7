# Cross build for s390x, a big-endian host, so that the test suite shows every
# byte-order slip that a little-endian machine hides. The libraries come from the
# sysroot that .ci/install-deps unpacks; the tests run under qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(CMAKE_LIBRARY_ARCHITECTURE s390x-linux-gnu)

set(CMAKE_C_COMPILER s390x-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER s390x-linux-gnu-g++)

if(DEFINED ENV{ZAVRIN_S390X_ROOT})
  set(ZAVRIN_S390X_ROOT "$ENV{ZAVRIN_S390X_ROOT}" CACHE PATH "s390x sysroot")
else()
  set(ZAVRIN_S390X_ROOT /opt/s390x-root CACHE PATH "s390x sysroot")
endif()
if(NOT EXISTS ${ZAVRIN_S390X_ROOT}/usr/include/openssl)
  message(FATAL_ERROR "no s390x sysroot at ${ZAVRIN_S390X_ROOT}: run .ci/install-deps as root")
endif()
set(CMAKE_SYSROOT ${ZAVRIN_S390X_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Tests that qemu-user cannot host (raw sockets, ptrace, ...) skip themselves when
# they find ZAVRIN_TEST_UNDER_QEMU in their environment.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-s390x -L ${ZAVRIN_S390X_ROOT} -E ZAVRIN_TEST_UNDER_QEMU=1)
