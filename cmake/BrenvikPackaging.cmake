# The Debian packages (`make package`, CPack's DEB generator): one package
# per install component.
#   lib      libbrenvik2      the shared library and its SONAME link
#   dev      libbrenvik-dev   header, static library, pkg-config, CMake package
#   tools    brenvik-tools    brenvik, m301sim, their man pages and completion
#   service  brenvikd         the service, its unit, configuration, udev rule
# The install rules stay those of any `cmake --install`; what only a Debian
# package has (unit and conffile places, docs, maintainer scripts, no
# runpath) is done to CPack's staging tree by packaging/debian/layout.cmake.
# CPack rather than debhelper: the packages come from the tree that is
# already built and tested, in seconds, with no source package to keep.
if(WIN32 OR NOT TARGET brenvik)
  return()
endif()
include(GNUInstallDirs)

# The service's unit and sample configuration, and the udev rule, for a
# plain install: share/brenvik/{service,udev}; the unit's ExecStart names
# the brenvikd of that install's prefix.
if(TARGET brenvikd)
  install(CODE "set(brenvik_unit [[${PROJECT_SOURCE_DIR}/packaging/brenvikd.service]])
    set(brenvik_unit_dir [[${CMAKE_INSTALL_DATADIR}/brenvik/service]])
    set(brenvik_sbindir [[${CMAKE_INSTALL_SBINDIR}]])" COMPONENT service)
  install(CODE [[
    file(READ ${brenvik_unit} unit)
    string(REPLACE /usr/sbin/brenvikd "${CMAKE_INSTALL_PREFIX}/${brenvik_sbindir}/brenvikd" unit "${unit}")
    set(file "${CMAKE_INSTALL_PREFIX}/${brenvik_unit_dir}/brenvikd.service")
    message(STATUS "Installing: $ENV{DESTDIR}${file}")
    file(WRITE "$ENV{DESTDIR}${file}" "${unit}")
    file(CHMOD "$ENV{DESTDIR}${file}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
    list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${file}")
    ]] COMPONENT service)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/brenvikd.json
    DESTINATION ${CMAKE_INSTALL_DATADIR}/brenvik/service COMPONENT service)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/udev/70-brenvik-printer.rules
    DESTINATION ${CMAKE_INSTALL_DATADIR}/brenvik/udev COMPONENT service)
endif()

set(BRENVIK_PACKAGE_MAINTAINER "Brenvik developers <brenvik@example.org>" CACHE STRING
  "Maintainer field of the Debian packages: NAME <ADDRESS>")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME brenvik)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${BRENVIK_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL lib dev tools service)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SOURCE brenvik)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Depends: from the ELF files (dpkg-shlibdeps), and between the four
# packages of one build, the exact version.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
get_target_property(library_dir brenvik BINARY_DIR)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${library_dir})
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

set(debian ${PROJECT_SOURCE_DIR}/packaging/debian)
set(CPACK_DEBIAN_LIB_PACKAGE_NAME libbrenvik2)
set(CPACK_DEBIAN_LIB_PACKAGE_SECTION libs)
set(CPACK_COMPONENT_LIB_DESCRIPTION "C library for the Maria 301 MTM fiscal printer
libbrenvik drives the Maria 301 MTM fiscal printer over its serial line:
receipts from a JSON document, reports, cash in and out, the printer's
registers and clock. This package holds the shared library.")
# The symbols file is made from the staged library by layout.cmake.
set(CPACK_BRENVIK_SYMBOLS ${PROJECT_BINARY_DIR}/packaging/libbrenvik2/symbols)
set(CPACK_DEBIAN_LIB_PACKAGE_CONTROL_EXTRA ${debian}/libbrenvik2/triggers ${CPACK_BRENVIK_SYMBOLS})

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libbrenvik-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEV_DESCRIPTION "C library for the Maria 301 MTM fiscal printer (development files)
libbrenvik drives the Maria 301 MTM fiscal printer over its serial line.
This package holds the header brenvik/brenvik.h, the static library, the
pkg-config file and the CMake package (find_package(brenvik)).")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME brenvik-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_COMPONENT_TOOLS_DESCRIPTION "Maria 301 MTM fiscal printer from the command line
brenvik prints receipts from a JSON document, reports and cash movements on
the Maria 301 MTM fiscal printer, and reads its state and registers.
m301sim is a substitute printer on a pseudo-terminal, for trying all of it
without hardware.")

set(CPACK_DEBIAN_SERVICE_PACKAGE_NAME brenvikd)
set(CPACK_DEBIAN_SERVICE_PACKAGE_SECTION net)
set(CPACK_COMPONENT_SERVICE_DESCRIPTION "HTTP/JSON service for Maria 301 MTM fiscal printers
brenvikd gives web and cloud point-of-sale programs HTTP/JSON access to
one or more Maria 301 MTM fiscal printers, and prints every receipt exactly
once, keeping a ledger of what it printed. It runs as the system user
brenvikd, listens on the loopback, and starts once a printer is configured
in /etc/brenvikd/brenvikd.json.")
# useradd makes its user.
set(CPACK_DEBIAN_SERVICE_PACKAGE_DEPENDS passwd)
set(CPACK_DEBIAN_SERVICE_PACKAGE_SUGGESTS brenvik-tools)
set(CPACK_DEBIAN_SERVICE_PACKAGE_CONTROL_EXTRA ${debian}/brenvikd/conffiles ${debian}/brenvikd/postinst
  ${debian}/brenvikd/prerm ${debian}/brenvikd/postrm)
set(CPACK_DEBIAN_SERVICE_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# What layout.cmake needs to know.
set(CPACK_PRE_BUILD_SCRIPTS ${debian}/layout.cmake)
set(CPACK_POST_BUILD_SCRIPTS ${debian}/repack.cmake)
set(CPACK_BRENVIK_DEBIAN_DIR ${debian})
set(CPACK_BRENVIK_STRIP ${CMAKE_STRIP})
set(CPACK_BRENVIK_OBJDUMP ${CMAKE_OBJDUMP})
set(CPACK_BRENVIK_LIBDIR ${CMAKE_INSTALL_LIBDIR})
set(CPACK_BRENVIK_SBINDIR ${CMAKE_INSTALL_SBINDIR})
set(CPACK_BRENVIK_DATADIR ${CMAKE_INSTALL_DATADIR})
# The first version whose library has the SONAME libbrenvik.so.2.
set(CPACK_BRENVIK_ABI2_SINCE 7.1.0)
string(TIMESTAMP CPACK_BRENVIK_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)

include(CPack)
cpack_add_component(lib DISPLAY_NAME libbrenvik2)
cpack_add_component(dev DISPLAY_NAME libbrenvik-dev DEPENDS lib)
cpack_add_component(tools DISPLAY_NAME brenvik-tools DEPENDS lib)
cpack_add_component(service DISPLAY_NAME brenvikd DEPENDS lib)
