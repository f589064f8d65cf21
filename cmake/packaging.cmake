# Debian packages through CPack, one per install component:
#
#   libvantorel-screenshot1      runtime: the library under its SONAME
#   libvantorel-screenshot-dev   dev: header, .so link, pkg-config file, CMake package
#   vantorel-screenshot          cli: the command-line program
#
#   cmake -S . -B build-deb -DCMAKE_INSTALL_PREFIX=/usr -DVS_BUILD_TESTS=OFF
#   cmake --build build-deb && (cd build-deb && cpack -G DEB)
#
# (scripts/build-packages.sh does this.) Configure with the prefix /usr so that
# GNUInstallDirs picks Debian's multiarch library directory. The libraries each
# package needs come from dpkg-shlibdeps, so a new link dependency of the
# library shows up in its Depends without a change here.
if(WIN32 OR NOT TARGET vantorel-screenshot)
  return()
endif()

set(VS_PACKAGE_MAINTAINER "vantorel-screenshot developers <maintainers@vantorel-screenshot.invalid>"
    CACHE STRING "The Maintainer field of the Debian packages")

set(CPACK_PACKAGE_NAME vantorel-screenshot)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${VS_PACKAGE_MAINTAINER}")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev cli)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The runtime package declares what it provides (DEBIAN/shlibs), so packages
# built against it get a versioned dependency from their own shlibdeps.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# shlibdeps cannot see across components: it is pointed at the built library
# so that the program's need for it does not stop it, and the program and the
# development files name the library's package themselves.
get_target_property(VS_LIBRARY_DIR vantorel-screenshot LIBRARY_OUTPUT_DIRECTORY)
if(NOT VS_LIBRARY_DIR)
  set(VS_LIBRARY_DIR ${CMAKE_BINARY_DIR})
endif()
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${VS_LIBRARY_DIR})
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_COMPONENT_DEV_DEPENDS runtime)
set(CPACK_COMPONENT_CLI_DEPENDS runtime)

# Each description's first line is the package's synopsis; CPack indents the
# rest. (No CPACK_PACKAGE_DESCRIPTION_SUMMARY: it would come before each.)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libvantorel-screenshot1)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# The library opens libwayland-client and libsystemd at run time (the Wayland
# and the portal layers), so shlibdeps cannot see them: without them X11
# still works, hence Recommends. Headers of libwayland 1.20 and later send
# every request through wl_proxy_marshal_flags, which older ones lack;
# sd_bus_close_unref came in systemd 240.
if(VS_WAYLAND_VERSION VERSION_GREATER_EQUAL 1.20)
  set(VS_WAYLAND_RUNTIME_MIN 1.20.0)
else()
  set(VS_WAYLAND_RUNTIME_MIN 1.18.0)
endif()
set(CPACK_DEBIAN_RUNTIME_PACKAGE_RECOMMENDS
    "libwayland-client0 (>= ${VS_WAYLAND_RUNTIME_MIN}), libsystemd0 (>= 240)")
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION
    "Screen capture to PNG behind a plain C interface (shared library)
Captures the whole virtual screen, one monitor, a rectangle or one window of
an X11 display to an RGBA PNG file or to PNG bytes in memory, and lists the
monitors as JSON, through nine plain C functions; and a rectangle as raw RGBA
pixels through one more. On Wayland desktops it also uses libwayland-client
and, through the desktop portal, libsystemd, where they are installed.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libvantorel-screenshot-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_DESCRIPTION
    "Screen capture to PNG behind a plain C interface (development files)
The header vantorel_screenshot.h, the link to the shared library, the
pkg-config file vantorel-screenshot.pc and the CMake package found by
find_package(vantorel-screenshot), with the imported target
vantorel-screenshot::vantorel-screenshot.")

set(CPACK_DEBIAN_CLI_PACKAGE_NAME vantorel-screenshot)
set(CPACK_DEBIAN_CLI_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_CLI_DESCRIPTION
    "Screen capture to PNG from the command line
vantorel-screenshot writes the whole virtual screen, one monitor, a rectangle
or one window of an X11 display to a PNG file or to standard output, and
prints the monitors as JSON.")

include(CPack)
