# Debian packages through CPack (cpack -G DEB in a build tree, or
# packaging/build-debs.sh): libzavrin0 holds the shared library and is named after
# its soname, libzavrin-dev what a build needs, zvcp the tool and its manual page.
# The runtime dependencies come from dpkg-shlibdeps, so that whatever the library
# was linked with (OpenSSL, Expat, ISA-L, libdw) is named with its version.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zavrin)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The libzavrin developers")
set(CPACK_PACKAGE_CONTACT "libzavrin developers <maintainers@libzavrin.invalid>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_STRIP_FILES ON)

set(ZAVRIN_DEB_VERSION "${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE}")
set(ZAVRIN_SONAME_PACKAGE libzavrin${PROJECT_VERSION_MAJOR})

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${ZAVRIN_SONAME_PACKAGE})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION
  "base library of the Zavrin network-management system
The message protocol in binary and XML form, encryption negotiated under RSA,
message transport and reply matching over sockets, thread-safe containers,
configuration loading, agent helpers and utilities, and the crash helper that
writes the call stack of a crashed program.")
# A shlibs file that asks for this version or later, and the ldconfig trigger.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/../packaging/triggers)

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libzavrin-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_ARCHITECTURE_ALL OFF)
set(CPACK_DEBIAN_DEV_DESCRIPTION
  "base library of the Zavrin network-management system (development files)
Headers, the static library, the CMake package (find_package(Zavrin)) and the
pkg-config file of libzavrin.")
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS
  "${ZAVRIN_SONAME_PACKAGE} (= ${ZAVRIN_DEB_VERSION}), libssl-dev (>= 3), libexpat1-dev")
if(ZAVRIN_ISAL_LINKS)
  string(APPEND CPACK_DEBIAN_DEV_PACKAGE_DEPENDS ", libisal-dev")
endif()

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME zvcp)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION net)
# The tool links the library of this build, which no installed package holds yet:
# dpkg-shlibdeps is shown where it is, and the dependency is named here.
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "${ZAVRIN_SONAME_PACKAGE} (= ${ZAVRIN_DEB_VERSION})")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_CURRENT_BINARY_DIR})
set(CPACK_DEBIAN_TOOLS_DESCRIPTION
  "command-line tool for the Zavrin message protocol
Talks to agents (peer version, key exchange, file transfer), runs a small
agent, converts messages between their wire and XML forms, and computes
checksums.")

# Every package carries its copyright and a changelog, as Debian wants them.
set(ZAVRIN_CHANGELOG ${CMAKE_CURRENT_BINARY_DIR}/changelog.Debian)
string(TIMESTAMP ZAVRIN_BUILD_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
foreach(component runtime dev tools)
  string(TOUPPER ${component} upper)
  set(package ${CPACK_DEBIAN_${upper}_PACKAGE_NAME})
  configure_file(${CMAKE_CURRENT_LIST_DIR}/../packaging/changelog.in
    ${CMAKE_CURRENT_BINARY_DIR}/debian-doc/${package}/changelog.Debian @ONLY)
  add_custom_command(OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/debian-doc/${package}/changelog.Debian.gz
    COMMAND gzip -9nkf ${CMAKE_CURRENT_BINARY_DIR}/debian-doc/${package}/changelog.Debian
    DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/debian-doc/${package}/changelog.Debian)
  list(APPEND ZAVRIN_DEB_DOCS ${CMAKE_CURRENT_BINARY_DIR}/debian-doc/${package}/changelog.Debian.gz)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/../packaging/copyright
    ${CMAKE_CURRENT_BINARY_DIR}/debian-doc/${package}/changelog.Debian.gz
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()
add_custom_target(zavrin_deb_docs ALL DEPENDS ${ZAVRIN_DEB_DOCS})

set(CPACK_COMPONENTS_ALL runtime dev)
if(TARGET zvcp)
  list(APPEND CPACK_COMPONENTS_ALL tools)
endif()
include(CPack)
